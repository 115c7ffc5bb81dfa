#include "resampler.h"

#include <soxr.h>

#include <algorithm>
#include <cstdint>

namespace {

constexpr std::size_t output_block = 4096;  // samples per call into the sink

// High quality (20-bit, linear phase) and no dither, so that the same
// input always gives the same output.
soxr* make_converter(int input_rate, int output_rate) {
    soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    io.flags |= SOXR_NO_DITHER;
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_error_t error = nullptr;
    soxr* converter = soxr_create(input_rate, output_rate, 1, &error, &io,
                                  &quality, nullptr);
    if (error != nullptr) {
        soxr_delete(converter);
        return nullptr;
    }
    return converter;
}

int start_run(rate_conversion& conversion, int input_rate, int output_rate) {
    if (conversion.converter == nullptr ||
        conversion.input_rate != input_rate ||
        conversion.output_rate != output_rate) {
        release_conversion(conversion);
        conversion.converter = make_converter(input_rate, output_rate);
        if (conversion.converter == nullptr) return 1;
        conversion.input_rate = input_rate;
        conversion.output_rate = output_rate;
    }
    conversion.input_samples = 0;
    conversion.output_samples = 0;
    return 0;
}

bool give(rate_conversion& conversion, const short* samples,
          std::size_t count, sample_sink sink) {
    if (count == 0) return true;
    conversion.output_samples += count;
    return sink.take(sink.context, samples, count);
}

std::uint64_t run_target(const rate_conversion& conversion) {
    return converted_length(conversion.input_samples, conversion.input_rate,
                            conversion.output_rate);
}

std::size_t room_left(const rate_conversion& conversion,
                      std::uint64_t target) {
    if (conversion.output_samples >= target) return 0;
    return static_cast<std::size_t>(std::min<std::uint64_t>(
        target - conversion.output_samples, SIZE_MAX));
}

}  // namespace

std::uint64_t converted_length(std::uint64_t samples, int input_rate,
                               int output_rate) noexcept {
    auto in_rate = static_cast<std::uint64_t>(input_rate);
    return (samples * static_cast<std::uint64_t>(output_rate) + in_rate / 2) /
           in_rate;
}

bool conversion_run_open(const rate_conversion& conversion) noexcept {
    return conversion.input_samples > 0;
}

int convert_samples(rate_conversion& conversion, int input_rate,
                    int output_rate, const short* samples, std::size_t count,
                    sample_sink sink) noexcept {
    if (!conversion_run_open(conversion) &&
        start_run(conversion, input_rate, output_rate) != 0)
        return 1;
    conversion.input_samples += count;
    short out[output_block];
    std::size_t taken = 0;
    for (;;) {
        std::size_t used = 0;
        std::size_t made = 0;
        if (soxr_process(conversion.converter, samples + taken,
                         count - taken, &used, out, output_block,
                         &made) != nullptr ||
            !give(conversion, out, made, sink))
            return 1;
        taken += used;
        // Done when all is taken and the converter holds no more output
        // (a full block may have more behind it); or when it takes nothing.
        if ((taken == count && made < output_block) ||
            (used == 0 && made == 0))
            return 0;
    }
}

int end_conversion_run(rate_conversion& conversion,
                       sample_sink sink) noexcept {
    if (!conversion_run_open(conversion)) return 0;
    std::uint64_t target = run_target(conversion);
    short out[output_block];
    for (;;) {
        std::size_t made = 0;
        if (soxr_process(conversion.converter, nullptr, 0, nullptr, out,
                         output_block, &made) != nullptr)
            return 1;
        if (!give(conversion, out, std::min(made, room_left(conversion, target)),
                  sink))
            return 1;
        if (made == 0) break;
    }
    // The filter's tail can fall a sample or so short of the exact length.
    std::fill(out, out + output_block, short{0});
    while (conversion.output_samples < target) {
        if (!give(conversion, out,
                  std::min(output_block, room_left(conversion, target)), sink))
            return 1;
    }
    conversion.input_samples = 0;
    conversion.output_samples = 0;
    return soxr_clear(conversion.converter) == nullptr ? 0 : 1;
}

void release_conversion(rate_conversion& conversion) noexcept {
    soxr_delete(conversion.converter);
    conversion = rate_conversion{nullptr, 0, 0, 0, 0};
}
