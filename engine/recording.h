// A recording: one output file, the sample clock, and what the
// synthesizer's callback takes from each text. Owned by the pass that makes
// it; the callback reaches it through the user data of each text.
// Internal to the engine (and its tests).
#ifndef VYN_RECORDING_H
#define VYN_RECORDING_H

#include <atomic>
#include <cstdint>

#include "call.h"
#include "marks.h"
#include "phonemes.h"
#include "resampler.h"
#include "wave_output.h"
#include "words.h"

struct recording_record {
    // Registers itself with the call, for the child of a fork.
    explicit recording_record(call_record& call) : call(call) {
        call.recording = this;
    }
    recording_record(const recording_record&) = delete;
    recording_record& operator=(const recording_record&) = delete;
    // Finishes the recording if it is still open, on every path out of a
    // pass: a pass that returns early on a failure still leaves a valid
    // WAVE file of what was written, and the next one starts with none open.
    ~recording_record();

    call_record& call;
    wave_writer writer;
    int sample_rate = 0;             // rate of the samples in the file, Hz
    int produced_rate = 0;           // rate the synthesizer delivers now, Hz
    rate_conversion conversion{};    // for samples at another rate
    std::uint64_t samples_written = 0;  // the clock: samples in the file
    bool callback_failed = false;    // set by the callback, read after a text
    // Why the text in progress failed, where the recording knows: shown to
    // the caller with the fragment's index. Null otherwise.
    const char* failure_reason = nullptr;
    // What the callback collects from the synthesizer's events besides the
    // samples: the words, in a recording that collects them (a new kind of
    // event gets its collection beside them, and its case in the callback).
    bool collecting_words = false;
    word_collection words;
    bool collecting_phonemes = false;
    phoneme_collection phonemes;
    bool collecting_marks = false;
    mark_collection marks;
    // Blocks delivered: counted by the callback, read by an MBROLA watch on
    // its own thread.
    std::atomic<std::uint64_t> delivered_blocks{0};
};

// start_recording, then pairs of apply_voice (voices.h) and
// synthesize_text, then finish_recording. Each returns 0 or 1 (failure).
// A recording made to measure, before the one that writes in the same call,
// writes nothing into a pipe or device (it must receive one stream only)
// and keeps it open for the recording that follows.
enum class recording_use { writing, measuring };
// The file holds the call's file_rate samples a second; samples the
// synthesizer delivers at another rate are converted, each text's exactly
// as long as it is at its own rate.
int start_recording(recording_record& recording,
                    recording_use use = recording_use::writing) noexcept;
// ssml: the text is read as SSML (fragment_settings), else as written.
int synthesize_text(recording_record& recording, const char* text,
                    bool ssml = false) noexcept;
int finish_recording(recording_record& recording) noexcept;

// Takes back the samples after the first `kept` of a regular file, for a
// fragment whose audio cannot be whole; a stream keeps what it was sent.
// Returns 0 or 1.
int discard_samples_after(recording_record& recording,
                          std::uint64_t kept) noexcept;

// The clock of the recording, in seconds.
float elapsed_seconds(const recording_record& recording) noexcept;

#endif
