#include "synthesizer.h"

#include "call.h"
#include "data_path.h"
#include "descriptor_reserve.h"
#include "patched_library.h"
#include "wave_output.h"

#include <espeak-ng/speak_lib.h>

#include <clocale>
#include <cstring>
#include <new>
#include <string>

namespace {

// Never let the library exit() the process on unusable voice data. Phoneme
// events with IPA names are on from the start: 1.51 can switch them only
// here, and initialises only once per process (phoneme_switch.h: later
// libraries have them only for texts whose phonemes are collected). They
// change no sample of the audio; a call that collects none passes over
// them.
constexpr int initialize_options = espeakINITIALIZE_DONT_EXIT |
                                   espeakINITIALIZE_PHONEME_EVENTS |
                                   espeakINITIALIZE_PHONEME_IPA;

// Initialisation sets the whole process's LC_CTYPE (to C.UTF-8 where it
// exists); the host's locale is put back in every category afterwards.
int copy_host_locale(std::string& locale) {
    const char* current = std::setlocale(LC_ALL, nullptr);
    try {
        locale = current != nullptr ? current : "C";
    } catch (const std::bad_alloc&) {
        return 1;
    }
    return 0;
}

// The character classes the library chose for itself are kept apart and
// set for this thread only while it synthesizes, so it reads text as the
// command line does whatever the host's locale is.
void keep_synthesis_locale() {
    if (synthesizer.synthesis_locale != nullptr) return;
    synthesizer.synthesis_locale = keep_current_character_classes();
}

// An SSML <audio> element would have the library read its file (and 1.51
// run a shell command built from its name): every URI is refused, and the
// library speaks the element's text instead.
int refuse_uri(int, const char*, const char*) { return 1; }

int initialise_synthesizer() {
    std::string host_locale;
    std::string data_path;
    if (copy_host_locale(host_locale) != 0 || find_data_path(data_path) != 0)
        return 1;
    int rate = espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0,
                                 data_path.empty() ? nullptr : data_path.c_str(),
                                 initialize_options);
    keep_synthesis_locale();
    std::setlocale(LC_ALL, host_locale.c_str());
    if (rate <= 0) return 1;
    espeak_SetUriCallback(refuse_uri);
    configure_patched_library();
    synthesizer.initialised_rate = rate;
    synthesizer.ready = true;
    return 0;
}

// A new initialisation alone would keep pointers into the phoneme data it
// frees (1.52.0 reselects a phoneme table only when its number changes):
// terminating first frees all of it, so everything is built anew. Each
// text registers the recording's callback again.
int reinitialise_synthesizer() {
    espeak_Terminate();
    synthesizer.ready = false;
    return initialise_synthesizer();
}

int refuse_samples(short*, int, espeak_EVENT*) { return 1; }

// The library stops a text with an MBROLA voice current by sending the
// MBROLA process it knows a reset signal: in the child that process is the
// parent's, and the reset would cut the parent's fragment short. A standard
// voice selected first (the library's default) makes the stop a local one.
void leave_mbrola_voice() {
    espeak_VOICE standard;
    std::memset(&standard, 0, sizeof standard);
    standard.languages = "";
    espeak_SetVoiceByProperties(&standard);
}

}  // namespace

synthesizer_record synthesizer{};

// A failed initialisation leaves the synthesizer down, so the next call
// tries again. Out of descriptors, the library would start without its
// phoneme tables: it is not started then.
int ensure_synthesizer(const char** reason) noexcept {
    if (synthesizer.ready) return 0;
    if (!descriptors_free(descriptors_to_read_data)) {
        if (reason != nullptr) *reason = too_few_descriptors_reason;
        return 1;
    }
    return initialise_synthesizer();
}

int prepare_synthesizer(synthesis_results* results) noexcept {
    const char* reason = nullptr;
    if (ensure_synthesizer(&reason) == 0) return 0;
    if (results != nullptr && reason != nullptr) name_cause(*results, reason);
    return 1;
}

// The library answers before it is initialised too.
const char* synthesizer_version() noexcept { return espeak_Info(nullptr); }

int restart_synthesizer(const synthesis_callbacks& callbacks) noexcept {
    if (callbacks.run_exclusive != nullptr)
        return callbacks.run_exclusive(reinitialise_synthesizer,
                                       callbacks.context);
    return reinitialise_synthesizer();
}

// A text that the library was in the middle of when the process forked
// leaves its pending audio queued, and the next text would begin with it.
// A callback that refuses the first block of a new text makes the library
// drop its whole queue, the foreign audio with it.
void drop_foreign_text() noexcept {
    if (!synthesizer.holds_foreign_text) return;
    synthesizer.holds_foreign_text = false;
    if (!synthesizer.ready) return;
    leave_mbrola_voice();
    espeak_SetSynthCallback(refuse_samples);
    espeak_Synth("", 1, 0, POS_CHARACTER, 0, espeakCHARS_UTF8, nullptr,
                 nullptr);
    espeak_Synchronize();
}

void reset_engine_state() noexcept {
    release_character_classes(synthesizer.synthesis_locale);
    synthesizer = synthesizer_record{};
    wave_file_max_samples = max_wave_samples;
}
