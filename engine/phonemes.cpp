#include "phonemes.h"

#include "recording.h"
#include "voices.h"
#include "words.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// Without the bytes of a UTF-8 sequence that the library's cut left
// incomplete at the end of a name.
std::size_t whole_characters(const char* name, std::size_t length) {
    std::size_t start = length;
    while (start > 0 && (static_cast<unsigned char>(name[start - 1]) & 0xC0) == 0x80)
        --start;
    if (start == 0) return length;
    auto lead = static_cast<unsigned char>(name[start - 1]);
    std::size_t needed = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return length - (start - 1) >= needed ? length : start - 1;
}

}  // namespace

bool note_phoneme_event(phoneme_collection& collection, std::uint64_t sample,
                        int position, const char* name) noexcept {
    // The library copies 8 bytes of the name: a name that fills them has no
    // NUL, and the bytes after a shorter name's NUL are stale.
    std::size_t length = whole_characters(name, strnlen(name, 8));
    if (length > 0 && name[0] == '(') return true;  // "(en)": a switch
    phoneme_event event{sample, position, {}};
    std::memcpy(event.ipa, name, length);
    event.ipa[length] = '\0';
    try {
        collection.events.push_back(event);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

namespace {

phoneme_anchor anchor_of(const phoneme_event& event, unsigned int index,
                         std::uint64_t sample) {
    phoneme_anchor anchor{sample, index,
                          static_cast<unsigned int>(std::max(event.position - 1, 0)),
                          {}};
    std::memcpy(anchor.ipa, event.ipa, sizeof anchor.ipa);
    return anchor;
}

}  // namespace

int hand_over_phonemes(recording_record& recording, const fragment_voice& voice,
                       unsigned int index, std::uint64_t begin) noexcept {
    std::vector<phoneme_event>& events = recording.phonemes.events;
    const synthesis_callbacks& callbacks = recording.call.control.callbacks;
    std::uint64_t fragment_samples = recording.samples_written - begin;
    std::uint64_t offset = 0;
    int status = 0;
    for (std::size_t i = 0; i < events.size() && status == 0; ++i) {
        // The first event comes once the first sound has started (1,080
        // samples into "Church"): the fragment's first phoneme begins with it.
        if (i > 0)
            offset = std::max(offset, file_offset(recording, events[i].sample,
                                                  voice.voice->mbrola,
                                                  fragment_samples));
        phoneme_anchor anchor = anchor_of(events[i], index, begin + offset);
        status = callbacks.take_phoneme(callbacks.word_context, &anchor);
    }
    events.clear();
    return status;
}
