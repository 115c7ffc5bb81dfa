// The forward pass and the backward start search: which fragments go into
// the file, in what order, and the times recorded for them.
#include <algorithm>
#include <cmath>
#include <limits>

#include "engine_test_support.h"
#include "mbrola_pipes.h"
#include "patched_library.h"

namespace {

using fake_espeak::text_script;

struct anchor {
    float begin;
    float end;
    bool operator==(const anchor& other) const {
        return begin == other.begin && end == other.end;
    }
};

std::ostream& operator<<(std::ostream& out, const anchor& a) {
    return out << '(' << a.begin << ", " << a.end << ')';
}

std::vector<anchor> anchors_of(const synthesis& result) {
    std::vector<anchor> anchors;
    for (unsigned int i = 0; i < result.synthesized; ++i)
        anchors.push_back({result.table[i].begin, result.table[i].end});
    return anchors;
}

struct pass_case {
    const char* name;
    std::vector<const char*> texts;  // "SECONDS#MARK"
    float quit_after;
    int backwards;
    std::vector<anchor> anchors;
    std::vector<short> marks;  // which fragments the file holds, in order
};

class pass : public engine_test,
             public ::testing::WithParamInterface<pass_case> {};

TEST_P(pass, writes_the_chosen_fragments_with_their_times) {
    const pass_case& c = GetParam();
    synthesis result = run(c.texts, c.quit_after, c.backwards);
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(result.synthesized, c.anchors.size());
    EXPECT_EQ(anchors_of(result), c.anchors);
    wave_contents file = read_wave(path_);
    EXPECT_TRUE(file.sizes_match());
    EXPECT_EQ(file.marks(), c.marks);
    if (!c.anchors.empty()) {
        EXPECT_EQ(file.samples().size() / 22050.0f, c.anchors.back().end);
    }
    for (unsigned int i = result.synthesized; i < result.table.size(); ++i)
        EXPECT_EQ(result.table[i].begin, -1.0f) << "entry " << i;
}

const float no_limit = std::numeric_limits<float>::quiet_NaN();
const float infinite = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    forward, pass,
    ::testing::Values(
        pass_case{"no_limit", {"1#1", "5#2", "1#3"}, 0, 0,
                  {{0, 1}, {1, 6}, {6, 7}}, {1, 2, 3}},
        pass_case{"limit_inside_a_fragment", {"1#1", "5#2", "1#3"}, 3, 0,
                  {{0, 1}, {1, 6}}, {1, 2}},
        pass_case{"limit_at_a_fragment_end", {"1#1", "1#2", "1#3"}, 2, 0,
                  {{0, 1}, {1, 2}}, {1, 2}},
        pass_case{"limit_reached_by_the_first", {"2#1", "1#2"}, 0.5, 0,
                  {{0, 2}}, {1}},
        pass_case{"nan_limit", {"1#1", "1#2"}, no_limit, 0,
                  {{0, 1}, {1, 2}}, {1, 2}},
        pass_case{"negative_limit", {"1#1", "1#2"}, -1, 1,
                  {{0, 1}, {1, 2}}, {1, 2}},
        pass_case{"infinite_limit", {"1#1", "1#2"}, infinite, 0,
                  {{0, 1}, {1, 2}}, {1, 2}},
        pass_case{"silent_text_advances_by_zero", {"1#1", "0", "1#3"}, 0, 0,
                  {{0, 1}, {1, 1}, {1, 2}}, {1, 3}},
        pass_case{"empty_table", {}, 0, 0, {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    backward, pass,
    ::testing::Values(
        pass_case{"long_middle_fragment", {"1#1", "5#2", "1#3"}, 3, 1,
                  {{0, 5}}, {2}},
        pass_case{"one_and_a_half_of_three_equal", {"1#1", "1#2", "1#3"},
                  1.5, 1, {{0, 1}, {1, 2}}, {2, 3}},
        pass_case{"limit_of_two_of_three_equal", {"1#1", "1#2", "1#3"}, 2, 1,
                  {{0, 1}, {1, 2}}, {2, 3}},
        pass_case{"total_short_of_the_limit", {"1#1", "1#2", "1#3"}, 10, 1,
                  {{0, 1}, {1, 2}, {2, 3}}, {1, 2, 3}},
        pass_case{"forward_stops_before_the_last", {"1#1", "3#2", "1#3", "1#4"},
                  3.5, 1, {{0, 3}, {3, 4}}, {2, 3}},
        pass_case{"single_fragment", {"1#1"}, 0.5, 1, {{0, 1}}, {1}},
        pass_case{"nan_limit_is_forward", {"1#1", "1#2"}, no_limit, 1,
                  {{0, 1}, {1, 2}}, {1, 2}},
        pass_case{"empty_table", {}, 3, 1, {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// END positions are truncated to whole milliseconds; the times must come
// from the samples, or they drift behind the audio.
TEST_F(engine_test, times_follow_the_samples_over_many_fragments) {
    std::vector<const char*> texts(2000, "0.0337");  // 743 samples, END 33 ms
    synthesis result = run(texts);
    ASSERT_EQ(result.status, 0);
    ASSERT_EQ(result.synthesized, 2000u);
    for (unsigned int i = 1; i < 2000; ++i)
        ASSERT_EQ(result.table[i].begin, result.table[i - 1].end);
    EXPECT_EQ(result.table[0].begin, 0.0f);
    EXPECT_EQ(result.table[1999].end,
              static_cast<float>(2000.0 * 743 / 22050));
    EXPECT_EQ(read_wave(path_).samples().size(), 2000u * 743);
}

TEST_F(engine_test, null_text_is_a_written_fragment_without_samples) {
    std::vector<fragment_entry> table = table_of({"1#1", nullptr, "1#3"});
    synthesis result = run_table(table);
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(result.synthesized, 3u);
    EXPECT_EQ(anchors_of(result),
              (std::vector<anchor>{{0, 1}, {1, 1}, {1, 2}}));
}

// What a layer that joins the files of several calls asks of one: the file
// at the rate it chose, each fragment's end in samples, the start the
// backward mode chose, and a check of the voices that writes nothing.
TEST_F(engine_test, control_for_a_layer_that_joins_calls) {
    std::vector<fragment_entry> table = table_of({"1#1", "2#2", "1#3"});
    std::vector<std::uint64_t> ends(3, 0);
    synthesis_control control{};
    control.options.file_rate = 44100;
    control.results.fragment_ends = ends.data();
    int rate = 0;
    unsigned int count = 0;
    ASSERT_EQ(synthesize_fragments(path_.c_str(), table.data(), 2.5f, 3, 1,
                                   &rate, &count, &control),
              0);
    EXPECT_EQ((std::vector<long>{rate, long(control.results.start),
                                 long(count)}),
              (std::vector<long>{44100, 1, 2}));
    EXPECT_EQ(ends, (std::vector<std::uint64_t>{88200, 132300, 0}));
    EXPECT_EQ(read_wave(path_).samples().size(), 132300u);
    control.options.check_only = 1;
    std::string unwritten = directory_ + "/unwritten.wav";
    ASSERT_EQ(synthesize_fragments(unwritten.c_str(), table.data(), 0, 3, 0,
                                   &rate, &count, &control),
              0);
    EXPECT_EQ((std::vector<long>{rate, long(count)}),
              (std::vector<long>{44100, 0}));
    EXPECT_FALSE(read_wave(unwritten).exists);
}

TEST_F(engine_test, failure_inside_the_backward_search) {
    fake_espeak::script_text("bad", text_script{{}, EE_INTERNAL_ERROR});
    synthesis result = run({"1#1", "bad", "1#3", "1#4"}, 10, 1);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.synthesized, 12345u);
    wave_contents file = read_wave(path_);
    EXPECT_TRUE(file.sizes_match());
    EXPECT_EQ(file.marks(), (std::vector<short>{4, 3}))
        << "the fragments measured, in reverse order";
    for (const fragment_entry& entry : result.table)
        EXPECT_EQ(entry.begin, -1.0f) << "no times during the search";
}

// The search succeeds and the forward pass then fails: the file left is a
// valid WAVE of what the forward pass wrote.
TEST_F(engine_test, failure_in_the_forward_pass_after_the_search) {
    text_script flaky;
    flaky.blocks = {fake_espeak::block{1000, 7, false, {}}};
    flaky.synth_result = EE_INTERNAL_ERROR;
    flaky.good_runs = 1;  // measured by the search, fails when written
    fake_espeak::script_text("flaky", flaky);
    synthesis result = run({"1#1", "1#2", "flaky"}, 1.02f, 1);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.table[0].begin, 0.0f);
    EXPECT_EQ(result.table[0].end, 1.0f);
    wave_contents file = read_wave(path_);
    EXPECT_TRUE(file.sizes_match());
    EXPECT_EQ(file.marks(), std::vector<short>{2});
}

// Each distinct code is checked once, whatever the list's length: 1,000
// fragments in two voices select 1,000 times, plus two checks. With the
// bundled library every fragment starts from a fresh synthesizer's state.
TEST_F(engine_test, each_voice_code_is_checked_once) {
    std::vector<fragment_entry> table(1000);
    for (unsigned int j = 0; j < table.size(); ++j)
        table[j] = fragment_entry{0, 0, j % 2 ? "v1" : "v2", "0.001"};
    EXPECT_EQ(run_table(table).status, 0);
    EXPECT_EQ(fake_espeak::voice_selections(), 1002);
    EXPECT_EQ(fake_espeak::fresh_state_resets(), VYN_ESPEAK_PATCHED ? 1000 : 0);
}

// A fragment's settings follow its voice's selection, as the command line's
// options do; the next fragment gets the defaults back, which the library
// would otherwise keep. A list without settings sets the rate alone.
TEST_F(engine_test, settings_apply_to_their_fragment_only) {
    fragment_settings shaped{setting_rate | setting_pitch | setting_volume |
                                 setting_word_gap,
                             300, 0, 200, 5, false};
    fragment_settings rate_only{setting_rate, 80, 0, 0, 0, false};
    std::vector<fragment_entry> table = table_of({"0.1", "0.1", "0.1", "0.1"});
    table[0].settings = &shaped;
    table[2].settings = &rate_only;
    ASSERT_EQ(run_table(table, 0, 0).status, 0);
    using set = std::vector<std::pair<int, int>>;
    EXPECT_EQ(fake_espeak::parameters_set(),
              (set{{espeakRATE, 175}, {espeakRATE, 300}, {espeakPITCH, 0},
                   {espeakVOLUME, 200}, {espeakWORDGAP, 5},
                   {espeakPITCH, 50}, {espeakVOLUME, 100}, {espeakWORDGAP, 0},
                   {espeakRANGE, 50}, {espeakRATE, 175},
                   {espeakRATE, 175}, {espeakRATE, 80},
                   {espeakPITCH, 50}, {espeakVOLUME, 100}, {espeakWORDGAP, 0},
                   {espeakRANGE, 50}, {espeakRATE, 175}}));
}

// SSML goes to the library with its flag, the fragment's only; the prosody
// it may leave is put back before the next; every URI is refused from the
// start. An SSML fragment's voices are checked first: a refused one fails
// the call before any text.
TEST_F(engine_test, ssml_is_read_as_ssml_in_its_fragment_only) {
    fragment_settings ssml{setting_ssml, 0, 0, 0, 0, true};
    fragment_settings not_ssml{setting_ssml, 0, 0, 0, 0, false};
    std::vector<fragment_entry> table =
        table_of({"0.1", "<speak xml:lang='de'>0.1</speak>", "0.1", "0.1"});
    table[1].settings = &ssml;
    table[2].settings = &not_ssml;
    ASSERT_EQ(run_table(table, 0, 0).status, 0);
    const unsigned int plain = espeakCHARS_UTF8 | espeakENDPAUSE;
    EXPECT_EQ(fake_espeak::synth_flags(),
              (std::vector<unsigned int>{plain, plain | espeakSSML, plain,
                                         plain}));
    EXPECT_EQ(fake_espeak::refuses_uri("/etc/hostname"), 1);
    EXPECT_EQ(std::count(fake_espeak::parameters_set().begin(),
                         fake_espeak::parameters_set().end(),
                         std::pair<int, int>{espeakRANGE, 50}),
              2);
}

struct stop_case {
    const char* name;
    float quit_after;
    int backwards;
    int stop_at;  // the answer to this ask (counted from 1) is "stop"; 0: never
    int status;
    int asks;
    std::vector<short> marks;
};

class stop : public engine_test,
             public ::testing::WithParamInterface<stop_case> {};

// The control is asked after every fragment, in both passes; a stop ends
// the call like a failure, with a valid WAVE of what was written.
TEST_P(stop, asked_after_every_fragment) {
    const stop_case& c = GetParam();
    struct counter {
        int asks;
        int stop_at;
    } count{0, c.stop_at};
    synthesis_control control{};
    control.callbacks.should_stop = [](void* context) {
        auto& count = *static_cast<counter*>(context);
        return ++count.asks == count.stop_at ? 1 : 0;
    };
    control.callbacks.context = &count;
    std::vector<fragment_entry> table = table_of({"1#1", "1#2", "1#3"});
    int rate = 0;
    unsigned int synthesized = 0;
    EXPECT_EQ(synthesize_fragments(path_.c_str(), table.data(), c.quit_after,
                                   3, c.backwards, &rate, &synthesized,
                                   &control),
              c.status);
    EXPECT_EQ(count.asks, c.asks);
    wave_contents file = read_wave(path_);
    EXPECT_TRUE(file.sizes_match());
    EXPECT_EQ(file.marks(), c.marks);
    EXPECT_EQ(run({"0.1#9"}).status, 0) << "the next call";
}

INSTANTIATE_TEST_SUITE_P(
    control, stop,
    ::testing::Values(
        stop_case{"never", 0, 0, 0, 0, 3, {1, 2, 3}},
        stop_case{"never_backward", 10, 1, 0, 0, 6, {1, 2, 3}},
        stop_case{"forward_after_the_second", 0, 0, 2, 1, 2, {1, 2}},
        stop_case{"forward_after_the_last", 0, 0, 3, 1, 3, {1, 2, 3}},
        stop_case{"in_the_backward_search", 10, 1, 2, 1, 2, {3, 2}},
        stop_case{"backward_then_forward", 10, 1, 4, 1, 4, {1}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// Fragments in voices of two rates: "mb-a" (an MBROLA voice at 16,000 Hz) and
// "en" (the initialised 22,050 Hz).
struct mixed_case {
    const char* name;
    std::vector<std::pair<const char*, const char*>> fragments;
    float quit_after;
    int backwards;
    bool keep_mbrola_rate;  // as eSpeak NG 1.52.0 does
    int file_rate;
    std::vector<anchor> anchors;
    std::vector<short> marks;  // at the middle of each anchor
};

class mixed_rates : public engine_test,
                    public ::testing::WithParamInterface<mixed_case> {};

// One file at the highest rate of the list; each fragment exactly as long
// as it is at its own rate, so the anchors stay on the file's samples.
TEST_P(mixed_rates, one_file_at_the_highest_rate) {
    if (mbrola_unavailable() != nullptr) GTEST_SKIP() << "no MBROLA here";
    const mixed_case& c = GetParam();
    fake_espeak::set_mbrola_voice("mb-a", 16000);
    fake_espeak::keep_mbrola_rate(c.keep_mbrola_rate);
    std::vector<fragment_entry> table;
    for (const auto& [voice, text] : c.fragments)
        table.push_back(fragment_entry{-1.0f, -1.0f, voice, text});
    synthesis result = run_table(table, c.quit_after, c.backwards);
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(result.sample_rate, c.file_rate);
    EXPECT_EQ(anchors_of(result), c.anchors);
    wave_contents file = read_wave(path_);
    EXPECT_TRUE(file.sizes_match());
    EXPECT_EQ(file.sample_rate(), static_cast<std::uint32_t>(c.file_rate));
    std::vector<short> samples = file.samples();
    EXPECT_EQ(samples.size(),
              static_cast<std::size_t>(c.anchors.back().end * c.file_rate));
    for (std::size_t i = 0; i < c.marks.size(); ++i) {
        auto middle = static_cast<std::size_t>(
            (c.anchors[i].begin + c.anchors[i].end) / 2 * c.file_rate);
        EXPECT_EQ(samples.at(middle), c.marks[i]) << "fragment " << i;
    }
    EXPECT_EQ(fake_espeak::initialize_calls(), c.keep_mbrola_rate ? 2 : 1)
        << "only a lost standard rate is restored by a new initialisation";
    EXPECT_EQ(fake_espeak::terminate_calls(), c.keep_mbrola_rate ? 1 : 0);
}

// The restart sets the process's locale for a moment: it runs through the
// caller's exclusive hook, which holds the host's other threads off.
TEST_F(engine_test, restart_runs_through_the_exclusive_hook) {
    if (mbrola_unavailable() != nullptr) GTEST_SKIP() << "no MBROLA here";
    fake_espeak::set_mbrola_voice("mb-a", 16000);
    fake_espeak::keep_mbrola_rate(true);
    std::vector<fragment_entry> table{{0, 0, "mb-a", "0.5"},
                                      {0, 0, "en", "0.5"}};
    static int exclusive_runs;
    exclusive_runs = 0;
    synthesis_control control{};
    control.callbacks.run_exclusive = [](int (*work)(), void*) {
        ++exclusive_runs;
        return work();
    };
    int rate = 0;
    unsigned int count = 0;
    ASSERT_EQ(synthesize_fragments(path_.c_str(), table.data(), 0, 2, 0,
                                   &rate, &count, &control),
              0);
    EXPECT_EQ(exclusive_runs, 1);
    EXPECT_EQ(fake_espeak::initialize_calls(), 2);
}

// Where no MBROLA program runs (Windows), an MBROLA voice is refused with
// its reason before anything is written.
TEST_F(engine_test, mbrola_voice_refused_where_none_runs) {
    if (mbrola_unavailable() == nullptr) GTEST_SKIP() << "MBROLA runs here";
    fake_espeak::set_mbrola_voice("mb-a", 16000);
    synthesis result = run_table({{0, 0, "en", "0.5"}, {0, 0, "mb-a", "0.5"}});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.control.results.failed_fragment, 1);
    EXPECT_STREQ(result.control.results.failure_reason,
                 "voice 'mb-a': MBROLA voices do not run on Windows");
    EXPECT_FALSE(read_wave(path_).exists);
}

INSTANTIATE_TEST_SUITE_P(
    rates, mixed_rates,
    ::testing::Values(
        mixed_case{"one_mbrola_voice", {{"mb-a", "1#1"}, {"mb-a", "0.5#2"}}, 0,
                   0, false, 16000, {{0, 1}, {1, 1.5}}, {1, 2}},
        mixed_case{"mbrola_between_standard",
                   {{"en", "1#1"}, {"mb-a", "0.5#2"}, {"en", "1#3"}}, 0, 0,
                   false, 22050, {{0, 1}, {1, 1.5}, {1.5, 2.5}}, {1, 2, 3}},
        mixed_case{"voice_after_the_cut_counts",
                   {{"mb-a", "1#1"}, {"en", "1#2"}}, 0.5, 0, false, 22050,
                   {{0, 1}}, {1}},
        mixed_case{"backward_over_mixed",
                   {{"en", "1#1"}, {"mb-a", "1#2"}, {"en", "0.5#3"}}, 1.25, 1,
                   false, 22050, {{0, 1}, {1, 1.5}}, {2, 3}},
        mixed_case{"standard_rate_kept_after_mbrola",
                   {{"mb-a", "0.5#1"}, {"en", "1#2"}, {"en", "1#3"}}, 0, 0,
                   true, 22050, {{0, 0.5}, {0.5, 1.5}, {1.5, 2.5}},
                   {1, 2, 3}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
