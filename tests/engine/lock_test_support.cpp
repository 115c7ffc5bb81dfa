#include "lock_test_support.h"

synthesis_control control_of(int (*should_stop)(void*), void* context) {
    synthesis_control control{};
    control.callbacks.should_stop = should_stop;
    control.callbacks.context = context;
    return control;
}

int call(const std::string& path, std::vector<fragment_entry> table,
         synthesis_control* control) {
    int rate = 0;
    unsigned int synthesized = 0;
    return synthesize_fragments(path.c_str(), table.data(), 0,
                                static_cast<unsigned int>(table.size()), 0,
                                &rate, &synthesized, control);
}

// Holds a call between its fragments until the test lets it go.
int hold_at_gate(void* context) {
    auto& gate = *static_cast<struct gate*>(context);
    std::unique_lock<std::mutex> lock(gate.mutex);
    gate.inside = true;
    gate.changed.notify_all();
    gate.changed.wait(lock, [&] { return gate.go; });
    return 0;
}

void wait_inside(gate& gate) {
    std::unique_lock<std::mutex> lock(gate.mutex);
    gate.changed.wait(lock, [&] { return gate.inside; });
}

void open_gate(gate& gate) {
    std::lock_guard<std::mutex> lock(gate.mutex);
    gate.go = true;
    gate.changed.notify_all();
}
