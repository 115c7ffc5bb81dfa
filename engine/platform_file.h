// Files, one small interface per platform: platform_file_posix.cpp and
// platform_file_windows.cpp. Paths are UTF-8 everywhere; streams are the
// engine's own C runtime's and never leave the engine.
// Internal to the engine (and its tests).
#ifndef VYN_PLATFORM_FILE_H
#define VYN_PLATFORM_FILE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

// Opens an output for writing: a regular file is created or emptied; a
// pipe, FIFO or device is taken as it is, and a FIFO without a reader
// fails at once rather than holding the call until one comes. Never
// inherited by a program started later. Null on failure.
std::FILE* open_output_stream(const char* path) noexcept;

// Whether the stream is a regular file (one that can be sought back).
bool is_regular_file(std::FILE* file) noexcept;

// Writes size bytes at offset of a flushed regular file in one write,
// without moving the stream's position. Returns 0 or 1.
int write_at(std::FILE* file, const void* data, std::size_t size,
             std::int64_t offset) noexcept;

// The position of a flushed stream, in bytes; -1 on failure.
std::int64_t stream_position(std::FILE* file) noexcept;

// Cuts a flushed regular file to length bytes; the stream's position is
// left where it was. Returns 0 or 1.
int truncate_stream(std::FILE* file, std::int64_t length) noexcept;

// Sets a flushed stream's position. Returns 0 or 1.
int seek_stream(std::FILE* file, std::int64_t position) noexcept;

// Removes the file at path. Returns 0 or 1.
int remove_path(const char* path) noexcept;

// Opens a data file for reading its lines (never inherited). Null on
// failure.
std::FILE* open_data_file(const char* path) noexcept;

// The bytes of a file, followed by zeros. Not filled before they are read:
// a dictionary is megabytes, and filling it first cost as much as the
// check that reads it.
struct file_bytes {
    std::unique_ptr<unsigned char[]> data;
    std::size_t size = 0;  // the file's; the zeros follow
};

// Makes bytes room for size bytes, then zeros bytes of 0.
inline void make_file_bytes(file_bytes& bytes, std::size_t size,
                            std::size_t zeros) {
    bytes.data.reset(new unsigned char[size + zeros]);
    bytes.size = size;
    std::memset(bytes.data.get() + size, 0, zeros);
}

// Reads a whole regular file into bytes, with zeros bytes of 0 after it.
// False when it cannot.
bool read_whole_file(const std::string& path, file_bytes& bytes,
                     std::size_t zeros);

// The size of the regular file at path, in bytes; -1 for anything else.
std::int64_t regular_file_size(const std::string& path) noexcept;

// Whether path names a directory; a file that can be read.
bool is_directory(const std::string& path) noexcept;
bool is_readable_file(const std::string& path) noexcept;

#endif
