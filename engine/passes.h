// The two passes over the fragment table. Internal to the engine.
#ifndef VYN_PASSES_H
#define VYN_PASSES_H

#include "engine.h"

// Measures fragments n-1, n-2, ... in a recording of their own at
// output_file_path until their total reaches quit_after, and gives the index
// of the last one measured (0 when the total never reaches it, or n is 0).
// Writes nothing into the table. Returns 0 or 1 (failure).
int find_backward_start(const char* output_file_path, int file_rate,
                        const fragment_entry* fragments,
                        float quit_after,
                        unsigned int n,
                        unsigned int* start,
                        synthesis_control* control) noexcept;

// Synthesizes the text of fragment j, whose voice is applied. Returns 0, or
// 1 with the fragment and the cause named in the control where the cause is
// known. A text in an MBROLA voice is watched: if its MBROLA process dies or
// stalls, the text fails and a regular file loses what it had written of it.
int synthesize_fragment(const fragment_entry& fragment, unsigned int j,
                        synthesis_control* control) noexcept;

// True when the clock has reached a positive limit (a tie stops; a NaN or
// non-positive limit never does).
bool limit_reached(float seconds, float quit_after) noexcept;

// True when the caller's control asks to stop, or the process exits (asked
// after every fragment).
bool stop_requested(synthesis_control* control) noexcept;

#endif
