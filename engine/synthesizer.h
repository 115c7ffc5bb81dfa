// The synthesizer: what lives as long as the process. Internal to the
// engine (and its tests).
#ifndef VYN_SYNTHESIZER_H
#define VYN_SYNTHESIZER_H

#include "engine.h"
#include "platform_locale.h"

struct synthesizer_record {
    // The synthesizer is initialised once per process and kept: eSpeak NG
    // 1.51 hangs on the first synthesis after a re-initialisation.
    bool ready;
    int initialised_rate;  // what espeak_Initialize returned, Hz
    // The character classes the library set up at initialisation, used on
    // the synthesizing thread only (the process keeps the host's locale).
    character_classes* synthesis_locale;
    // Set in a child forked while another thread was inside the engine:
    // the library still holds that call's unfinished text.
    bool holds_foreign_text;
    // A fragment's settings left the library's pitch, volume or word gap
    // off their defaults: selecting a voice keeps them (fragment_settings.h).
    bool parameters_changed;
};

extern synthesizer_record synthesizer;

// Brings the synthesizer up if it is not (prepare_synthesizer in engine.h).
// Returns 0, or 1 with *reason (where given) set when the cause has a name.
int ensure_synthesizer(const char** reason = nullptr) noexcept;

// Terminates and initialises the synthesizer once more, for the one state
// that nothing else restores (see apply_voice; eSpeak NG 1.52.0 only, 1.51
// would hang). Initialisation changes the process's locale for a moment:
// the call's run_exclusive runs it. Returns 0 or 1.
int restart_synthesizer(const synthesis_callbacks& callbacks) noexcept;

// Clears what the parent's unfinished text left queued in the library, in
// a child forked while another thread was inside the engine (first call of
// the child only).
void drop_foreign_text() noexcept;

// Sets the synthesizer's character classes on this thread for its scope.
class synthesis_locale_scope : character_classes_scope {
public:
    synthesis_locale_scope()
        : character_classes_scope(synthesizer.synthesis_locale) {}
};

// Returns the engine to its state at load time, as if the synthesizer had
// never been initialised. For tests that script a fresh synthesizer.
void reset_engine_state() noexcept;

#endif
