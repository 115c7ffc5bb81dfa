#include "platform_wait.h"

// winpthreads refuses CLOCK_MONOTONIC for a condition (EINVAL) and measures
// every timed wait against CLOCK_REALTIME: a monotonic deadline would lie
// in the past and end each wait at once. The deadlines are real-time ones,
// so a change of the system's time during a wait shifts it.
void init_timed_condition(pthread_cond_t& condition) noexcept {
    pthread_cond_init(&condition, nullptr);
}

timespec deadline_after(std::int64_t nanoseconds) noexcept {
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += nanoseconds / 1'000'000'000;
    deadline.tv_nsec += static_cast<long>(nanoseconds % 1'000'000'000);
    if (deadline.tv_nsec >= 1'000'000'000) {
        deadline.tv_nsec -= 1'000'000'000;
        ++deadline.tv_sec;
    }
    return deadline;
}
