// A scope that a fork of the process waits for. Internal to the engine.
#ifndef VYN_FORK_BARRIER_H
#define VYN_FORK_BARRIER_H

// While a call checks its voices, eSpeak NG lists its voices anew (freeing
// the old list) and the engine fills its caches from them: a process forked
// meanwhile by another thread would copy them half made, and its first call
// would crash in the library. fork() waits for the end of such a scope (a
// few milliseconds; tens for a process's first listing); a fork from inside
// it, on the thread that holds it, does not wait. Windows has no fork: the
// scope is empty there.
class fork_barrier {
public:
    fork_barrier() noexcept;
    fork_barrier(const fork_barrier&) = delete;
    fork_barrier& operator=(const fork_barrier&) = delete;
    ~fork_barrier();
};

#endif
