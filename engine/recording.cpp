#include "recording.h"

#include "engine.h"
#include "wave_output.h"

#include <espeak-ng/speak_lib.h>

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

// A rate event that repeats the rate in force is no change. Another rate is
// taken only before the first sample: one file cannot hold two rates.
bool take_sample_rate(int rate) {
    if (rate == engine_state.sample_rate) return true;
    if (rate <= 0 || engine_state.samples_written > 0) return false;
    engine_state.sample_rate = rate;
    return true;
}

bool take_events(const espeak_EVENT* events) {
    if (events == nullptr) return true;
    for (; events->type != espeakEVENT_LIST_TERMINATED; ++events) {
        if (events->type == espeakEVENT_SAMPLERATE &&
            !take_sample_rate(events->id.number))
            return false;
    }
    return true;
}

bool append_samples(const short* wav, int numsamples) {
    auto count = static_cast<std::uint64_t>(numsamples);
    if (count > engine_state.max_samples - engine_state.samples_written)
        return false;
    if (write_wave_samples(wav, count) != 0) return false;
    engine_state.samples_written += count;
    return keep_sizes_on_disk() == 0;
}

// Called by eSpeak on this thread, during espeak_Synth, for every block of
// samples. A non-zero answer asks the synthesizer to stop the text.
int on_synth_output(short* wav, int numsamples, espeak_EVENT* events) {
    if (wav == nullptr) return 1;  // end of synthesis
    if (engine_state.output_file == nullptr || engine_state.callback_failed)
        return 1;
    if (!take_events(events) ||
        (numsamples > 0 && !append_samples(wav, numsamples))) {
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

// A failed initialisation leaves the synthesizer down, so the next
// recording tries again.
int ensure_synthesizer() {
    if (engine_state.synthesizer_ready) return 0;
    std::string host_locale;
    if (copy_host_locale(host_locale) != 0) return 1;
    int rate = espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr,
                                 initialize_options);
    keep_synthesis_locale();
    std::setlocale(LC_ALL, host_locale.c_str());
    if (rate <= 0) return 1;
    engine_state.initialised_rate = rate;
    engine_state.synthesizer_ready = true;
    return 0;
}

}  // namespace

engine_state_record engine_state = {false, 0,     nullptr, 0, 0,
                                    0,     max_wave_samples, false, nullptr};

int prepare_synthesizer() noexcept { return ensure_synthesizer(); }

int start_recording(const char* output_file_path, recording_use use) noexcept {
    engine_state.sample_rate = 0;
    engine_state.synth_flags = text_synth_flags;
    if (ensure_synthesizer() != 0) return 1;
    engine_state.sample_rate = engine_state.initialised_rate;
    espeak_SetSynthCallback(on_synth_output);
    engine_state.samples_written = 0;
    engine_state.callback_failed = false;
    return open_wave_output(output_file_path,
                            use == recording_use::measuring);
}

int synthesize_text(const char* text) noexcept {
    engine_state.callback_failed = false;
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
    if (espeak_Synchronize() != EE_OK) return 1;
    return engine_state.callback_failed ? 1 : 0;
}

int finish_recording() noexcept { return finalize_wave_output(); }

// Closing the descriptor first makes the stream's final flush fail instead
// of writing the parent's buffered bytes into the shared file.
void abandon_recording() noexcept {
    for (std::FILE** stream : {&engine_state.output_file,
                               &engine_state.kept_output}) {
        std::FILE* file = *stream;
        if (file == nullptr) continue;
        *stream = nullptr;
        close(fileno(file));
        std::fclose(file);
    }
}

float elapsed_seconds() noexcept {
    return static_cast<float>(
        static_cast<double>(engine_state.samples_written) /
        engine_state.sample_rate);
}

void reset_engine_state() noexcept {
    if (engine_state.output_file != nullptr) finalize_wave_output();
    if (engine_state.synthesis_locale != nullptr)
        freelocale(engine_state.synthesis_locale);
    close_kept_output();
    engine_state = engine_state_record{false, 0,     nullptr, 0, 0,
                                       0,     max_wave_samples, false, nullptr};
}
