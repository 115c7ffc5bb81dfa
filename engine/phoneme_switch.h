// Phoneme events between texts. They are asked for at initialisation (1.51
// can switch them on only there, and initialises once per process); a
// library that can switch them between texts (eSpeak NG 1.52.0 on:
// espeak_ng_SetPhonemeEvents) has them only for texts whose phonemes are
// collected, so that other texts cost what they did. Internal to the
// engine.
#ifndef VYN_PHONEME_SWITCH_H
#define VYN_PHONEME_SWITCH_H

// True when the library can switch phoneme events between texts.
bool phoneme_events_switchable() noexcept;

// Phoneme events (with IPA names) on or off for the texts that follow,
// where the library can switch them; otherwise they stay on.
void switch_phoneme_events(bool on) noexcept;

#endif
