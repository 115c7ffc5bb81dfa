// vyn engine: synthesizes a table of text fragments into one WAVE file.
// README.md beside it maps the engine's records, one per lifetime, and
// every process-wide hook of the engine and the module.
#ifndef VYN_ENGINE_H
#define VYN_ENGINE_H

#include <cstdint>

// How a fragment asks to be spoken other than as its voice speaks, as the
// espeak-ng command line's options do; for that fragment only: the next one
// starts from its own voice's settings. A field counts only when its flag
// is in `given`, so a zero-initialised record is the voice's own. Values
// outside the ranges below fail the call before anything is written (the
// library would clamp some of them silently).
enum fragment_setting_flag : unsigned int {
    setting_rate = 1,      // -s
    setting_pitch = 2,     // -p
    setting_volume = 4,    // -a
    setting_word_gap = 8,  // -g
    setting_ssml = 16,     // -m
};

struct fragment_settings {
    unsigned int given;  // fragment_setting_flag bits
    int rate;            // words per minute, 80 to 1000
    int pitch;           // 0 to 99
    int volume;          // 0 to 200
    int word_gap;        // pause between words, 10 ms units: 0 to 1000
    // The text is SSML. The voices it may change to are checked with the
    // fragment's own (an MBROLA voice is refused), no element reads a file
    // or starts a process, and nothing of it reaches the next fragment.
    bool ssml;
};

// The ranges the engine takes. Above 449 words per minute the library
// speeds its audio up afterwards (sonic), and its word events no longer
// fall where the words are: a call that collects words refuses such rates.
constexpr int min_setting_rate = 80;
constexpr int max_setting_rate = 1000;
constexpr int max_synthesized_rate = 449;
constexpr int max_setting_pitch = 99;
constexpr int max_setting_volume = 200;
constexpr int max_setting_word_gap = 1000;

// One fragment of the table. The engine reads voice_code, text and settings
// and writes begin and end of the fragments it puts into the file.
struct fragment_entry {
    float begin;             // seconds from the start of the output file
    float end;               // seconds from the start of the output file
    const char* voice_code;  // NUL-terminated UTF-8, not owned
    const char* text;        // NUL-terminated UTF-8, not owned; may be null
    // Null: the voice's own settings. Not owned.
    const fragment_settings* settings = nullptr;
};

// A word of a fragment written, handed to the caller as it is found.
struct word_anchor {
    unsigned long long sample;  // where it begins: samples from the file start
    unsigned int fragment;      // the fragment's index among those written
    // Its place in the fragment's text, in characters (code points): from
    // the character the synthesizer's word event names to the last non-blank
    // one before the next word (the text's last non-blank one for the last).
    unsigned int start;
    unsigned int length;
};

// A phoneme of a fragment written, handed to the caller as it is found.
// It begins at sample (its fragment's first phoneme at the fragment's
// begin) and ends where the next one begins, the last at its fragment's end.
struct phoneme_anchor {
    unsigned long long sample;  // samples from the file start
    unsigned int fragment;      // the fragment's index among those written
    // The character of the fragment's text (code points from its start)
    // that the synthesizer ties the phoneme to.
    unsigned int start;
    // The library's IPA name, NUL-terminated; empty for a pause. The library
    // reports at most 8 bytes: a longer name arrives cut to them.
    char ipa[9];
};

// A named mark of a fragment's text (SSML <mark name="..."/>).
struct mark_anchor {
    unsigned long long sample;  // where the synthesizer reached it
    unsigned int fragment;      // the fragment's index among those written
    const char* name;           // NUL-terminated; valid during the call only
};

// What a caller may add to a call, in three records: what it asks for,
// how the engine reaches back to it, and what the engine reports besides
// the table. Zero-initialise it; every field is optional.

// For a layer that joins the files of several calls into one.
struct synthesis_options {
    // > 0: the file is written at this rate instead of its voices' highest.
    int file_rate;
    // Non-zero: the voices are checked and the file's rate given in
    // *sample_rate; nothing is synthesized and no file is opened.
    int check_only;
};

struct synthesis_callbacks {
    // Asked between fragments; a non-zero answer stops the call, which then
    // fails with the file finalised as a valid WAVE of what was written.
    int (*should_stop)(void* context);
    void* context;
    // Runs work while nothing else in the process can touch process-wide
    // state (the module holds the interpreter lock for it). A re-initialised
    // synthesizer sets the process's locale, which the engine then puts
    // back: that goes through here. Null: work runs directly.
    int (*run_exclusive)(int (*work)(), void* context);
    // Null: no words are collected. Otherwise called with every word of
    // every fragment written, in file order, once its fragment is written;
    // a non-zero answer fails the call.
    int (*take_word)(void* context, const word_anchor* word);
    // The context of take_word, take_phoneme and take_mark.
    void* word_context;
    // Null: no phonemes are collected. Otherwise as take_word, with every
    // phoneme; rates above max_synthesized_rate are then refused too.
    int (*take_phoneme)(void* context, const phoneme_anchor* phoneme);
    // Null: no marks are collected. Otherwise as take_word, with every mark.
    int (*take_mark)(void* context, const mark_anchor* mark);
};

struct synthesis_results {
    // Filled in on a failure that belongs to one fragment: its index in the
    // table (-1 when none is to blame) and a short reason, NUL-terminated.
    long failed_fragment;
    char failure_reason[128];
    // Receives the fragment the call started from (0 outside the backward
    // mode).
    unsigned int start;
    // Null, or room for n entries: entry i receives the samples in the file
    // at the end of the i-th fragment written.
    std::uint64_t* fragment_ends;
};

struct synthesis_control {
    synthesis_options options;
    synthesis_callbacks callbacks;
    synthesis_results results;
};

// Brings the synthesizer up, once per process; later calls only report
// whether it is up. synthesize_fragments does this itself when needed; a
// caller that must control the thread on which the first initialisation
// runs calls it first. Returns 0, or 1 when the synthesizer cannot start;
// results, where given, then receive the reason when it has one (with no
// fragment to blame), such as too few file descriptors free to read its data.
int prepare_synthesizer(synthesis_results* results = nullptr) noexcept;

// The version of the eSpeak NG library the engine runs against, as the
// library states it ("1.51", "1.52.0").
const char* synthesizer_version() noexcept;

// Writes fragments into one mono 16-bit WAVE file at output_file_path, from
// the first one on, or in the backward mode (backwards non-zero and
// quit_after > 0) from the fragment chosen by measuring from the last one
// backwards. Stops after the fragment whose end reaches a positive quit_after.
// Entry i of the table receives the times of the i-th fragment written.
// Returns 0 and sets *sample_rate and *synthesized on success, 1 on failure.
// Calls from several threads run one at a time; a call from a thread that
// is already inside one (from its control's callback) fails at once.
int synthesize_fragments(const char* output_file_path,
                         fragment_entry* fragments,
                         float quit_after,
                         unsigned int n,
                         int backwards,
                         int* sample_rate,
                         unsigned int* synthesized,
                         synthesis_control* control = nullptr) noexcept;

#endif
