#include "words.h"

#include "fragment_settings.h"
#include "recording.h"
#include "resampler.h"
#include "voices.h"

#include <algorithm>
#include <new>

namespace {

// The library adds this many samples to the sample of every event while an
// MBROLA voice speaks; the samples it delivers are not late (its first word
// event, at the very start of a text, says 1,000).
constexpr std::uint64_t mbrola_event_delay = 1000;

// Blank as Python's str.isspace has it, and U+0001, which is spoken as a
// space: what a word never starts or ends on.
bool is_blank(char32_t c) {
    return c == 0x01 || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) ||
           c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
           c == 0x202F || c == 0x205F || c == 0x3000;
}

// UTF-8 into code points, as the library counts characters (a byte that
// starts no sequence counts as one).
void decode_utf8(const char* text, std::u32string& characters) {
    characters.clear();
    const auto* byte = reinterpret_cast<const unsigned char*>(text);
    while (*byte != 0) {
        int more = *byte >= 0xF0 ? 3 : *byte >= 0xE0 ? 2 : *byte >= 0xC0 ? 1 : 0;
        char32_t c = more == 0 ? *byte : *byte & (0x3F >> more);
        ++byte;
        for (; more > 0 && (*byte & 0xC0) == 0x80; --more, ++byte)
            c = (c << 6) | (*byte & 0x3F);
        characters.push_back(c);
    }
}

// An event starts a word on a character of the text that is not blank, past
// the span the previous word's event named and later than that word.
bool starts_a_word(const char32_t* text, std::size_t size,
                   const word_event& event, const merged_word* previous,
                   const word_event* previous_event) {
    if (event.position < 1 || static_cast<std::size_t>(event.position) > size)
        return false;
    auto start = static_cast<std::size_t>(event.position - 1);
    if (is_blank(text[start])) return false;
    if (previous == nullptr) return true;
    std::size_t span_end =
        previous->start + static_cast<std::size_t>(
                              std::max(previous_event->length, 1));
    return start >= span_end && event.sample > previous->offset;
}

// Up to the last non-blank character before end; the first one is not blank.
std::size_t trimmed_length(const char32_t* text, std::size_t start,
                           std::size_t end) {
    while (end > start + 1 && is_blank(text[end - 1])) --end;
    return end - start;
}

// The first word begins where its fragment begins, from the text's first
// character that is not blank: the library names it after an opening quote,
// bracket or dash, late by the time it spent on that character.
void open_at_the_text_start(const char32_t* text, merged_word& first) {
    std::size_t start = 0;
    while (start < first.start && is_blank(text[start])) ++start;
    first.offset = 0;
    first.start = start;
}

// The library reads '<' as the start of a tag before '/', '!', '?' or a
// letter (any non-ASCII character counted as one), up to the next '>'.
bool opens_tag(const std::u32string& text, std::size_t i) {
    if (text[i] != '<' || i + 1 >= text.size()) return false;
    char32_t next = text[i + 1];
    return next == '/' || next == '!' || next == '?' || next >= 0x80 ||
           ((next | 0x20) >= 'a' && (next | 0x20) <= 'z');
}

}  // namespace

void blank_out_markup(std::u32string& text) noexcept {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!opens_tag(text, i)) continue;
        for (; i < text.size() && text[i] != '>'; ++i) text[i] = ' ';
        if (i < text.size()) text[i] = ' ';
    }
}

void move_to_content(const std::u32string& text,
                     std::vector<word_event>& events) noexcept {
    for (word_event& event : events) {
        auto at = static_cast<std::size_t>(std::max(event.position - 1, 0));
        while (at < text.size() && is_blank(text[at])) ++at;
        if (at < text.size()) event.position = static_cast<int>(at + 1);
    }
}

std::size_t merge_word_events(const char32_t* text, std::size_t size,
                              const word_event* events, std::size_t count,
                              merged_word* words) noexcept {
    std::size_t n = 0;
    const word_event* opening = nullptr;  // the event of the last word
    for (std::size_t i = 0; i < count; ++i) {
        if (!starts_a_word(text, size, events[i], n > 0 ? &words[n - 1] : nullptr,
                           opening))
            continue;
        opening = &events[i];
        words[n++] = {events[i].sample,
                      static_cast<std::size_t>(events[i].position - 1), 0};
    }
    if (n > 0) open_at_the_text_start(text, words[0]);
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t end = i + 1 < n ? words[i + 1].start : size;
        words[i].length = trimmed_length(text, words[i].start, end);
    }
    return n;
}

bool note_word_event(word_collection& collection,
                     const word_event& event) noexcept {
    try {
        collection.events.push_back(event);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

std::uint64_t file_offset(const recording_record& recording,
                          std::uint64_t sample, bool mbrola,
                          std::uint64_t fragment_samples) noexcept {
    if (mbrola) sample = sample > mbrola_event_delay ? sample - mbrola_event_delay : 0;
    if (recording.produced_rate != recording.sample_rate)
        sample = converted_length(sample, recording.produced_rate,
                                  recording.sample_rate);
    return std::min(sample, fragment_samples);
}

namespace {

std::size_t merge_gathered(recording_record& recording,
                           const fragment_entry& fragment, bool mbrola,
                           std::uint64_t fragment_samples) {
    word_collection& gathered = recording.words;
    for (word_event& event : gathered.events)
        event.sample =
            file_offset(recording, event.sample, mbrola, fragment_samples);
    decode_utf8(fragment.text, gathered.characters);
    if (reads_ssml(fragment.settings)) {
        blank_out_markup(gathered.characters);
        move_to_content(gathered.characters, gathered.events);
    }
    gathered.words.resize(gathered.events.size());
    return merge_word_events(gathered.characters.data(),
                             gathered.characters.size(),
                             gathered.events.data(), gathered.events.size(),
                             gathered.words.data());
}

}  // namespace

int hand_over_words(recording_record& recording,
                    const fragment_entry& fragment, const fragment_voice& voice,
                    unsigned int index, std::uint64_t begin) noexcept {
    word_collection& gathered = recording.words;
    if (gathered.events.empty() || fragment.text == nullptr) return 0;
    std::size_t count = 0;
    try {
        count = merge_gathered(recording, fragment, voice.voice->mbrola,
                               recording.samples_written - begin);
    } catch (const std::bad_alloc&) {
        gathered.events.clear();
        return 1;
    }
    gathered.events.clear();
    const synthesis_callbacks& callbacks = recording.call.control.callbacks;
    for (std::size_t i = 0; i < count; ++i) {
        const merged_word& word = gathered.words[i];
        word_anchor anchor{begin + word.offset, index,
                           static_cast<unsigned int>(word.start),
                           static_cast<unsigned int>(word.length)};
        if (callbacks.take_word(callbacks.word_context, &anchor) != 0)
            return 1;
    }
    return 0;
}
