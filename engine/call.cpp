#include "call.h"

#include <cstdio>

bool caller_asks_to_stop(const call_record& call) noexcept {
    const synthesis_callbacks& callbacks = call.control.callbacks;
    return callbacks.should_stop != nullptr &&
           callbacks.should_stop(callbacks.context) != 0;
}

void blame(call_record& call, unsigned int j, const char* reason) noexcept {
    if (reason == nullptr) return;
    synthesis_results& results = call.control.results;
    results.failed_fragment = static_cast<long>(j);
    std::snprintf(results.failure_reason, sizeof results.failure_reason, "%s",
                  reason);
}
