// How the oracle programs select a fragment's voice, as vyn does: with the
// bundled library a fresh synthesis state first (VYN_ESPEAK_PATCHED), the
// parameters a fragment's settings change back where a fragment starts
// from, the voice by name or else by language, and the speech rate set
// again after the selection.
#ifndef VYN_ORACLE_VOICE_SELECTION_H
#define VYN_ORACLE_VOICE_SELECTION_H

#include <espeak-ng/speak_lib.h>

#include "setting_parameters.h"

#include <cstring>
#include <string>

#if VYN_ESPEAK_PATCHED
extern "C" void vyn_reset_synthesis_state(void);
#endif

inline bool select_voice(const std::string& code) {
#if VYN_ESPEAK_PATCHED
    vyn_reset_synthesis_state();
#endif
    for (const setting_parameter& setting : setting_parameters)
        espeak_SetParameter(setting.parameter, setting.initial, 0);
    if (espeak_SetVoiceByName(code.c_str()) != EE_OK) {
        espeak_VOICE voice;
        std::memset(&voice, 0, sizeof voice);
        voice.languages = code.c_str();
        if (espeak_SetVoiceByProperties(&voice) != EE_OK) return false;
    }
    espeak_SetParameter(espeakRATE, espeakRATE_NORMAL, 0);
    return true;
}

#endif
