// The engine lock: one synthesizer and one recording per process, so one
// call at a time holds them. Internal to the engine (and its tests).
#ifndef VYN_ENGINE_LOCK_H
#define VYN_ENGINE_LOCK_H

// Holds the engine for the scope of a call, waiting while another thread
// holds it. A thread that already holds it (a signal handler that runs
// between the fragments of its own call and calls again) is refused rather
// than deadlocked: held() is then false. While it waits, the call's control
// is asked as often as between fragments whether to stop; if it says so, or
// the process exits, the call gives up waiting and held() is false.
//
// After fork() the child cannot trust what another thread of the parent was
// doing in the engine: the lock is reset and the inherited recording dropped
// in the child at once, and the first call in the child clears what the
// parent's unfinished text left queued in the library.
struct call_record;

class engine_hold {
public:
    explicit engine_hold(call_record& call) noexcept;
    engine_hold(const engine_hold&) = delete;
    engine_hold& operator=(const engine_hold&) = delete;
    ~engine_hold();
    bool held() const { return held_; }

private:
    bool held_;
};

// True once the process has begun to exit: a call in progress on another
// thread (a daemon thread of the interpreter) then stops after its fragment
// in progress, and the exit waits for it (10 s at the most), so that no call
// uses the engine's caches while the process destroys them.
bool process_exiting() noexcept;

// For the fork handler (engine_fork_posix.cpp), in the child: the lock
// afresh. True when another thread of the parent held the engine, for
// foreign_call (null while the exit held it); the child's copy of that
// call belongs to the parent.
bool reset_engine_lock_in_child(call_record*& foreign_call) noexcept;

#endif
