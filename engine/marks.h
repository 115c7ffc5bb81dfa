// The named marks of the fragments written (SSML <mark name="..."/>): the
// synthesizer's mark events, gathered while a fragment is synthesized and
// handed over after it. Internal to the engine (and its tests).
#ifndef VYN_MARKS_H
#define VYN_MARKS_H

#include <cstdint>
#include <string>
#include <vector>

#include "call.h"

struct recording_record;

struct mark_event {
    std::uint64_t sample;  // from the start of its text, at the voice's rate
    std::string name;
};

struct mark_collection {
    std::vector<mark_event> events;
};

// Notes one mark event (from the synthesizer's callback): the name is
// copied, since the library reuses its room. Returns false when there is
// no room for it.
bool note_mark_event(mark_collection& collection, std::uint64_t sample,
                     const char* name) noexcept;

// After fragment index of the file, which began at sample begin of the
// recording and is spoken as voice says: hands its marks to the call's
// take_mark, in text order, then forgets them. Returns 0 or 1.
int hand_over_marks(recording_record& recording, const fragment_voice& voice,
                    unsigned int index, std::uint64_t begin) noexcept;

#endif
