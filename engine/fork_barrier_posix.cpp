#include "fork_barrier.h"

#include <pthread.h>

namespace {

// Error-checking: the prepare handler's lock fails rather than deadlocks
// when the forking thread is the one inside the scope.
pthread_mutex_t barrier_mutex;
// Whether the prepare handler took the mutex, for the fork's other two
// handlers (all three run on the forking thread).
bool taken_for_fork = false;

void make_barrier_mutex() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_init(&barrier_mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void wait_at_barrier() {
    taken_for_fork = pthread_mutex_lock(&barrier_mutex) == 0;
}

void open_barrier_in_parent() {
    if (taken_for_fork) pthread_mutex_unlock(&barrier_mutex);
    taken_for_fork = false;
}

// The child's one thread has its own id: the mutex is made anew (a scope
// the child inherits from a fork inside it then finds it open at its end).
void open_barrier_in_child() {
    taken_for_fork = false;
    make_barrier_mutex();
}

int register_barrier() {
    make_barrier_mutex();
    return pthread_atfork(wait_at_barrier, open_barrier_in_parent,
                          open_barrier_in_child);
}

[[maybe_unused]] const int barrier_registered = register_barrier();

}  // namespace

fork_barrier::fork_barrier() noexcept { pthread_mutex_lock(&barrier_mutex); }

fork_barrier::~fork_barrier() { pthread_mutex_unlock(&barrier_mutex); }
