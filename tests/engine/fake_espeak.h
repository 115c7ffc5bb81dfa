// A scripted stand-in for libespeak-ng, linked into the engine tests in place
// of the real library, for events the real one cannot be made to produce.
//
// A text that has no script of its own is read as "SECONDS" or
// "SECONDS#MARK": it produces SECONDS of samples at the rate in force, in
// blocks of 1000, every sample equal to MARK (default 1), a rate event at
// the first block and an END event at the last, its position truncated to
// whole milliseconds as the real library does.
//
// The rate in force is the initialised rate; selecting a voice given a rate
// of its own (an MBROLA voice) sets that rate, selecting any other voice the
// initialised rate again, unless the fake plays eSpeak NG 1.52.0, which
// keeps the last MBROLA rate until the next initialisation.
#ifndef VYN_FAKE_ESPEAK_H
#define VYN_FAKE_ESPEAK_H

#include <espeak-ng/speak_lib.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace fake_espeak {

struct block {
    int samples = 0;    // samples in the block, each equal to the mark
    short mark = 1;
    bool null_wav = false;  // deliver no buffer, only the events
    std::vector<espeak_EVENT> events;  // the terminator is added
};

struct text_script {
    std::vector<block> blocks;
    espeak_ERROR synth_result = EE_OK;  // once good_runs have gone well
    espeak_ERROR synchronize_result = EE_OK;
    int good_runs = 0;
};

espeak_EVENT sample_rate_event(int rate);
espeak_EVENT end_event(int audio_position_ms);
espeak_EVENT word_event(int sample, int text_position, int length);

// Back to the defaults: initialisation returns 22050, every voice exists,
// no scripts, all counters zero.
void reset();
void set_initialize_result(int result);
void script_text(const std::string& text, text_script script);
void reject_voice(const std::string& voice_code);
// Runs after every block the callback took: to look at the recording as a
// process killed at that moment would leave it.
void observe_blocks(std::function<void()> observer);
void set_mbrola_voice(const std::string& voice_code, int rate);
void keep_mbrola_rate(bool keep);

int initialize_calls();
int last_initialize_options();
int terminate_calls();
// Selections by name: every checked voice is selected once per fragment.
int voice_selections();
// Calls of the bundled library's reset to a fresh synthesizer's state.
int fresh_state_resets();
// The user data of the text being synthesized, which every event of it
// carries to the callback, as the library's do.
void* user_data();
// What the callback answered for every block delivered, in order.
const std::vector<int>& callback_answers();
// Every espeak_SetParameter call, in order: (parameter, value).
const std::vector<std::pair<int, int>>& parameters_set();
// The flags of every espeak_Synth call, in order.
const std::vector<unsigned int>& synth_flags();
// What the registered URI callback answers for uri; -1 without one.
int refuses_uri(const char* uri);

}  // namespace fake_espeak

#endif
