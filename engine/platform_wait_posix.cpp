#include "platform_wait.h"

// The monotonic clock: a change of the system's time neither cuts a wait
// short nor stretches it.
const clockid_t wait_clock = CLOCK_MONOTONIC;

void init_timed_condition(pthread_cond_t& condition) noexcept {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, wait_clock);
    pthread_cond_init(&condition, &attributes);
    pthread_condattr_destroy(&attributes);
}
