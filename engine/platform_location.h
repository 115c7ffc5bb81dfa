// Where the module is, one small interface per platform:
// platform_location_posix.cpp and platform_location_windows.cpp.
// Internal to the engine.
#ifndef VYN_PLATFORM_LOCATION_H
#define VYN_PLATFORM_LOCATION_H

#include <string>

// The separator of a path's parts ('/'; '\\' on Windows).
extern const char path_separator;

// Sets directory to the directory of the file this code was loaded from
// (the module), in UTF-8, whatever path or link imported it. Returns 0, or
// 1 when it cannot be told. May throw std::bad_alloc.
int loaded_file_directory(std::string& directory);

#endif
