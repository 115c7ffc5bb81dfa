#include "platform_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

// Opened without blocking, a FIFO that has no reader fails at once (ENXIO)
// rather than holding the call until one comes; the writes that follow
// block as usual.
std::FILE* open_output_stream(const char* path) noexcept {
    int descriptor = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK |
                                    O_CLOEXEC, 0666);
    if (descriptor < 0) return nullptr;
    int flags = fcntl(descriptor, F_GETFL);
    std::FILE* file = nullptr;
    if (flags >= 0 && fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) == 0)
        file = fdopen(descriptor, "wb");
    if (file == nullptr) close(descriptor);
    return file;
}

bool is_regular_file(std::FILE* file) noexcept {
    struct stat status;
    return fstat(fileno(file), &status) == 0 && S_ISREG(status.st_mode);
}

int write_at(std::FILE* file, const void* data, std::size_t size,
             std::int64_t offset) noexcept {
    return pwrite(fileno(file), data, size, static_cast<off_t>(offset)) ==
                   static_cast<ssize_t>(size)
               ? 0
               : 1;
}

std::int64_t stream_position(std::FILE* file) noexcept {
    return ftello(file);
}

int truncate_stream(std::FILE* file, std::int64_t length) noexcept {
    return ftruncate(fileno(file), static_cast<off_t>(length)) == 0 ? 0 : 1;
}

int seek_stream(std::FILE* file, std::int64_t position) noexcept {
    return fseeko(file, static_cast<off_t>(position), SEEK_SET) == 0 ? 0 : 1;
}

int remove_path(const char* path) noexcept {
    return std::remove(path) == 0 ? 0 : 1;
}

std::FILE* open_data_file(const char* path) noexcept {
    return std::fopen(path, "re");
}

bool read_whole_file(const std::string& path, file_bytes& bytes,
                     std::size_t zeros) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat status;
    bool ok = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    if (ok) make_file_bytes(bytes, static_cast<std::size_t>(status.st_size),
                            zeros);
    std::size_t done = 0;
    while (ok && done < bytes.size) {
        ssize_t got = read(fd, bytes.data.get() + done, bytes.size - done);
        ok = got > 0;
        if (ok) done += static_cast<std::size_t>(got);
    }
    close(fd);
    return ok;
}

std::int64_t regular_file_size(const std::string& path) noexcept {
    struct stat status;
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
        return -1;
    return status.st_size;
}

bool is_directory(const std::string& path) noexcept {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool is_readable_file(const std::string& path) noexcept {
    return access(path.c_str(), R_OK) == 0;
}
