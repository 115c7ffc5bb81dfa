// One call of the engine, from its entry to its return: the table, the
// caller's control and what the call resolved for each fragment. Built on
// the stack of synthesize_fragments. Internal to the engine (and its tests).
#ifndef VYN_CALL_H
#define VYN_CALL_H

#include <cstdio>
#include <vector>

#include "engine.h"

struct resolved_voice;
struct recording_record;

// How one fragment is spoken, resolved once per call by the voice check
// and carried with the fragment from then on: its voice and its own
// settings. A further setting a fragment can carry (SSML) belongs here
// beside them, and is applied where the voice is (apply_voice).
struct fragment_voice {
    const resolved_voice* voice;  // the check's record of its code
    const fragment_settings* settings;  // checked; null: the voice's own
};

struct call_record {
    call_record(const char* output_file_path, fragment_entry* fragments,
                unsigned int n, float quit_after, synthesis_control& control)
        : output_file_path(output_file_path), fragments(fragments), n(n),
          quit_after(quit_after), control(control) {}
    call_record(const call_record&) = delete;
    call_record& operator=(const call_record&) = delete;

    const char* output_file_path;
    fragment_entry* fragments;
    unsigned int n;
    float quit_after;
    synthesis_control& control;  // the caller's, or an empty one
    std::vector<fragment_voice> voices;  // one per fragment, once checked
    int file_rate = 0;  // Hz, the same for every recording of the call
    // A pipe or device kept open between the measuring recording and the
    // one that writes (wave_output.h).
    std::FILE* kept_output = nullptr;
    // The recording in progress, for the child of a fork (engine_fork_posix.cpp).
    recording_record* recording = nullptr;
};

// True when the caller's callback asks to stop (never without one).
bool caller_asks_to_stop(const call_record& call) noexcept;

// Names fragment j and the reason in the caller's results.
void blame(call_record& call, unsigned int j, const char* reason) noexcept;

// Names the reason of a failure that no fragment is to blame for.
void name_cause(synthesis_results& results, const char* reason) noexcept;

#endif
