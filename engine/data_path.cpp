#include "data_path.h"

#if VYN_BUNDLED
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <new>

namespace {

struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};

// The real directory of the file this code was loaded from (the module):
// the data is installed beside it, whatever path or symlink it was
// imported through.
int loaded_file_directory(std::string& directory) {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&find_data_path), &info) == 0 ||
        info.dli_fname == nullptr)
        return 1;
    std::unique_ptr<char, FreeDeleter> real(realpath(info.dli_fname, nullptr));
    if (!real) return 1;
    directory = real.get();
    directory.erase(directory.rfind('/'));
    return 0;
}

}  // namespace

// The path is always given: the library reads ESPEAK_DATA_PATH and
// ~/espeak-ng-data only when the given one holds no data, so the data's
// presence is checked first and its absence is a failure.
int find_data_path(std::string& path) {
    try {
        if (loaded_file_directory(path) != 0) return 1;
        path += "/" VYN_DATA_DIR_NAME;
        return access((path + "/espeak-ng-data/phontab").c_str(), R_OK) == 0 ? 0 : 1;
    } catch (const std::bad_alloc&) {
        return 1;
    }
}

#else

int find_data_path(std::string& path) {
    path.clear();
    return 0;
}

#endif
