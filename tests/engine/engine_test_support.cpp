#include "engine_test_support.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "synthesizer.h"
#include "test_platform.h"
#include "voices.h"

std::uint32_t wave_contents::le32(std::size_t offset) const {
    return std::uint32_t{bytes.at(offset)} |
           std::uint32_t{bytes.at(offset + 1)} << 8 |
           std::uint32_t{bytes.at(offset + 2)} << 16 |
           std::uint32_t{bytes.at(offset + 3)} << 24;
}

std::uint16_t wave_contents::le16(std::size_t offset) const {
    return static_cast<std::uint16_t>(bytes.at(offset) |
                                      bytes.at(offset + 1) << 8);
}

std::vector<short> wave_contents::samples() const {
    std::vector<short> result;
    for (std::size_t i = 44; i + 1 < bytes.size(); i += 2)
        result.push_back(static_cast<short>(le16(i)));
    return result;
}

std::vector<short> wave_contents::marks() const {
    std::vector<short> result;
    for (short sample : samples()) {
        if (result.empty() || result.back() != sample)
            result.push_back(sample);
    }
    return result;
}

bool wave_contents::sizes_match() const {
    return bytes.size() >= 44 && riff_size() == bytes.size() - 8 &&
           data_size() == bytes.size() - 44;
}

wave_contents read_wave(const std::string& path) {
    wave_contents contents;
    std::ifstream file(path, std::ios::binary);
    if (!file) return contents;
    contents.exists = true;
    contents.bytes.assign(std::istreambuf_iterator<char>(file),
                          std::istreambuf_iterator<char>());
    return contents;
}

std::vector<fragment_entry> table_of(const std::vector<const char*>& texts,
                                     const char* voice_code) {
    std::vector<fragment_entry> table;
    for (const char* text : texts)
        table.push_back(fragment_entry{-1.0f, -1.0f, voice_code, text});
    return table;
}

void engine_test::SetUp() {
    reset_engine_state();
    reset_voice_cache();
    fake_espeak::reset();
    directory_ = make_test_directory();
    ASSERT_NE(directory_, "");
    path_ = directory_ + "/out.wav";
    files_ = open_files();
}

void engine_test::TearDown() {
    EXPECT_EQ(open_files(), files_)
        << "a recording was left open";
    std::filesystem::remove_all(directory_);
}

synthesis engine_test::run(const std::vector<const char*>& texts,
                           float quit_after, int backwards) {
    return run_at(path_, texts, quit_after, backwards);
}

synthesis engine_test::run_at(const std::string& path,
                              const std::vector<const char*>& texts,
                              float quit_after, int backwards) {
    return run_table_at(path, table_of(texts), quit_after, backwards);
}

synthesis engine_test::run_table(std::vector<fragment_entry> table,
                                 float quit_after, int backwards) {
    return run_table_at(path_, std::move(table), quit_after, backwards);
}

synthesis engine_test::run_table_at(const std::string& path,
                                    std::vector<fragment_entry> table,
                                    float quit_after, int backwards) {
    synthesis result;
    result.table = std::move(table);
    result.status = synthesize_fragments(
        path.c_str(), result.table.data(), quit_after,
        static_cast<unsigned int>(result.table.size()), backwards,
        &result.sample_rate, &result.synthesized, &result.control);
    return result;
}
