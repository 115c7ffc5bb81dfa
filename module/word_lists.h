// The words of a call as Python sees them: one list per fragment written.
#ifndef VYN_WORD_LISTS_H
#define VYN_WORD_LISTS_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <vector>

#include "engine.h"

// The words the engine hands over while a call runs, in file order.
using word_list = std::vector<word_anchor>;

// The engine's take_word: appends to the word_list that context points to.
int take_word_anchor(void* context, const word_anchor* word);

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

#endif
