// Converts runs of samples produced at one rate into the file's rate.
// Internal to the engine (and its tests).
#ifndef VYN_RESAMPLER_H
#define VYN_RESAMPLER_H

#include <cstddef>
#include <cstdint>

struct soxr;

// Where converted samples go: take(context, ...) is true when they were
// all taken.
struct sample_sink {
    bool (*take)(void* context, const short* samples, std::size_t count);
    void* context;
};

// One run of samples at input_rate, converted into output_rate. A run ends
// at the end of a fragment or where the synthesizer changes its rate.
struct rate_conversion {
    soxr* converter;  // null until a run at another rate needs one
    int input_rate;   // what the converter was made for, Hz
    int output_rate;
    std::uint64_t input_samples;   // taken by the run in progress
    std::uint64_t output_samples;  // given to the sink by it
};

// Feeds count samples at input_rate into the run in progress (a new run
// when none is) and gives what comes out to sink. Returns 0 or 1 (failure).
int convert_samples(rate_conversion& conversion, int input_rate,
                    int output_rate, const short* samples, std::size_t count,
                    sample_sink sink) noexcept;

// Ends the run in progress, if any: drains the converter and gives the sink
// exactly the run's length at the output rate, input_samples * output_rate
// / input_rate rounded to the nearest sample, so that every run lasts as
// long as its input. Returns 0 or 1 (failure).
int end_conversion_run(rate_conversion& conversion, sample_sink sink) noexcept;

// Drops a run in progress without output (after a failure) and frees the
// converter.
void release_conversion(rate_conversion& conversion) noexcept;

// A length of samples at input_rate at output_rate, to the nearest sample.
std::uint64_t converted_length(std::uint64_t samples, int input_rate,
                               int output_rate) noexcept;

bool conversion_run_open(const rate_conversion& conversion) noexcept;

#endif
