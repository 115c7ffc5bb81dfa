// The process-wide synthesizer, the one output file and the sample clock.
// Internal to the engine (and its tests).
#ifndef VYN_RECORDING_H
#define VYN_RECORDING_H

#include <cstdint>
#include <cstdio>
#include <locale.h>

#include "engine.h"
#include "resampler.h"

struct engine_state_record {
    // The synthesizer is initialised once per process and kept: eSpeak NG
    // 1.51 hangs on the first synthesis after a re-initialisation.
    bool synthesizer_ready;
    int initialised_rate;  // what espeak_Initialize returned, Hz

    // The recording in progress.
    std::FILE* output_file;         // null outside a recording
    int sample_rate;                // rate of the samples in the file, Hz
    int produced_rate;              // rate the synthesizer delivers now, Hz
    rate_conversion conversion;     // for samples at another rate
    int synth_flags;                // flags passed to espeak_Synth
    std::uint64_t samples_written;  // the clock: samples in the file
    std::uint64_t max_samples;      // what fits in a 32-bit WAVE file
    std::uint64_t sample_limit;     // max_samples on a file; none on a stream
    bool callback_failed;           // set by the callback, read after a text
    // Why the text in progress failed, where the recording knows: shown to
    // the caller with the fragment's index. Null otherwise.
    const char* failure_reason;
    bool collecting_words = false;  // word events are noted (words.h)

    // The character classes the library set up at initialisation, used on
    // the synthesizing thread only (the process keeps the host's locale).
    locale_t synthesis_locale;

    // How the output takes the recording (wave_output.cpp).
    bool output_is_stream = false;    // a pipe or device: never sought back
    bool output_counts_only = false;  // measuring into a stream: no writes
    std::uint64_t sizes_due_at = 0;   // the clock at the next size update
    std::FILE* kept_output = nullptr;  // a stream kept between two passes

    // The control of the call in progress (null outside a call, or when the
    // caller gave none).
    synthesis_control* control = nullptr;
};

extern engine_state_record engine_state;

// A recording: start_recording, then pairs of apply_voice (voices.h) and
// synthesize_text, then finish_recording. Each returns 0 or 1 (failure).
// A recording made to measure, before the one that writes in the same call,
// writes nothing into a pipe or device (it must receive one stream only)
// and keeps it open for the recording that follows.
enum class recording_use { writing, measuring };
// The file holds file_rate samples a second; samples the synthesizer
// delivers at another rate are converted, each text's exactly as long as
// it is at its own rate.
int start_recording(const char* output_file_path, int file_rate,
                    recording_use use = recording_use::writing) noexcept;
int synthesize_text(const char* text) noexcept;
int finish_recording() noexcept;

// Takes back the samples after the first `kept` of a regular file, for a
// fragment whose audio cannot be whole; a stream keeps what it was sent.
// Returns 0 or 1.
int discard_samples_after(std::uint64_t kept) noexcept;

// Drops the recording in progress without writing anything more to its
// file: for the child of a fork, whose inherited stream and buffered bytes
// belong to the parent's call.
void abandon_recording() noexcept;

// Terminates and initialises the synthesizer once more, for the one state
// that nothing else restores (see apply_voice; eSpeak NG 1.52.0 only, 1.51
// would hang). Returns 0 or 1.
int restart_synthesizer() noexcept;

// The clock of the recording in progress, in seconds.
float elapsed_seconds() noexcept;

// Finishes the recording, if one is still open, on every path out of a pass:
// a pass that returns early on a failure still leaves a valid WAVE file of
// what was written, and the next call starts with no file open.
class recording_scope {
public:
    recording_scope() = default;
    recording_scope(const recording_scope&) = delete;
    recording_scope& operator=(const recording_scope&) = delete;
    ~recording_scope() {
        if (engine_state.output_file != nullptr) finish_recording();
    }
};

// Sets the synthesizer's character classes on this thread for its scope
// (nothing before the first initialisation).
class synthesis_locale_scope {
public:
    synthesis_locale_scope()
        : previous_(engine_state.synthesis_locale != nullptr
                        ? uselocale(engine_state.synthesis_locale)
                        : nullptr) {}
    synthesis_locale_scope(const synthesis_locale_scope&) = delete;
    synthesis_locale_scope& operator=(const synthesis_locale_scope&) = delete;
    ~synthesis_locale_scope() {
        if (previous_ != nullptr) uselocale(previous_);
    }

private:
    locale_t previous_;
};

// Closes, on every path out of a call, the stream that its measuring
// recording kept open and no recording took up.
void close_kept_output() noexcept;

class kept_output_scope {
public:
    kept_output_scope() = default;
    kept_output_scope(const kept_output_scope&) = delete;
    kept_output_scope& operator=(const kept_output_scope&) = delete;
    ~kept_output_scope() { close_kept_output(); }
};

// Returns the engine to its state at load time, as if the synthesizer had
// never been initialised. For tests that script a fresh synthesizer.
void reset_engine_state() noexcept;

#endif
