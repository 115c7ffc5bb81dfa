// What a voice code means: one place that checks a code before anything is
// written, resolves it as the espeak-ng command line's -v does, and applies
// it for a fragment. Internal to the engine (and its tests).
#ifndef VYN_VOICES_H
#define VYN_VOICES_H

#include "call.h"

// What the check learned about one code, kept for the rest of the process
// (the fragments of a call point to it: fragment_voice, call.h).
struct resolved_voice {
    bool known;          // false: the code is refused, reason says why
    bool by_name;        // selected by name or file, else by language
    bool mbrola;         // an MBROLA voice (its own process, its own rate)
    int sample_rate;     // Hz of the samples this voice produces
    char selector[80];   // what is handed to the library, NUL-terminated
    char reason[96];     // why an unknown code is refused
};

// Checks the voice code of every fragment of the call before a recording
// starts, and gives each fragment its voice (call.voices); each distinct
// code costs one check per process (a bounded number of codes is
// remembered between calls, every code of a call until it ends), and its
// voice's dictionary before the library selects the voice. Gives the file's
// rate: the highest rate among the fragments' voices (the initialised rate
// for an empty table), so converting up loses nothing of the others.
// Each fragment's settings are checked with its voice. On a refused code or
// setting returns 1 with the fragment and the reason in the call's results.
int check_voices(call_record& call, int* file_rate) noexcept;

// Selects the fragment's voice, restores the parameters every fragment
// starts from (its voice's own speed among them) and applies the
// fragment's own settings. Returns 0 or 1.
int apply_voice(const fragment_voice& voice,
                const synthesis_callbacks& callbacks) noexcept;

// Forgets every checked code. For tests that script a fresh synthesizer.
void reset_voice_cache() noexcept;

#endif
