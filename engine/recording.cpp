#include "recording.h"

#include "engine.h"

#include <espeak-ng/espeak_ng.h>
#include <espeak-ng/speak_lib.h>

#include <clocale>
#include <cstring>
#include <new>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

constexpr long wave_header_size = 44;
constexpr int bytes_per_sample = 2;  // mono, 16 bits

// The RIFF size field (offset 4) holds the file length - 8 and the data size
// field (offset 40) the file length - 44; both are 32-bit. The data stops
// while the whole file length still fits in 32 bits, so neither ever wraps.
constexpr std::uint64_t max_wave_samples =
    (UINT32_MAX - wave_header_size) / bytes_per_sample;

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

// espeakCHARS_UTF8 with espeakENDPAUSE: the pause at the end of each text is
// part of the delivered samples, so fragments follow each other naturally.
constexpr int text_synth_flags = espeakCHARS_UTF8 | espeakENDPAUSE;

// Never let the library exit() the process on unusable voice data.
constexpr int initialize_options = espeakINITIALIZE_DONT_EXIT;

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

int open_wave_output(const char* output_file_path) {
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
int finalize_wave_output() {
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

bool append_samples(const short* wav, std::size_t count) {
    if (count > engine_state.max_samples - engine_state.samples_written)
        return false;
    if (write_block(engine_state.output_file, wav,
                    count * bytes_per_sample) != 0)
        return false;
    engine_state.samples_written += count;
    return true;
}

// A rate event says at what rate the samples after it come; one that
// repeats the rate in force is no change. A change ends the conversion run
// of the samples before it.
bool take_sample_rate(int rate) {
    if (rate == engine_state.produced_rate) return true;
    if (rate <= 0 ||
        end_conversion_run(engine_state.conversion, append_samples) != 0)
        return false;
    engine_state.produced_rate = rate;
    return true;
}

bool take_events(const espeak_EVENT* events) {
    if (events == nullptr) return true;
    for (; events->type != espeakEVENT_LIST_TERMINATED; ++events) {
        if (events->type == espeakEVENT_SAMPLERATE &&
            !take_sample_rate(events->id.number))
            return false;
    }
    return true;
}

// Samples at the file's rate go straight in; no other work is done for them.
bool take_samples(const short* wav, int numsamples) {
    auto count = static_cast<std::size_t>(numsamples);
    if (engine_state.produced_rate == engine_state.sample_rate)
        return append_samples(wav, count);
    return convert_samples(engine_state.conversion, engine_state.produced_rate,
                           engine_state.sample_rate, wav, count,
                           append_samples) == 0;
}

// Called by eSpeak on this thread, during espeak_Synth, for every block of
// samples. A non-zero answer asks the synthesizer to stop the text.
int on_synth_output(short* wav, int numsamples, espeak_EVENT* events) {
    if (wav == nullptr) return 1;  // end of synthesis
    if (engine_state.output_file == nullptr || engine_state.callback_failed)
        return 1;
    if (!take_events(events) ||
        (numsamples > 0 && !take_samples(wav, numsamples))) {
        engine_state.callback_failed = true;
        return 1;
    }
    return 0;
}

// U+0001 starts an embedded command (volume, speed, pitch, echo, ...)
// whose effect would outlive its text: it is spoken as a space instead.
constexpr char embedded_command_mark = '\x01';

int neutralise_commands(const char* text, std::size_t size,
                        std::string& neutral) {
    try {
        neutral.assign(text, size - 1);
    } catch (const std::bad_alloc&) {
        return 1;
    }
    for (char& c : neutral) {
        if (c == embedded_command_mark) c = ' ';
    }
    return 0;
}

// Initialisation sets the whole process's LC_CTYPE (to C.UTF-8 where it
// exists); the host's locale is put back in every category afterwards.
int copy_host_locale(std::string& locale) {
    const char* current = std::setlocale(LC_ALL, nullptr);
    try {
        locale = current != nullptr ? current : "C";
    } catch (const std::bad_alloc&) {
        return 1;
    }
    return 0;
}

// The character classes the library chose for itself are kept apart and
// set for this thread only while it synthesizes, so it reads text as the
// command line does whatever the host's locale is.
void keep_synthesis_locale() {
    if (engine_state.synthesis_locale != nullptr) return;
    const char* ctype = std::setlocale(LC_CTYPE, nullptr);
    engine_state.synthesis_locale =
        newlocale(LC_CTYPE_MASK, ctype != nullptr ? ctype : "C", nullptr);
}

int initialise_synthesizer() {
    std::string host_locale;
    if (copy_host_locale(host_locale) != 0) return 1;
    int rate = espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr,
                                 initialize_options);
    keep_synthesis_locale();
    std::setlocale(LC_ALL, host_locale.c_str());
    if (rate <= 0) return 1;
    engine_state.initialised_rate = rate;
    engine_state.synthesizer_ready = true;
    return 0;
}

// A failed initialisation leaves the synthesizer down, so the next
// recording tries again.
int ensure_synthesizer() {
    if (engine_state.synthesizer_ready) return 0;
    return initialise_synthesizer();
}

constexpr engine_state_record initial_engine_state() {
    engine_state_record state{};
    state.max_samples = max_wave_samples;
    return state;
}

}  // namespace

engine_state_record engine_state = initial_engine_state();

int prepare_synthesizer() noexcept { return ensure_synthesizer(); }

// A new initialisation alone would keep pointers into the phoneme data it
// frees (1.52.0 reselects a phoneme table only when its number changes):
// terminating first frees all of it, so everything is built anew.
int restart_synthesizer() noexcept {
    espeak_Terminate();
    engine_state.synthesizer_ready = false;
    if (initialise_synthesizer() != 0) return 1;
    espeak_SetSynthCallback(on_synth_output);
    return 0;
}

int start_recording(const char* output_file_path, int file_rate) noexcept {
    engine_state.sample_rate = file_rate;
    engine_state.synth_flags = text_synth_flags;
    if (ensure_synthesizer() != 0) return 1;
    engine_state.produced_rate = engine_state.initialised_rate;
    espeak_SetSynthCallback(on_synth_output);
    engine_state.samples_written = 0;
    engine_state.callback_failed = false;
    return open_wave_output(output_file_path);
}

int synthesize_text(const char* text) noexcept {
    engine_state.callback_failed = false;
    if (text != nullptr) {
        std::size_t size = std::strlen(text) + 1;
        std::string neutral;
        if (std::memchr(text, embedded_command_mark, size) != nullptr) {
            if (neutralise_commands(text, size, neutral) != 0) return 1;
            text = neutral.c_str();
        }
        if (espeak_Synth(text, size, 0, POS_CHARACTER, 0,
                         static_cast<unsigned int>(engine_state.synth_flags),
                         nullptr, nullptr) != EE_OK)
            return 1;
    }
    if (espeak_Synchronize() != EE_OK || engine_state.callback_failed) return 1;
    return end_conversion_run(engine_state.conversion, append_samples);
}

int finish_recording() noexcept {
    release_conversion(engine_state.conversion);
    return finalize_wave_output();
}

float elapsed_seconds() noexcept {
    return static_cast<float>(
        static_cast<double>(engine_state.samples_written) /
        engine_state.sample_rate);
}

void reset_engine_state() noexcept {
    if (engine_state.output_file != nullptr) finish_recording();
    if (engine_state.synthesis_locale != nullptr)
        freelocale(engine_state.synthesis_locale);
    engine_state = initial_engine_state();
}
