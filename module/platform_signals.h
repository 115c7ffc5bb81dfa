// Signals and waiting around a call, one small interface per platform:
// platform_signals_posix.cpp and platform_signals_windows.cpp.
#ifndef VYN_PLATFORM_SIGNALS_H
#define VYN_PLATFORM_SIGNALS_H

#ifdef _WIN32
// Windows has no signal masks: nothing is held during a call.
struct signals_outside_call {};
#else
#include <signal.h>
// What was in force on the thread before the call held its signals.
struct signals_outside_call {
    sigset_t mask;
    const sigset_t* enclosing;  // of a call this one runs inside, or null
};
#endif

// Learns at import what on_main_thread needs. Returns 0, or -1 with an
// exception set.
int prepare_signal_checks();

// Whether this is the thread the interpreter runs signal handlers on.
bool on_main_thread() noexcept;

// Keeps the signals that come from outside the thread pending from here to
// release_signals, so that no write or library wait of the call fails on
// one; `outside` keeps what was in force.
void hold_signals(signals_outside_call& outside) noexcept;
void release_signals(const signals_outside_call& outside) noexcept;

// Lets the held signals reach the interpreter's C-level handler (between
// fragments), until hold_signals_again.
void let_signals_through(const signals_outside_call& outside) noexcept;
void hold_signals_again(signals_outside_call& outside) noexcept;

// A function of the running interpreter that the stable ABI of 3.9 does
// not name, looked up by name; null where the interpreter has none.
using interpreter_query = int (*)();
interpreter_query find_interpreter_query(const char* name) noexcept;

// Waits for the process to end, never returning.
[[noreturn]] void wait_for_process_exit() noexcept;

#endif
