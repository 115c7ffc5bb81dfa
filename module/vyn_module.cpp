// The Python module vyn: synthesize_multiple turns a list of (voice_code,
// text) tuples into one WAVE file and returns the anchors; synthesize_words
// does the same and also returns where each word begins. It uses only the
// stable ABI of CPython 3.9 (Py_LIMITED_API, set by the build), so one
// binary serves every later interpreter.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <iterator>
#include <new>
#include <utility>
#include <vector>

#include "engine.h"
#include "owned_ref.h"
#include "platform_signals.h"
#include "word_lists.h"

namespace {

// The two errors' messages; vyn_tools raises the same, read from the
// module's private attributes of these names.
const char parse_error_message[] = "Error while parsing the arguments";
const char synthesis_error_message[] =
    "Error while synthesizing multiple fragments";

// The records the private functions give vyn_tools, which reads their
// fields by name. The types are made at the first import.
PyStructSequence_Field part_result_fields[] = {
    {"sample_rate", "the file's rate"},
    {"synthesized", "how many fragments were written"},
    {"anchors", "(begin, end) in seconds of each fragment written"},
    {"start", "the index of the fragment written first"},
    {"fragment_ends", "each fragment's end in samples from the file's start"},
    {"words", "per fragment, (offset, start, length) of each word, or None"},
    {"phonemes", "per fragment, (offset, start, ipa) of each phoneme, or None"},
    {"marks", "per fragment, (offset, name) of each mark, or None"},
    {nullptr, nullptr},
};
PyStructSequence_Desc part_result_description = {
    "vyn._part_result", "What the call for one part of a list gives",
    part_result_fields, std::size(part_result_fields) - 1};
PyTypeObject* part_result_type = nullptr;

PyStructSequence_Field check_result_fields[] = {
    {"file_rate", "the rate of the file the call would write"},
    {"quit_after", "the limit in seconds as the call takes it"},
    {nullptr, nullptr},
};
PyStructSequence_Desc check_result_description = {
    "vyn._check_result", "What a check of a call's arguments gives",
    check_result_fields, std::size(check_result_fields) - 1};
PyTypeObject* check_result_type = nullptr;

// Whether the interpreter is exiting, asked without the GIL: a thread that
// takes the GIL then is ended (3.11-3.13) or held forever (3.14 on).
// From 3.13 on the interpreter says so itself: Py_IsFinalizing, looked up
// at import, since a binary for 3.9's stable ABI must not name it. Before,
// exit handlers run first (ours, registered at import, sets an atomic
// flag), and Py_IsInitialized turns false the moment finalizing starts
// (measured on 3.9 and 3.11). The flag alone would come too early: exit
// handlers registered before ours run after it and may wait for a thread
// inside a call. Asking the flag first keeps calls outside the exit from
// reading the interpreter's plain int without the GIL.
std::atomic<bool> exit_handlers_started{false};
interpreter_query interpreter_says_finalizing = nullptr;  // set at import

bool interpreter_finalizing() {
    if (interpreter_says_finalizing != nullptr)
        return interpreter_says_finalizing() != 0;
    return exit_handlers_started.load() && !Py_IsInitialized();
}

PyObject* note_exit_handlers_started(PyObject* /*module*/,
                                     PyObject* /*unused*/) {
    exit_handlers_started.store(true);
    Py_RETURN_NONE;
}

PyMethodDef exit_handler_method = {"_note_exit", note_exit_handlers_started,
                                   METH_NOARGS, nullptr};

int prepare_finalizing_check() {
    interpreter_says_finalizing = find_interpreter_query("Py_IsFinalizing");
    if (interpreter_says_finalizing != nullptr) return 0;
    owned_ref atexit_module(PyImport_ImportModule("atexit"));
    if (atexit_module.get() == nullptr) return -1;
    owned_ref handler(PyCFunction_New(&exit_handler_method, nullptr));
    if (handler.get() == nullptr) return -1;
    owned_ref registered(PyObject_CallMethod(atexit_module.get(), "register",
                                             "O", handler.get()));
    return registered.get() == nullptr ? -1 : 0;
}

// Taking the GIL back waits for the switch interval of a busy thread, so
// handlers run at most this often, not after every short fragment.
constexpr long signal_check_interval_ns = 50'000'000;

struct signal_check {
    PyThreadState* thread_state;  // saved while the GIL is released
    signals_outside_call outside;  // the caller's, held during the call
    timespec next;                // no check before this time
    bool raised;                  // a handler raised; its exception is set
};

void schedule_next_check(signal_check& check, const timespec& now) {
    check.next = now;
    check.next.tv_nsec += signal_check_interval_ns;
    if (check.next.tv_nsec >= 1'000'000'000) {
        check.next.tv_nsec -= 1'000'000'000;
        ++check.next.tv_sec;
    }
}

// Asked by the engine between fragments, on the main thread: a handler
// that raises stops the call, and its exception propagates.
int run_signal_handlers(void* context) {
    auto& check = *static_cast<signal_check*>(context);
    if (check.raised) return 1;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec < check.next.tv_sec ||
        (now.tv_sec == check.next.tv_sec && now.tv_nsec < check.next.tv_nsec))
        return 0;
    schedule_next_check(check, now);
    if (interpreter_finalizing()) return 0;
    let_signals_through(check.outside);
    PyEval_RestoreThread(check.thread_state);
    check.raised = PyErr_CheckSignals() != 0;
    check.thread_state = PyEval_SaveThread();
    hold_signals_again(check.outside);
    return check.raised ? 1 : 0;
}

// Process-wide work the engine does during a call (re-initialising the
// synthesizer sets the locale) runs with the GIL, so no Python thread
// meets it half done. While the interpreter exits, asking for the GIL
// would end this thread (below); no Python code runs then anyway.
int run_under_gil(int (*work)(), void* context) {
    auto& check = *static_cast<signal_check*>(context);
    if (interpreter_finalizing()) return work();
    PyEval_RestoreThread(check.thread_state);
    int status = work();
    check.thread_state = PyEval_SaveThread();
    return status;
}

// Runs the engine with the GIL released, taking it back only to run signal
// handlers. The table points into the buffers of a tuple the caller holds,
// and the path into the arguments: both outlive the call.
int call_engine(const char* output_file_path,
                std::vector<fragment_entry>& table, float quit_after,
                int backwards, int* sample_rate, unsigned int* synthesized,
                synthesis_control& control, bool* raised) {
    signal_check check{};
    bool main_thread = on_main_thread();
    control.callbacks.context = &check;
    control.callbacks.run_exclusive = run_under_gil;
    if (main_thread) control.callbacks.should_stop = run_signal_handlers;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    schedule_next_check(check, now);
    hold_signals(check.outside);
    check.thread_state = PyEval_SaveThread();
    int status = synthesize_fragments(
        output_file_path, table.data(), quit_after,
        static_cast<unsigned int>(table.size()), backwards, sample_rate,
        synthesized, &control);
    release_signals(check.outside);
    // Python 3.11-3.13 end a thread that asks for the GIL while the
    // interpreter exits (pthread_exit), which unwinds the C++ frames in
    // between: a daemon thread whose call ends then waits for the process
    // to end instead.
    if (!main_thread && interpreter_finalizing()) wait_for_process_exit();
    PyEval_RestoreThread(check.thread_state);
    *raised = check.raised;
    return status;
}

// What the private functions that the vyn_tools package builds on add to a
// call: a file rate the caller chose for a list split into parts, a check
// of the voices that synthesizes nothing, a part's result (the start the
// backward mode chose and each fragment's end in whole samples), and the
// index of the part's first fragment in the whole list, for the note of a
// failure.
struct call_options {
    int file_rate = 0;
    bool check_only = false;
    bool part_result = false;
    long first_index = 0;
    bool with_words = false;
    bool with_phonemes = false;
    bool with_marks = false;
};

PyObject* raise_value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return nullptr;
}

// Adds the note (null: none) where the interpreter has notes (3.11 on:
// asked at run time, the binary serves all versions).
void add_note(PyObject* error, PyObject* note) {
    if (note == nullptr) {
        PyErr_Clear();
        return;
    }
    owned_ref add(PyObject_GetAttrString(error, "add_note"));
    owned_ref added(add.get() == nullptr ? nullptr
                    : PyObject_CallFunctionObjArgs(add.get(), note, nullptr));
    if (added.get() == nullptr) PyErr_Clear();
}

// Raises ValueError with one of the fixed messages, and the note if any.
PyObject* raise_with_note(const char* message, PyObject* note) {
    owned_ref error(PyObject_CallFunction(PyExc_ValueError, "s", message));
    if (error.get() == nullptr) return nullptr;
    add_note(error.get(), note);
    PyErr_SetObject(PyExc_ValueError, error.get());
    return nullptr;
}

// The synthesis error, with "fragment N: reason" as a note where the
// engine blamed one fragment (N counts from first_index, the place of the
// table in a longer list), the reason alone where it named a cause but no
// fragment. The message itself stays as it is.
PyObject* raise_synthesis_error(const synthesis_control& control,
                                long first_index) {
    const synthesis_results& results = control.results;
    owned_ref note(results.failed_fragment >= 0
                       ? PyUnicode_FromFormat(
                             "fragment %ld: %s",
                             results.failed_fragment + first_index,
                             results.failure_reason)
                   : results.failure_reason[0] != '\0'
                       ? PyUnicode_FromString(results.failure_reason)
                       : nullptr);
    return raise_with_note(synthesis_error_message, note.get());
}

// Why the arguments could not be read: a new reference to the note's
// text, or null (no note).
struct parse_note {
    parse_note() = default;
    parse_note(const parse_note&) = delete;
    parse_note& operator=(const parse_note&) = delete;
    ~parse_note() { Py_XDECREF(text); }
    PyObject* text = nullptr;
};

// The keys a fragment's settings may have (fragment_settings, engine.h).
struct setting_key {
    const char* name;
    fragment_setting_flag flag;
    int fragment_settings::*value;
};
const setting_key setting_keys[] = {
    {"rate", setting_rate, &fragment_settings::rate},
    {"pitch", setting_pitch, &fragment_settings::pitch},
    {"volume", setting_volume, &fragment_settings::volume},
    {"word_gap", setting_word_gap, &fragment_settings::word_gap},
};

const setting_key* find_setting_key(PyObject* key) {
    if (!PyUnicode_Check(key)) return nullptr;
    for (const setting_key& known : setting_keys) {
        if (PyUnicode_CompareWithASCIIString(key, known.name) == 0)
            return &known;
    }
    return nullptr;
}

bool is_ssml_key(PyObject* key) {
    return PyUnicode_Check(key) &&
           PyUnicode_CompareWithASCIIString(key, "ssml") == 0;
}

// A bool, and nothing else: a text is read as SSML only when asked to.
bool read_ssml(PyObject* value, long fragment, fragment_settings& settings,
               parse_note& note) {
    if (!PyBool_Check(value)) {
        note.text = PyUnicode_FromFormat(
            "fragment %ld: settings key 'ssml' takes a bool", fragment);
        return false;
    }
    settings.ssml = value == Py_True;
    settings.given |= setting_ssml;
    return true;
}

// An int (not a bool) as the engine's int: one beyond an int's range is
// out of every setting's range, and the engine refuses it as such.
bool read_setting(PyObject* key, PyObject* value, long fragment,
                  fragment_settings& settings, parse_note& note) {
    if (is_ssml_key(key)) return read_ssml(value, fragment, settings, note);
    const setting_key* known = find_setting_key(key);
    if (known == nullptr) {
        note.text = PyUnicode_FromFormat(
            "fragment %ld: settings key %R is not one of 'rate', 'pitch', "
            "'volume', 'word_gap', 'ssml'", fragment, key);
        return false;
    }
    if (!PyLong_Check(value) || PyBool_Check(value)) {
        note.text = PyUnicode_FromFormat(
            "fragment %ld: settings key '%s' takes an int", fragment,
            known->name);
        return false;
    }
    int overflow = 0;
    long number = PyLong_AsLongAndOverflow(value, &overflow);
    if (overflow != 0 || number > INT_MAX || number < INT_MIN)
        number = overflow < 0 || number < 0 ? INT_MIN : INT_MAX;
    settings.*known->value = static_cast<int>(number);
    settings.given |= known->flag;
    return true;
}

// A dict, or any other collections.abc.Mapping.
bool is_mapping(PyObject* object) {
    if (PyDict_Check(object)) return true;
    owned_ref abc(PyImport_ImportModule("collections.abc"));
    owned_ref mapping(abc.get() == nullptr
                          ? nullptr
                          : PyObject_GetAttrString(abc.get(), "Mapping"));
    int is = mapping.get() == nullptr
                 ? -1
                 : PyObject_IsInstance(object, mapping.get());
    if (is < 0) PyErr_Clear();
    return is == 1;
}

bool read_settings(PyObject* mapping, long fragment,
                   fragment_settings& settings, parse_note& note) {
    if (!is_mapping(mapping)) {
        note.text = PyUnicode_FromFormat(
            "fragment %ld: settings must be a mapping, such as a dict",
            fragment);
        return false;
    }
    owned_ref items(PyMapping_Items(mapping));
    if (items.get() == nullptr || !PyList_Check(items.get())) return false;
    for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) {
        PyObject* pair = PyList_GetItem(items.get(), i);
        if (!PyTuple_Check(pair) || PyTuple_Size(pair) != 2 ||
            !read_setting(PyTuple_GetItem(pair, 0), PyTuple_GetItem(pair, 1),
                          fragment, settings, note))
            return false;
    }
    return true;
}

// The settings of a table, one record per fragment once one fragment has
// settings (a list without them allocates nothing); the table points into
// it, so it is sized once.
struct settings_store {
    std::vector<fragment_settings> records;
    fragment_settings& record(std::size_t i, std::size_t n) {
        if (records.empty()) records.resize(n);
        return records[i];
    }
};

// One item: (voice_code, text) or (voice_code, text, settings).
bool read_item(PyObject* item, long fragment, std::size_t i,
               std::vector<fragment_entry>& table, settings_store& settings,
               parse_note& note) {
    Py_ssize_t size = PyTuple_Check(item) ? PyTuple_Size(item) : -1;
    if (size != 2 && size != 3) {
        note.text = PyUnicode_FromFormat(
            "fragment %ld: not a (voice_code, text) or (voice_code, text, "
            "settings) tuple", fragment);
        return false;
    }
    fragment_entry& entry = table[i];
    PyObject* mapping = nullptr;
    if (!PyArg_ParseTuple(item, "ss|O", &entry.voice_code, &entry.text,
                          &mapping))
        return false;
    if (mapping == nullptr) return true;
    fragment_settings& record = settings.record(i, table.size());
    entry.settings = &record;
    return read_settings(mapping, fragment, record, note);
}

// Points the table's entries into the items' UTF-8 buffers, and their
// settings into the store. The items come from a tuple snapshot of the
// list, which the caller keeps alive while the engine runs.
bool fill_fragment_table(PyObject* items, std::vector<fragment_entry>& table,
                         settings_store& settings, long first_index,
                         parse_note& note) {
    for (std::size_t i = 0; i < table.size(); ++i) {
        PyObject* item = PyTuple_GetItem(items, static_cast<Py_ssize_t>(i));
        long fragment = first_index + static_cast<long>(i);
        if (!read_item(item, fragment, i, table, settings, note))
            return false;
    }
    return true;
}

PyObject* build_anchors(const std::vector<fragment_entry>& table,
                        unsigned int synthesized) {
    owned_ref anchors(PyList_New(synthesized));
    if (anchors.get() == nullptr) return nullptr;
    for (unsigned int i = 0; i < synthesized; ++i) {
        PyObject* pair = Py_BuildValue("(ff)", double{table[i].begin},
                                       double{table[i].end});
        // PyList_SetItem takes the pair, also when it fails.
        if (pair == nullptr || PyList_SetItem(anchors.get(), i, pair) != 0)
            return nullptr;
    }
    return anchors.release();
}

PyObject* build_result(const std::vector<fragment_entry>& table,
                       int sample_rate, unsigned int synthesized,
                       const word_list* words) {
    owned_ref anchors(build_anchors(table, synthesized));
    if (anchors.get() == nullptr) return nullptr;
    if (words == nullptr)
        return Py_BuildValue("(iIO)", sample_rate, synthesized, anchors.get());
    owned_ref word_lists(
        build_word_lists(table.data(), synthesized, *words, sample_rate));
    if (word_lists.get() == nullptr) return nullptr;
    return Py_BuildValue("(iIOO)", sample_rate, synthesized, anchors.get(),
                         word_lists.get());
}

PyObject* build_fragment_ends(const std::uint64_t* ends,
                              unsigned int synthesized) {
    owned_ref list(PyList_New(synthesized));
    if (list.get() == nullptr) return nullptr;
    for (unsigned int i = 0; i < synthesized; ++i) {
        PyObject* end = PyLong_FromUnsignedLongLong(ends[i]);
        if (end == nullptr || PyList_SetItem(list.get(), i, end) != 0)
            return nullptr;
    }
    return list.release();
}

// A new record of a struct sequence type, filled field by field in
// order: each value is taken over, and a null one (its exception set)
// fails the fill.
class record_fill {
public:
    explicit record_fill(PyTypeObject* type)
        : record_(PyStructSequence_New(type)) {}
    bool started() const { return record_.get() != nullptr; }
    bool next(PyObject* value) {
        if (value == nullptr) return false;
        PyStructSequence_SetItem(record_.get(), field_++, value);
        return true;
    }
    PyObject* release() { return record_.release(); }

private:
    owned_ref record_;
    Py_ssize_t field_ = 0;
};

PyObject* new_none() {
    Py_INCREF(Py_None);
    return Py_None;
}

// The phonemes and marks of a part, where collected, else None.
bool add_event_offsets(record_fill& part, const synthesis_control& control,
                       unsigned int synthesized, const event_lists& events,
                       const call_options& options) {
    const std::uint64_t* ends = control.results.fragment_ends;
    return part.next(options.with_phonemes
                         ? build_phoneme_offsets(synthesized, events.phonemes,
                                                 ends)
                         : new_none()) &&
           part.next(options.with_marks
                         ? build_mark_offsets(synthesized, events.marks, ends)
                         : new_none());
}

// What the call for one part of a list gives vyn_tools, which joins the
// parts into one file: the fields of part_result_fields, words, phonemes and
// marks (where collected) with offsets in samples from each fragment's begin.
PyObject* build_part_result(const std::vector<fragment_entry>& table,
                            const synthesis_control& control,
                            int sample_rate, unsigned int synthesized,
                            const event_lists& events,
                            const call_options& options) {
    const word_list* words = options.with_words ? &events.words : nullptr;
    record_fill part(part_result_type);
    if (!part.started() || !part.next(PyLong_FromLong(sample_rate)) ||
        !part.next(PyLong_FromUnsignedLong(synthesized)) ||
        !part.next(build_anchors(table, synthesized)) ||
        !part.next(PyLong_FromUnsignedLong(control.results.start)) ||
        !part.next(build_fragment_ends(control.results.fragment_ends,
                                       synthesized)) ||
        !part.next(words == nullptr ? new_none()
                                    : build_word_offsets(
                                          synthesized, *words,
                                          control.results.fragment_ends)) ||
        !add_event_offsets(part, control, synthesized, events, options))
        return nullptr;
    return part.release();
}

// The fields of check_result_fields.
PyObject* build_check_result(int file_rate, float quit_after) {
    record_fill check(check_result_type);
    if (!check.started() || !check.next(PyLong_FromLong(file_rate)) ||
        !check.next(PyFloat_FromDouble(double{quit_after})))
        return nullptr;
    return check.release();
}

// The callbacks that collect what the options ask for into events.
void ask_for_events(synthesis_callbacks& callbacks,
                    const call_options& options, event_lists& events) {
    callbacks.word_context = &events;
    if (options.with_words) callbacks.take_word = take_word_anchor;
    if (options.with_phonemes) callbacks.take_phoneme = take_phoneme_anchor;
    if (options.with_marks) callbacks.take_mark = take_mark_anchor;
}

PyObject* synthesize_items(const char* output_file_path, float quit_after,
                           int backwards, PyObject* items,
                           const call_options& options) {
    Py_ssize_t n = PyTuple_Size(items);
    if (n > static_cast<Py_ssize_t>(UINT_MAX))
        return raise_value_error(parse_error_message);
    try {
        std::vector<fragment_entry> table(static_cast<std::size_t>(n));
        settings_store settings;
        parse_note note;
        if (!fill_fragment_table(items, table, settings, options.first_index,
                                 note)) {
            PyErr_Clear();
            return raise_with_note(parse_error_message, note.text);
        }
        synthesis_control control{};
        control.results.failed_fragment = -1;
        // The first initialisation calls setlocale: it runs under the GIL.
        if (prepare_synthesizer(&control.results) != 0)
            return raise_synthesis_error(control, options.first_index);
        int sample_rate = 0;
        unsigned int synthesized = 0;
        std::vector<std::uint64_t> ends(options.part_result ? table.size()
                                                            : 0);
        control.options.file_rate = options.file_rate;
        control.options.check_only = options.check_only ? 1 : 0;
        control.results.fragment_ends =
            options.part_result ? ends.data() : nullptr;
        event_lists events;
        ask_for_events(control.callbacks, options, events);
        const word_list* taken = options.with_words ? &events.words : nullptr;
        bool raised = false;
        int status = call_engine(output_file_path, table, quit_after,
                                 backwards, &sample_rate, &synthesized,
                                 control, &raised);
        if (raised) return nullptr;
        if (status != 0)
            return raise_synthesis_error(control, options.first_index);
        if (options.check_only)
            return build_check_result(sample_rate, quit_after);
        if (options.part_result)
            return build_part_result(table, control, sample_rate,
                                     synthesized, events, options);
        return build_result(table, sample_rate, synthesized, taken);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// The path may be a str, bytes or any os.PathLike, as everywhere in the
// standard library; it becomes bytes in the file-system encoding, so a name
// that is not UTF-8 reaches the file system byte for byte. The format names
// the four arguments of synthesize_multiple, then those of the private
// functions, which fill in the options.
PyObject* parse_and_synthesize(PyObject* args, const char* format,
                               call_options options) {
    PyObject* path_bytes = nullptr;
    float quit_after = 0.0f;
    int backwards = 0;
    PyObject* fragments = nullptr;
    int with_words = options.with_words ? 1 : 0;
    int with_phonemes = 0;
    if (!PyArg_ParseTuple(args, format, PyUnicode_FSConverter, &path_bytes,
                          &quit_after, &backwards, &fragments,
                          &options.file_rate, &options.first_index,
                          &with_words, &with_phonemes)) {
        PyErr_Clear();
        return raise_value_error(parse_error_message);
    }
    options.with_words = with_words != 0;
    options.with_phonemes = with_phonemes != 0;
    if (!PyList_Check(fragments)) {
        Py_DECREF(path_bytes);
        return raise_value_error(parse_error_message);
    }
    // A snapshot: the list itself can change while the GIL is released.
    // The snapshot and the path are held without an owned_ref: if the
    // interpreter ends this thread with pthread_exit as it takes the GIL
    // back, the unwind must not decref.
    PyObject* items = PyList_AsTuple(fragments);
    const char* path = PyBytes_AsString(path_bytes);
    PyObject* result = items == nullptr || path == nullptr
                           ? nullptr
                           : synthesize_items(path, quit_after, backwards,
                                              items, options);
    Py_XDECREF(items);
    Py_DECREF(path_bytes);
    return result;
}

PyObject* py_synthesize_multiple(PyObject* /*module*/, PyObject* args) {
    return parse_and_synthesize(args, "O&fiO", call_options{});
}

PyObject* py_synthesize_words(PyObject* /*module*/, PyObject* args) {
    call_options options;
    options.with_words = true;
    return parse_and_synthesize(args, "O&fiO", options);
}

// _synthesize_part(output_file_path, quit_after, backwards, fragments,
// file_rate, first_index) -> _part_result, words None: file_rate 0 is the
// voices' own.
PyObject* py_synthesize_part(PyObject* /*module*/, PyObject* args) {
    call_options options;
    options.part_result = true;
    return parse_and_synthesize(args, "O&fiOil", options);
}

// _synthesize_part_words: _synthesize_part with the words of each fragment
// as (offset, start, length), offset in samples from the fragment's begin.
PyObject* py_synthesize_part_words(PyObject* /*module*/, PyObject* args) {
    call_options options;
    options.part_result = true;
    options.with_words = true;
    return parse_and_synthesize(args, "O&fiOil", options);
}

// _synthesize_part_events(output_file_path, quit_after, backwards,
// fragments, file_rate, first_index, words, phonemes): _synthesize_part
// with the words where asked, the phonemes where asked, as (offset, start,
// ipa), and every fragment's marks as (offset, name).
PyObject* py_synthesize_part_events(PyObject* /*module*/, PyObject* args) {
    call_options options;
    options.part_result = true;
    options.with_marks = true;
    return parse_and_synthesize(args, "O&fiOilpp", options);
}

// _check(output_file_path, quit_after, backwards, fragments) ->
// _check_result: the arguments and every voice code checked as
// synthesize_multiple checks them, nothing written.
PyObject* py_check(PyObject* /*module*/, PyObject* args) {
    call_options options;
    options.check_only = true;
    return parse_and_synthesize(args, "O&fiO", options);
}

// _check_words: _check as synthesize_words checks (settings it cannot give
// word times for are refused).
PyObject* py_check_words(PyObject* /*module*/, PyObject* args) {
    call_options options;
    options.check_only = true;
    options.with_words = true;
    return parse_and_synthesize(args, "O&fiO", options);
}

PyMethodDef module_methods[] = {
    // Each doc string opens with the signature that inspect reads (the
    // interpreter takes that line off __doc__).
    {"synthesize_multiple", py_synthesize_multiple, METH_VARARGS,
     "synthesize_multiple($module, output_file_path, quit_after, backwards, "
     "fragments, /)\n--\n\n"
     "Synthesize multiple text fragments with eSpeak\n"
     ":param string output_file_path: the path of the WAVE file to be "
     "created\n"
     ":param float quit_after: if > 0, stop synthesizing when reaching "
     "quit_after seconds\n"
     ":param int backwards: if 1, synthesize backwards, from the last "
     "fragment to the first\n"
     ":param list fragments: list of (voice_code, text) tuples of text "
     "fragments to be synthesized\n"
     ":rtype: tuple (sample_rate, synthesized, list) where list is a list of "
     "(begin, end) time values"},
    {"synthesize_words", py_synthesize_words, METH_VARARGS,
     "synthesize_words($module, output_file_path, quit_after, backwards, "
     "fragments, /)\n--\n\n"
     "Synthesize multiple text fragments with eSpeak, with the time at which "
     "each word begins\n"
     ":rtype: tuple (sample_rate, synthesized, anchors, words) where words "
     "holds, per fragment, a list of (begin, end, start, length): times in "
     "seconds and the word's place in the fragment's text"},
    {"_synthesize_part", py_synthesize_part, METH_VARARGS, nullptr},
    {"_synthesize_part_words", py_synthesize_part_words, METH_VARARGS,
     nullptr},
    {"_synthesize_part_events", py_synthesize_part_events, METH_VARARGS,
     nullptr},
    {"_check", py_check, METH_VARARGS, nullptr},
    {"_check_words", py_check_words, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "vyn",           // m_name
    "vyn",           // m_doc
    -1,              // m_size: the engine's state is process-wide
    module_methods,  // m_methods
    nullptr,         // m_slots
    nullptr,         // m_traverse
    nullptr,         // m_clear
    nullptr,         // m_free
};

#if defined(VYN_BUNDLED) && VYN_BUNDLED
constexpr bool bundled_build = true;
#else
constexpr bool bundled_build = false;
#endif
#if defined(VYN_ESPEAK_PATCHED) && VYN_ESPEAK_PATCHED
constexpr bool patched_library = true;
#else
constexpr bool patched_library = false;
#endif

// Adds value, a new reference or null (an exception set), to the module
// under name: the module takes it over, or it is released.
int add_new_object(PyObject* module, const char* name, PyObject* value) {
    if (PyModule_AddObject(module, name, value) == 0) return 0;
    Py_XDECREF(value);
    return -1;
}

// Facts about the build, for the tests: which library it runs against,
// whether that is compiled in, and whether it carries vyn's patches.
int add_build_facts(PyObject* module) {
    if (PyModule_AddStringConstant(module, "_library_version",
                                   synthesizer_version()) != 0)
        return -1;
    for (auto [name, value] : {std::pair{"_bundled", bundled_build},
                               std::pair{"_patched", patched_library}}) {
        if (add_new_object(module, name, PyBool_FromLong(value)) != 0)
            return -1;
    }
    return 0;
}

// A record type, made once per process, kept by the module under its
// name: pickle finds it there.
int add_record_type(PyObject* module, PyStructSequence_Desc& description,
                    PyTypeObject*& type) {
    if (type == nullptr) type = PyStructSequence_NewType(&description);
    if (type == nullptr) return -1;
    Py_INCREF(type);
    return add_new_object(module, std::strchr(description.name, '.') + 1,
                          reinterpret_cast<PyObject*>(type));
}

// What vyn_tools builds on besides the private functions: the errors'
// messages and the records' types.
int add_private_interface(PyObject* module) {
    for (auto [name, message] :
         {std::pair{"_parse_error_message", parse_error_message},
          std::pair{"_synthesis_error_message", synthesis_error_message}}) {
        if (PyModule_AddStringConstant(module, name, message) != 0)
            return -1;
    }
    if (add_record_type(module, part_result_description,
                        part_result_type) != 0)
        return -1;
    return add_record_type(module, check_result_description,
                           check_result_type);
}

}  // namespace

PyMODINIT_FUNC PyInit_vyn(void) {
    owned_ref module(PyModule_Create(&module_definition));
    if (module.get() == nullptr || add_build_facts(module.get()) != 0 ||
        add_private_interface(module.get()) != 0 ||
        prepare_finalizing_check() != 0 || prepare_signal_checks() != 0)
        return nullptr;
    return module.release();
}
