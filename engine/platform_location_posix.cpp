#include "platform_location.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

namespace {

struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};

}  // namespace

const char path_separator = '/';

// The real path of the file dladdr names: a symlink to the module is
// followed to the directory the data is installed in.
int loaded_file_directory(std::string& directory) {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&loaded_file_directory), &info) == 0 ||
        info.dli_fname == nullptr)
        return 1;
    std::unique_ptr<char, FreeDeleter> real(realpath(info.dli_fname, nullptr));
    if (!real) return 1;
    directory = real.get();
    directory.erase(directory.rfind('/'));
    return 0;
}
