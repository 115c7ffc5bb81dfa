#include "call.h"

#include <cstdio>

bool caller_asks_to_stop(const call_record& call) noexcept {
    const synthesis_callbacks& callbacks = call.control.callbacks;
    return callbacks.should_stop != nullptr &&
           callbacks.should_stop(callbacks.context) != 0;
}

void blame(call_record& call, unsigned int j, const char* reason) noexcept {
    if (reason == nullptr) return;
    name_cause(call.control.results, reason);
    call.control.results.failed_fragment = static_cast<long>(j);
}

void name_cause(synthesis_results& results, const char* reason) noexcept {
    results.failed_fragment = -1;
    std::snprintf(results.failure_reason, sizeof results.failure_reason, "%s",
                  reason);
}
