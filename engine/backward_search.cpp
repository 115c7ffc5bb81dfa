#include "fragment_step.h"
#include "passes.h"

// The measuring audio goes to the output path itself, in reverse order; the
// forward pass recreates the file afterwards. A pipe or device is only
// opened here, and the forward pass writes into it.
int find_backward_start(call_record& call, unsigned int* start) noexcept {
    *start = 0;
    if (call.n == 0) return 0;
    recording_record recording(call);
    if (start_recording(recording, recording_use::measuring) != 0) return 1;
    unsigned int j = call.n - 1;
    for (;;) {
        if (apply_fragment_voice(recording, j) != 0 ||
            synthesize_fragment(recording, j) != 0)
            return 1;
        if (stop_requested(call)) return 1;
        if (limit_reached(elapsed_seconds(recording), call.quit_after) ||
            j == 0)
            break;
        --j;
    }
    if (finish_recording(recording) != 0) return 1;
    *start = j;
    return 0;
}
