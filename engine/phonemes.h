// The phonemes of the fragments written: the synthesizer's phoneme events
// (asked for at initialisation, with IPA names), gathered while a fragment
// is synthesized and handed over after it. Internal to the engine (and its
// tests).
#ifndef VYN_PHONEMES_H
#define VYN_PHONEMES_H

#include <cstdint>
#include <vector>

#include "call.h"

struct recording_record;

// A phoneme event as the synthesizer reports it: the sample at which it
// begins, counted from the start of its text at the rate the voice
// produces, the character it names (1-based) and its IPA name.
struct phoneme_event {
    std::uint64_t sample;
    int position;
    char ipa[9];
};

struct phoneme_collection {
    std::vector<phoneme_event> events;
};

// Notes one phoneme event of the text being synthesized (from the
// synthesizer's callback); name is the event's 8 bytes, NUL-terminated only
// when shorter. A language switch, which the library reports as a phoneme
// named "(en)", is no phoneme and is dropped. Returns false when there is no
// room for it.
bool note_phoneme_event(phoneme_collection& collection, std::uint64_t sample,
                        int position, const char* name) noexcept;

// After fragment index of the file, which began at sample begin of the
// recording and is spoken as voice says: hands its phonemes to the call's
// take_phoneme, in order, then forgets them. The first begins at the
// fragment's begin; none begins before the one ahead of it. Returns 0 or 1.
int hand_over_phonemes(recording_record& recording, const fragment_voice& voice,
                       unsigned int index, std::uint64_t begin) noexcept;

#endif
