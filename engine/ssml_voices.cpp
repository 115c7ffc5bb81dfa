#include "ssml_voices.h"

#include <cstring>

namespace {

// The library's fields for a requested language and voice name (its SSML
// stack), and the margin its copy keeps for one UTF-8 character.
constexpr std::size_t language_field = 20;
constexpr std::size_t name_field = 40;
constexpr std::size_t copy_margin = 4;

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
           c == '\r';
}

// A byte of a non-ASCII character may be a Unicode space to the library.
bool may_be_space(char c) {
    return is_space(c) || static_cast<unsigned char>(c) >= 0x80;
}

std::size_t character_length(unsigned char lead) {
    if (lead < 0xc0) return 1;
    if (lead < 0xe0) return 2;
    return lead < 0xf0 ? 3 : 4;
}

// The value begins after the name, blanks, '=' and blanks; a quote opens a
// quoted value, a blank or '/' right there is an empty one.
std::string attribute_value(const char* p, const char* end,
                            std::size_t field) {
    while (p < end && is_space(*p)) ++p;
    if (p < end && *p == '=') ++p;
    while (p < end && is_space(*p)) ++p;
    char quote = 0;
    if (p < end && (*p == '"' || *p == '\'')) quote = *p++;
    std::string value;
    char previous = 0;
    while (p < end && value.size() < field - copy_margin) {
        if ((quote == 0 && (is_space(*p) || *p == '/')) ||
            (quote != 0 && *p == quote && previous != '\\'))
            break;
        std::size_t length = character_length(static_cast<unsigned char>(*p));
        previous = *p;
        value.append(p, std::min<std::size_t>(length, end - p));
        p += length;
    }
    return value;
}

// The first occurrence of the name after a blank, as the library looks
// for it (a longer name that starts with it counts too).
void find_attribute(const char* p, const char* end, const char* name,
                    std::size_t field, std::vector<std::string>& found) {
    std::size_t length = std::strlen(name);
    for (++p; p + length <= end; ++p) {
        if (!may_be_space(p[-1]) || std::strncmp(p, name, length) != 0)
            continue;
        std::string value = attribute_value(p + length, end, field);
        if (!value.empty()) found.push_back(std::move(value));
        return;
    }
}

bool is_voice_tag(const char* p, const char* end) {
    static const char voice[] = "voice";
    for (const char* v = voice; *v != '\0'; ++v, ++p) {
        if (p == end || (*p | 0x20) != *v) return false;
    }
    return true;
}

}  // namespace

std::vector<std::string> ssml_voice_requests(const char* text) {
    std::vector<std::string> found;
    for (const char* p = std::strchr(text, '<'); p != nullptr;
         p = std::strchr(p, '<')) {
        const char* begin = p + 1;
        const char* end = std::strchr(begin, '>');
        if (end == nullptr) end = begin + std::strlen(begin);
        find_attribute(begin, end, "xml:lang", language_field, found);
        if (is_voice_tag(begin, end))
            find_attribute(begin, end, "name", name_field, found);
        p = end;
    }
    return found;
}
