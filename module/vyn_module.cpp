// The Python module vyn: its one function, synthesize_multiple, turns a list
// of (voice_code, text) tuples into one WAVE file and returns the anchors.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <climits>
#include <new>
#include <vector>

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
// engine runs: the list itself could change if any Python code ran.
bool fill_fragment_table(PyObject* items, std::vector<fragment_entry>& table) {
    for (std::size_t i = 0; i < table.size(); ++i) {
        PyObject* item = PyTuple_GET_ITEM(items, static_cast<Py_ssize_t>(i));
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
        PyList_SET_ITEM(anchors.get(), i, pair);
    }
    return anchors.release();
}

PyObject* build_result(const std::vector<fragment_entry>& table,
                       int sample_rate, unsigned int synthesized) {
    owned_ref anchors(build_anchors(table, synthesized));
    if (anchors.get() == nullptr) return nullptr;
    return Py_BuildValue("(iIO)", sample_rate, synthesized, anchors.get());
}

PyObject* synthesize_list(const char* output_file_path, float quit_after,
                          int backwards, PyObject* fragments) {
    owned_ref items(PyList_AsTuple(fragments));
    if (items.get() == nullptr) return nullptr;
    Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    if (n > static_cast<Py_ssize_t>(UINT_MAX))
        return raise_value_error(parse_error_message);

    std::vector<fragment_entry> table(static_cast<std::size_t>(n));
    if (!fill_fragment_table(items.get(), table)) {
        PyErr_Clear();
        return raise_value_error(parse_error_message);
    }
    int sample_rate = 0;
    unsigned int synthesized = 0;
    synthesis_control control{};
    if (synthesize_fragments(output_file_path, table.data(), quit_after,
                             static_cast<unsigned int>(n), backwards,
                             &sample_rate, &synthesized, &control) != 0)
        return raise_synthesis_error(control);
    return build_result(table, sample_rate, synthesized);
}

PyObject* py_synthesize_multiple(PyObject* /*module*/, PyObject* args) {
    const char* output_file_path = nullptr;
    float quit_after = 0.0f;
    int backwards = 0;
    PyObject* fragments = nullptr;
    if (!PyArg_ParseTuple(args, "sfiO", &output_file_path, &quit_after,
                          &backwards, &fragments) ||
        !PyList_Check(fragments)) {
        PyErr_Clear();
        return raise_value_error(parse_error_message);
    }
    try {
        return synthesize_list(output_file_path, quit_after, backwards,
                               fragments);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
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
