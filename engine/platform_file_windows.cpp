#include "platform_file.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <new>

namespace {

// A UTF-8 path as Windows takes it (UTF-16), so that any character of a
// name is found whatever the ANSI code page. Empty when it is not UTF-8.
std::wstring wide_path(const char* path) {
    int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1,
                                     nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, &wide[0],
                            length) != length)
        return std::wstring();
    wide.resize(static_cast<std::size_t>(length - 1));
    return wide;
}

std::wstring wide_path_or_none(const char* path) noexcept {
    try {
        return wide_path(path);
    } catch (const std::bad_alloc&) {
        return std::wstring();
    }
}

HANDLE handle_of(std::FILE* file) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
}

// A handle that a program started later never inherits (the default of a
// null SECURITY_ATTRIBUTES), with sharing as a POSIX file has it.
HANDLE create_handle(const std::wstring& path, DWORD access, DWORD creation) {
    return CreateFileW(path.c_str(), access,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, creation, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The stream owns the handle from here on, also when this fails.
std::FILE* stream_of(HANDLE handle, int flags, const char* mode) {
    int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
    if (descriptor < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(descriptor, mode);
    if (file == nullptr) _close(descriptor);
    return file;
}

// OPEN_ALWAYS and then an end at 0 for a disk file: CREATE_ALWAYS would
// also replace a pipe's or a device's name, and a named pipe or NUL is
// taken as it is. A pipe without a reader fails at once (ERROR_PIPE_BUSY
// or ERROR_FILE_NOT_FOUND), as a FIFO does.
HANDLE open_output_handle(const std::wstring& path) {
    HANDLE handle = create_handle(path, GENERIC_WRITE, OPEN_ALWAYS);
    if (handle == INVALID_HANDLE_VALUE) return handle;
    if (GetFileType(handle) == FILE_TYPE_DISK && !SetEndOfFile(handle)) {
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

}  // namespace

std::FILE* open_output_stream(const char* path) noexcept {
    std::wstring wide = wide_path_or_none(path);
    if (wide.empty()) return nullptr;
    HANDLE handle = open_output_handle(wide);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return stream_of(handle, _O_WRONLY | _O_BINARY, "wb");
}

bool is_regular_file(std::FILE* file) noexcept {
    return GetFileType(handle_of(file)) == FILE_TYPE_DISK;
}

// A write at an offset moves the file pointer of a handle opened for
// synchronous use: it is put back, so the stream's next write follows its
// data as on POSIX.
int write_at(std::FILE* file, const void* data, std::size_t size,
             std::int64_t offset) noexcept {
    HANDLE handle = handle_of(file);
    LARGE_INTEGER here{}, zero{};
    if (!SetFilePointerEx(handle, zero, &here, FILE_CURRENT)) return 1;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD written = 0;
    bool whole = WriteFile(handle, data, static_cast<DWORD>(size), &written,
                           &at) &&
                 written == size;
    bool back = SetFilePointerEx(handle, here, nullptr, FILE_BEGIN);
    return whole && back ? 0 : 1;
}

// The stream is flushed: its position is its handle's.
std::int64_t stream_position(std::FILE* file) noexcept {
    LARGE_INTEGER here{}, zero{};
    if (!SetFilePointerEx(handle_of(file), zero, &here, FILE_CURRENT))
        return -1;
    return here.QuadPart;
}

// The end of a file is set at its handle's pointer: the pointer goes
// there and back.
int truncate_stream(std::FILE* file, std::int64_t length) noexcept {
    HANDLE handle = handle_of(file);
    LARGE_INTEGER here{}, zero{}, at{};
    at.QuadPart = length;
    if (!SetFilePointerEx(handle, zero, &here, FILE_CURRENT)) return 1;
    bool cut = SetFilePointerEx(handle, at, nullptr, FILE_BEGIN) &&
               SetEndOfFile(handle);
    bool back = SetFilePointerEx(handle, here, nullptr, FILE_BEGIN);
    return cut && back ? 0 : 1;
}

int seek_stream(std::FILE* file, std::int64_t position) noexcept {
    LARGE_INTEGER at{};
    at.QuadPart = position;
    return SetFilePointerEx(handle_of(file), at, nullptr, FILE_BEGIN) ? 0 : 1;
}

int remove_path(const char* path) noexcept {
    std::wstring wide = wide_path_or_none(path);
    return !wide.empty() && DeleteFileW(wide.c_str()) ? 0 : 1;
}

std::FILE* open_data_file(const char* path) noexcept {
    std::wstring wide = wide_path_or_none(path);
    if (wide.empty()) return nullptr;
    HANDLE handle = create_handle(wide, GENERIC_READ, OPEN_EXISTING);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return stream_of(handle, _O_RDONLY | _O_BINARY, "rb");
}

bool read_whole_file(const std::string& path, file_bytes& bytes,
                     std::size_t zeros) {
    std::wstring wide = wide_path(path.c_str());
    if (wide.empty()) return false;
    HANDLE handle = create_handle(wide, GENERIC_READ, OPEN_EXISTING);
    if (handle == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size{};
    bool ok = GetFileType(handle) == FILE_TYPE_DISK &&
              GetFileSizeEx(handle, &size) && size.QuadPart < INT32_MAX;
    if (ok) make_file_bytes(bytes, static_cast<std::size_t>(size.QuadPart),
                            zeros);
    std::size_t done = 0;
    while (ok && done < bytes.size) {
        DWORD got = 0;
        ok = ReadFile(handle, bytes.data.get() + done,
                      static_cast<DWORD>(bytes.size - done), &got,
                      nullptr) &&
             got > 0;
        done += got;
    }
    CloseHandle(handle);
    return ok;
}

std::int64_t regular_file_size(const std::string& path) noexcept {
    std::wstring wide = wide_path_or_none(path.c_str());
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (wide.empty() ||
        !GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0)
        return -1;
    return static_cast<std::int64_t>(data.nFileSizeHigh) << 32 |
           data.nFileSizeLow;
}

bool is_directory(const std::string& path) noexcept {
    std::wstring wide = wide_path_or_none(path.c_str());
    DWORD attributes = wide.empty() ? INVALID_FILE_ATTRIBUTES
                                    : GetFileAttributesW(wide.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool is_readable_file(const std::string& path) noexcept {
    std::wstring wide = wide_path_or_none(path.c_str());
    if (wide.empty()) return false;
    HANDLE handle = create_handle(wide, GENERIC_READ, OPEN_EXISTING);
    if (handle == INVALID_HANDLE_VALUE) return false;
    CloseHandle(handle);
    return true;
}
