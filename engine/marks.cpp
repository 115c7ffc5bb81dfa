#include "marks.h"

#include "recording.h"
#include "voices.h"
#include "words.h"

#include <new>

bool note_mark_event(mark_collection& collection, std::uint64_t sample,
                     const char* name) noexcept {
    try {
        collection.events.push_back({sample, name != nullptr ? name : ""});
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

int hand_over_marks(recording_record& recording, const fragment_voice& voice,
                    unsigned int index, std::uint64_t begin) noexcept {
    std::vector<mark_event>& events = recording.marks.events;
    const synthesis_callbacks& callbacks = recording.call.control.callbacks;
    std::uint64_t fragment_samples = recording.samples_written - begin;
    int status = 0;
    for (std::size_t i = 0; i < events.size() && status == 0; ++i) {
        std::uint64_t offset = file_offset(recording, events[i].sample,
                                           voice.voice->mbrola,
                                           fragment_samples);
        mark_anchor anchor{begin + offset, index, events[i].name.c_str()};
        status = callbacks.take_mark(callbacks.word_context, &anchor);
    }
    events.clear();
    return status;
}
