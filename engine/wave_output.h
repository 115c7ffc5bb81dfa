// The WAVE output of a recording: a file, pipe or device, the 44-byte
// header, the samples, and the header's sizes kept up to date on a file.
// Internal to the engine.
#ifndef VYN_WAVE_OUTPUT_H
#define VYN_WAVE_OUTPUT_H

#include <cstdint>

constexpr long wave_header_size = 44;
constexpr int bytes_per_sample = 2;  // mono, 16 bits

// The RIFF size field (offset 4) holds the file length - 8 and the data size
// field (offset 40) the file length - 44; both are 32-bit. The data of a
// regular file stops while the whole file length still fits in 32 bits, so
// neither ever wraps; a stream's say "unknown" and its data has no limit.
constexpr std::uint64_t max_wave_samples =
    (UINT32_MAX - wave_header_size) / bytes_per_sample;

// Opens the output (leading blanks of the path are not part of the name)
// as engine_state.output_file and writes the header at engine_state's
// sample rate. A regular file is created or replaced; a pipe, FIFO or
// device receives a stream whose sizes say "unknown length", and in a
// measuring recording nothing at all. The stream a measuring recording kept
// open is taken up instead of opening the path again. Returns 0, or 1 with
// no regular file left behind.
int open_wave_output(const char* output_file_path, bool measuring) noexcept;

// Appends count samples to the open output. Returns 0 or 1.
int write_wave_samples(const short* samples, std::uint64_t count) noexcept;

// Cuts a regular file back to its first `samples` samples; a stream is left
// as it is. Returns 0 or 1.
int cut_wave_output(std::uint64_t samples) noexcept;

// Brings the header's sizes on disk up to date with the clock, about once
// per second of audio, on a regular file. Returns 0 or 1.
int keep_sizes_on_disk() noexcept;

// Writes the final sizes and the rate the samples were produced at, then
// closes the output; a stream a measuring recording counted into is kept
// open for the next recording of the call. Returns 0, or 1 when no output
// is open or a write failed.
int finalize_wave_output() noexcept;

#endif
