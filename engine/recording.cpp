#include "recording.h"

#include "phoneme_switch.h"
#include "synthesizer.h"

#include <espeak-ng/speak_lib.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

namespace {

// espeakCHARS_UTF8 with espeakENDPAUSE: the pause at the end of each text is
// part of the delivered samples, so fragments follow each other naturally.
constexpr unsigned int text_synth_flags = espeakCHARS_UTF8 | espeakENDPAUSE;

constexpr char wave_limit_reason[] =
    "the audio would pass the 4 GiB a WAVE file can hold";

bool append_samples(void* context, const short* wav, std::size_t count) {
    auto& recording = *static_cast<recording_record*>(context);
    if (count > recording.writer.sample_limit - recording.samples_written) {
        recording.failure_reason = wave_limit_reason;
        return false;
    }
    if (write_wave_samples(recording.writer, wav, count) != 0) return false;
    recording.samples_written += count;
    return keep_sizes_on_disk(recording.writer, recording.samples_written) ==
           0;
}

sample_sink file_of(recording_record& recording) {
    return sample_sink{append_samples, &recording};
}

// A rate event says at what rate the samples after it come; one that
// repeats the rate in force is no change. A change ends the conversion run
// of the samples before it.
bool take_sample_rate(recording_record& recording, int rate) {
    if (rate == recording.produced_rate) return true;
    if (rate <= 0 || end_conversion_run(recording.conversion,
                                        file_of(recording)) != 0)
        return false;
    recording.produced_rate = rate;
    return true;
}

// The sample the library gives an event, in the samples it produced.
std::uint64_t event_sample(const espeak_EVENT& event) {
    return static_cast<std::uint64_t>(std::max(event.sample, 0));
}

bool take_word_event(recording_record& recording, const espeak_EVENT& event) {
    word_event word{event_sample(event), event.text_position, event.length};
    return note_word_event(recording.words, word);
}

bool take_phoneme_event(recording_record& recording,
                        const espeak_EVENT& event) {
    return note_phoneme_event(recording.phonemes, event_sample(event),
                              event.text_position, event.id.string);
}

bool take_mark_event(recording_record& recording, const espeak_EVENT& event) {
    return note_mark_event(recording.marks, event_sample(event),
                           event.id.name);
}

// The library keeps a block's events in a list of 32 entries (its default
// buffer of 60 ms, 200 events a second and 20 more), the last two never
// filled: once it holds this many, further events of the block are dropped
// without a word.
constexpr std::size_t library_event_room = 30;
constexpr char events_dropped_reason[] =
    "the synthesizer dropped events: too many at one place of the text";

bool collecting_events(const recording_record& recording) {
    return recording.collecting_words || recording.collecting_phonemes ||
           recording.collecting_marks;
}

bool take_event(recording_record& recording, const espeak_EVENT& event) {
    switch (event.type) {
    case espeakEVENT_SAMPLERATE:
        return take_sample_rate(recording, event.id.number);
    case espeakEVENT_WORD:
        return !recording.collecting_words || take_word_event(recording, event);
    case espeakEVENT_PHONEME:
        return !recording.collecting_phonemes ||
               take_phoneme_event(recording, event);
    case espeakEVENT_MARK:
        return !recording.collecting_marks || take_mark_event(recording, event);
    default:
        return true;
    }
}

// Each kind of event the recording collects has its case in take_event;
// word, phoneme and mark events count only in a recording that collects
// them, and a full list fails such a recording rather than lose any.
bool take_events(recording_record& recording, const espeak_EVENT* events) {
    std::size_t count = 0;
    for (; events->type != espeakEVENT_LIST_TERMINATED; ++events, ++count) {
        if (!take_event(recording, *events)) return false;
    }
    if (count >= library_event_room && collecting_events(recording)) {
        recording.failure_reason = events_dropped_reason;
        return false;
    }
    return true;
}

// Samples at the file's rate go straight in; no other work is done for them.
bool take_samples(recording_record& recording, const short* wav,
                  int numsamples) {
    recording.delivered_blocks.store(
        recording.delivered_blocks.load(std::memory_order_relaxed) + 1,
        std::memory_order_relaxed);
    auto count = static_cast<std::size_t>(numsamples);
    if (recording.produced_rate == recording.sample_rate)
        return append_samples(&recording, wav, count);
    return convert_samples(recording.conversion, recording.produced_rate,
                           recording.sample_rate, wav, count,
                           file_of(recording)) == 0;
}

// Called by eSpeak on this thread, during espeak_Synth, for every block of
// samples, with the recording as the user data of every event (the list
// has at least its terminator). A non-zero answer asks the synthesizer to
// stop the text.
int on_synth_output(short* wav, int numsamples, espeak_EVENT* events) {
    if (wav == nullptr) return 1;  // end of synthesis
    auto* recording = static_cast<recording_record*>(events->user_data);
    if (recording == nullptr || recording->writer.file == nullptr ||
        recording->callback_failed)
        return 1;
    if (!take_events(*recording, events) ||
        (numsamples > 0 && !take_samples(*recording, wav, numsamples))) {
        recording->callback_failed = true;
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

}  // namespace

recording_record::~recording_record() {
    if (writer.file != nullptr) finish_recording(*this);
    call.recording = nullptr;
}

int start_recording(recording_record& recording, recording_use use) noexcept {
    recording.sample_rate = recording.call.file_rate;
    if (ensure_synthesizer() != 0) return 1;
    recording.produced_rate = synthesizer.initialised_rate;
    recording.samples_written = 0;
    recording.callback_failed = false;
    return open_wave_output(recording.writer, recording.call.output_file_path,
                            recording.sample_rate,
                            use == recording_use::measuring,
                            recording.call.kept_output);
}

// Every text names its recording as the user data that each event carries
// back to the callback.
int synthesize_text(recording_record& recording, const char* text,
                    bool ssml) noexcept {
    recording.callback_failed = false;
    recording.failure_reason = nullptr;
    if (text != nullptr) {
        std::size_t size = std::strlen(text) + 1;
        std::string neutral;
        if (std::memchr(text, embedded_command_mark, size) != nullptr) {
            if (neutralise_commands(text, size, neutral) != 0) return 1;
            text = neutral.c_str();
        }
        espeak_SetSynthCallback(on_synth_output);
        switch_phoneme_events(recording.collecting_phonemes);
        unsigned int flags = text_synth_flags | (ssml ? espeakSSML : 0u);
        if (espeak_Synth(text, size, 0, POS_CHARACTER, 0, flags, nullptr,
                         &recording) != EE_OK)
            return 1;
    }
    if (espeak_Synchronize() != EE_OK || recording.callback_failed) return 1;
    return end_conversion_run(recording.conversion, file_of(recording));
}

int finish_recording(recording_record& recording) noexcept {
    release_conversion(recording.conversion);
    return finalize_wave_output(recording.writer, recording.call.kept_output);
}

int discard_samples_after(recording_record& recording,
                          std::uint64_t kept) noexcept {
    if (kept >= recording.samples_written) return 0;
    recording.samples_written = kept;
    return cut_wave_output(recording.writer, kept);
}

float elapsed_seconds(const recording_record& recording) noexcept {
    return static_cast<float>(
        static_cast<double>(recording.samples_written) /
        recording.sample_rate);
}
