#include "voice_changes.h"

#include <espeak-ng/speak_lib.h>

namespace {

// A check selects a voice up to three times; each selection queues one or
// two commands. Far below the ring's 170, and the room a text needs.
constexpr int checks_per_settling = 4;

int checks_since_settling = 0;

// An empty text produces nothing to keep; every recording sets its own
// callback again when it starts.
int take_nothing(short* /*wav*/, int /*numsamples*/, espeak_EVENT* /*events*/) {
    return 0;
}

}  // namespace

void settle_voice_changes() noexcept {
    if (++checks_since_settling < checks_per_settling) return;
    checks_since_settling = 0;
    espeak_SetSynthCallback(take_nothing);
    if (espeak_Synth("", 1, 0, POS_CHARACTER, 0, espeakCHARS_UTF8, nullptr,
                     nullptr) == EE_OK)
        espeak_Synchronize();
}
