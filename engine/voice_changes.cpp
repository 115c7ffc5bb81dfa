#include "voice_changes.h"

#include <espeak-ng/speak_lib.h>

namespace {

// Each selection queues one or two commands: far below the ring's 170, and
// the room a text needs.
constexpr int selections_per_settling = 8;

int selections_since_settling = 0;

// An empty text produces nothing to keep; every recording sets its own
// callback again when it starts.
int take_nothing(short* /*wav*/, int /*numsamples*/, espeak_EVENT* /*events*/) {
    return 0;
}

}  // namespace

void settle_voice_changes() noexcept {
    if (++selections_since_settling < selections_per_settling) return;
    selections_since_settling = 0;
    espeak_SetSynthCallback(take_nothing);
    if (espeak_Synth("", 1, 0, POS_CHARACTER, 0, espeakCHARS_UTF8, nullptr,
                     nullptr) == EE_OK)
        espeak_Synchronize();
}
