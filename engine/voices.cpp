#include "voices.h"

#include "mbrola_pipes.h"
#include "patched_library.h"
#include "recording.h"

#include <espeak-ng/espeak_ng.h>
#include <espeak-ng/speak_lib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>
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

// A bound on what a process remembers: hosts that invent codes forever
// pay for their checks again rather than for memory.
constexpr std::size_t max_remembered_codes = 512;

// The speech rate espeak_Initialize sets; voices are spoken at it unless
// their own files name a speed.
constexpr int initial_speech_rate = espeakRATE_NORMAL;

struct voice_catalog {
    std::unordered_map<std::string, resolved_voice> checked;
    std::vector<std::string> variants;  // "!v/NAME" of the installed ones
    std::vector<std::string> variant_names;  // their "name" lines
    bool variants_listed = false;
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

void list_variants() {
    if (catalog.variants_listed) return;
    espeak_VOICE spec;
    std::memset(&spec, 0, sizeof spec);
    spec.languages = "variant";
    const espeak_VOICE** found = espeak_ListVoices(&spec);
    for (; found != nullptr && *found != nullptr; ++found) {
        if ((*found)->identifier == nullptr ||
            !starts_with((*found)->identifier, "!v/"))
            continue;
        catalog.variants.emplace_back((*found)->identifier);
        if ((*found)->name != nullptr)
            catalog.variant_names.emplace_back((*found)->name);
    }
    catalog.variants_listed = true;
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
    list_variants();
    std::string file = variant_file(variant);
    for (const std::string& installed : catalog.variants) {
        if (installed == file) return true;
    }
    return false;
}

// A name lookup finds variants too, by name or file name, and loads one
// as if it were a voice: the library cannot speak with it.
bool names_a_variant(const std::string& base) {
    list_variants();
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

// The library takes a file of its voice directories by name before it
// looks at the voice list, and reads a directory there as an empty voice
// without a phoneme table.
bool names_a_directory(const std::string& base) {
    const char* data = nullptr;
    espeak_Info(&data);
    if (data == nullptr) return false;
    std::string lower = base;
    for (char& c : lower) c = static_cast<char>(std::tolower(c));
    for (const char* directory : {"/voices/", "/lang/"}) {
        struct stat status;
        std::string path = data + (directory + lower);
        if (stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
            return true;
    }
    return false;
}

// Language matching takes every voice, variants included, for a code that
// starts with "all", and a variant entry selected as a voice brings the
// library down: such codes never reach it.
bool language_match_is_safe(const std::string& language) {
    if (language.size() > max_language_length) return false;
    if (language.size() >= 3 && strncasecmp(language.c_str(), "all", 3) == 0)
        return false;
    espeak_VOICE spec;
    std::memset(&spec, 0, sizeof spec);
    spec.languages = language.c_str();
    const espeak_VOICE** found = espeak_ListVoices(&spec);
    if (found == nullptr || *found == nullptr) return false;
    for (; *found != nullptr; ++found) {
        if (is_variant_entry(*found)) return false;
    }
    return true;
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
                                     : engine_state.initialised_rate;
    return voice.sample_rate > 0;
}

bool copy_selector(resolved_voice& voice, const std::string& selector) {
    if (selector.size() >= sizeof voice.selector) return false;
    std::memcpy(voice.selector, selector.c_str(), selector.size() + 1);
    return true;
}

// The command line's rule: a voice name or file first, then language
// matching (a variant then applies to the voice the language found).
bool resolve_installed(const std::string& code, resolved_voice& voice) {
    std::size_t plus = code.find('+');
    std::string base = code.substr(0, plus);
    if (names_a_variant(base) || names_a_directory(base) ||
        (plus != std::string::npos && !variant_installed(code.substr(plus + 1))))
        return false;
    voice.by_name = true;
    if (copy_selector(voice, code) && select_resolved(voice) == 0)
        return take_selected_voice(voice);
    if (!language_match_is_safe(base) || select_by_language(base.c_str()) != 0)
        return false;
    const espeak_VOICE* current = espeak_GetCurrentVoice();
    if (current == nullptr || current->identifier == nullptr) return false;
    if (plus == std::string::npos) {
        voice.by_name = false;
        copy_selector(voice, base);
    } else if (!copy_selector(voice, current->identifier + code.substr(plus)) ||
               select_resolved(voice) != 0) {
        return false;
    }
    return take_selected_voice(voice);
}

resolved_voice resolve(const std::string& code) {
    resolved_voice voice{};
    voice.known = true;
    if (code.empty()) {  // the library's default voice, by language matching
        voice.sample_rate = engine_state.initialised_rate;
        return voice;
    }
    if (!is_safe_code(code, voice)) {
        voice.known = false;
        return voice;
    }
    if (!resolve_installed(code, voice)) {
        voice = resolved_voice{};
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

const resolved_voice& check_one(const char* voice_code) {
    if (const resolved_voice* known = lookup(voice_code)) return *known;
    if (catalog.checked.size() >= max_remembered_codes) reset_voice_cache();
    resolved_voice voice = resolve(voice_code);
    catalog.last = nullptr;
    return catalog.checked.emplace(voice_code, voice).first->second;
}

void blame(synthesis_control* control, unsigned int j, const char* reason) {
    if (control == nullptr) return;
    control->failed_fragment = static_cast<long>(j);
    std::snprintf(control->failure_reason, sizeof control->failure_reason,
                  "%s", reason);
}

}  // namespace

int check_voices(const fragment_entry* fragments, unsigned int n,
                 synthesis_control* control, int* file_rate) noexcept {
    *file_rate = n == 0 ? engine_state.initialised_rate : 0;
    try {
        for (unsigned int j = 0; j < n; ++j) {
            if (fragments[j].voice_code == nullptr) {
                blame(control, j, "no voice code");
                return 1;
            }
            const resolved_voice& voice = check_one(fragments[j].voice_code);
            if (!voice.known) {
                blame(control, j, voice.reason);
                return 1;
            }
            *file_rate = std::max(*file_rate, voice.sample_rate);
        }
        return 0;
    } catch (const std::bad_alloc&) {
        return 1;
    }
}

const resolved_voice* checked_voice(const char* voice_code) noexcept {
    if (voice_code == nullptr) return nullptr;
    try {
        const resolved_voice* voice = lookup(voice_code);
        return voice != nullptr && voice->known ? voice : nullptr;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

namespace {

// eSpeak NG 1.52.0 keeps an MBROLA voice's rate in force for the standard
// voices selected after it (1.51 restores it): they would speak 7 % slower
// and lower at that rate. Only a new initialisation restores it; 1.51, which
// would hang after one, never needs it.
int select_at_its_rate(const resolved_voice& voice) {
    if (select_resolved(voice) != 0) return 1;
    if (voice.mbrola) note_mbrola_pipes();
    if (espeak_ng_GetSampleRate() == voice.sample_rate) return 0;
    if (restart_synthesizer() != 0 || select_resolved(voice) != 0) return 1;
    return espeak_ng_GetSampleRate() == voice.sample_rate ? 0 : 1;
}

}  // namespace

int apply_voice(const char* voice_code) noexcept {
    start_from_fresh_state();
    const resolved_voice* voice = checked_voice(voice_code);
    if (voice == nullptr || select_at_its_rate(*voice) != 0) return 1;
    // Selecting a voice sets its speed only when its file names one; this
    // recomputes the speed tables, so no voice's speed outlives it.
    espeak_SetParameter(espeakRATE, initial_speech_rate, 0);
    return 0;
}

void reset_voice_cache() noexcept {
    catalog.checked.clear();
    catalog.last = nullptr;
    catalog.last_code.clear();
    catalog.variants.clear();
    catalog.variant_names.clear();
    catalog.variants_listed = false;
}
