#include "voices.h"

#include "descriptor_reserve.h"
#include "fragment_settings.h"
#include "mbrola_pipes.h"
#include "patched_library.h"
#include "platform_file.h"
#include "ssml_voices.h"
#include "synthesizer.h"
#include "voice_changes.h"
#include "voice_dictionary.h"

#include <espeak-ng/espeak_ng.h>
#include <espeak-ng/speak_lib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

// The library copies a voice name into 40-byte fields (longer names would
// be cut and could match another voice), a code it matches as a language
// with strcpy into a 20-byte field, and "!v/" plus a variant name into a
// 40-byte buffer.
constexpr std::size_t max_name_length = 39;
constexpr std::size_t max_language_length = 19;
constexpr std::size_t max_variant_length = 32;

// A bound on the codes a process remembers between calls: hosts that
// invent codes forever pay for their checks again rather than for memory.
// A call keeps every code it checked until it ends, however many.
constexpr std::size_t max_remembered_codes = 512;

// The distinct voices and languages one SSML text may ask for: a text that
// changes language every few words needs a handful.
constexpr std::size_t max_ssml_voices = 64;

// The speech rate espeak_Initialize sets; voices are spoken at it unless
// their own files name a speed.
constexpr int initial_speech_rate = espeakRATE_NORMAL;

struct listed_voice {
    std::string name;
    std::string identifier;
    bool has_language;  // a voice file without one is no voice to speak
};

struct voice_catalog {
    std::unordered_map<std::string, resolved_voice> checked;
    std::vector<std::string> variants;  // "!v/NAME" of the installed ones
    std::vector<std::string> variant_names;  // their "name" lines
    std::vector<listed_voice> voices;  // every voice but the variants
    bool listed = false;
    // The last code looked up: a list in one voice pays one comparison per
    // fragment.
    std::string last_code;
    const resolved_voice* last = nullptr;
};

voice_catalog catalog;

bool starts_with(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

bool is_variant_entry(const espeak_VOICE* voice) {
    return (voice->identifier != nullptr &&
            starts_with(voice->identifier, "!v")) ||
           (voice->languages != nullptr && voice->languages[0] != '\0' &&
            std::strcmp(voice->languages + 1, "variant") == 0);
}

void refuse(resolved_voice& voice, const char* format, const char* code) {
    voice.known = false;
    std::snprintf(voice.reason, sizeof voice.reason, format, code);
}

// Only printable ASCII, no path that leaves the voice directories, no entry
// of the variant directory, at most one variant.
bool is_safe_code(const std::string& code, resolved_voice& voice) {
    if (code.size() > max_name_length) {
        std::snprintf(voice.reason, sizeof voice.reason,
                      "voice code of %zu bytes is too long (at most %zu)",
                      code.size(), max_name_length);
        return false;
    }
    for (char c : code) {
        if (c < ' ' || c > '~' || c == '\\') {
            std::snprintf(voice.reason, sizeof voice.reason,
                          "voice code has a byte not allowed in voice codes");
            return false;
        }
    }
    std::size_t plus = code.find('+');
    std::string base = code.substr(0, plus);
    bool bad = base.empty() || base[0] == '/' ||
               code.find("..") != std::string::npos ||
               code.find('!') != std::string::npos;
    if (plus != std::string::npos) {
        std::string variant = code.substr(plus + 1);
        bad |= variant.empty() || variant.size() > max_variant_length ||
               variant.find_first_of("+/") != std::string::npos;
    }
    if (bad) refuse(voice, "voice '%s' is not a voice code", code.c_str());
    return !bad;
}

// One listing of every installed voice, variants and MBROLA voices among
// them (an espeak_VOICE without a language lists all; each listing reads
// every voice file): the variants for their names, the others for the
// library's name lookup.
void list_installed() {
    if (catalog.listed) return;
    espeak_VOICE spec;
    std::memset(&spec, 0, sizeof spec);
    const espeak_VOICE** found = espeak_ListVoices(&spec);
    for (; found != nullptr && *found != nullptr; ++found) {
        const char* identifier = (*found)->identifier;
        const char* name = (*found)->name != nullptr ? (*found)->name : "";
        if (identifier == nullptr) continue;
        if (starts_with(identifier, "!v/")) {
            catalog.variants.emplace_back(identifier);
            catalog.variant_names.emplace_back(name);
        } else if (!is_variant_entry(*found)) {
            const char* languages = (*found)->languages;
            catalog.voices.push_back(
                {name, identifier, languages != nullptr && *languages != 0});
        }
    }
    catalog.listed = true;
}

// "+3" is the library's m3, "+13" its f3.
std::string variant_file(const std::string& variant) {
    if (variant.find_first_not_of("0123456789") != std::string::npos)
        return "!v/" + variant;
    int number = std::atoi(variant.c_str());
    if (number <= 0) return "";
    return "!v/" + (number < 10 ? "m" + std::to_string(number)
                                : "f" + std::to_string(number - 10));
}

bool variant_installed(const std::string& variant) {
    list_installed();
    std::string file = variant_file(variant);
    for (const std::string& installed : catalog.variants) {
        if (installed == file) return true;
    }
    return false;
}

// A name lookup finds variants too, by name or file name, and loads one
// as if it were a voice: the library cannot speak with it.
bool names_a_variant(const std::string& base) {
    list_installed();
    for (const std::string& name : catalog.variant_names) {
        if (strcasecmp(name.c_str(), base.c_str()) == 0) return true;
    }
    for (const std::string& file : catalog.variants) {
        if (strcasecmp(file.c_str(), base.c_str()) == 0 ||
            strcasecmp(file.c_str() + 3, base.c_str()) == 0)
            return true;
    }
    return false;
}

std::string lower_case(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(c));
    return text;
}

// The library takes a file of its voice directories by name before it
// looks at the voice list, and reads a directory there as an empty voice
// without a phoneme table.
bool names_a_directory(const std::string& base) {
    const char* data = nullptr;
    espeak_Info(&data);
    if (data == nullptr) return false;
    for (const char* directory : {"/voices/", "/lang/"}) {
        if (is_directory(data + (directory + lower_case(base)))) return true;
    }
    return false;
}

bool ends_with_ignoring_case(const std::string& text,
                             const std::string& suffix) {
    return text.size() >= suffix.size() &&
           strcasecmp(text.c_str() + text.size() - suffix.size(),
                      suffix.c_str()) == 0;
}

// The voice file espeak_SetVoiceByName takes for base, found without
// selecting it: a file of that name (in lower case) in the voice
// directories, else the voice so named, else the one of that file, else
// the one whose file's last part it is. "" when there is none.
std::string file_by_name(const std::string& base) {
    std::string lower = lower_case(base);
    if (!voice_file_path(lower.c_str()).empty()) return lower;
    list_installed();
    std::string by_file, by_last_part;
    for (const listed_voice& voice : catalog.voices) {
        if (strcasecmp(voice.name.c_str(), base.c_str()) == 0)
            return voice.identifier;
        if (strcasecmp(voice.identifier.c_str(), base.c_str()) == 0)
            by_file = voice.identifier;
        else if (ends_with_ignoring_case(voice.identifier, "/" + base))
            by_last_part = voice.identifier;
    }
    return by_file.empty() ? by_last_part : by_file;
}

// The voice language matching selects: the first entry the library lists
// for the language that is not under mb/ (it lists by score, ties by name,
// and its selection leaves MBROLA voices out). "" when it selects none, or
// selects what brings the library down: a variant entry, every voice (a
// code starting with "all"), or a code that overruns its language field.
std::string language_choice(const std::string& language) {
    if (language.size() > max_language_length) return "";
    if (language.size() >= 3 && strncasecmp(language.c_str(), "all", 3) == 0)
        return "";
    espeak_VOICE spec;
    std::memset(&spec, 0, sizeof spec);
    spec.languages = language.c_str();
    const espeak_VOICE** found = espeak_ListVoices(&spec);
    for (; found != nullptr && *found != nullptr; ++found) {
        if ((*found)->identifier == nullptr) return "";
        if (starts_with((*found)->identifier, "mb/")) continue;
        return is_variant_entry(*found) ? "" : (*found)->identifier;
    }
    return "";
}

int select_by_language(const char* language) {
    espeak_VOICE spec;
    std::memset(&spec, 0, sizeof spec);
    spec.languages = language;
    return espeak_SetVoiceByProperties(&spec) == EE_OK ? 0 : 1;
}

int select_resolved(const resolved_voice& voice) {
    if (voice.by_name)
        return espeak_SetVoiceByName(voice.selector) == EE_OK ? 0 : 1;
    return select_by_language(voice.selector);
}

// Records what the voice just selected is: a real voice file (not a
// directory taken for one, not a variant), MBROLA or not, and its rate.
bool take_selected_voice(resolved_voice& voice) {
    const espeak_VOICE* current = espeak_GetCurrentVoice();
    if (current == nullptr || current->identifier == nullptr ||
        current->languages == nullptr || current->languages[0] == '\0' ||
        is_variant_entry(current))
        return false;
    // MBROLA voices live in the voice directory "mb", as the library
    // itself tells them apart; they run at their database's rate.
    voice.mbrola = starts_with(current->identifier, "mb/");
    if (voice.mbrola) note_mbrola_pipes();
    voice.sample_rate = voice.mbrola ? espeak_ng_GetSampleRate()
                                     : synthesizer.initialised_rate;
    return voice.sample_rate > 0;
}

bool copy_selector(resolved_voice& voice, const std::string& selector) {
    if (selector.size() >= sizeof voice.selector) return false;
    std::memcpy(voice.selector, selector.c_str(), selector.size() + 1);
    return true;
}

bool dictionary_readable(const std::string& file, const std::string& code,
                         resolved_voice& voice) {
    if (file.empty() || check_voice_dictionary(file.c_str()) == 0) return true;
    refuse(voice, "voice '%s': its dictionary cannot be read", code.c_str());
    return false;
}

// An MBROLA voice is refused, with the reason, where the platform runs no
// MBROLA program: before it is selected when its file is foreseen.
bool mbrola_refused(const std::string& file, const std::string& code,
                    resolved_voice& voice) {
    const char* reason = mbrola_unavailable();
    if (reason == nullptr || !starts_with(file.c_str(), "mb/")) return false;
    refuse(voice, reason, code.c_str());
    return true;
}

// The library has the last word on what it selected: a file other than the
// one foreseen has its dictionary checked now. A variant would make an
// MBROLA voice speak with the formant synthesizer at another rate than the
// library reports: such codes are refused.
bool take_checked_voice(resolved_voice& voice, const std::string& file,
                        const std::string& code) {
    const espeak_VOICE* current = espeak_GetCurrentVoice();
    if (current == nullptr || current->identifier == nullptr) return false;
    std::string selected(current->identifier,
                         std::strcspn(current->identifier, "+"));
    if (mbrola_refused(selected, code, voice)) return false;
    if (strcasecmp(selected.c_str(), file.c_str()) != 0 &&
        !dictionary_readable(selected, code, voice))
        return false;
    if (!take_selected_voice(voice)) return false;
    if (voice.mbrola && code.find('+') != std::string::npos) {
        refuse(voice, "voice '%s': an MBROLA voice takes no variant",
               code.c_str());
        return false;
    }
    return true;
}

bool select_and_take(resolved_voice& voice, const std::string& file,
                     const std::string& code) {
    bool taken = select_resolved(voice) == 0 &&
                 take_checked_voice(voice, file, code);
    settle_voice_changes();
    return taken;
}

const listed_voice* listed(const std::string& identifier) {
    list_installed();
    for (const listed_voice& voice : catalog.voices) {
        if (strcasecmp(voice.identifier.c_str(), identifier.c_str()) == 0)
            return &voice;
    }
    return nullptr;
}

// A standard voice whose file is foreseen is known without selecting it:
// each selection queues a copy of the voice that only synthesis frees, and
// the library's queue keeps 170 (a call checking more would leak the
// rest). An MBROLA voice is selected, for its rate and its data, as is a
// file the library does not list as a voice or cannot open.
bool take_foreseen_voice(resolved_voice& voice, const std::string& file,
                         const std::string& code) {
    if (mbrola_refused(file, code, voice) ||
        !dictionary_readable(file, code, voice))
        return false;
    const listed_voice* entry = listed(file);
    if (starts_with(file.c_str(), "mb/") || entry == nullptr ||
        !entry->has_language ||
        !is_readable_file(voice_file_path(file.c_str())))
        return select_and_take(voice, file, code);
    voice.sample_rate = synthesizer.initialised_rate;
    return true;
}

// Language matching, where a variant applies to the voice it finds.
bool resolve_by_language(const std::string& code, std::size_t plus,
                         resolved_voice& voice) {
    std::string base = code.substr(0, plus);
    std::string file = language_choice(base);
    if (file.empty()) return false;
    voice.by_name = plus != std::string::npos;
    return copy_selector(voice, voice.by_name ? file + code.substr(plus)
                                              : base) &&
           take_foreseen_voice(voice, file, code);
}

// The command line's rule: a voice name or file first, then language
// matching. Each voice's dictionary is checked before it is selected.
bool resolve_installed(const std::string& code, resolved_voice& voice) {
    std::size_t plus = code.find('+');
    std::string base = code.substr(0, plus);
    if (names_a_variant(base) || names_a_directory(base) ||
        (plus != std::string::npos && !variant_installed(code.substr(plus + 1))))
        return false;
    voice.by_name = true;
    if (!copy_selector(voice, code)) return false;
    std::string file = file_by_name(base);
    if (!file.empty()) return take_foreseen_voice(voice, file, code);
    // Not foreseen by name: the library may still know it.
    if (select_and_take(voice, file, code)) return true;
    return voice.reason[0] == '\0' && resolve_by_language(code, plus, voice);
}

resolved_voice resolve(const std::string& code) {
    resolved_voice voice{};
    voice.known = true;
    if (code.empty()) {  // the library's default voice, by language matching
        voice.sample_rate = synthesizer.initialised_rate;
        voice.known = dictionary_readable(file_by_name("en"), code, voice);
        return voice;
    }
    if (!is_safe_code(code, voice)) {
        voice.known = false;
        return voice;
    }
    if (!resolve_installed(code, voice)) {
        voice.known = false;
        if (voice.reason[0] == '\0')
            refuse(voice, "voice '%s' is not installed", code.c_str());
    }
    return voice;
}

const resolved_voice* lookup(const char* voice_code) {
    if (catalog.last != nullptr && catalog.last_code == voice_code)
        return catalog.last;
    auto found = catalog.checked.find(voice_code);
    if (found == catalog.checked.end()) return nullptr;
    catalog.last_code = voice_code;
    catalog.last = &found->second;
    return catalog.last;
}

// Null when the code is new and the library could not read its data for
// want of descriptors: what it would learn then, the process would keep.
const resolved_voice* check_one(const char* voice_code) {
    if (const resolved_voice* known = lookup(voice_code)) return known;
    if (!descriptors_free(descriptors_to_read_data)) return nullptr;
    resolved_voice voice = resolve(voice_code);
    catalog.last = nullptr;
    return &catalog.checked.emplace(voice_code, voice).first->second;
}

// Between calls only: the codes a call checked stay until it ends.
void forget_checked() {
    catalog.checked.clear();
    catalog.last = nullptr;
    catalog.last_code.clear();
}

bool settings_fit(call_record& call, unsigned int j) {
    char reason[sizeof call.control.results.failure_reason];
    const fragment_settings* settings = call.fragments[j].settings;
    const synthesis_callbacks& callbacks = call.control.callbacks;
    // Marks come from SSML texts only.
    bool timed = callbacks.take_word != nullptr ||
                 callbacks.take_phoneme != nullptr ||
                 (callbacks.take_mark != nullptr && reads_ssml(settings));
    if (settings_acceptable(settings, timed, reason, sizeof reason))
        return true;
    blame(call, j, reason);
    return false;
}

// A voice an SSML text asks for passes the same check as a fragment's code
// (the library would select it on its own, past the guards of that check),
// and MBROLA's other rate and process have no place inside one fragment.
// Each new code costs its check (some milliseconds) and a place among those
// the call remembers: a text may ask for a bounded number of voices.
bool ssml_voices_fit(call_record& call, unsigned int j) {
    const fragment_entry& fragment = call.fragments[j];
    if (!reads_ssml(fragment.settings) || fragment.text == nullptr) return true;
    std::vector<std::string> requests = ssml_voice_requests(fragment.text);
    std::sort(requests.begin(), requests.end());
    requests.erase(std::unique(requests.begin(), requests.end()),
                   requests.end());
    if (requests.size() > max_ssml_voices) {
        char reason[sizeof call.control.results.failure_reason];
        std::snprintf(reason, sizeof reason,
                      "SSML asks for %zu voices (at most %zu)",
                      requests.size(), max_ssml_voices);
        blame(call, j, reason);
        return false;
    }
    for (const std::string& request : requests) {
        const resolved_voice* voice = check_one(request.c_str());
        const char* refusal = voice == nullptr ? too_few_descriptors_reason
                              : !voice->known  ? voice->reason
                              : voice->mbrola  ? "an MBROLA voice"
                                               : nullptr;
        if (refusal == nullptr) continue;
        char reason[sizeof call.control.results.failure_reason];
        std::snprintf(reason, sizeof reason, "SSML asks for voice '%s': %s",
                      request.c_str(), refusal);
        blame(call, j, reason);
        return false;
    }
    return true;
}

}  // namespace

int check_voices(call_record& call, int* file_rate) noexcept {
    *file_rate = call.n == 0 ? synthesizer.initialised_rate : 0;
    try {
        if (catalog.checked.size() >= max_remembered_codes) forget_checked();
        call.voices.resize(call.n);
        for (unsigned int j = 0; j < call.n; ++j) {
            const char* code = call.fragments[j].voice_code;
            if (code == nullptr) {
                blame(call, j, "no voice code");
                return 1;
            }
            const resolved_voice* voice = check_one(code);
            if (voice == nullptr || !voice->known) {
                blame(call, j, voice != nullptr ? voice->reason
                                                : too_few_descriptors_reason);
                return 1;
            }
            if (!settings_fit(call, j) || !ssml_voices_fit(call, j))
                return 1;
            call.voices[j] = fragment_voice{voice, call.fragments[j].settings};
            *file_rate = std::max(*file_rate, voice->sample_rate);
        }
        return 0;
    } catch (const std::bad_alloc&) {
        return 1;
    }
}

namespace {

// eSpeak NG 1.52.0 keeps an MBROLA voice's rate in force for the standard
// voices selected after it (1.51 restores it): they would speak 7 % slower
// and lower at that rate. Only a new initialisation restores it; 1.51, which
// would hang after one, never needs it.
int select_at_its_rate(const resolved_voice& voice,
                       const synthesis_callbacks& callbacks) {
    if (select_resolved(voice) != 0) return 1;
    if (voice.mbrola) note_mbrola_pipes();
    if (espeak_ng_GetSampleRate() == voice.sample_rate) return 0;
    if (restart_synthesizer(callbacks) != 0 || select_resolved(voice) != 0)
        return 1;
    return espeak_ng_GetSampleRate() == voice.sample_rate ? 0 : 1;
}

// A voice file that names a speed (be, jbo: "speed 95") sets the speed
// tables as it is read; a variant read after it puts the speed back to 100
// without recomputing them, so the command line speaks "be+f3" at be's
// speed. With a variant, the voice alone is selected first and the speed
// restored then, which a fresh process's tables are; otherwise after.
bool select_voice_alone(const resolved_voice& voice) {
    const char* plus =
        voice.by_name ? std::strchr(voice.selector, '+') : nullptr;
    if (plus == nullptr) return false;
    char alone[sizeof voice.selector];
    std::size_t length = static_cast<std::size_t>(plus - voice.selector);
    std::memcpy(alone, voice.selector, length);
    alone[length] = '\0';
    return espeak_SetVoiceByName(alone) == EE_OK;
}

}  // namespace

int apply_voice(const fragment_voice& fragment,
                const synthesis_callbacks& callbacks) noexcept {
    start_from_fresh_state();
    restore_default_parameters();
    const resolved_voice& voice = *fragment.voice;
    bool with_variant = select_voice_alone(voice);
    // Selecting a voice sets its speed only when its file names one; this
    // recomputes the speed tables, so no voice's speed outlives it.
    if (with_variant) espeak_SetParameter(espeakRATE, initial_speech_rate, 0);
    if (select_at_its_rate(voice, callbacks) != 0) return 1;
    if (!with_variant)
        espeak_SetParameter(espeakRATE, initial_speech_rate, 0);
    apply_settings(fragment.settings);
    return 0;
}

void reset_voice_cache() noexcept {
    forget_checked();
    catalog.voices.clear();
    forget_dictionary_checks();
    catalog.variants.clear();
    catalog.variant_names.clear();
    catalog.listed = false;
}
