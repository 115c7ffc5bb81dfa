#include "recording.h"

#include "engine.h"

#include <espeak-ng/speak_lib.h>

#include <cstring>
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

// A rate event that repeats the rate in force is no change. Another rate is
// taken only before the first sample: one file cannot hold two rates.
bool take_sample_rate(int rate) {
    if (rate == engine_state.sample_rate) return true;
    if (rate <= 0 || engine_state.samples_written > 0) return false;
    engine_state.sample_rate = rate;
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

bool append_samples(const short* wav, int numsamples) {
    auto count = static_cast<std::uint64_t>(numsamples);
    if (count > engine_state.max_samples - engine_state.samples_written)
        return false;
    if (write_block(engine_state.output_file, wav,
                    count * bytes_per_sample) != 0)
        return false;
    engine_state.samples_written += count;
    return true;
}

// Called by eSpeak on this thread, during espeak_Synth, for every block of
// samples. A non-zero answer asks the synthesizer to stop the text.
int on_synth_output(short* wav, int numsamples, espeak_EVENT* events) {
    if (wav == nullptr) return 1;  // end of synthesis
    if (engine_state.output_file == nullptr || engine_state.callback_failed)
        return 1;
    if (!take_events(events) ||
        (numsamples > 0 && !append_samples(wav, numsamples))) {
        engine_state.callback_failed = true;
        return 1;
    }
    return 0;
}

// A failed initialisation leaves the synthesizer down, so the next
// recording tries again.
int ensure_synthesizer() {
    if (engine_state.synthesizer_ready) return 0;
    int rate = espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr,
                                 initialize_options);
    if (rate <= 0) return 1;
    engine_state.initialised_rate = rate;
    engine_state.synthesizer_ready = true;
    return 0;
}

}  // namespace

engine_state_record engine_state = {false, 0,     nullptr, 0, 0,
                                    0,     max_wave_samples, false};

int prepare_synthesizer() noexcept { return ensure_synthesizer(); }

int start_recording(const char* output_file_path) noexcept {
    engine_state.sample_rate = 0;
    engine_state.synth_flags = text_synth_flags;
    if (ensure_synthesizer() != 0) return 1;
    engine_state.sample_rate = engine_state.initialised_rate;
    espeak_SetSynthCallback(on_synth_output);
    engine_state.samples_written = 0;
    engine_state.callback_failed = false;
    return open_wave_output(output_file_path);
}

int select_voice(const char* voice_code) noexcept {
    if (voice_code == nullptr) return 1;
    espeak_VOICE voice;
    std::memset(&voice, 0, sizeof voice);
    voice.languages = voice_code;
    return espeak_SetVoiceByProperties(&voice) == EE_OK ? 0 : 1;
}

int synthesize_text(const char* text) noexcept {
    engine_state.callback_failed = false;
    if (text != nullptr &&
        espeak_Synth(text, std::strlen(text) + 1, 0, POS_CHARACTER, 0,
                     static_cast<unsigned int>(engine_state.synth_flags),
                     nullptr, nullptr) != EE_OK)
        return 1;
    if (espeak_Synchronize() != EE_OK) return 1;
    return engine_state.callback_failed ? 1 : 0;
}

int finish_recording() noexcept { return finalize_wave_output(); }

// Closing the descriptor first makes the stream's final flush fail instead
// of writing the parent's buffered bytes into the shared file.
void abandon_recording() noexcept {
    std::FILE* file = engine_state.output_file;
    if (file == nullptr) return;
    engine_state.output_file = nullptr;
    close(fileno(file));
    std::fclose(file);
}

float elapsed_seconds() noexcept {
    return static_cast<float>(
        static_cast<double>(engine_state.samples_written) /
        engine_state.sample_rate);
}

void reset_engine_state() noexcept {
    if (engine_state.output_file != nullptr) finalize_wave_output();
    engine_state = engine_state_record{false, 0,     nullptr, 0, 0,
                                       0,     max_wave_samples, false};
}
