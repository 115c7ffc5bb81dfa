#include "test_platform.h"

#include <cstdlib>
#include <filesystem>

std::string make_test_directory() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "vyn-engine-XXXXXX")
            .string();
    return mkdtemp(pattern.data()) != nullptr ? pattern : "";
}

std::size_t open_files() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

bool name_allowed(const std::string&) { return true; }

const char* const null_device = "/dev/null";
