#include "recording.h"

#include "data_path.h"
#include "engine.h"
#include "mbrola_watch.h"
#include "patched_library.h"
#include "wave_output.h"
#include "words.h"

#include <espeak-ng/speak_lib.h>

#include <algorithm>
#include <clocale>
#include <cstring>
#include <new>
#include <string>
#include <unistd.h>

namespace {

// espeakCHARS_UTF8 with espeakENDPAUSE: the pause at the end of each text is
// part of the delivered samples, so fragments follow each other naturally.
constexpr int text_synth_flags = espeakCHARS_UTF8 | espeakENDPAUSE;

// Never let the library exit() the process on unusable voice data.
constexpr int initialize_options = espeakINITIALIZE_DONT_EXIT;

constexpr char wave_limit_reason[] =
    "the audio would pass the 4 GiB a WAVE file can hold";

bool append_samples(const short* wav, std::size_t count) {
    if (count > engine_state.sample_limit - engine_state.samples_written) {
        engine_state.failure_reason = wave_limit_reason;
        return false;
    }
    if (write_wave_samples(wav, count) != 0) return false;
    engine_state.samples_written += count;
    return keep_sizes_on_disk() == 0;
}

// A rate event says at what rate the samples after it come; one that
// repeats the rate in force is no change. A change ends the conversion run
// of the samples before it.
bool take_sample_rate(int rate) {
    if (rate == engine_state.produced_rate) return true;
    if (rate <= 0 ||
        end_conversion_run(engine_state.conversion, append_samples) != 0)
        return false;
    engine_state.produced_rate = rate;
    return true;
}

bool take_word_event(const espeak_EVENT& event) {
    word_event word{static_cast<std::uint64_t>(std::max(event.sample, 0)),
                    event.text_position, event.length};
    return note_word_event(word);
}

// Word events count only in a recording that collects words.
bool take_events(const espeak_EVENT* events) {
    if (events == nullptr) return true;
    for (; events->type != espeakEVENT_LIST_TERMINATED; ++events) {
        if (events->type == espeakEVENT_SAMPLERATE) {
            if (!take_sample_rate(events->id.number)) return false;
        } else if (events->type == espeakEVENT_WORD &&
                   engine_state.collecting_words && !take_word_event(*events)) {
            return false;
        }
    }
    return true;
}

// Samples at the file's rate go straight in; no other work is done for them.
bool take_samples(const short* wav, int numsamples) {
    count_delivered_block();
    auto count = static_cast<std::size_t>(numsamples);
    if (engine_state.produced_rate == engine_state.sample_rate)
        return append_samples(wav, count);
    return convert_samples(engine_state.conversion, engine_state.produced_rate,
                           engine_state.sample_rate, wav, count,
                           append_samples) == 0;
}

// Called by eSpeak on this thread, during espeak_Synth, for every block of
// samples. A non-zero answer asks the synthesizer to stop the text.
int on_synth_output(short* wav, int numsamples, espeak_EVENT* events) {
    if (wav == nullptr) return 1;  // end of synthesis
    if (engine_state.output_file == nullptr || engine_state.callback_failed)
        return 1;
    if (!take_events(events) ||
        (numsamples > 0 && !take_samples(wav, numsamples))) {
        engine_state.callback_failed = true;
        return 1;
    }
    return 0;
}

// U+0001 starts an embedded command (volume, speed, pitch, echo, ...)
// whose effect would outlive its text: it is spoken as a space instead.
constexpr char embedded_command_mark = '\x01';

int neutralise_commands(const char* text, std::size_t size,
                        std::string& neutral) {
    try {
        neutral.assign(text, size - 1);
    } catch (const std::bad_alloc&) {
        return 1;
    }
    for (char& c : neutral) {
        if (c == embedded_command_mark) c = ' ';
    }
    return 0;
}

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
    if (engine_state.synthesis_locale != nullptr) return;
    const char* ctype = std::setlocale(LC_CTYPE, nullptr);
    engine_state.synthesis_locale =
        newlocale(LC_CTYPE_MASK, ctype != nullptr ? ctype : "C", nullptr);
}

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
    configure_patched_library();
    engine_state.initialised_rate = rate;
    engine_state.synthesizer_ready = true;
    return 0;
}

// A failed initialisation leaves the synthesizer down, so the next
// recording tries again.
int ensure_synthesizer() {
    if (engine_state.synthesizer_ready) return 0;
    return initialise_synthesizer();
}

// A new initialisation alone would keep pointers into the phoneme data it
// frees (1.52.0 reselects a phoneme table only when its number changes):
// terminating first frees all of it, so everything is built anew.
int reinitialise_synthesizer() {
    espeak_Terminate();
    engine_state.synthesizer_ready = false;
    if (initialise_synthesizer() != 0) return 1;
    espeak_SetSynthCallback(on_synth_output);
    return 0;
}

constexpr engine_state_record initial_engine_state() {
    engine_state_record state{};
    state.max_samples = max_wave_samples;
    return state;
}

}  // namespace

engine_state_record engine_state = initial_engine_state();

int prepare_synthesizer() noexcept { return ensure_synthesizer(); }

// The library answers before it is initialised too.
const char* synthesizer_version() noexcept { return espeak_Info(nullptr); }

// Initialisation changes the process's locale for a moment: the call's
// control runs it while the host's other threads are held off.
int restart_synthesizer() noexcept {
    synthesis_control* control = engine_state.control;
    if (control != nullptr && control->run_exclusive != nullptr)
        return control->run_exclusive(reinitialise_synthesizer,
                                      control->context);
    return reinitialise_synthesizer();
}

int start_recording(const char* output_file_path, int file_rate,
                    recording_use use) noexcept {
    engine_state.sample_rate = file_rate;
    engine_state.synth_flags = text_synth_flags;
    if (ensure_synthesizer() != 0) return 1;
    engine_state.produced_rate = engine_state.initialised_rate;
    espeak_SetSynthCallback(on_synth_output);
    engine_state.samples_written = 0;
    engine_state.callback_failed = false;
    return open_wave_output(output_file_path,
                            use == recording_use::measuring);
}

int synthesize_text(const char* text) noexcept {
    engine_state.callback_failed = false;
    engine_state.failure_reason = nullptr;
    if (text != nullptr) {
        std::size_t size = std::strlen(text) + 1;
        std::string neutral;
        if (std::memchr(text, embedded_command_mark, size) != nullptr) {
            if (neutralise_commands(text, size, neutral) != 0) return 1;
            text = neutral.c_str();
        }
        if (espeak_Synth(text, size, 0, POS_CHARACTER, 0,
                         static_cast<unsigned int>(engine_state.synth_flags),
                         nullptr, nullptr) != EE_OK)
            return 1;
    }
    if (espeak_Synchronize() != EE_OK || engine_state.callback_failed) return 1;
    return end_conversion_run(engine_state.conversion, append_samples);
}

int finish_recording() noexcept {
    release_conversion(engine_state.conversion);
    return finalize_wave_output();
}

int discard_samples_after(std::uint64_t kept) noexcept {
    if (kept >= engine_state.samples_written) return 0;
    engine_state.samples_written = kept;
    return cut_wave_output(kept);
}

float elapsed_seconds() noexcept {
    return static_cast<float>(
        static_cast<double>(engine_state.samples_written) /
        engine_state.sample_rate);
}

void abandon_recording() noexcept {
    engine_state.collecting_words = false;
    for (std::FILE** stream : {&engine_state.output_file,
                               &engine_state.kept_output}) {
        std::FILE* file = *stream;
        if (file == nullptr) continue;
        *stream = nullptr;
        close(fileno(file));
        std::fclose(file);
    }
}

void reset_engine_state() noexcept {
    if (engine_state.output_file != nullptr) finish_recording();
    if (engine_state.synthesis_locale != nullptr)
        freelocale(engine_state.synthesis_locale);
    close_kept_output();
    engine_state = initial_engine_state();
}
