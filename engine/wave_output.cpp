#include "wave_output.h"

#include "recording.h"

#include <cstdio>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// Header bytes 0-23 and 32-43; the sample rate and byte rate go between.
constexpr unsigned char header_head[24] = {
    'R', 'I', 'F', 'F', 44, 0, 0, 0,  // RIFF size: placeholder until finalised
    'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
    16, 0, 0, 0,                      // format chunk length
    1, 0,                             // PCM
    1, 0,                             // one channel
};
constexpr unsigned char header_tail[12] = {
    2, 0,                             // bytes per sample frame
    16, 0,                            // bits per sample
    'd', 'a', 't', 'a', 0, 0, 0, 0,   // data size: placeholder until finalised
};

constexpr long sample_rate_offset = 24;
constexpr long riff_size_offset = 4;
constexpr long data_size_offset = 40;

// 0 on success, 1 on failure, like every engine operation.
int put_le32(std::FILE* file, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        if (std::fputc(static_cast<int>((value >> shift) & 0xFF), file) == EOF)
            return 1;
    }
    return 0;
}

int write_block(std::FILE* file, const void* data, std::size_t size) {
    return std::fwrite(data, 1, size, file) == size ? 0 : 1;
}

int put_le32_at(std::FILE* file, long offset, std::uint32_t value) {
    if (std::fseek(file, offset, SEEK_SET) != 0) return 1;
    return put_le32(file, value);
}

int write_rate_fields(std::FILE* file, int sample_rate) {
    auto rate = static_cast<std::uint32_t>(sample_rate);
    if (put_le32(file, rate) != 0) return 1;
    return put_le32(file, rate * bytes_per_sample);
}

// Only the ASCII white space of the C locale counts; bytes of UTF-8
// sequences never do, whatever locale the interpreter set.
bool is_blank_byte(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
           c == '\r';
}

}  // namespace

int open_wave_output(const char* output_file_path) noexcept {
    if (output_file_path == nullptr) return 1;
    while (is_blank_byte(*output_file_path)) ++output_file_path;
    if (*output_file_path == '\0') return 1;

    std::FILE* file = std::fopen(output_file_path, "wb");
    if (file == nullptr) return 1;
    // The header goes to the file at once: a file that cannot hold it (a
    // full disk) is removed rather than left behind as a stub.
    if (write_block(file, header_head, sizeof header_head) != 0 ||
        write_rate_fields(file, engine_state.sample_rate) != 0 ||
        write_block(file, header_tail, sizeof header_tail) != 0 ||
        std::fflush(file) != 0) {
        struct stat status;
        bool regular = fstat(fileno(file), &status) == 0 &&
                       S_ISREG(status.st_mode);
        std::fclose(file);
        if (regular) std::remove(output_file_path);
        return 1;
    }
    engine_state.output_file = file;
    return 0;
}

// Patches the sizes and the rate the samples were produced at, then closes.
int finalize_wave_output() noexcept {
    std::FILE* file = engine_state.output_file;
    if (file == nullptr) return 1;
    engine_state.output_file = nullptr;

    int failed = std::fflush(file) != 0;
    off_t length = ftello(file);
    // A write that failed part-way (a full disk, a file-size limit) can
    // end the data inside a sample: keep whole samples only.
    if (length > wave_header_size && (length - wave_header_size) % 2 != 0) {
        --length;
        failed |= ftruncate(fileno(file), length) != 0;
    }
    if (length < wave_header_size || length > off_t{UINT32_MAX}) {
        failed = 1;
    } else {
        auto file_length = static_cast<std::uint32_t>(length);
        failed |= put_le32_at(file, riff_size_offset, file_length - 8);
        failed |= std::fseek(file, sample_rate_offset, SEEK_SET) != 0;
        failed |= write_rate_fields(file, engine_state.sample_rate);
        failed |= put_le32_at(file, data_size_offset,
                              file_length - wave_header_size);
    }
    failed |= std::fclose(file) != 0;
    return failed;
}

int write_wave_samples(const short* samples, std::uint64_t count) noexcept {
    return write_block(engine_state.output_file, samples,
                       count * bytes_per_sample);
}
