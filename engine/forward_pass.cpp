#include "descriptor_reserve.h"
#include "engine.h"
#include "engine_lock.h"
#include "fork_barrier.h"
#include "fragment_step.h"
#include "passes.h"
#include "synthesizer.h"
#include "voices.h"
#include "words.h"

#include <cstdint>

namespace {

bool backward_mode(float quit_after, int backwards) {
    return backwards != 0 && quit_after > 0.0f;
}

// What the recording collected of fragment j, written as the index-th
// from sample begin, handed to the caller.
int hand_over_events(recording_record& recording, unsigned int j,
                     unsigned int index, std::uint64_t begin) {
    call_record& call = recording.call;
    const fragment_voice& voice = call.voices[j];
    return (recording.collecting_words &&
            hand_over_words(recording, call.fragments[j], voice, index,
                            begin) != 0) ||
           (recording.collecting_phonemes &&
            hand_over_phonemes(recording, voice, index, begin) != 0) ||
           (recording.collecting_marks &&
            hand_over_marks(recording, voice, index, begin) != 0);
}

// Writes fragments start, start + 1, ... into a new recording; entry i gets
// the times of the i-th fragment written. Consecutive fragments share their
// boundary: both are read off the same sample count. The words of a call
// whose control takes them are collected here, and in no other recording.
int write_forward(call_record& call, unsigned int start, unsigned int* count) {
    recording_record recording(call);
    if (start_recording(recording) != 0) return 1;
    recording.collecting_words = call.control.callbacks.take_word != nullptr;
    recording.collecting_phonemes =
        call.control.callbacks.take_phoneme != nullptr;
    recording.collecting_marks = call.control.callbacks.take_mark != nullptr;
    std::uint64_t* ends = call.control.results.fragment_ends;
    *count = 0;
    for (unsigned int j = start; j < call.n; ++j) {
        if (apply_fragment_voice(recording, j) != 0) return 1;
        fragment_entry& times = call.fragments[*count];
        times.begin = elapsed_seconds(recording);
        std::uint64_t begin = recording.samples_written;
        if (synthesize_fragment(recording, j) != 0) return 1;
        if (hand_over_events(recording, j, *count, begin) != 0) return 1;
        times.end = elapsed_seconds(recording);
        if (ends != nullptr) ends[*count] = recording.samples_written;
        ++*count;
        if (stop_requested(call)) return 1;
        if (limit_reached(times.end, call.quit_after)) break;
    }
    return finish_recording(recording);
}

// The rate every fragment is written at: the highest among the voices of
// the whole table, or the one the caller forces. The checks may list the
// library's voices anew and fill the engine's caches, which a child forked
// meanwhile must not copy half made.
int choose_file_rate(call_record& call) {
    fork_barrier barrier;
    if (check_voices(call, &call.file_rate) != 0) return 1;
    if (call.control.options.file_rate > 0)
        call.file_rate = call.control.options.file_rate;
    return 0;
}

// Closes, on every path out of the passes, the stream that the measuring
// recording kept open and no recording took up.
class kept_output_scope {
public:
    explicit kept_output_scope(call_record& call) : call_(call) {}
    kept_output_scope(const kept_output_scope&) = delete;
    kept_output_scope& operator=(const kept_output_scope&) = delete;
    ~kept_output_scope() { close_kept_output(call_.kept_output); }

private:
    call_record& call_;
};

// The backward search where it is asked for, then the pass that writes.
int run_passes(call_record& call, int backwards, unsigned int* count) {
    if (!descriptors_free(descriptors_to_write)) return 1;
    kept_output_scope kept_output(call);
    unsigned int start = 0;
    if (backward_mode(call.quit_after, backwards) &&
        find_backward_start(call, &start) != 0)
        return 1;
    call.control.results.start = start;
    return write_forward(call, start, count);
}

// Out of descriptors, the output cannot be opened or the library cannot
// read the voice it selects, and says nothing of why: a failure without a
// reason of its own is given that one when it holds (probed only then).
int name_descriptor_shortage(call_record& call) {
    synthesis_results& results = call.control.results;
    if (results.failure_reason[0] == '\0' &&
        !descriptors_free(descriptors_to_write))
        name_cause(results, too_few_descriptors_reason);
    return 1;
}

}  // namespace

int synthesize_fragments(const char* output_file_path,
                         fragment_entry* fragments,
                         float quit_after,
                         unsigned int n,
                         int backwards,
                         int* sample_rate,
                         unsigned int* synthesized,
                         synthesis_control* control) noexcept {
    synthesis_control no_control{};
    call_record call(output_file_path, fragments, n, quit_after,
                     control != nullptr ? *control : no_control);
    call.control.results.failed_fragment = -1;
    call.control.results.failure_reason[0] = '\0';
    engine_hold hold(call);
    if (!hold.held()) return 1;
    if (prepare_synthesizer(&call.control.results) != 0) return 1;
    synthesis_locale_scope locale;
    // Every code, also those after a quit_after cut, before the output is
    // opened: a bad code leaves no file behind and an existing one as it was.
    // The file's rate follows from them alone, the same for both passes.
    if (choose_file_rate(call) != 0) return 1;
    unsigned int count = 0;
    if (call.control.options.check_only == 0 &&
        run_passes(call, backwards, &count) != 0)
        return name_descriptor_shortage(call);
    *sample_rate = call.file_rate;
    *synthesized = count;
    return 0;
}
