// The WAVE output of a recording: a file, pipe or device, the 44-byte
// header, the samples, and the header's sizes kept up to date on a file.
// Internal to the engine (and its tests).
#ifndef VYN_WAVE_OUTPUT_H
#define VYN_WAVE_OUTPUT_H

#include <cstdint>
#include <cstdio>

constexpr long wave_header_size = 44;
constexpr int bytes_per_sample = 2;  // mono, 16 bits

// The RIFF size field (offset 4) holds the file length - 8 and the data size
// field (offset 40) the file length - 44; both are 32-bit. The data of a
// regular file stops while the whole file length still fits in 32 bits, so
// neither ever wraps; a stream's say "unknown" and its data has no limit.
constexpr std::uint64_t max_wave_samples =
    (UINT32_MAX - wave_header_size) / bytes_per_sample;

// The samples a regular file takes: max_wave_samples, lowered only by the
// tests, which cannot write 4 GiB.
extern std::uint64_t wave_file_max_samples;

// One open output, from open_wave_output to finalize_wave_output.
struct wave_writer {
    std::FILE* file = nullptr;       // null when closed
    int sample_rate = 0;             // Hz, in the header
    bool is_stream = false;          // a pipe or device: never sought back
    bool counts_only = false;        // measuring into a stream: no writes
    std::uint64_t sizes_due_at = 0;  // samples at the next size update
    std::uint64_t sample_limit = 0;  // what it takes; none on a stream
};

// Opens the output (leading blanks of the path are not part of the name)
// and writes the header at sample_rate. A regular file is created or
// replaced; a pipe, FIFO or device receives a stream whose sizes say
// "unknown length", and in a measuring recording nothing at all. The
// stream a measuring recording kept open (kept_output) is taken up instead
// of opening the path again. Returns 0, or 1 with no regular file left
// behind.
int open_wave_output(wave_writer& writer, const char* output_file_path,
                     int sample_rate, bool measuring,
                     std::FILE*& kept_output) noexcept;

// Appends count samples to the open output. Returns 0 or 1.
int write_wave_samples(wave_writer& writer, const short* samples,
                       std::uint64_t count) noexcept;

// Cuts a regular file back to its first `samples` samples; a stream is left
// as it is. Returns 0 or 1.
int cut_wave_output(wave_writer& writer, std::uint64_t samples) noexcept;

// Brings the header's sizes on disk up to date with the samples written,
// about once per second of audio, on a regular file. Returns 0 or 1.
int keep_sizes_on_disk(wave_writer& writer,
                       std::uint64_t samples_written) noexcept;

// Writes the final sizes and the rate, then closes the output; a stream a
// measuring recording counted into is kept open in kept_output for the next
// recording of the call. Returns 0, or 1 when no output is open or a write
// failed.
int finalize_wave_output(wave_writer& writer,
                         std::FILE*& kept_output) noexcept;

// Closes a stream kept open that no recording took up.
void close_kept_output(std::FILE*& kept_output) noexcept;

#endif
