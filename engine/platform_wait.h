// Timed waits on a condition, one small interface per platform:
// platform_wait_posix.cpp and platform_wait_windows.cpp.
// Internal to the engine.
#ifndef VYN_PLATFORM_WAIT_H
#define VYN_PLATFORM_WAIT_H

#include <pthread.h>
#include <time.h>

#include <cstdint>

// Initialises condition for timed waits on the platform's wait clock.
void init_timed_condition(pthread_cond_t& condition) noexcept;

// The clock those waits are measured against.
extern const clockid_t wait_clock;

// The time `nanoseconds` from now on that clock, for
// pthread_cond_timedwait.
inline timespec deadline_after(std::int64_t nanoseconds) noexcept {
    timespec deadline;
    clock_gettime(wait_clock, &deadline);
    deadline.tv_sec += nanoseconds / 1'000'000'000;
    deadline.tv_nsec += static_cast<long>(nanoseconds % 1'000'000'000);
    if (deadline.tv_nsec >= 1'000'000'000) {
        deadline.tv_nsec -= 1'000'000'000;
        ++deadline.tv_sec;
    }
    return deadline;
}

#endif
