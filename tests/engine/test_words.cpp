// Words: the synthesizer's word events merged into words of the text, and
// their places in the file.
#include <string>
#include <utility>
#include <vector>

#include "engine_test_support.h"
#include "mbrola_pipes.h"
#include "words.h"

namespace {

struct merge_case {
    const char* name;
    std::u32string text;
    std::vector<word_event> events;
    // (offset, the word as text)
    std::vector<std::pair<std::uint64_t, std::u32string>> words;
};

class merge : public ::testing::TestWithParam<merge_case> {};

TEST_P(merge, events_become_words_of_the_text) {
    const merge_case& c = GetParam();
    std::vector<merged_word> words(c.events.size());
    std::size_t n = merge_word_events(c.text.data(), c.text.size(),
                                      c.events.data(), c.events.size(),
                                      words.data());
    std::vector<std::pair<std::uint64_t, std::u32string>> found;
    for (std::size_t i = 0; i < n; ++i)
        found.emplace_back(words[i].offset,
                           c.text.substr(words[i].start, words[i].length));
    EXPECT_EQ(found, c.words);
}

INSTANTIATE_TEST_SUITE_P(
    cases, merge,
    ::testing::Values(
        merge_case{"one_event_per_word", U"Two words.",
                   {{0, 1, 3}, {90, 5, 5}}, {{0, U"Two"}, {90, U"words."}}},
        merge_case{"short_lengths_reach_the_next_word", U"It's e-mail",
                   {{0, 1, 2}, {50, 6, 1}}, {{0, U"It's"}, {50, U"e-mail"}}},
        merge_case{"parts_inside_the_first_span", U"Call 123 now",
                   {{0, 1, 4}, {40, 6, 3}, {60, 7, 3}, {80, 7, 3}, {99, 10, 3}},
                   {{0, U"Call"}, {40, U"123"}, {99, U"now"}}},
        merge_case{"event_on_a_blank_or_outside", U"Smile \U0001F600 now",
                   {{0, 1, 5}, {30, 7, 1}, {40, 8, 1}, {45, 0, 0},
                    {50, 9, 3}, {70, 40, 2}},
                   {{0, U"Smile"}, {30, U"\U0001F600"}, {50, U"now"}}},
        merge_case{"no_later_than_the_previous", U"one two three",
                   {{10, 1, 3}, {10, 5, 3}, {30, 9, 5}},
                   {{0, U"one two"}, {30, U"three"}}},
        merge_case{"blanks_before_and_after", U"  one \t two  \n",
                   {{0, 1, 1}, {5, 3, 3}, {20, 9, 3}},
                   {{0, U"one"}, {20, U"two"}}},
        merge_case{"opening_quote_or_bracket", U" \u201C(Quoted) now",
                   {{2424, 4, 6}, {6000, 12, 3}},
                   {{0, U"\u201C(Quoted)"}, {6000, U"now"}}},
        merge_case{"no_events", U"Hello", {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

struct placed_word {
    unsigned long long sample;
    unsigned int fragment, start, length;
    bool operator==(const placed_word& o) const {
        return sample == o.sample && fragment == o.fragment &&
               start == o.start && length == o.length;
    }
};

std::ostream& operator<<(std::ostream& out, const placed_word& w) {
    return out << '(' << w.sample << ", " << w.fragment << ", " << w.start
               << ", " << w.length << ')';
}

int keep_word(void* context, const word_anchor* word) {
    static_cast<std::vector<placed_word>*>(context)->push_back(
        {word->sample, word->fragment, word->start, word->length});
    return 0;
}

// Two words in 1,000 samples at the voice's rate, the first event late by
// delay samples.
fake_espeak::text_script two_words(int rate, int delay) {
    fake_espeak::block piece;
    piece.samples = 1000;
    piece.events = {fake_espeak::sample_rate_event(rate),
                    fake_espeak::word_event(delay, 1, 3),
                    fake_espeak::word_event(delay + 400, 5, 3)};
    return {{piece}};
}

// Only the fragments written have words, at the file's rate, without
// MBROLA's delay, after the fragments before them.
TEST_F(engine_test, words_in_the_file_of_the_fragments_written) {
    if (mbrola_unavailable() != nullptr) GTEST_SKIP() << "no MBROLA here";
    fake_espeak::set_mbrola_voice("mb-a", 16000);
    fake_espeak::script_text("one two", two_words(22050, 0));
    fake_espeak::script_text("six ten", two_words(16000, 1000));
    std::vector<fragment_entry> table{{0, 0, "en", "0.5"},
                                      {0, 0, "en", "one two"},
                                      {0, 0, "mb-a", "six ten"}};
    std::vector<placed_word> words;
    synthesis_control control{};
    control.callbacks.take_word = keep_word;
    control.callbacks.word_context = &words;
    int rate = 0;
    unsigned int count = 0;
    ASSERT_EQ(synthesize_fragments(path_.c_str(), table.data(), 0.1f, 3, 1,
                                   &rate, &count, &control),
              0);
    ASSERT_EQ(count, 2u) << "the backward search starts at the second";
    // 400 samples at 16,000 Hz are 551.25 at 22,050 Hz.
    EXPECT_EQ(words, (std::vector<placed_word>{{0, 0, 0, 3},
                                               {400, 0, 4, 3},
                                               {1000, 1, 0, 3},
                                               {1551, 1, 4, 3}}));
}

}  // namespace
