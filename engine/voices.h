// What a voice code means: one place that checks a code before anything is
// written, resolves it as the espeak-ng command line's -v does, and applies
// it for a fragment. Internal to the engine (and its tests).
#ifndef VYN_VOICES_H
#define VYN_VOICES_H

#include "engine.h"

// What the check learned about one code, kept for the rest of the process.
struct resolved_voice {
    bool known;          // false: the code is refused, reason says why
    bool by_name;        // selected by name or file, else by language
    bool mbrola;         // an MBROLA voice (its own process, its own rate)
    int sample_rate;     // Hz of the samples this voice produces
    char selector[80];   // what is handed to the library, NUL-terminated
    char reason[96];     // why an unknown code is refused
};

// Checks the voice code of every fragment, 0 to n - 1, before a recording
// starts; each distinct code costs one check per process (a bounded number
// of codes is remembered between calls, every code of a call until it
// ends), and its voice's dictionary before the library selects the voice.
// Gives the file's rate: the highest rate among the fragments' voices (the
// initialised rate for an empty table), so converting up loses nothing of
// the others. On a refused code returns 1 and, with control, names the
// fragment and the reason.
int check_voices(const fragment_entry* fragments, unsigned int n,
                 synthesis_control* control, int* file_rate) noexcept;

// The record of a code that check_voices accepted (null for any other):
// sample_rate is the rate of the samples the fragment's voice produces.
const resolved_voice* checked_voice(const char* voice_code) noexcept;

// Selects the fragment's checked voice and restores the parameters every
// fragment starts from (its voice's own speed among them). Returns 0 or 1.
int apply_voice(const char* voice_code) noexcept;

// Forgets every checked code. For tests that script a fresh synthesizer.
void reset_voice_cache() noexcept;

#endif
