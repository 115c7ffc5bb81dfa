#include "word_lists.h"

#include <new>

#include "owned_ref.h"

namespace {

// Seconds as the anchors have them: the sample count over the rate, as a
// 32-bit float.
double seconds_at(unsigned long long sample, int sample_rate) {
    return double{static_cast<float>(static_cast<double>(sample) /
                                     sample_rate)};
}

// How one fragment's words are given: in seconds from the file's start.
struct word_form {
    float fragment_end;  // seconds
    int sample_rate;
};

PyObject* word_tuple(const word_list& words, std::size_t i, std::size_t last,
                     const word_form& form) {
    const word_anchor& word = words[i];
    double end = i + 1 < last
                     ? seconds_at(words[i + 1].sample, form.sample_rate)
                     : double{form.fragment_end};
    return Py_BuildValue("(ddII)", seconds_at(word.sample, form.sample_rate),
                         end, word.start, word.length);
}

// One fragment's words, from *next on; *next moves past them.
PyObject* fragment_words(const word_list& words, std::size_t* next,
                         unsigned int fragment, const word_form& form) {
    std::size_t first = *next;
    while (*next < words.size() && words[*next].fragment == fragment) ++*next;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(*next - first));
    if (list == nullptr) return nullptr;
    for (std::size_t i = first; i < *next; ++i) {
        PyObject* item = word_tuple(words, i, *next, form);
        if (item == nullptr ||
            PyList_SetItem(list, static_cast<Py_ssize_t>(i - first), item) != 0) {
            Py_DECREF(list);
            return nullptr;
        }
    }
    return list;
}

// The engine's callbacks answer 1 for a list that could not grow (the
// call then fails as out of memory); the item is made inside, since making
// it may allocate too.
template <typename list_type, typename make_item>
int append(list_type& list, make_item make) {
    try {
        list.push_back(make());
        return 0;
    } catch (const std::bad_alloc&) {
        return 1;
    }
}

}  // namespace

int take_word_anchor(void* context, const word_anchor* word) {
    return append(static_cast<event_lists*>(context)->words,
                  [word] { return *word; });
}

int take_phoneme_anchor(void* context, const phoneme_anchor* phoneme) {
    return append(static_cast<event_lists*>(context)->phonemes,
                  [phoneme] { return *phoneme; });
}

int take_mark_anchor(void* context, const mark_anchor* mark) {
    return append(static_cast<event_lists*>(context)->marks, [mark] {
        return mark_record{mark->sample, mark->fragment, mark->name};
    });
}

namespace {

// One list per fragment written of what events holds for it (in fragment
// order), each item made by tuple_of(item, the fragment's begin in samples).
template <typename event, typename tuple_function>
PyObject* build_offset_lists(unsigned int synthesized,
                             const std::vector<event>& events,
                             const std::uint64_t* fragment_ends,
                             tuple_function tuple_of) {
    owned_ref lists(PyList_New(synthesized));
    if (lists.get() == nullptr) return nullptr;
    std::size_t next = 0;
    for (unsigned int i = 0; i < synthesized; ++i) {
        unsigned long long begin = i == 0 ? 0 : fragment_ends[i - 1];
        PyObject* list = PyList_New(0);
        if (list == nullptr || PyList_SetItem(lists.get(), i, list) != 0)
            return nullptr;
        for (; next < events.size() && events[next].fragment == i; ++next) {
            PyObject* item = tuple_of(events[next], begin);
            bool added = item != nullptr && PyList_Append(list, item) == 0;
            Py_XDECREF(item);
            if (!added) return nullptr;
        }
    }
    return lists.release();
}

}  // namespace

PyObject* build_phoneme_offsets(unsigned int synthesized,
                                const std::vector<phoneme_anchor>& phonemes,
                                const std::uint64_t* fragment_ends) {
    return build_offset_lists(
        synthesized, phonemes, fragment_ends,
        [](const phoneme_anchor& phoneme, unsigned long long begin) {
            return Py_BuildValue("(KIs)", phoneme.sample - begin,
                                 phoneme.start, phoneme.ipa);
        });
}

PyObject* build_mark_offsets(unsigned int synthesized,
                             const std::vector<mark_record>& marks,
                             const std::uint64_t* fragment_ends) {
    return build_offset_lists(
        synthesized, marks, fragment_ends,
        [](const mark_record& mark, unsigned long long begin) {
            return Py_BuildValue("(Ks)", mark.sample - begin,
                                 mark.name.c_str());
        });
}

PyObject* build_word_lists(const fragment_entry* table,
                           unsigned int synthesized, const word_list& words,
                           int sample_rate) {
    owned_ref lists(PyList_New(synthesized));
    if (lists.get() == nullptr) return nullptr;
    std::size_t next = 0;
    for (unsigned int i = 0; i < synthesized; ++i) {
        PyObject* list = fragment_words(words, &next, i,
                                        word_form{table[i].end, sample_rate});
        if (list == nullptr || PyList_SetItem(lists.get(), i, list) != 0)
            return nullptr;
    }
    return lists.release();
}

PyObject* build_word_offsets(unsigned int synthesized, const word_list& words,
                             const std::uint64_t* fragment_ends) {
    return build_offset_lists(
        synthesized, words, fragment_ends,
        [](const word_anchor& word, unsigned long long begin) {
            return Py_BuildValue("(KII)", word.sample - begin, word.start,
                                 word.length);
        });
}
