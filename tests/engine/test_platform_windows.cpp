#include "test_platform.h"

#include <windows.h>

#include <filesystem>
#include <string>

// A name no other test process picks at the same time: the process id and
// a count, past the directories an earlier process with the same id (wine
// reuses them) left behind when it was stopped.
std::string make_test_directory() {
    static unsigned int made = 0;
    std::error_code error;
    for (;;) {
        std::filesystem::path path =
            std::filesystem::temp_directory_path() /
            ("vyn-engine-" + std::to_string(GetCurrentProcessId()) + "-" +
             std::to_string(++made));
        if (std::filesystem::create_directory(path, error)) return path.string();
        if (error) return "";
    }
}

std::size_t open_files() {
    DWORD handles = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles);
    return handles;
}

bool name_allowed(const std::string& name) {
    for (char c : name)
        if (static_cast<unsigned char>(c) < 0x20) return false;
    return true;
}

const char* const null_device = "NUL";
