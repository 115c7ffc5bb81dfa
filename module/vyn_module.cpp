// The Python module vyn: its one function, synthesize_multiple, turns a list
// of (voice_code, text) tuples into one WAVE file and returns the anchors.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <climits>
#include <csignal>
#include <ctime>
#include <new>
#include <vector>

#include <pthread.h>
#include <unistd.h>

#include "engine.h"

namespace {

const char parse_error_message[] = "Error while parsing the arguments";
const char synthesis_error_message[] =
    "Error while synthesizing multiple fragments";

// A strong reference, released on every path out of its scope.
class owned_ref {
public:
    explicit owned_ref(PyObject* object) : object_(object) {}
    owned_ref(const owned_ref&) = delete;
    owned_ref& operator=(const owned_ref&) = delete;
    ~owned_ref() { Py_XDECREF(object_); }
    PyObject* get() const { return object_; }
    PyObject* release() {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }

private:
    PyObject* object_;
};

// Signals that come from outside the thread: they stay pending while the
// engine runs, so that no write or library wait they would interrupt fails
// a fragment, and are delivered between fragments and when the call ends.
// Signals raised by a faulting instruction, and abort's, are never blocked.
sigset_t make_asynchronous_signals() {
    sigset_t set;
    sigfillset(&set);
    for (int synchronous : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS,
                            SIGABRT})
        sigdelset(&set, synchronous);
    return set;
}

const sigset_t asynchronous_signals = make_asynchronous_signals();

// The signal mask outside the call this thread is in, if any. The library
// forks MBROLA during a call: that process must start with this mask, not
// with the call's. (Static TLS, like the engine's.)
__attribute__((tls_model("initial-exec"))) thread_local const sigset_t*
    mask_outside_call = nullptr;

void restore_mask_in_child() {
    if (mask_outside_call != nullptr)
        pthread_sigmask(SIG_SETMASK, mask_outside_call, nullptr);
}

[[maybe_unused]] const int fork_handler_registered =
    pthread_atfork(nullptr, nullptr, restore_mask_in_child);

// Python runs signal handlers on the main thread only (with the standard
// interpreter, the thread whose id is the process id, also in a forked
// child), so only a call there checks for them.
bool on_main_thread() { return gettid() == getpid(); }

bool interpreter_finalizing() {
#if defined(Py_LIMITED_API)
    return !Py_IsInitialized();  // turns false as finalizing starts
#elif PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// Taking the GIL back waits for the switch interval of a busy thread, so
// handlers run at most this often, not after every short fragment.
constexpr long signal_check_interval_ns = 50'000'000;

struct signal_check {
    PyThreadState* thread_state;  // saved while the GIL is released
    sigset_t caller_mask;         // the mask outside the call
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
    // Pending signals are delivered here, to Python's C-level handler.
    pthread_sigmask(SIG_SETMASK, &check.caller_mask, nullptr);
    PyEval_RestoreThread(check.thread_state);
    check.raised = PyErr_CheckSignals() != 0;
    check.thread_state = PyEval_SaveThread();
    pthread_sigmask(SIG_BLOCK, &asynchronous_signals, &check.caller_mask);
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

// Python 3.11-3.13 end a thread that asks for the GIL while the interpreter
// exits with pthread_exit, which unwinds the C++ frames in between. A
// daemon thread whose call ends then waits for the process to end instead.
[[noreturn]] void wait_for_exit() {
    for (;;) pause();
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
    control.context = &check;
    control.run_exclusive = run_under_gil;
    if (main_thread) control.should_stop = run_signal_handlers;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    schedule_next_check(check, now);
    pthread_sigmask(SIG_BLOCK, &asynchronous_signals, &check.caller_mask);
    const sigset_t* outer_mask = mask_outside_call;
    mask_outside_call = &check.caller_mask;
    check.thread_state = PyEval_SaveThread();
    int status = synthesize_fragments(
        output_file_path, table.data(), quit_after,
        static_cast<unsigned int>(table.size()), backwards, sample_rate,
        synthesized, &control);
    mask_outside_call = outer_mask;
    pthread_sigmask(SIG_SETMASK, &check.caller_mask, nullptr);
    if (!main_thread && interpreter_finalizing()) wait_for_exit();
    PyEval_RestoreThread(check.thread_state);
    *raised = check.raised;
    return status;
}

PyObject* raise_value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return nullptr;
}

// The synthesis error, with "fragment N: reason" added as a note where the
// engine blamed one fragment and the interpreter has notes (3.11 on); the
// message itself stays as it is.
PyObject* raise_synthesis_error(const synthesis_control& control) {
    owned_ref error(PyObject_CallFunction(PyExc_ValueError, "s",
                                          synthesis_error_message));
    if (error.get() == nullptr) return nullptr;
#if PY_VERSION_HEX >= 0x030B0000
    if (control.failed_fragment >= 0) {
        owned_ref added(PyObject_CallMethod(
            error.get(), "add_note", "N",
            PyUnicode_FromFormat("fragment %ld: %s", control.failed_fragment,
                                 control.failure_reason)));
        if (added.get() == nullptr) PyErr_Clear();
    }
#else
    (void)control;
#endif
    PyErr_SetObject(PyExc_ValueError, error.get());
    return nullptr;
}

// Points the table's entries into the items' UTF-8 buffers. The items come
// from a tuple snapshot of the list, which the caller keeps alive while the
// engine runs.
bool fill_fragment_table(PyObject* items, std::vector<fragment_entry>& table) {
    for (std::size_t i = 0; i < table.size(); ++i) {
        PyObject* item = PyTuple_GetItem(items, static_cast<Py_ssize_t>(i));
        if (!PyArg_ParseTuple(item, "ss", &table[i].voice_code,
                              &table[i].text))
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
        if (pair == nullptr) return nullptr;
        if (PyList_SetItem(anchors.get(), i, pair) != 0) return nullptr;
    }
    return anchors.release();
}

PyObject* build_result(const std::vector<fragment_entry>& table,
                       int sample_rate, unsigned int synthesized) {
    owned_ref anchors(build_anchors(table, synthesized));
    if (anchors.get() == nullptr) return nullptr;
    return Py_BuildValue("(iIO)", sample_rate, synthesized, anchors.get());
}

PyObject* synthesize_items(const char* output_file_path, float quit_after,
                           int backwards, PyObject* items) {
    Py_ssize_t n = PyTuple_Size(items);
    if (n > static_cast<Py_ssize_t>(UINT_MAX))
        return raise_value_error(parse_error_message);
    try {
        std::vector<fragment_entry> table(static_cast<std::size_t>(n));
        if (!fill_fragment_table(items, table)) {
            PyErr_Clear();
            return raise_value_error(parse_error_message);
        }
        // The first initialisation calls setlocale: it runs under the GIL.
        if (prepare_synthesizer() != 0)
            return raise_value_error(synthesis_error_message);
        int sample_rate = 0;
        unsigned int synthesized = 0;
        synthesis_control control{};
        bool raised = false;
        int status = call_engine(output_file_path, table, quit_after,
                                 backwards, &sample_rate, &synthesized,
                                 control, &raised);
        if (raised) return nullptr;
        if (status != 0) return raise_synthesis_error(control);
        return build_result(table, sample_rate, synthesized);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// The path may be a str, bytes or any os.PathLike, as everywhere in the
// standard library; it becomes bytes in the file-system encoding, so a name
// that is not UTF-8 reaches the file system byte for byte.
PyObject* py_synthesize_multiple(PyObject* /*module*/, PyObject* args) {
    PyObject* path_bytes = nullptr;
    float quit_after = 0.0f;
    int backwards = 0;
    PyObject* fragments = nullptr;
    if (!PyArg_ParseTuple(args, "O&fiO", PyUnicode_FSConverter, &path_bytes,
                          &quit_after, &backwards, &fragments)) {
        PyErr_Clear();
        return raise_value_error(parse_error_message);
    }
    if (!PyList_Check(fragments)) {
        Py_DECREF(path_bytes);
        return raise_value_error(parse_error_message);
    }
    // A snapshot: the list itself can change while the GIL is released.
    // The snapshot and the path are held without an owned_ref: if the
    // interpreter ends this thread with pthread_exit as it takes the GIL
    // back, the unwind must not decref.
    PyObject* items = PyList_AsTuple(fragments);
    PyObject* result = items == nullptr
                           ? nullptr
                           : synthesize_items(PyBytes_AsString(path_bytes),
                                              quit_after, backwards, items);
    Py_XDECREF(items);
    Py_DECREF(path_bytes);
    return result;
}

PyMethodDef module_methods[] = {
    {"synthesize_multiple", py_synthesize_multiple, METH_VARARGS,
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

}  // namespace

PyMODINIT_FUNC PyInit_vyn(void) {
    return PyModule_Create2(&module_definition, PYTHON_API_VERSION);
}
