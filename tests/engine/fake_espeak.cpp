#include "fake_espeak.h"

#include <espeak-ng/espeak_ng.h>

#include <cstdlib>
#include <map>
#include <set>

namespace fake_espeak {
namespace {

struct fake_state {
    int initialize_result = 22050;
    int initialize_calls = 0;
    int last_initialize_options = 0;
    int terminate_calls = 0;
    t_espeak_callback* callback = nullptr;
    std::map<std::string, text_script> scripts;
    std::set<std::string> rejected_voices;
    std::map<std::string, int> mbrola_rates;
    bool keep_mbrola_rate = false;
    int rate_in_force = 0;
    int voice_selections = 0;
    int fresh_state_resets = 0;
    std::string identifier;
    espeak_VOICE current_voice{};
    std::vector<int> callback_answers;
    espeak_ERROR pending_synchronize_result = EE_OK;
    std::function<void()> block_observer;
    std::vector<short> samples;  // the last block's, kept for the next
    void* user_data = nullptr;   // the text's, in each of its events
    std::vector<std::pair<int, int>> parameters_set;
    std::vector<unsigned int> synth_flags;  // of every text, in order
    int (*uri_callback)(int, const char*, const char*) = nullptr;
};

fake_state state;

espeak_EVENT event_of(espeak_EVENT_TYPE type) {
    espeak_EVENT event{};
    event.type = type;
    return event;
}

text_script script_from_text(const std::string& text) {
    char* rest = nullptr;
    double seconds = std::strtod(text.c_str(), &rest);
    short mark = 1;
    if (*rest == '#') mark = static_cast<short>(std::atoi(rest + 1));
    int rate = state.rate_in_force;
    long total = static_cast<long>(seconds * rate + 0.5);
    text_script script;
    for (long left = total; left > 0; left -= 1000) {
        block piece;
        piece.samples = static_cast<int>(left < 1000 ? left : 1000);
        piece.mark = mark;
        script.blocks.push_back(piece);
    }
    if (!script.blocks.empty()) {
        script.blocks.front().events.push_back(sample_rate_event(rate));
        int ms = static_cast<int>(total * 1000 / rate);
        script.blocks.back().events.push_back(end_event(ms));
    }
    return script;
}

// Delivers one block; true while the callback asks to go on.
bool deliver(const block& piece) {
    std::vector<espeak_EVENT> events = piece.events;
    events.push_back(event_of(espeakEVENT_LIST_TERMINATED));
    for (espeak_EVENT& event : events) event.user_data = state.user_data;
    std::vector<short>& samples = state.samples;
    auto size = static_cast<std::size_t>(piece.samples) + 1;
    if (samples.size() != size || samples[0] != piece.mark)
        samples.assign(size, piece.mark);
    int answer = state.callback(piece.null_wav ? nullptr : samples.data(),
                                piece.samples, events.data());
    state.callback_answers.push_back(answer);
    // Observers watch recordings: the empty texts that settle queued voice
    // changes between selections (which come every few selections, so in
    // whichever test the count reaches) carry no recording.
    if (state.block_observer && state.user_data) state.block_observer();
    return answer == 0;
}

espeak_ERROR select(const char* code) {
    if (code == nullptr || state.rejected_voices.count(code))
        return EE_NOT_FOUND;
    auto mbrola = state.mbrola_rates.find(code);
    state.identifier = (mbrola != state.mbrola_rates.end() ? "mb/" : "") +
                       std::string(code);
    if (mbrola != state.mbrola_rates.end())
        state.rate_in_force = mbrola->second;
    else if (!state.keep_mbrola_rate)
        state.rate_in_force = state.initialize_result;
    return EE_OK;
}

}  // namespace

espeak_EVENT sample_rate_event(int rate) {
    espeak_EVENT event = event_of(espeakEVENT_SAMPLERATE);
    event.id.number = rate;
    return event;
}

espeak_EVENT word_event(int sample, int text_position, int length) {
    espeak_EVENT event = event_of(espeakEVENT_WORD);
    event.sample = sample;
    event.text_position = text_position;
    event.length = length;
    return event;
}

espeak_EVENT end_event(int audio_position_ms) {
    espeak_EVENT event = event_of(espeakEVENT_END);
    event.audio_position = audio_position_ms;
    return event;
}

void reset() { state = fake_state{}; }
void set_initialize_result(int result) { state.initialize_result = result; }
void script_text(const std::string& text, text_script script) {
    state.scripts[text] = std::move(script);
}
void reject_voice(const std::string& voice_code) {
    state.rejected_voices.insert(voice_code);
}
void observe_blocks(std::function<void()> observer) {
    state.block_observer = std::move(observer);
}

void set_mbrola_voice(const std::string& voice_code, int rate) {
    state.mbrola_rates[voice_code] = rate;
}
void keep_mbrola_rate(bool keep) { state.keep_mbrola_rate = keep; }
int initialize_calls() { return state.initialize_calls; }
int last_initialize_options() { return state.last_initialize_options; }
int terminate_calls() { return state.terminate_calls; }
int voice_selections() { return state.voice_selections; }

const std::vector<std::pair<int, int>>& parameters_set() {
    return state.parameters_set;
}
const std::vector<unsigned int>& synth_flags() { return state.synth_flags; }
int refuses_uri(const char* uri) {
    return state.uri_callback == nullptr ? -1 : state.uri_callback(1, uri, nullptr);
}
int fresh_state_resets() { return state.fresh_state_resets; }
void* user_data() { return state.user_data; }
const std::vector<int>& callback_answers() { return state.callback_answers; }

}  // namespace fake_espeak

using fake_espeak::state;

int espeak_Initialize(espeak_AUDIO_OUTPUT, int, const char*, int options) {
    ++state.initialize_calls;
    state.last_initialize_options = options;
    state.rate_in_force = state.initialize_result;
    return state.initialize_result;
}

void espeak_SetSynthCallback(t_espeak_callback* callback) {
    state.callback = callback;
}

void espeak_SetUriCallback(int (*callback)(int, const char*, const char*)) {
    state.uri_callback = callback;
}

espeak_ERROR espeak_SetVoiceByProperties(espeak_VOICE* voice) {
    return fake_espeak::select(voice == nullptr ? nullptr : voice->languages);
}

// Every name is a voice of its own unless rejected; nothing is a variant.
espeak_ERROR espeak_SetVoiceByName(const char* name) {
    ++state.voice_selections;
    return fake_espeak::select(name);
}

const espeak_VOICE** espeak_ListVoices(espeak_VOICE*) {
    static const espeak_VOICE* none[] = {nullptr};
    return none;
}

espeak_VOICE* espeak_GetCurrentVoice(void) {
    state.current_voice = espeak_VOICE{};
    state.current_voice.identifier = state.identifier.c_str();
    state.current_voice.languages = "\x05xx";
    return &state.current_voice;
}

espeak_ERROR espeak_SetParameter(espeak_PARAMETER parameter, int value,
                                 int) {
    state.parameters_set.emplace_back(parameter, value);
    return EE_OK;
}

int espeak_ng_GetSampleRate(void) { return state.rate_in_force; }

// 1.52.0 declares it; the engine calls it only where the header does.
extern "C" espeak_ng_STATUS espeak_ng_SetPhonemeEvents(int, int) {
    return ENS_OK;
}

const char* espeak_Info(const char** path_data) {
    if (path_data != nullptr) *path_data = "/nonexistent";
    return "fake";
}

// Synchronous, like the real library in AUDIO_OUTPUT_SYNCHRONOUS mode: every
// block is delivered before it returns, then a last call without samples.
espeak_ERROR espeak_Synth(const void* text, size_t, unsigned int,
                          espeak_POSITION_TYPE, unsigned int,
                          unsigned int flags, unsigned int*, void* user_data) {
    state.user_data = user_data;
    state.synth_flags.push_back(flags);
    std::string key(static_cast<const char*>(text));
    auto found = state.scripts.find(key);
    fake_espeak::text_script script = found != state.scripts.end()
                                          ? found->second
                                          : fake_espeak::script_from_text(key);
    if (found != state.scripts.end() && found->second.good_runs > 0) {
        --found->second.good_runs;
        script.synth_result = EE_OK;
        script.synchronize_result = EE_OK;
    }
    state.pending_synchronize_result = script.synchronize_result;
    if (script.synth_result != EE_OK) return script.synth_result;
    for (const fake_espeak::block& piece : script.blocks) {
        if (!fake_espeak::deliver(piece)) return EE_OK;
    }
    fake_espeak::block last;
    last.null_wav = true;
    last.events.push_back(fake_espeak::event_of(espeakEVENT_MSG_TERMINATED));
    fake_espeak::deliver(last);
    return EE_OK;
}

espeak_ERROR espeak_Synchronize(void) {
    espeak_ERROR result = state.pending_synchronize_result;
    state.pending_synchronize_result = EE_OK;
    return result;
}

espeak_ERROR espeak_Terminate(void) {
    ++state.terminate_calls;
    return EE_OK;
}

// What vyn's patches add to the bundled library.
extern "C" void vyn_reset_synthesis_state(void) { ++state.fresh_state_resets; }
extern "C" void vyn_report_dictionary_failures(int) {}
extern "C" long vyn_mbrola_pid(void) { return 0; }
