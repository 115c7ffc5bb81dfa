#include "word_lists.h"

#include <new>

namespace {

// Seconds as the anchors have them: the sample count over the rate, as a
// 32-bit float.
double seconds_at(unsigned long long sample, int sample_rate) {
    return double{static_cast<float>(static_cast<double>(sample) /
                                     sample_rate)};
}

PyObject* word_tuple(const word_list& words, std::size_t i, std::size_t last,
                     float fragment_end, int sample_rate) {
    double end = i + 1 < last ? seconds_at(words[i + 1].sample, sample_rate)
                              : double{fragment_end};
    return Py_BuildValue("(ddII)", seconds_at(words[i].sample, sample_rate),
                         end, words[i].start, words[i].length);
}

// One fragment's words, from *next on; *next moves past them.
PyObject* fragment_words(const word_list& words, std::size_t* next,
                         unsigned int fragment, float fragment_end,
                         int sample_rate) {
    std::size_t first = *next;
    while (*next < words.size() && words[*next].fragment == fragment) ++*next;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(*next - first));
    if (list == nullptr) return nullptr;
    for (std::size_t i = first; i < *next; ++i) {
        PyObject* item = word_tuple(words, i, *next, fragment_end, sample_rate);
        if (item == nullptr ||
            PyList_SetItem(list, static_cast<Py_ssize_t>(i - first), item) != 0) {
            Py_DECREF(list);
            return nullptr;
        }
    }
    return list;
}

}  // namespace

int take_word_anchor(void* context, const word_anchor* word) {
    try {
        static_cast<word_list*>(context)->push_back(*word);
        return 0;
    } catch (const std::bad_alloc&) {
        return 1;
    }
}

PyObject* build_word_lists(const fragment_entry* table,
                           unsigned int synthesized, const word_list& words,
                           int sample_rate) {
    PyObject* lists = PyList_New(synthesized);
    if (lists == nullptr) return nullptr;
    std::size_t next = 0;
    for (unsigned int i = 0; i < synthesized; ++i) {
        PyObject* list =
            fragment_words(words, &next, i, table[i].end, sample_rate);
        if (list == nullptr || PyList_SetItem(lists, i, list) != 0) {
            Py_DECREF(lists);
            return nullptr;
        }
    }
    return lists;
}
