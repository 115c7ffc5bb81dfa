#include "wave_output.h"

#include "platform_file.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// The header; header_of fills in its four 32-bit fields.
constexpr unsigned char header_template[wave_header_size] = {
    'R', 'I', 'F', 'F', 0, 0, 0, 0,  // RIFF size: file length - 8
    'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
    16, 0, 0, 0,                     // format chunk length
    1, 0,                            // PCM
    1, 0,                            // one channel
    0, 0, 0, 0,                      // sample rate
    0, 0, 0, 0,                      // bytes per second
    2, 0,                            // bytes per sample frame
    16, 0,                           // bits per sample
    'd', 'a', 't', 'a', 0, 0, 0, 0,  // data size: file length - 44
};

constexpr long riff_size_offset = 4;
constexpr long sample_rate_offset = 24;
constexpr long byte_rate_offset = 28;
constexpr long data_size_offset = 40;
constexpr long riff_size_excess = wave_header_size - 8;

// Both sizes of a stream whose length is unknown when it starts: readers
// take its data up to the end of the stream.
constexpr std::uint32_t unknown_size = 0xFFFFFFFF;

struct wave_header {
    unsigned char bytes[wave_header_size];
};

void put_le32(unsigned char* at, std::uint32_t value) {
    for (int byte = 0; byte < 4; ++byte)
        at[byte] = static_cast<unsigned char>(value >> (8 * byte));
}

wave_header header_of(int sample_rate, std::uint32_t riff_size,
                      std::uint32_t data_size) {
    wave_header header;
    std::memcpy(header.bytes, header_template, sizeof header.bytes);
    auto rate = static_cast<std::uint32_t>(sample_rate);
    put_le32(header.bytes + riff_size_offset, riff_size);
    put_le32(header.bytes + sample_rate_offset, rate);
    put_le32(header.bytes + byte_rate_offset, rate * bytes_per_sample);
    put_le32(header.bytes + data_size_offset, data_size);
    return header;
}

wave_header header_of_file(int sample_rate, std::uint32_t data_size) {
    return header_of(sample_rate, data_size + riff_size_excess, data_size);
}

int write_block(std::FILE* file, const void* data, std::size_t size) {
    return std::fwrite(data, 1, size, file) == size ? 0 : 1;
}

// Writes the sizes (and the rate) into the header of a regular file whose
// data is data_size bytes, all of them already on disk. One write covers
// both sizes, so a kill never leaves one updated without the other; it does
// not move the stream's position.
int write_sizes_on_disk(const wave_writer& writer, std::uint32_t data_size) {
    wave_header header = header_of_file(writer.sample_rate, data_size);
    constexpr auto span =
        static_cast<std::size_t>(wave_header_size - riff_size_offset);
    return write_at(writer.file, header.bytes + riff_size_offset, span,
                    riff_size_offset);
}

// Only the ASCII white space of the C locale counts; bytes of UTF-8
// sequences never do, whatever locale the interpreter set.
bool is_blank_byte(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
           c == '\r';
}

struct file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using owned_file = std::unique_ptr<std::FILE, file_closer>;

int write_header(const wave_writer& writer, std::FILE* file) {
    wave_header header =
        writer.is_stream
            ? header_of(writer.sample_rate, unknown_size, unknown_size)
            : header_of_file(writer.sample_rate, 0);
    if (write_block(file, header.bytes, sizeof header.bytes) != 0) return 1;
    return std::fflush(file) != 0 ? 1 : 0;
}

// Sizes first go on disk after about a second of audio, then about every
// second after that; a stream's never do, and its length has no limit.
void schedule_sizes_on_disk(wave_writer& writer,
                            std::uint64_t samples_written) {
    writer.sample_limit =
        writer.is_stream ? UINT64_MAX : wave_file_max_samples;
    writer.sizes_due_at =
        writer.is_stream
            ? UINT64_MAX
            : samples_written + static_cast<std::uint64_t>(writer.sample_rate);
}

// The stream that the measuring recording of this call kept open.
int adopt_kept_output(wave_writer& writer, std::FILE*& kept_output) {
    std::FILE* file = kept_output;
    kept_output = nullptr;
    writer.is_stream = true;
    writer.counts_only = false;
    if (write_header(writer, file) != 0) {
        std::fclose(file);
        return 1;
    }
    writer.file = file;
    schedule_sizes_on_disk(writer, 0);
    return 0;
}

int finalize_regular_file(const wave_writer& writer) {
    std::FILE* file = writer.file;
    int failed = std::fflush(file) != 0;
    std::int64_t length = stream_position(file);
    // A write that failed part-way (a full disk, a file-size limit) can
    // end the data inside a sample: keep whole samples only.
    if (length > wave_header_size && (length - wave_header_size) % 2 != 0) {
        --length;
        failed |= truncate_stream(file, length);
    }
    if (length < wave_header_size || length > std::int64_t{UINT32_MAX})
        return 1;
    return failed | write_sizes_on_disk(
                        writer, static_cast<std::uint32_t>(length -
                                                           wave_header_size));
}

}  // namespace

std::uint64_t wave_file_max_samples = max_wave_samples;

int open_wave_output(wave_writer& writer, const char* output_file_path,
                     int sample_rate, bool measuring,
                     std::FILE*& kept_output) noexcept {
    writer.sample_rate = sample_rate;
    if (kept_output != nullptr) return adopt_kept_output(writer, kept_output);
    if (output_file_path == nullptr) return 1;
    while (is_blank_byte(*output_file_path)) ++output_file_path;
    if (*output_file_path == '\0') return 1;

    owned_file file(open_output_stream(output_file_path));
    if (file == nullptr) return 1;
    writer.is_stream = !is_regular_file(file.get());
    // A pipe or a device receives one stream per call: what is only
    // measured is counted, not written.
    writer.counts_only = writer.is_stream && measuring;
    // The header goes to the file at once: a file that cannot hold it (a
    // full disk) is removed rather than left behind as a stub.
    if (!writer.counts_only && write_header(writer, file.get()) != 0) {
        file.reset();
        if (!writer.is_stream) remove_path(output_file_path);
        return 1;
    }
    writer.file = file.release();
    schedule_sizes_on_disk(writer, 0);
    return 0;
}

int write_wave_samples(wave_writer& writer, const short* samples,
                       std::uint64_t count) noexcept {
    if (writer.counts_only) return 0;
    return write_block(writer.file, samples, count * bytes_per_sample);
}

int cut_wave_output(wave_writer& writer, std::uint64_t samples) noexcept {
    std::FILE* file = writer.file;
    if (writer.is_stream) return 0;
    auto length = static_cast<std::int64_t>(wave_header_size +
                                            samples * bytes_per_sample);
    if (std::fflush(file) != 0 || truncate_stream(file, length) != 0 ||
        seek_stream(file, length) != 0)
        return 1;
    // Sizes already on disk may cover what was cut: they follow it now.
    schedule_sizes_on_disk(writer, samples);
    return write_sizes_on_disk(
        writer, static_cast<std::uint32_t>(samples * bytes_per_sample));
}

// A killed process leaves the data that reached the file; the sizes in its
// header then cover all of it but the last second or so, never more.
int keep_sizes_on_disk(wave_writer& writer,
                       std::uint64_t samples_written) noexcept {
    if (samples_written < writer.sizes_due_at) return 0;
    schedule_sizes_on_disk(writer, samples_written);
    if (std::fflush(writer.file) != 0) return 1;
    return write_sizes_on_disk(
        writer,
        static_cast<std::uint32_t>(samples_written * bytes_per_sample));
}

int finalize_wave_output(wave_writer& writer,
                         std::FILE*& kept_output) noexcept {
    std::FILE* file = writer.file;
    if (file == nullptr) return 1;
    if (writer.counts_only) {
        writer.file = nullptr;
        kept_output = file;
        return 0;
    }
    int failed = writer.is_stream ? std::fflush(file) != 0
                                  : finalize_regular_file(writer);
    writer.file = nullptr;
    failed |= std::fclose(file) != 0;
    return failed;
}

void close_kept_output(std::FILE*& kept_output) noexcept {
    if (kept_output == nullptr) return;
    std::fclose(kept_output);
    kept_output = nullptr;
}
