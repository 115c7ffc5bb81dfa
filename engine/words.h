// The words of the fragments written: the synthesizer's word events,
// gathered while a fragment is synthesized and merged into words after it.
// Internal to the engine (and its tests).
#ifndef VYN_WORDS_H
#define VYN_WORDS_H

#include <cstddef>
#include <cstdint>

#include <string>
#include <vector>

#include "call.h"

struct recording_record;

// A word event as the synthesizer reports it: the sample at which it
// begins, counted from the start of its text at the rate the voice
// produces, and the characters it names (position 1-based).
struct word_event {
    std::uint64_t sample;
    int position;
    int length;
};

// A word merged from the events (merge_word_events).
struct merged_word {
    std::uint64_t offset;  // samples from the start of the text
    std::size_t start;     // characters
    std::size_t length;
};

// The word events of the text being synthesized, gathered by the
// synthesizer's callback, and the room to merge them into words.
struct word_collection {
    std::vector<word_event> events;
    std::u32string characters;
    std::vector<merged_word> words;
};

// Notes one word event of the text being synthesized (from the synthesizer's
// callback). Returns false when there is no room for it.
bool note_word_event(word_collection& collection,
                     const word_event& event) noexcept;

// After fragment index of the file, which began at sample begin of the
// recording and is spoken as voice says: turns its word events into words
// and hands them to the call's take_word, then forgets them. Returns 0 or 1
// (failure).
int hand_over_words(recording_record& recording,
                    const fragment_entry& fragment, const fragment_voice& voice,
                    unsigned int index, std::uint64_t begin) noexcept;

// An event's sample, counted from the start of its text at the rate the
// voice produces, as an offset into its fragment in the file: without the
// MBROLA delay, at the file's rate (rounded as the fragment's own length
// is), and never past the fragment's end. Words, phonemes and marks alike.
std::uint64_t file_offset(const recording_record& recording,
                          std::uint64_t sample, bool mbrola,
                          std::uint64_t fragment_samples) noexcept;

// In an SSML text, the characters of its tags become blanks, so a word
// spans text content only; positions still index the source as given.
void blank_out_markup(std::u32string& text) noexcept;

// Moves each event from the blanks (tags) the library names in an SSML
// text to the first character of text content after them.
void move_to_content(const std::u32string& text,
                     std::vector<word_event>& events) noexcept;

// The events of a text whose characters (code points) are text[0..size),
// their samples already in the file's rate and counted from the start of
// the text, as words: an event on a blank or outside the text, inside the
// span the previous word's event names, or no later than that word, belongs
// to the previous word. Each word runs from its event's character to the
// last non-blank one before the next word's (the text's last for the last).
// Fills words (room for count) and returns how many there are.
std::size_t merge_word_events(const char32_t* text, std::size_t size,
                              const word_event* events, std::size_t count,
                              merged_word* words) noexcept;

#endif
