#include "fragment_settings.h"

#include "synthesizer.h"

#include <espeak-ng/speak_lib.h>

#include <cstdio>

namespace {

// What espeak_Initialize sets, and a fresh process speaks with.
constexpr int default_pitch = 50;
constexpr int default_volume = 100;
constexpr int default_word_gap = 0;
constexpr int default_pitch_range = 50;

struct setting_range {
    fragment_setting_flag flag;
    const char* name;  // as the caller names it
    int fragment_settings::*value;
    int low;
    int high;
    const char* unit;
};

constexpr setting_range ranges[] = {
    {setting_rate, "rate", &fragment_settings::rate, min_setting_rate,
     max_setting_rate, " words per minute"},
    {setting_pitch, "pitch", &fragment_settings::pitch, 0, max_setting_pitch,
     ""},
    {setting_volume, "volume", &fragment_settings::volume, 0,
     max_setting_volume, ""},
    {setting_word_gap, "word_gap", &fragment_settings::word_gap, 0,
     max_setting_word_gap, " (units of 10 ms)"},
};

}  // namespace

bool settings_acceptable(const fragment_settings* settings, bool timed,
                         char* reason, std::size_t size) noexcept {
    if (settings == nullptr) return true;
    for (const setting_range& range : ranges) {
        int value = settings->*range.value;
        if ((settings->given & range.flag) == 0 ||
            (value >= range.low && value <= range.high))
            continue;
        std::snprintf(reason, size, "%s must be from %d to %d%s", range.name,
                      range.low, range.high, range.unit);
        return false;
    }
    if (timed && (settings->given & setting_rate) != 0 &&
        settings->rate > max_synthesized_rate) {
        // The library's events then fall before the sped-up audio's words,
        // and past its end.
        std::snprintf(reason, size,
                      "rate above %d words per minute gives no event times",
                      max_synthesized_rate);
        return false;
    }
    return true;
}

void restore_default_parameters() noexcept {
    if (!synthesizer.parameters_changed) return;
    espeak_SetParameter(espeakPITCH, default_pitch, 0);
    espeak_SetParameter(espeakVOLUME, default_volume, 0);
    espeak_SetParameter(espeakWORDGAP, default_word_gap, 0);
    espeak_SetParameter(espeakRANGE, default_pitch_range, 0);
    synthesizer.parameters_changed = false;
}

void apply_settings(const fragment_settings* settings) noexcept {
    if (settings == nullptr || settings->given == 0) return;
    const unsigned int given = settings->given;
    if (given & setting_rate)
        espeak_SetParameter(espeakRATE, settings->rate, 0);
    if (given & setting_pitch)
        espeak_SetParameter(espeakPITCH, settings->pitch, 0);
    if (given & setting_volume)
        espeak_SetParameter(espeakVOLUME, settings->volume, 0);
    if (given & setting_word_gap)
        espeak_SetParameter(espeakWORDGAP, settings->word_gap, 0);
    // SSML prosody left unclosed keeps its values in the library's embedded
    // parameters, which the parameter calls above write over.
    synthesizer.parameters_changed = true;
}
