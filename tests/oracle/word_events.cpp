// The word events of eSpeak NG as the library gives them, with the library
// driven as vyn drives it: initialised once, synchronous, with phoneme
// events and IPA names, the same flags,
// each fragment's voice selected by name or else by language, the speech
// rate set again after every selection (with the bundled library, its state
// reset to a fresh one before each fragment, as vyn resets it). One process
// per list, so that its output is that of a fresh process, as a list in
// vyn's first call is.
//
//   vyn_word_events FRAGMENTS [--phonemes]
//     FRAGMENTS  one fragment a line: VOICE, a tab, TEXT, optionally a tab
//                and settings: rate=N,pitch=N,volume=N,word_gap=N (any of
//                them), set after the voice as the command line sets its
//                options; pitch, volume and word gap go back to their
//                defaults before every fragment
//
// Prints, per fragment, "fragment INDEX SAMPLES RATE" (the samples it
// delivered and their rate), then one "word SAMPLE POSITION LENGTH" line per
// word event, as the library reports them (sample counted from the start of
// the fragment's text, position 1-based in characters); with --phonemes
// also "phoneme SAMPLE POSITION NAME" per phoneme event, NAME its bytes up
// to the first NUL or the 8th (a pause's empty name printed as "-").
#include <espeak-ng/espeak_ng.h>
#include <espeak-ng/speak_lib.h>

#include "voice_selection.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace {

constexpr unsigned int synth_flags = espeakCHARS_UTF8 | espeakENDPAUSE;

std::uint64_t samples = 0;
bool print_phonemes = false;

void print_phoneme(const espeak_EVENT& event) {
    int length = static_cast<int>(strnlen(event.id.string, 8));
    std::printf("phoneme %d %d %.*s\n", event.sample, event.text_position,
                length > 0 ? length : 1, length > 0 ? event.id.string : "-");
}

int on_synth_output(short* wav, int numsamples, espeak_EVENT* events) {
    if (wav == nullptr) return 1;
    for (; events->type != espeakEVENT_LIST_TERMINATED; ++events) {
        if (events->type == espeakEVENT_WORD)
            std::printf("word %d %d %d\n", events->sample,
                        events->text_position, events->length);
        else if (events->type == espeakEVENT_PHONEME && print_phonemes)
            print_phoneme(*events);
    }
    if (numsamples > 0) samples += static_cast<std::uint64_t>(numsamples);
    return 0;
}

// "rate=N,pitch=N", each applied as it is read.
bool apply_settings(const std::string& text) {
    return read_setting_parameters(text, [](espeak_PARAMETER parameter,
                                            int value) {
        espeak_SetParameter(parameter, value, 0);
    });
}

// U+0001 is spoken as a space, as vyn speaks it.
bool synthesize(const std::string& code, std::string text,
                const std::string& settings) {
    for (char& c : text) {
        if (c == '\x01') c = ' ';
    }
    samples = 0;
    return select_voice(code) && apply_settings(settings) &&
           espeak_Synth(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0,
                        synth_flags, nullptr, nullptr) == EE_OK &&
           espeak_Synchronize() == EE_OK;
}

}  // namespace

int main(int argc, char** argv) {
    print_phonemes = argc == 3 && std::strcmp(argv[2], "--phonemes") == 0;
    if (argc != 2 && !print_phonemes) {
        std::fprintf(stderr, "usage: %s FRAGMENTS [--phonemes]\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in ||
        espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr,
                          espeakINITIALIZE_DONT_EXIT |
                              espeakINITIALIZE_PHONEME_EVENTS |
                              espeakINITIALIZE_PHONEME_IPA) <= 0) {
        std::fprintf(stderr, "cannot read %s or initialise\n", argv[1]);
        return 1;
    }
    espeak_SetSynthCallback(on_synth_output);
    std::string line;
    for (int index = 0; std::getline(in, line); ++index) {
        std::size_t tab = line.find('\t');
        std::size_t second =
            tab == std::string::npos ? tab : line.find('\t', tab + 1);
        std::printf("fragment %d\n", index);
        if (tab == std::string::npos ||
            !synthesize(line.substr(0, tab),
                        line.substr(tab + 1, second - tab - 1),
                        second == std::string::npos
                            ? std::string()
                            : line.substr(second + 1))) {
            std::fprintf(stderr, "fragment %d failed\n", index);
            return 1;
        }
        std::printf("samples %llu %d\n",
                    static_cast<unsigned long long>(samples),
                    espeak_ng_GetSampleRate());
    }
    return 0;
}
