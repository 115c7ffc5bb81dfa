// The samples eSpeak NG speaks for a list of fragments, with the library
// driven as vyn drives it (initialised once on the data directory given,
// synchronous, the same flags, each fragment from a fresh synthesis state
// with its voice selected by name or else by language and the speech rate
// set again), written one fragment after another. Built for Linux and for
// Windows, so that the same list can be compared byte for byte across
// systems; all names are UTF-8 (on Windows taken from the wide command line
// and opened through the wide-character API).
//
//   vyn_speak_samples DATA FRAGMENTS OUTPUT
//     DATA       the directory holding espeak-ng-data, or that directory
//     FRAGMENTS  one fragment a line: VOICE, a tab, TEXT
//     OUTPUT     the samples, 16-bit little-endian, all fragments in turn
//
// Prints "rate RATE", then per fragment "fragment INDEX SAMPLES VOICE"; on
// standard error the C library's character-type locale after the library
// set it up (and on Windows the ANSI code page).
#include <espeak-ng/espeak_ng.h>
#include <espeak-ng/speak_lib.h>

#include "voice_selection.h"

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#define FILE_MODE(mode) L##mode
#else
#define FILE_MODE(mode) mode
#endif

namespace {

constexpr unsigned int synth_flags = espeakCHARS_UTF8 | espeakENDPAUSE;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::vector<unsigned char> fragment_bytes;

int on_synth_output(short* wav, int numsamples, espeak_EVENT*) {
    if (wav == nullptr) return 1;
    for (int i = 0; i < numsamples; ++i) {
        auto sample = static_cast<std::uint16_t>(wav[i]);
        fragment_bytes.push_back(static_cast<unsigned char>(sample & 0xff));
        fragment_bytes.push_back(static_cast<unsigned char>(sample >> 8));
    }
    return 0;
}

#ifdef _WIN32
std::wstring utf16_of(const std::string& utf8) {
    int length = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::wstring wide(length > 0 ? length : 1, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &wide[0], length);
    wide.resize(wide.size() - 1);
    return wide;
}

std::string utf8_of(const wchar_t* wide) {
    int length = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(length > 0 ? length : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, &utf8[0], length, nullptr, nullptr);
    utf8.resize(utf8.size() - 1);
    return utf8;
}

File open_file(const std::string& name, const wchar_t* mode) {
    return File(_wfopen(utf16_of(name).c_str(), mode));
}
#else
File open_file(const std::string& name, const char* mode) {
    return File(std::fopen(name.c_str(), mode));
}
#endif

bool synthesize(const std::string& code, const std::string& text) {
    fragment_bytes.clear();
    return select_voice(code) &&
           espeak_Synth(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0,
                        synth_flags, nullptr, nullptr) == EE_OK &&
           espeak_Synchronize() == EE_OK;
}

bool read_line(std::FILE* in, std::string& line) {
    line.clear();
    int c;
    while ((c = std::fgetc(in)) != EOF && c != '\n') line.push_back(static_cast<char>(c));
    return c != EOF || !line.empty();
}

bool initialise(const std::string& data) {
    if (espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, data.c_str(),
                          espeakINITIALIZE_DONT_EXIT) <= 0)
        return false;
    espeak_SetSynthCallback(on_synth_output);
    const char* locale = std::setlocale(LC_CTYPE, nullptr);
    std::fprintf(stderr, "locale %s\n", locale ? locale : "(none)");
#ifdef _WIN32
    std::fprintf(stderr, "code-page %u\n", GetACP());
#endif
    std::printf("rate %d\n", espeak_ng_GetSampleRate());
    return true;
}

int speak_list(const std::vector<std::string>& args) {
    File in = open_file(args[1], FILE_MODE("rb"));
    File out = open_file(args[2], FILE_MODE("wb"));
    if (!in || !out || !initialise(args[0])) {
        std::fprintf(stderr, "cannot open the files or initialise on %s\n", args[0].c_str());
        return 1;
    }
    std::string line;
    for (int index = 0; read_line(in.get(), line); ++index) {
        std::size_t tab = line.find('\t');
        if (tab == std::string::npos || !synthesize(line.substr(0, tab), line.substr(tab + 1))) {
            std::fprintf(stderr, "fragment %d failed\n", index);
            return 1;
        }
        std::fwrite(fragment_bytes.data(), 1, fragment_bytes.size(), out.get());
        std::printf("fragment %d %llu %s\n", index,
                    static_cast<unsigned long long>(fragment_bytes.size() / 2),
                    line.substr(0, tab).c_str());
    }
    return std::fflush(out.get()) == 0 ? 0 : 1;
}

int run(const std::vector<std::string>& args) {
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: vyn_speak_samples DATA FRAGMENTS OUTPUT\n");
        return 2;
    }
    return speak_list(args);
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(utf8_of(argv[i]));
    return run(args);
}
#else
int main(int argc, char** argv) {
    return run(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
