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

// The time `nanoseconds` from now on that clock, for
// pthread_cond_timedwait.
timespec deadline_after(std::int64_t nanoseconds) noexcept;

#endif
