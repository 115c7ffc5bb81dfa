#include "engine.h"
#include "engine_lock.h"
#include "mbrola_watch.h"
#include "passes.h"
#include "recording.h"
#include "voices.h"
#include "words.h"

#include <cstdint>
#include <cstdio>

namespace {

// Makes the call's control reachable from the engine's operations (the
// synthesizer's restart asks it) for as long as the call runs.
class call_control_scope {
public:
    explicit call_control_scope(synthesis_control* control) {
        engine_state.control = control;
    }
    call_control_scope(const call_control_scope&) = delete;
    call_control_scope& operator=(const call_control_scope&) = delete;
    ~call_control_scope() { engine_state.control = nullptr; }
};

// The words of a call whose control takes them are collected while its
// fragments are written, and in no other recording.
class word_collection_scope {
public:
    explicit word_collection_scope(const synthesis_control* control) {
        drop_word_events(false);
        engine_state.collecting_words =
            control != nullptr && control->take_word != nullptr;
    }
    word_collection_scope(const word_collection_scope&) = delete;
    word_collection_scope& operator=(const word_collection_scope&) = delete;
    ~word_collection_scope() {
        engine_state.collecting_words = false;
        drop_word_events(true);
    }
};

bool backward_mode(float quit_after, int backwards) {
    return backwards != 0 && quit_after > 0.0f;
}

// Writes fragments start, start + 1, ... into a new recording; entry i gets
// the times of the i-th fragment written. Consecutive fragments share their
// boundary: both are read off the same sample count.
int write_forward(const char* output_file_path, int file_rate,
                  fragment_entry* fragments, float quit_after, unsigned int n,
                  unsigned int start, unsigned int* count,
                  synthesis_control* control) {
    recording_scope scope;
    if (start_recording(output_file_path, file_rate) != 0) return 1;
    word_collection_scope words(control);
    *count = 0;
    for (unsigned int j = start; j < n; ++j) {
        if (apply_voice(fragments[j].voice_code) != 0) return 1;
        fragment_entry& times = fragments[*count];
        times.begin = elapsed_seconds();
        std::uint64_t begin = engine_state.samples_written;
        if (synthesize_fragment(fragments[j], j, control) != 0) return 1;
        if (engine_state.collecting_words &&
            hand_over_words(fragments[j], *count, begin, control) != 0)
            return 1;
        times.end = elapsed_seconds();
        if (control != nullptr && control->fragment_ends != nullptr)
            control->fragment_ends[*count] = engine_state.samples_written;
        ++*count;
        if (stop_requested(control)) return 1;
        if (limit_reached(times.end, quit_after)) break;
    }
    return finish_recording();
}

void blame(synthesis_control* control, unsigned int j, const char* reason) {
    if (control == nullptr || reason == nullptr) return;
    control->failed_fragment = static_cast<long>(j);
    std::snprintf(control->failure_reason, sizeof control->failure_reason,
                  "%s", reason);
}

// The rate every fragment is written at: the highest among the voices of
// the whole table, or the one the caller forces.
int choose_file_rate(const fragment_entry* fragments, unsigned int n,
                     synthesis_control* control, int* file_rate) {
    if (check_voices(fragments, n, control, file_rate) != 0) return 1;
    if (control != nullptr && control->file_rate > 0)
        *file_rate = control->file_rate;
    return 0;
}

bool checking_only(const synthesis_control* control) {
    return control != nullptr && control->check_only != 0;
}

// The backward search where it is asked for, then the pass that writes.
int run_passes(const char* output_file_path, int file_rate,
               fragment_entry* fragments, float quit_after, unsigned int n,
               int backwards, unsigned int* count,
               synthesis_control* control) {
    kept_output_scope kept_output;
    unsigned int start = 0;
    if (backward_mode(quit_after, backwards) &&
        find_backward_start(output_file_path, file_rate, fragments,
                            quit_after, n, &start, control) != 0)
        return 1;
    if (control != nullptr) control->start = start;
    return write_forward(output_file_path, file_rate, fragments, quit_after,
                         n, start, count, control);
}

}  // namespace

int synthesize_fragment(const fragment_entry& fragment, unsigned int j,
                        synthesis_control* control) noexcept {
    const resolved_voice* voice = checked_voice(fragment.voice_code);
    std::uint64_t before = engine_state.samples_written;
    mbrola_watch watch(voice != nullptr && voice->mbrola);
    int status = synthesize_text(fragment.text);
    if (const char* cut_short = watch.finish()) {
        engine_state.failure_reason = cut_short;
        discard_samples_after(before);
        status = 1;
    }
    if (status != 0) blame(control, j, engine_state.failure_reason);
    return status;
}

bool limit_reached(float seconds, float quit_after) noexcept {
    return quit_after > 0.0f && seconds >= quit_after;
}

bool stop_requested(synthesis_control* control) noexcept {
    if (process_exiting()) return true;
    return control != nullptr && control->should_stop != nullptr &&
           control->should_stop(control->context) != 0;
}

int synthesize_fragments(const char* output_file_path,
                         fragment_entry* fragments,
                         float quit_after,
                         unsigned int n,
                         int backwards,
                         int* sample_rate,
                         unsigned int* synthesized,
                         synthesis_control* control) noexcept {
    if (control != nullptr) {
        control->failed_fragment = -1;
        control->failure_reason[0] = '\0';
    }
    engine_hold hold(control);
    if (!hold.held()) return 1;
    call_control_scope call_control(control);
    if (prepare_synthesizer() != 0) return 1;
    synthesis_locale_scope locale;
    // Every code, also those after a quit_after cut, before the output is
    // opened: a bad code leaves no file behind and an existing one as it was.
    // The file's rate follows from them alone, the same for both passes.
    int file_rate = 0;
    if (choose_file_rate(fragments, n, control, &file_rate) != 0) return 1;
    unsigned int count = 0;
    if (!checking_only(control) &&
        run_passes(output_file_path, file_rate, fragments, quit_after, n,
                   backwards, &count, control) != 0)
        return 1;
    *sample_rate = file_rate;
    *synthesized = count;
    return 0;
}
