#include "engine_lock.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "call.h"
#include "platform_wait.h"
#include "synthesizer.h"

namespace {

// The engine is held by setting engine_in_use under engine_mutex; a caller
// that finds it in use waits on engine_free (on the clock of
// platform_wait.h) in intervals at which it can be asked to stop. Read
// without the mutex by the child of a fork, which has only the forking
// thread.
pthread_mutex_t engine_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t engine_free;
bool engine_in_use = false;
// The call that holds the engine (null while the exit holds it): its
// outputs are dropped in the child of a fork.
call_record* holding_call = nullptr;
// Static TLS: LeakSanitizer's scan of the dynamic kind, in a module the
// interpreter loads, crashes at exit on threads inside a call.
__attribute__((tls_model("initial-exec"))) thread_local bool
    this_thread_holds_engine = false;
// Set by the exit handler; read by calls on any thread between fragments.
std::atomic<bool> exiting{false};

void init_engine_free() { init_timed_condition(engine_free); }

[[maybe_unused]] const bool engine_free_ready = (init_engine_free(), true);

// A caller that waits for the engine asks its control this often whether to
// stop: the rate at which a call asks between fragments.
constexpr std::int64_t stop_check_interval_ns = 50'000'000;

// How long the exit waits for a call in progress to stop.
constexpr std::int64_t exit_wait_ns = 10'000'000'000;

// Asks the control with engine_mutex released: its work (Python's signal
// handlers) may itself call and wait for the engine.
bool stop_asked_while_waiting(call_record& call) {
    pthread_mutex_unlock(&engine_mutex);
    bool stop = process_exiting() || caller_asks_to_stop(call);
    pthread_mutex_lock(&engine_mutex);
    return stop;
}

// Takes the engine, waiting while another thread holds it. False when the
// control asked to stop first.
bool take_engine(call_record& call) {
    bool may_stop = call.control.callbacks.should_stop != nullptr;
    bool taken = true;
    pthread_mutex_lock(&engine_mutex);
    while (engine_in_use) {
        if (!may_stop) {
            pthread_cond_wait(&engine_free, &engine_mutex);
            continue;
        }
        timespec deadline = deadline_after(stop_check_interval_ns);
        pthread_cond_timedwait(&engine_free, &engine_mutex, &deadline);
        if (engine_in_use && stop_asked_while_waiting(call)) {
            taken = false;
            break;
        }
    }
    taken = taken && !process_exiting();  // the exit waits for the engine
    if (taken) {
        engine_in_use = true;
        holding_call = &call;
    }
    pthread_mutex_unlock(&engine_mutex);
    return taken;
}

// Runs at exit, before the destructors of the statics built before the
// first call (the caches of checked voices among them). The engine stays
// held from here on: a waiting call never starts.
void hold_engine_through_exit() {
    exiting.store(true, std::memory_order_relaxed);
    if (this_thread_holds_engine) return;
    timespec deadline = deadline_after(exit_wait_ns);
    pthread_mutex_lock(&engine_mutex);
    while (engine_in_use && pthread_cond_timedwait(&engine_free, &engine_mutex,
                                                   &deadline) != ETIMEDOUT) {
    }
    engine_in_use = true;
    pthread_mutex_unlock(&engine_mutex);
}

}  // namespace

// Another thread may have been taking or giving back the engine at the
// fork: the child's mutex and condition start afresh. When the forking
// thread itself holds the engine (the library starting MBROLA, a handler
// forking between fragments), the call simply goes on in the child.
bool reset_engine_lock_in_child(call_record*& foreign_call) noexcept {
    pthread_mutex_init(&engine_mutex, nullptr);
    init_engine_free();
    foreign_call = nullptr;
    if (this_thread_holds_engine || !engine_in_use) return false;
    engine_in_use = false;
    foreign_call = holding_call;
    holding_call = nullptr;
    return true;
}

bool process_exiting() noexcept {
    return exiting.load(std::memory_order_relaxed);
}

engine_hold::engine_hold(call_record& call) noexcept : held_(false) {
    if (this_thread_holds_engine || !take_engine(call)) return;
    this_thread_holds_engine = true;
    held_ = true;
    static const bool exit_handler_registered =
        std::atexit(hold_engine_through_exit) == 0;
    (void)exit_handler_registered;
    drop_foreign_text();
}

engine_hold::~engine_hold() {
    if (!held_) return;
    this_thread_holds_engine = false;
    pthread_mutex_lock(&engine_mutex);
    engine_in_use = false;
    holding_call = nullptr;
    pthread_cond_broadcast(&engine_free);  // the exit among the waiters
    pthread_mutex_unlock(&engine_mutex);
}
