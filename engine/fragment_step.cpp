#include "fragment_step.h"

#include "engine_lock.h"
#include "fragment_settings.h"
#include "mbrola_watch.h"
#include "voices.h"

#include <cstdint>

int apply_fragment_voice(recording_record& recording,
                         unsigned int j) noexcept {
    call_record& call = recording.call;
    return apply_voice(call.voices[j], call.control.callbacks);
}

int synthesize_fragment(recording_record& recording, unsigned int j) noexcept {
    call_record& call = recording.call;
    const fragment_voice& voice = call.voices[j];
    std::uint64_t before = recording.samples_written;
    mbrola_watch watch(voice.voice->mbrola, recording.delivered_blocks);
    int status = synthesize_text(recording, call.fragments[j].text,
                                 reads_ssml(voice.settings));
    if (const char* cut_short = watch.finish()) {
        recording.failure_reason = cut_short;
        discard_samples_after(recording, before);
        status = 1;
    }
    if (status != 0) blame(call, j, recording.failure_reason);
    return status;
}

bool limit_reached(float seconds, float quit_after) noexcept {
    return quit_after > 0.0f && seconds >= quit_after;
}

bool stop_requested(const call_record& call) noexcept {
    return process_exiting() || caller_asks_to_stop(call);
}
