// What the engine tests share: a fresh engine and fake synthesizer for every
// test, a temporary output path, and a reader for the WAVE files written.
#ifndef VYN_ENGINE_TEST_SUPPORT_H
#define VYN_ENGINE_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine.h"
#include "fake_espeak.h"

struct wave_contents {
    bool exists = false;
    std::vector<unsigned char> bytes;

    std::uint32_t le32(std::size_t offset) const;
    std::uint16_t le16(std::size_t offset) const;
    std::uint32_t riff_size() const { return le32(4); }
    std::uint32_t sample_rate() const { return le32(24); }
    std::uint32_t byte_rate() const { return le32(28); }
    std::uint32_t data_size() const { return le32(40); }
    std::vector<short> samples() const;
    // The marks of the runs of equal samples, in order: which fragments the
    // file holds.
    std::vector<short> marks() const;
    // True when both size fields agree with the file's length.
    bool sizes_match() const;
};

wave_contents read_wave(const std::string& path);

// The result of one engine call.
struct synthesis {
    int status = -1;
    int sample_rate = -1;
    unsigned int synthesized = 12345;
    std::vector<fragment_entry> table;
    synthesis_control control{};  // the fragment and reason of a failure
};

class engine_test : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Calls the engine with one fragment per text, all in voice "en".
    synthesis run(const std::vector<const char*>& texts, float quit_after = 0,
                  int backwards = 0);
    synthesis run_at(const std::string& path,
                     const std::vector<const char*>& texts,
                     float quit_after = 0, int backwards = 0);
    synthesis run_table(std::vector<fragment_entry> table,
                        float quit_after = 0, int backwards = 0);
    synthesis run_table_at(const std::string& path,
                           std::vector<fragment_entry> table,
                           float quit_after = 0, int backwards = 0);

    std::string directory_;
    std::string path_;
    std::size_t files_ = 0;  // open at the start of the test
};

std::vector<fragment_entry> table_of(const std::vector<const char*>& texts,
                                     const char* voice_code = "en");

#endif
