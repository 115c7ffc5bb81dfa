// Phoneme and mark events: what the callback keeps of them, where they land
// in the file, and a block whose event list the library filled.
#include <cstring>
#include <string>
#include <vector>

#include "engine_test_support.h"
#include "mbrola_pipes.h"

namespace {

espeak_EVENT phoneme(int sample, int position, const char* name) {
    espeak_EVENT event{};
    event.type = espeakEVENT_PHONEME;
    event.sample = sample;
    event.text_position = position;
    // As the library copies it: 8 bytes, no NUL when the name fills them,
    // stale bytes after a shorter one's NUL.
    std::memset(event.id.string, 'x', sizeof event.id.string);
    std::memcpy(event.id.string, name,
                std::min(std::strlen(name) + 1, sizeof event.id.string));
    return event;
}

espeak_EVENT mark(int sample, const char* name) {
    espeak_EVENT event{};
    event.type = espeakEVENT_MARK;
    event.sample = sample;
    event.id.name = name;
    return event;
}

struct events_taken {
    std::vector<std::string> phonemes;  // "fragment sample start ipa"
    std::vector<std::string> marks;     // "fragment sample name"
};

int keep_phoneme(void* context, const phoneme_anchor* p) {
    static_cast<events_taken*>(context)->phonemes.push_back(
        std::to_string(p->fragment) + " " + std::to_string(p->sample) + " " +
        std::to_string(p->start) + " " + p->ipa);
    return 0;
}

int keep_mark(void* context, const mark_anchor* m) {
    static_cast<events_taken*>(context)->marks.push_back(
        std::to_string(m->fragment) + " " + std::to_string(m->sample) + " " +
        m->name);
    return 0;
}

synthesis_control collecting(events_taken& taken) {
    synthesis_control control{};
    control.callbacks.take_phoneme = keep_phoneme;
    control.callbacks.take_mark = keep_mark;
    control.callbacks.word_context = &taken;
    return control;
}

// Speaks the table into path with the control's callbacks; the status.
int speak_collecting(const std::string& path,
                     std::vector<fragment_entry> table,
                     synthesis_control& control) {
    int rate = 0;
    unsigned int count = 0;
    return synthesize_fragments(path.c_str(), table.data(), 0,
                                static_cast<unsigned int>(table.size()), 0,
                                &rate, &count, &control);
}

fake_espeak::text_script blocks_of(int rate, std::vector<espeak_EVENT> first,
                                   std::vector<espeak_EVENT> second = {}) {
    fake_espeak::block one, two;
    one.samples = two.samples = 1000;
    one.events = {fake_espeak::sample_rate_event(rate)};
    one.events.insert(one.events.end(), first.begin(), first.end());
    two.events = second;
    return {{one, two}};
}

// The first phoneme begins with its fragment, a language switch is no
// phoneme, a pause has an empty name, a name of 8 bytes keeps them all and
// one cut inside a character loses that character; marks keep their sample
// and name, in order, after the fragments before them.
TEST_F(engine_test, phonemes_and_marks_in_the_file) {
    fake_espeak::script_text(
        "one", blocks_of(22050,
                         {mark(0, "start"), phoneme(80, 1, "w"),
                          phoneme(300, 1, "(en)"), phoneme(300, 1, "\xca\x8c"),
                          phoneme(700, 2, "")},
                         {mark(1500, "middle"),
                          phoneme(1500, 3, "t\xcc\xbb\xcd\xa1s\xcc\xaa"),
                          phoneme(1900, 4, "abcdefg\xc9")}));
    events_taken taken;
    synthesis_control control = collecting(taken);
    ASSERT_EQ(speak_collecting(path_, {{0, 0, "en", "0.1"},
                                       {0, 0, "en", "one"}},
                               control),
              0);
    EXPECT_EQ(taken.phonemes,
              (std::vector<std::string>{
                  "1 2205 0 w", "1 2505 0 \xca\x8c", "1 2905 1 ",
                  "1 3705 2 t\xcc\xbb\xcd\xa1s\xcc\xaa", "1 4105 3 abcdefg"}));
    EXPECT_EQ(taken.marks, (std::vector<std::string>{"1 2205 start",
                                                     "1 3705 middle"}));
}

// MBROLA's events come 1,000 samples late and at its own rate: the delay
// is taken off and the rest converted, as for words.
TEST_F(engine_test, mbrola_phonemes_without_the_delay_at_the_file_s_rate) {
    if (mbrola_unavailable() != nullptr) GTEST_SKIP() << "no MBROLA here";
    fake_espeak::set_mbrola_voice("mb-a", 16000);
    fake_espeak::script_text(
        "six", blocks_of(16000, {phoneme(1000, 1, "s"), phoneme(1400, 2, "I"),
                                 mark(1400, "m")}));
    events_taken taken;
    synthesis_control control = collecting(taken);
    ASSERT_EQ(speak_collecting(path_, {{0, 0, "en", "0.1"},
                                       {0, 0, "mb-a", "six"}},
                               control),
              0);
    // 400 samples at 16,000 Hz are 551.25 at 22,050 Hz.
    EXPECT_EQ(taken.phonemes,
              (std::vector<std::string>{"1 2205 0 s", "1 2756 1 I"}));
    EXPECT_EQ(taken.marks, (std::vector<std::string>{"1 2756 m"}));
}

// A block whose list the library filled may have lost events: a call that
// collects them fails, naming the fragment, where one that collects
// nothing writes the file.
TEST_F(engine_test, a_full_event_list_fails_a_call_that_collects) {
    std::vector<espeak_EVENT> marks(29, mark(10, "m"));
    fake_espeak::script_text("marks", blocks_of(22050, marks));
    events_taken taken;
    synthesis_control control = collecting(taken);
    EXPECT_EQ(speak_collecting(path_, {{0, 0, "en", "marks"}}, control), 1);
    EXPECT_EQ(control.results.failed_fragment, 0);
    EXPECT_STREQ(control.results.failure_reason,
                 "the synthesizer dropped events: too many at one place of "
                 "the text");
    EXPECT_EQ(run({"marks"}).status, 0);
    // One fewer, and the list was not full: every one of them is kept.
    fake_espeak::script_text(
        "fewer", blocks_of(22050, std::vector<espeak_EVENT>(28, mark(10, "m"))));
    ASSERT_EQ(speak_collecting(path_, {{0, 0, "en", "fewer"}}, control), 0);
    EXPECT_EQ(taken.marks.size(), 28u);
}

}  // namespace
