#include "platform_signals.h"

#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

#include <initializer_list>

namespace {

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

}  // namespace

int prepare_signal_checks() { return 0; }

// Python runs signal handlers on the main thread only (with the standard
// interpreter, the thread whose id is the process id, also in a forked
// child), so only a call there checks for them.
bool on_main_thread() noexcept { return gettid() == getpid(); }

void hold_signals(signals_outside_call& outside) noexcept {
    pthread_sigmask(SIG_BLOCK, &asynchronous_signals, &outside.mask);
    outside.enclosing = mask_outside_call;
    mask_outside_call = &outside.mask;
}

void release_signals(const signals_outside_call& outside) noexcept {
    mask_outside_call = outside.enclosing;
    pthread_sigmask(SIG_SETMASK, &outside.mask, nullptr);
}

// Pending signals are delivered as the mask opens, to Python's C-level
// handler.
void let_signals_through(const signals_outside_call& outside) noexcept {
    pthread_sigmask(SIG_SETMASK, &outside.mask, nullptr);
}

void hold_signals_again(signals_outside_call& outside) noexcept {
    pthread_sigmask(SIG_BLOCK, &asynchronous_signals, &outside.mask);
}

interpreter_query find_interpreter_query(const char* name) noexcept {
    return reinterpret_cast<interpreter_query>(dlsym(RTLD_DEFAULT, name));
}

void wait_for_process_exit() noexcept {
    for (;;) pause();
}
