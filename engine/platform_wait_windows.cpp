#include "platform_wait.h"

// winpthreads refuses CLOCK_MONOTONIC for a condition (EINVAL) and measures
// every timed wait against CLOCK_REALTIME: a monotonic deadline would lie
// in the past and end each wait at once. The deadlines are real-time ones,
// so a change of the system's time during a wait shifts it.
const clockid_t wait_clock = CLOCK_REALTIME;

void init_timed_condition(pthread_cond_t& condition) noexcept {
    pthread_cond_init(&condition, nullptr);
}
