// The WAVE output, the synthesizer's lifecycle and the failures inside a
// recording, against the scripted fake synthesizer.
#include <cstring>
#include <filesystem>

#include "engine_test_support.h"
#include "test_platform.h"
#include "recording.h"

namespace {

using fake_espeak::block;
using fake_espeak::sample_rate_event;
using fake_espeak::text_script;

TEST_F(engine_test, empty_recording_is_a_bare_header) {
    synthesis result = run({});
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(result.synthesized, 0u);
    EXPECT_EQ(result.sample_rate, 22050);
    wave_contents file = read_wave(path_);
    ASSERT_EQ(file.bytes.size(), 44u);
    const unsigned char expected[44] = {
        'R', 'I', 'F', 'F', 36, 0, 0, 0, 'W', 'A', 'V', 'E',
        'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 1, 0,
        0x22, 0x56, 0, 0, 0x44, 0xAC, 0, 0,  // 22050 Hz, 44100 bytes/s
        2, 0, 16, 0, 'd', 'a', 't', 'a', 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(file.bytes.data(), expected, 44), 0);
}

TEST_F(engine_test, samples_follow_the_header_as_delivered) {
    synthesis result = run({"0.5#3", "0.25#-7"});
    ASSERT_EQ(result.status, 0);
    wave_contents file = read_wave(path_);
    EXPECT_TRUE(file.sizes_match());
    EXPECT_EQ(file.data_size(), 2u * (11025 + 5513));
    EXPECT_EQ(file.marks(), (std::vector<short>{3, -7}));
}

struct path_case {
    const char* given;
    const char* created;  // relative to the test directory; null: none
};

class output_path : public engine_test,
                    public ::testing::WithParamInterface<path_case> {};

// Leading blanks are not part of the name; trailing ones are.
TEST_P(output_path, leading_blanks_are_stripped_trailing_kept) {
    std::string name = GetParam().given;
    std::size_t slash = name.find_first_not_of(" \t\n\v\f\r");
    std::string path = slash == std::string::npos
                           ? name
                           : name.substr(0, slash) + directory_ + "/" +
                                 name.substr(slash);
    const char* created = GetParam().created;
    if (created != nullptr && !name_allowed(created)) created = nullptr;
    synthesis result = run_at(path, {"0.1"});
    ASSERT_EQ(result.status, created ? 0 : 1);
    if (created) {
        wave_contents file = read_wave(directory_ + "/" + created);
        EXPECT_TRUE(file.exists);
        EXPECT_TRUE(file.sizes_match());
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory_),
                            std::filesystem::directory_iterator{}),
              created ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    paths, output_path,
    ::testing::Values(path_case{"a.wav", "a.wav"},
                      path_case{"  \t\n\v\f\rb.wav", "b.wav"},
                      path_case{"c.wav  ", "c.wav  "},
                      path_case{" \t d e.wav \t", "d e.wav \t"},
                      path_case{"missing/dir.wav", nullptr}));

TEST_F(engine_test, unusable_paths_fail_without_a_file) {
    for (const char* path : {"", " ", " \t\r\n"}) {
        synthesis result = run_at(path, {"0.1"});
        EXPECT_EQ(result.status, 1) << '"' << path << '"';
        EXPECT_EQ(result.synthesized, 12345u) << "written on failure";
    }
    std::vector<fragment_entry> table = table_of({"0.1"});
    int rate = 0;
    unsigned int count = 0;
    EXPECT_EQ(synthesize_fragments(nullptr, table.data(), 0, 1, 0, &rate,
                                   &count),
              1);
    EXPECT_EQ(run_at(directory_, {"0.1"}).status, 1) << "a directory";
}

TEST_F(engine_test, synthesizer_is_initialised_once_and_never_terminated) {
    for (int call = 0; call < 3; ++call) ASSERT_EQ(run({"0.1"}).status, 0);
    ASSERT_EQ(run({"0.1", "0.2"}, 0.15f, 1).status, 0);
    EXPECT_EQ(fake_espeak::initialize_calls(), 1);
    EXPECT_EQ(fake_espeak::terminate_calls(), 0);
    EXPECT_TRUE(fake_espeak::last_initialize_options() &
                espeakINITIALIZE_DONT_EXIT);
}

TEST_F(engine_test, failed_initialisation_creates_no_file_and_is_retried) {
    for (int failure : {0, -1}) {
        fake_espeak::set_initialize_result(failure);
        EXPECT_EQ(run({"0.1"}).status, 1);
        EXPECT_FALSE(read_wave(path_).exists);
    }
    fake_espeak::set_initialize_result(16000);
    synthesis result = run({"0.5"});
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(result.sample_rate, 16000);
    EXPECT_EQ(read_wave(path_).sample_rate(), 16000u);
    EXPECT_EQ(fake_espeak::initialize_calls(), 3);
}

struct rate_case {
    const char* name;
    std::vector<block> blocks;
    int status;
    int header_rate;  // of the file left behind
    std::size_t samples;
};

class rate_event : public engine_test,
                   public ::testing::WithParamInterface<rate_case> {};

block samples_with(int count, std::vector<espeak_EVENT> events = {}) {
    block piece;
    piece.samples = count;
    piece.events = std::move(events);
    return piece;
}

block events_only(std::vector<espeak_EVENT> events) {
    block piece;
    piece.null_wav = true;
    piece.events = std::move(events);
    return piece;
}

// The header keeps the file's rate; samples delivered at another rate are
// converted into it, each run of one rate exactly as long as it was.
TEST_P(rate_event, converts_samples_at_another_rate) {
    const rate_case& c = GetParam();
    text_script script;
    script.blocks = c.blocks;
    fake_espeak::script_text("scripted", script);
    synthesis result = run({"scripted"});
    EXPECT_EQ(result.status, c.status);
    if (c.status == 0) {
        EXPECT_EQ(result.sample_rate, c.header_rate);
    }
    wave_contents file = read_wave(path_);
    EXPECT_TRUE(file.sizes_match());
    EXPECT_EQ(file.sample_rate(), static_cast<std::uint32_t>(c.header_rate));
    EXPECT_EQ(file.byte_rate(), 2u * c.header_rate);
    EXPECT_EQ(file.samples().size(), c.samples);
}

INSTANTIATE_TEST_SUITE_P(
    events, rate_event,
    ::testing::Values(
        rate_case{"before_samples",
                  {samples_with(100, {sample_rate_event(16000)}),
                   samples_with(50)},
                  0, 22050, 207},  // 150 * 22050 / 16000 = 206.7
        rate_case{"repeating_the_rate_in_force",
                  {samples_with(100), samples_with(50,
                                                   {sample_rate_event(22050)})},
                  0, 22050, 150},
        rate_case{"changing_after_samples",
                  {samples_with(100), samples_with(50,
                                                   {sample_rate_event(16000)})},
                  0, 22050, 100 + 69},
        rate_case{"changing_back_within_a_text",
                  {samples_with(100, {sample_rate_event(16000)}),
                   samples_with(7, {sample_rate_event(22050)}),
                   samples_with(3, {sample_rate_event(8000)})},
                  0, 22050, 138 + 7 + 8},
        rate_case{"not_positive",
                  {samples_with(100, {sample_rate_event(0)})}, 1, 22050, 0},
        rate_case{"without_a_sample_buffer",
                  {samples_with(10),
                   events_only({sample_rate_event(16000),
                                fake_espeak::end_event(5000)})},
                  0, 22050, 10}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(engine_test, callback_without_buffer_answers_stop) {
    text_script script;
    script.blocks = {events_only({fake_espeak::end_event(1)})};
    fake_espeak::script_text("scripted", script);
    ASSERT_EQ(run({"scripted"}).status, 0);
    ASSERT_FALSE(fake_espeak::callback_answers().empty());
    EXPECT_EQ(fake_espeak::callback_answers().front(), 1);
}

struct failure_case {
    const char* name;
    espeak_ERROR synth_result;
    espeak_ERROR synchronize_result;
};

class synthesizer_failure
    : public engine_test,
      public ::testing::WithParamInterface<failure_case> {};

// A failure in the middle of a list fails the call, leaves a valid WAVE of
// the fragments before it, and the next call starts clean.
TEST_P(synthesizer_failure, fails_the_call_and_keeps_what_was_written) {
    const failure_case& c = GetParam();
    text_script script = {{samples_with(300)}, c.synth_result,
                          c.synchronize_result};
    fake_espeak::script_text("bad", script);
    synthesis result = run({"0.1#5", "bad", "0.1"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.sample_rate, -1) << "written on failure";
    EXPECT_EQ(result.table[0].end, 2205 / 22050.0f);
    wave_contents file = read_wave(path_);
    EXPECT_TRUE(file.sizes_match());
    EXPECT_EQ(file.marks().front(), 5);

    synthesis next = run({"0.2#9"});
    ASSERT_EQ(next.status, 0);
    EXPECT_EQ(read_wave(path_).marks(), std::vector<short>{9});
}

INSTANTIATE_TEST_SUITE_P(
    failures, synthesizer_failure,
    ::testing::Values(
        failure_case{"synth_error", EE_INTERNAL_ERROR, EE_OK},
        failure_case{"synth_buffer_full", EE_BUFFER_FULL, EE_OK},
        failure_case{"synchronize_error", EE_OK, EE_INTERNAL_ERROR}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(engine_test, write_past_the_size_limit_fails_before_it_is_made) {
    wave_file_max_samples = 5000;
    synthesis result = run({"0.2#1", "0.1#2"});  // 4410 + 2205 samples
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.control.results.failed_fragment, 1);
    EXPECT_NE(std::strstr(result.control.results.failure_reason, "4 GiB"),
              nullptr);
    wave_contents file = read_wave(path_);
    EXPECT_TRUE(file.sizes_match());
    // The 1000-sample blocks of the second text stop at the first that
    // would not fit.
    EXPECT_EQ(file.samples().size(), 4410u);
    wave_file_max_samples = 2205;
    EXPECT_EQ(run({"0.1"}).status, 0) << "exactly at the limit";
    // A stream has no size fields to overflow.
    result = run_at(null_device, {"0.2#1", "0.1#2"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.table[1].end, static_cast<float>(6615.0 / 22050));
}

// Past the 2^31 samples of a WAVE file's 4 GiB, into a stream: every anchor
// is read off the exact 64-bit count.
TEST_F(engine_test, stream_takes_more_than_a_wave_file_can_hold) {
    constexpr int block_samples = 1 << 26;
    constexpr std::uint64_t huge_samples = 33ull * block_samples;
    text_script huge;
    huge.blocks.assign(33, block{block_samples, 1, false, {}});
    fake_espeak::script_text("huge", huge);
    synthesis result = run_at(null_device, {"huge", "0.1"});
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(result.table[0].end,
              static_cast<float>(static_cast<double>(huge_samples) / 22050));
    EXPECT_EQ(result.table[1].end,
              static_cast<float>(static_cast<double>(huge_samples + 2205) /
                                 22050));
}

// What a process killed after any block leaves: sizes that agree with each
// other, cover only samples on disk, lag the clock by about a second at most
// and move about once per second of audio.
TEST_F(engine_test, header_sizes_on_disk_follow_the_recording) {
    std::vector<std::uint32_t> sizes_seen;
    fake_espeak::observe_blocks([&] {
        wave_contents file = read_wave(path_);
        std::uint64_t clock_bytes =
            2 * static_cast<recording_record*>(fake_espeak::user_data())
                    ->samples_written;
        ASSERT_GE(file.bytes.size(), 44u);
        EXPECT_EQ(file.riff_size(), file.data_size() + 36);
        EXPECT_LE(file.data_size(), file.bytes.size() - 44);
        EXPECT_LE(clock_bytes - file.data_size(), 2u * (22050 + 1000));
        if (sizes_seen.empty() || sizes_seen.back() != file.data_size())
            sizes_seen.push_back(file.data_size());
    });
    ASSERT_EQ(run({"2.5", "1.0"}).status, 0);  // 77175 samples
    // At the first block (of 1000 samples; the first text ends with one of
    // 125) that reaches a second of audio after the last update.
    EXPECT_EQ(sizes_seen,
              (std::vector<std::uint32_t>{0, 2 * 23000, 2 * 46000,
                                          2 * 68125}));
    EXPECT_TRUE(read_wave(path_).sizes_match());
}

TEST_F(engine_test, full_device_fails_the_call) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP();
    EXPECT_EQ(run_at("/dev/full", {"1.0"}).status, 1);
    EXPECT_EQ(run_at("/dev/full", {}).status, 1) << "the header alone";
    EXPECT_EQ(run({"0.1"}).status, 0);
}

}  // namespace
