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

// True when the clock has reached a positive limit (a tie stops; a NaN or
// non-positive limit never does).
bool limit_reached(float seconds, float quit_after) noexcept;

// True when the caller's control asks to stop (asked after every fragment).
bool stop_requested(synthesis_control* control) noexcept;

#endif
