// A fragment's settings as the programs that drive eSpeak NG directly (the
// oracles of the tests, the benchmark's floor) read them from their lists:
// "rate=N,pitch=N", each key the library parameter it sets.
#ifndef VYN_ORACLE_SETTING_PARAMETERS_H
#define VYN_ORACLE_SETTING_PARAMETERS_H

#include <espeak-ng/speak_lib.h>

#include <cstdlib>
#include <string>

struct setting_parameter {
    const char* key;
    espeak_PARAMETER parameter;
    int initial;  // its value at initialisation: the next fragment's again
};
inline const setting_parameter setting_parameters[] = {
    {"rate", espeakRATE, espeakRATE_NORMAL},
    {"pitch", espeakPITCH, 50},
    {"volume", espeakVOLUME, 100},
    {"word_gap", espeakWORDGAP, 0},
};

// Calls take(parameter, value) for each item of text; false at an unknown
// key.
template <typename Take>
bool read_setting_parameters(const std::string& text, Take take) {
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t comma = text.find(',', at);
        std::string item = text.substr(at, comma - at);
        std::size_t equals = item.find('=');
        bool known = false;
        for (const setting_parameter& setting : setting_parameters) {
            if (item.substr(0, equals) != setting.key) continue;
            take(setting.parameter, std::atoi(item.c_str() + equals + 1));
            known = true;
        }
        if (!known) return false;
        at = comma == std::string::npos ? text.size() : comma + 1;
    }
    return true;
}

#endif
