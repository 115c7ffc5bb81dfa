#include "data_path.h"

#if VYN_BUNDLED
#include "platform_file.h"
#include "platform_location.h"

#include <new>

// The path is always given: the library reads ESPEAK_DATA_PATH and
// ~/espeak-ng-data only when the given one holds no data, so the data's
// presence is checked first and its absence is a failure. The data is
// installed beside the module.
int find_data_path(std::string& path) {
    try {
        if (loaded_file_directory(path) != 0) return 1;
        const char separator[] = {path_separator, '\0'};
        path += separator;
        path += VYN_DATA_DIR_NAME;
        std::string phoneme_table = path;
        for (const char* part : {"espeak-ng-data", "phontab"})
            phoneme_table.append(separator).append(part);
        return is_readable_file(phoneme_table) ? 0 : 1;
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
