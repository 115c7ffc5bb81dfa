#include "platform_wait.h"

// The monotonic clock: a change of the system's time neither cuts a wait
// short nor stretches it.
void init_timed_condition(pthread_cond_t& condition) noexcept {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&condition, &attributes);
    pthread_condattr_destroy(&attributes);
}

timespec deadline_after(std::int64_t nanoseconds) noexcept {
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += nanoseconds / 1'000'000'000;
    deadline.tv_nsec += static_cast<long>(nanoseconds % 1'000'000'000);
    if (deadline.tv_nsec >= 1'000'000'000) {
        deadline.tv_nsec -= 1'000'000'000;
        ++deadline.tv_sec;
    }
    return deadline;
}
