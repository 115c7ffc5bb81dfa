#include "voice_dictionary.h"

#include "platform_file.h"

#include <espeak-ng/speak_lib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>

namespace {

// The layout the library's loader and its rule index read: a 32-bit count
// of word lists (always 1,024), the offset of the rules, the word lists
// (each entry starts with its own length, a list ends with a 0 byte), then
// rule groups, each opened by 6 and closed by 7, the last one followed by 0.
constexpr std::uint32_t word_list_count = 1024;
constexpr std::uint32_t max_rules_offset = 0x8000000;
constexpr std::size_t header_size = 8;
constexpr unsigned char group_start = 6;
constexpr unsigned char group_end = 7;
constexpr unsigned char letter_group = 18;
constexpr unsigned char replacements = 20;

// Voice files hold short lines; the library reads them in buffers of about
// this size too.
constexpr int voice_line_size = 256;

// What each dictionary file read so far holds, by path: a process reads a
// file once, and the number of installed dictionaries bounds the map.
std::unordered_map<std::string, bool> readable_dictionaries;

std::string data_path() {
    const char* path = nullptr;
    espeak_Info(&path);
    return path != nullptr ? path : "";
}

bool is_nonempty_file(const std::string& path) {
    return regular_file_size(path) > 0;
}

// A voice file's first language line names its dictionary by its first
// subtag; a dictionary line names one outright. The later line wins, as in
// the library; a file naming neither uses the default voice's, "en".
void take_dictionary_line(char* line, bool& language_seen,
                          std::string& dictionary) {
    if (line[0] == '#' || line[0] == ' ' || line[0] == '\t') return;
    if (char* comment = std::strstr(line, "//")) *comment = '\0';
    char key[voice_line_size], value[voice_line_size];
    if (std::sscanf(line, "%255s %255s", key, value) != 2) return;
    if (std::strcmp(key, "dictionary") == 0) {
        dictionary = value;
    } else if (std::strcmp(key, "language") == 0 && !language_seen &&
               std::strcmp(value, "variant") != 0) {
        language_seen = true;
        dictionary.assign(value, std::strcspn(value, "-"));
    }
}

// "" when the voice file cannot be read: the library cannot select it.
std::string dictionary_of(const std::string& voice_file) {
    std::FILE* file = open_data_file(voice_file.c_str());
    if (file == nullptr) return "";
    std::string dictionary = "en";
    bool language_seen = false;
    char line[voice_line_size];
    while (std::fgets(line, sizeof line, file) != nullptr)
        take_dictionary_line(line, language_seen, dictionary);
    std::fclose(file);
    return dictionary;
}

std::uint32_t little_endian_32(const unsigned char* bytes) {
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 |
           static_cast<std::uint32_t>(bytes[3]) << 24;
}

// A length byte is at most this, and as many zeros follow the file: a walk
// from one length byte to the next stops on them, inside the buffer,
// however the lengths run.
constexpr std::size_t longest_step = 255;

// The word lists, each ended by its 0 byte, fill the file up to the rules.
// Megabytes of short entries (ru): the walk checks its bound once a list.
bool word_lists_fit(const file_bytes& bytes, std::size_t rules) {
    const unsigned char* data = bytes.data.get();
    std::size_t at = header_size;
    for (std::uint32_t list = 0; list < word_list_count; ++list) {
        while (data[at] != 0) at += data[at];
        if (at >= rules) return false;
        ++at;
    }
    return at == rules;
}

// A cursor over the rules that never reads past the file.
struct rules_cursor {
    const file_bytes& bytes;
    std::size_t at;

    bool at_end() const { return at >= bytes.size; }
    unsigned char byte() const { return bytes.data[at]; }
    bool skip_past(unsigned char mark) {
        while (!at_end() && byte() != mark) ++at;
        if (at_end()) return false;
        ++at;
        return true;
    }
    bool skip_string() { return skip_past(0); }
};

// The character replacements start on the next 4-byte boundary (of the
// library's buffer, which malloc aligns) and end with four 0 bytes.
bool skip_replacements(rules_cursor& rules) {
    rules.at = (rules.at + 4) & ~static_cast<std::size_t>(3);
    while (rules.at + 4 <= rules.bytes.size &&
           std::memcmp(&rules.bytes.data[rules.at], "\0\0\0\0", 4) != 0)
        ++rules.at;
    return rules.at + 4 <= rules.bytes.size && rules.skip_past(group_end);
}

// One group after its opening byte: its name, then rules up to its end.
bool skip_group(rules_cursor& rules) {
    if (rules.at_end()) return false;
    if (rules.byte() == replacements) return skip_replacements(rules);
    if (rules.byte() == letter_group) {
        rules.at += 2;
    } else if (!rules.skip_string()) {
        return false;
    }
    while (!rules.at_end() && rules.byte() != group_end) {
        if (!rules.skip_string()) return false;
    }
    return rules.skip_past(group_end);
}

bool rules_fit(const file_bytes& bytes, std::size_t start) {
    rules_cursor rules{bytes, start};
    if (rules.byte() == group_end) return true;  // a dictionary without rules
    while (!rules.at_end() && rules.byte() != 0) {
        if (rules.byte() != group_start) return false;
        ++rules.at;
        if (!skip_group(rules)) return false;
    }
    return !rules.at_end();
}

bool dictionary_is_whole(const std::string& path) {
    file_bytes bytes;
    if (!read_whole_file(path, bytes, longest_step) ||
        bytes.size <= header_size + word_list_count)
        return false;
    std::uint32_t rules = little_endian_32(&bytes.data[4]);
    return little_endian_32(&bytes.data[0]) == word_list_count && rules > 0 &&
           rules <= max_rules_offset && rules < bytes.size &&
           word_lists_fit(bytes, rules) && rules_fit(bytes, rules);
}

}  // namespace

// Where the library opens a voice file: its voices directory first, then
// lang.
std::string voice_file_path(const char* voice_id) {
    std::string data = data_path();
    std::string path = data + "/voices/" + voice_id;
    if (is_nonempty_file(path)) return path;
    path = data + "/lang/" + voice_id;
    return is_nonempty_file(path) ? path : "";
}

int check_voice_dictionary(const char* voice_id) {
    std::string voice_file = voice_file_path(voice_id);
    std::string name = voice_file.empty() ? "" : dictionary_of(voice_file);
    if (name.empty()) return 0;
    std::string path = data_path() + "/" + name + "_dict";
    auto known = readable_dictionaries.find(path);
    if (known == readable_dictionaries.end())
        known = readable_dictionaries.emplace(
            path, dictionary_is_whole(path)).first;
    return known->second ? 0 : 1;
}

void forget_dictionary_checks() noexcept { readable_dictionaries.clear(); }
