// The floor: the least a multi-fragment synthesizer on eSpeak NG can do.
// It initialises the library once and, for every fragment, selects the voice
// and synthesizes the text in synchronous mode with the flags vyn uses,
// counting the samples. Nothing else happens per fragment.
//
//   vyn_floor drop|write FRAGMENTS [options]
//     drop               samples are counted and dropped (pure synthesis)
//     write              one fwrite per callback into a WAVE file (vyn's I/O)
//     FRAGMENTS          one fragment a line: VOICE, a tab, TEXT, and
//                        optionally a tab and settings as vyn takes them:
//                        rate=N,pitch=N,volume=N,word_gap=N,ssml=1 (any of
//                        them)
//     --output PATH      the file of the write variant
//     --quit-after S     stop after the fragment whose end reaches S seconds
//     --backwards        with --quit-after: first measure from the last
//                        fragment backwards to choose the first one written
//     --per-call         the write variant creates and finishes the file for
//                        every fragment, as one call per fragment would
//     --empty            reads the fragments but synthesizes none of them:
//                        the run that instruction counts subtract
//     --phoneme-events   initialises the library with phoneme events and
//                        their IPA names, which its callback passes over
//     --warm             before the clock starts, selects every voice of
//                        the list once, as vyn's benchmark worker speaks
//                        each with no text (what a process does first for a
//                        voice, in both runs alike)
//
// Prints one line of key=value pairs: the sample rate, fragments written,
// samples written and the wall seconds from after initialisation to the end.
#include <espeak-ng/speak_lib.h>

#include "setting_parameters.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {

struct fragment {
    std::string voice;
    std::string text;
    std::vector<std::pair<espeak_PARAMETER, int>> settings;
    bool ssml = false;
};

struct options {
    bool write = false;
    const char* fragments_path = nullptr;
    const char* output_path = nullptr;
    double quit_after = 0.0;
    bool backwards = false;
    bool per_call = false;
    bool empty = false;
    bool phoneme_events = false;
    bool warm = false;
};

// The flags of the engine: UTF-8 text, the end-of-text pause delivered.
constexpr unsigned int synth_flags = espeakCHARS_UTF8 | espeakENDPAUSE;
constexpr long wave_header_size = 44;

std::FILE* output_file = nullptr;  // null in the drop variant
std::uint64_t samples = 0;         // the clock of the current pass
bool write_failed = false;

// The bundled library reads the data it was built with, as the module does.
#ifdef VYN_FLOOR_DATA_PATH
const char* const floor_data_path = VYN_FLOOR_DATA_PATH;
#else
const char* const floor_data_path = nullptr;
#endif

int on_synth_output(short* wav, int numsamples, espeak_EVENT* /*events*/) {
    if (wav == nullptr) return 1;  // end of synthesis
    if (numsamples <= 0) return 0;
    samples += static_cast<std::uint64_t>(numsamples);
    if (output_file != nullptr) {
        auto size = static_cast<std::size_t>(numsamples) * 2;
        if (std::fwrite(wav, 1, size, output_file) != size)
            write_failed = true;
    }
    return 0;
}

void put_le32(unsigned char* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<unsigned char>(value >> (8 * i));
}

// The 44-byte header of a mono 16-bit PCM file; sizes from the data length.
void wave_header(unsigned char* header, int rate, std::uint32_t data_size) {
    static const unsigned char fixed[44] = {
        'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
        16, 0, 0, 0,  // format chunk length
        1, 0, 1, 0,   // PCM, one channel
        0, 0, 0, 0, 0, 0, 0, 0,
        2, 0, 16, 0,  // bytes per frame, bits per sample
        'd', 'a', 't', 'a', 0, 0, 0, 0};
    std::memcpy(header, fixed, sizeof fixed);
    put_le32(header + 4, data_size + 36);
    put_le32(header + 24, static_cast<std::uint32_t>(rate));
    put_le32(header + 28, static_cast<std::uint32_t>(rate) * 2);
    put_le32(header + 40, data_size);
}

bool open_output(const char* path, int rate) {
    output_file = std::fopen(path, "wb");
    if (output_file == nullptr) return false;
    unsigned char header[wave_header_size];
    wave_header(header, rate, 0);
    return std::fwrite(header, 1, sizeof header, output_file) == sizeof header;
}

bool close_output(int rate) {
    bool ok = std::fflush(output_file) == 0;
    long length = std::ftell(output_file);
    unsigned char header[wave_header_size];
    auto data_size = static_cast<std::uint32_t>(length - wave_header_size);
    wave_header(header, rate, data_size);
    ok = ok && std::fseek(output_file, 0, SEEK_SET) == 0 &&
         std::fwrite(header, 1, sizeof header, output_file) == sizeof header;
    ok = std::fclose(output_file) == 0 && ok;
    output_file = nullptr;
    return ok;
}

// The least a fragment's settings need, as vyn does it: the speech rate
// set after the voice (selecting a voice that names a speed changes it, and
// the library keeps it for the next voice), the other settings put back
// before the next fragment (the library keeps them across voices, and SSML
// prosody left open keeps what it set), then the fragment's own.
void apply_settings(const fragment& f) {
    espeak_SetParameter(espeakRATE, espeakRATE_NORMAL, 0);
    static std::vector<std::pair<espeak_PARAMETER, int>> changed;
    for (const auto& [parameter, initial] : changed)
        espeak_SetParameter(parameter, initial, 0);
    changed.clear();
    if (f.ssml) {
        for (const setting_parameter& known : setting_parameters)
            changed.emplace_back(known.parameter, known.initial);
        changed.emplace_back(espeakRANGE, 50);
    }
    for (const auto& [parameter, value] : f.settings) {
        espeak_SetParameter(parameter, value, 0);
        for (const setting_parameter& known : setting_parameters) {
            if (known.parameter == parameter && parameter != espeakRATE)
                changed.emplace_back(parameter, known.initial);
        }
    }
}

bool synthesize(const fragment& f) {
    espeak_VOICE voice;
    std::memset(&voice, 0, sizeof voice);
    voice.languages = f.voice.c_str();
    if (espeak_SetVoiceByProperties(&voice) != EE_OK) return false;
    apply_settings(f);
    unsigned int flags = synth_flags | (f.ssml ? espeakSSML : 0u);
    if (espeak_Synth(f.text.c_str(), f.text.size() + 1, 0, POS_CHARACTER, 0,
                     flags, nullptr, nullptr) != EE_OK)
        return false;
    return espeak_Synchronize() == EE_OK && !write_failed;
}

bool limit_reached(double quit_after, int rate) {
    return quit_after > 0.0 &&
           static_cast<double>(samples) / rate >= quit_after;
}

// "rate=N,pitch=N": each key known, each value a number; "ssml=1" first.
bool read_settings(std::string text, fragment& f) {
    static const std::string ssml = "ssml=1";
    if (text.compare(0, ssml.size(), ssml) == 0) {
        f.ssml = true;
        text.erase(0, text.size() > ssml.size() ? ssml.size() + 1 : ssml.size());
    }
    return read_setting_parameters(text, [&f](espeak_PARAMETER parameter,
                                              int value) {
        f.settings.emplace_back(parameter, value);
    });
}

bool read_fragments(const char* path, std::vector<fragment>& fragments) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        std::size_t tab = line.find('\t');
        if (tab == std::string::npos) return false;
        std::size_t second = line.find('\t', tab + 1);
        fragment f{line.substr(0, tab),
                   line.substr(tab + 1, second - tab - 1), {}, false};
        if (second != std::string::npos &&
            !read_settings(line.substr(second + 1), f))
            return false;
        fragments.push_back(std::move(f));
    }
    return true;
}

bool parse_options(int argc, char** argv, options& o) {
    if (argc < 3) return false;
    if (std::strcmp(argv[1], "write") == 0) {
        o.write = true;
    } else if (std::strcmp(argv[1], "drop") != 0) {
        return false;
    }
    o.fragments_path = argv[2];
    for (int i = 3; i < argc; ++i) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        if (arg == "--output" && has_value) {
            o.output_path = argv[++i];
        } else if (arg == "--quit-after" && has_value) {
            o.quit_after = std::atof(argv[++i]);
        } else if (arg == "--backwards") {
            o.backwards = true;
        } else if (arg == "--per-call") {
            o.per_call = true;
        } else if (arg == "--empty") {
            o.empty = true;
        } else if (arg == "--phoneme-events") {
            o.phoneme_events = true;
        } else if (arg == "--warm") {
            o.warm = true;
        } else {
            return false;
        }
    }
    return !o.write || o.output_path != nullptr;
}

// Fragments last to first until their total reaches the limit: the index of
// the first fragment to write.
bool find_start(const options& o, const std::vector<fragment>& fragments,
                int rate, std::size_t& start) {
    start = 0;
    if (fragments.empty()) return true;
    samples = 0;
    if (o.write && !open_output(o.output_path, rate)) return false;
    std::size_t j = fragments.size() - 1;
    for (;;) {
        if (!synthesize(fragments[j])) return false;
        if (limit_reached(o.quit_after, rate) || j == 0) break;
        --j;
    }
    if (o.write && !close_output(rate)) return false;
    start = j;
    return true;
}

bool write_forward(const options& o, const std::vector<fragment>& fragments,
                   int rate, std::size_t start, std::size_t& written) {
    samples = 0;
    written = 0;
    bool file_per_fragment = o.write && o.per_call;
    bool one_file = o.write && !o.per_call;
    if (one_file && !open_output(o.output_path, rate)) return false;
    for (std::size_t j = start; j < fragments.size(); ++j) {
        if (file_per_fragment && !open_output(o.output_path, rate))
            return false;
        if (!synthesize(fragments[j])) return false;
        if (file_per_fragment && !close_output(rate)) return false;
        ++written;
        if (limit_reached(o.quit_after, rate)) break;
    }
    return !one_file || close_output(rate);
}

}  // namespace

int main(int argc, char** argv) {
    options o;
    if (!parse_options(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: %s drop|write FRAGMENTS [--output PATH] "
                     "[--quit-after S] [--backwards] [--per-call] [--empty] "
                     "[--phoneme-events] [--warm]\n",
                     argv[0]);
        return 2;
    }
    std::vector<fragment> fragments;
    if (!read_fragments(o.fragments_path, fragments)) {
        std::fprintf(stderr, "cannot read fragments from %s\n",
                     o.fragments_path);
        return 1;
    }
    std::vector<fragment> voices;
    for (const fragment& f : fragments) {
        bool seen = false;
        for (const fragment& v : voices) seen = seen || v.voice == f.voice;
        if (o.warm && !seen) voices.push_back({f.voice, "", {}});
    }
    if (o.empty) fragments.clear();
    int rate = espeak_Initialize(
        AUDIO_OUTPUT_SYNCHRONOUS, 0, floor_data_path,
        espeakINITIALIZE_DONT_EXIT |
            (o.phoneme_events ? espeakINITIALIZE_PHONEME_EVENTS |
                                    espeakINITIALIZE_PHONEME_IPA
                              : 0));
    if (rate <= 0) {
        std::fprintf(stderr, "cannot initialise eSpeak NG\n");
        return 1;
    }
    espeak_SetSynthCallback(on_synth_output);
    for (const fragment& v : voices) {
        if (!synthesize(v)) return 1;
    }

    auto began = std::chrono::steady_clock::now();
    std::size_t start = 0;
    std::size_t written = 0;
    bool ok = (!o.backwards || o.quit_after <= 0.0 ||
               find_start(o, fragments, rate, start)) &&
              write_forward(o, fragments, rate, start, written);
    std::chrono::duration<double> took =
        std::chrono::steady_clock::now() - began;
    if (!ok) {
        std::fprintf(stderr, "synthesis failed\n");
        return 1;
    }
    std::printf("rate=%d synthesized=%zu samples=%llu seconds=%.6f\n", rate,
                written, static_cast<unsigned long long>(samples),
                took.count());
    return 0;
}
