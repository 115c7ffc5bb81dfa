// The step both passes take for each fragment, and what they ask after it.
// Internal to the engine.
#ifndef VYN_FRAGMENT_STEP_H
#define VYN_FRAGMENT_STEP_H

#include "recording.h"

// Applies the voice fragment j of the call carries (apply_voice). Returns 0
// or 1.
int apply_fragment_voice(recording_record& recording, unsigned int j) noexcept;

// Synthesizes the text of fragment j, whose voice is applied, into the
// recording. Returns 0, or 1 with the fragment and the cause named in the
// call's results where the cause is known. A text in an MBROLA voice is
// watched: if its MBROLA process dies or stalls, the text fails and a
// regular file loses what it had written of it.
int synthesize_fragment(recording_record& recording, unsigned int j) noexcept;

// True when the clock has reached a positive limit (a tie stops; a NaN or
// non-positive limit never does).
bool limit_reached(float seconds, float quit_after) noexcept;

// True when the caller asks to stop, or the process exits (asked after
// every fragment).
bool stop_requested(const call_record& call) noexcept;

#endif
