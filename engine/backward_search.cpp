#include "passes.h"
#include "recording.h"
#include "voices.h"

// The measuring audio goes to the output path itself, in reverse order; the
// forward pass recreates the file afterwards. A pipe or device is only
// opened here, and the forward pass writes into it.
int find_backward_start(const char* output_file_path, int file_rate,
                        const fragment_entry* fragments,
                        float quit_after,
                        unsigned int n,
                        unsigned int* start,
                        synthesis_control* control) noexcept {
    *start = 0;
    if (n == 0) return 0;
    recording_scope scope;
    if (start_recording(output_file_path, file_rate,
                        recording_use::measuring) != 0)
        return 1;
    unsigned int j = n - 1;
    for (;;) {
        if (apply_voice(fragments[j].voice_code) != 0) return 1;
        if (synthesize_fragment(fragments[j], j, control) != 0) return 1;
        if (stop_requested(control)) return 1;
        if (limit_reached(elapsed_seconds(), quit_after) || j == 0) break;
        --j;
    }
    if (finish_recording() != 0) return 1;
    *start = j;
    return 0;
}
