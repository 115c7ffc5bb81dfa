// A fragment's own rate, pitch, volume and word gap (fragment_settings,
// engine.h): checked with the voices, applied after its voice is selected,
// put back before the next fragment. Internal to the engine (and its tests).
#ifndef VYN_FRAGMENT_SETTINGS_H
#define VYN_FRAGMENT_SETTINGS_H

#include "engine.h"

#include <cstddef>

// Writes into reason (NUL-terminated) why settings cannot be applied and
// returns false; true for null settings and for settings within their
// ranges. timed: the call collects the fragment's events (words, phonemes,
// marks), whose times rates the library speeds up afterwards cannot give.
bool settings_acceptable(const fragment_settings* settings, bool timed,
                         char* reason, std::size_t size) noexcept;

// Puts back the library's speech parameters that an earlier fragment's
// settings changed and that selecting a voice keeps (pitch, volume, word
// gap; the rate is put back with the voice), and those an SSML fragment's
// prosody left (with the pitch range): costs nothing while no fragment has
// settings.
void restore_default_parameters() noexcept;

// True when the fragment's text is SSML.
inline bool reads_ssml(const fragment_settings* settings) noexcept {
    return settings != nullptr && (settings->given & setting_ssml) != 0 &&
           settings->ssml;
}

// Applies the given settings to the voice just selected, as the command
// line applies its options after its voice. Null: nothing to do.
void apply_settings(const fragment_settings* settings) noexcept;

#endif
