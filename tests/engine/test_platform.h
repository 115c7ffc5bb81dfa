// What the engine tests need from the platform: test_platform_posix.cpp
// and test_platform_windows.cpp.
#ifndef VYN_TEST_PLATFORM_H
#define VYN_TEST_PLATFORM_H

#include <cstddef>
#include <string>

// A new empty directory for one test, or "" when none could be made.
std::string make_test_directory();

// The files the process holds open: a recording left open keeps its
// output's.
std::size_t open_files();

// Whether the file system takes a file of this name (Windows: no control
// characters).
bool name_allowed(const std::string& name);

// The device that takes any bytes and keeps none.
extern const char* const null_device;

#endif
