// What the tests of the engine lock share: a call with a control, and a
// gate that holds a call between its fragments.
#ifndef VYN_LOCK_TEST_SUPPORT_H
#define VYN_LOCK_TEST_SUPPORT_H

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "engine.h"

synthesis_control control_of(int (*should_stop)(void*), void* context);

int call(const std::string& path, std::vector<fragment_entry> table,
         synthesis_control* control = nullptr);

struct gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool inside = false;
    bool go = false;
};

// Holds a call between its fragments until the test lets it go.
int hold_at_gate(void* context);
void wait_inside(gate& gate);
void open_gate(gate& gate);

#endif
