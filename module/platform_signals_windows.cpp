// Windows has no signal masks and no signals between threads: CPython's
// Ctrl-C handler runs on a thread of the console's and only notes the
// signal for the main thread, interrupting no write and no wait of the
// engine. Between fragments, PyErr_CheckSignals on the main thread runs
// the Python handler, as on POSIX.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <windows.h>

#include "platform_signals.h"

namespace {

// The id of the interpreter's main thread, learnt at import: Windows has
// no rule that ties it to the process's id.
unsigned long main_thread_ident = 0;

}  // namespace

int prepare_signal_checks() {
    PyObject* threading = PyImport_ImportModule("threading");
    PyObject* main_thread = threading == nullptr ? nullptr
                            : PyObject_CallMethod(threading, "main_thread",
                                                  nullptr);
    PyObject* ident = main_thread == nullptr
                          ? nullptr
                          : PyObject_GetAttrString(main_thread, "ident");
    if (ident != nullptr) main_thread_ident = PyLong_AsUnsignedLong(ident);
    Py_XDECREF(ident);
    Py_XDECREF(main_thread);
    Py_XDECREF(threading);
    return ident == nullptr || PyErr_Occurred() != nullptr ? -1 : 0;
}

// CPython's thread ident on Windows is the system's thread id (the stable
// ABI of 3.9 has no PyThread_get_thread_ident).
bool on_main_thread() noexcept {
    return GetCurrentThreadId() == main_thread_ident;
}

void hold_signals(signals_outside_call&) noexcept {}

void release_signals(const signals_outside_call&) noexcept {}

void let_signals_through(const signals_outside_call&) noexcept {}

void hold_signals_again(signals_outside_call&) noexcept {}

// The interpreter's own DLL is the one that holds Py_IsInitialized
// (python3.dll only forwards to it).
interpreter_query find_interpreter_query(const char* name) noexcept {
    HMODULE interpreter = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&Py_IsInitialized),
                            &interpreter))
        return nullptr;
    return reinterpret_cast<interpreter_query>(
        reinterpret_cast<void (*)()>(GetProcAddress(interpreter, name)));
}

void wait_for_process_exit() noexcept {
    for (;;) Sleep(INFINITE);
}
