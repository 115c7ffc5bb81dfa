// The backward start search, run by the entry before the pass that writes.
// Internal to the engine.
#ifndef VYN_PASSES_H
#define VYN_PASSES_H

#include "call.h"

// Measures fragments n-1, n-2, ... of the call in a recording of their own
// at its output path until their total reaches quit_after, and gives the
// index of the last one measured (0 when the total never reaches it, or n
// is 0). Writes nothing into the table. Returns 0 or 1 (failure).
int find_backward_start(call_record& call, unsigned int* start) noexcept;

#endif
