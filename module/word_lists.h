// The words of a call as Python sees them: one list per fragment written.
#ifndef VYN_WORD_LISTS_H
#define VYN_WORD_LISTS_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine.h"

// The words the engine hands over while a call runs, in file order.
using word_list = std::vector<word_anchor>;

// A mark as the engine hands it over, its name kept past the call.
struct mark_record {
    unsigned long long sample;
    unsigned int fragment;
    std::string name;
};

// What a call collects besides the times: the context of the engine's
// take_word, take_phoneme and take_mark.
struct event_lists {
    word_list words;
    std::vector<phoneme_anchor> phonemes;
    std::vector<mark_record> marks;
};

// The engine's take_word, take_phoneme and take_mark: each appends to its
// list of the event_lists that context points to.
int take_word_anchor(void* context, const word_anchor* word);
int take_phoneme_anchor(void* context, const phoneme_anchor* phoneme);
int take_mark_anchor(void* context, const mark_anchor* mark);

// A new list holding, for each of the synthesized fragments of table, the
// list of its words as (begin, end, start, length) tuples: begin and end in
// seconds from the file's start, each word ending where the next begins and
// the last where its fragment ends. Null with an exception set on failure.
PyObject* build_word_lists(const fragment_entry* table,
                           unsigned int synthesized, const word_list& words,
                           int sample_rate);

// The same lists with (offset, start, length) for each word: offset in
// samples from the start of its fragment, which ends at fragment_ends[i]
// samples from the start of the file. For vyn_tools, which joins the parts
// of a list into one file.
PyObject* build_word_offsets(unsigned int synthesized, const word_list& words,
                             const std::uint64_t* fragment_ends);

// Per fragment written, a list of (offset, start, ipa) per phoneme and of
// (offset, name) per mark: offsets in samples from the fragment's begin, as
// build_word_offsets gives the words'.
PyObject* build_phoneme_offsets(unsigned int synthesized,
                                const std::vector<phoneme_anchor>& phonemes,
                                const std::uint64_t* fragment_ends);
PyObject* build_mark_offsets(unsigned int synthesized,
                             const std::vector<mark_record>& marks,
                             const std::uint64_t* fragment_ends);

#endif
