// Functions vyn's own patches add to the bundled eSpeak NG (C linkage).
// Internal to the engine; the system library has none of them, so they are
// called only where the build says the library carries the patches.
#ifndef VYN_PATCHED_LIBRARY_H
#define VYN_PATCHED_LIBRARY_H

// Set by the build when the library is the bundled one with vyn's patches.
#ifndef VYN_ESPEAK_PATCHED
#define VYN_ESPEAK_PATCHED 0
#endif

extern "C" {
// Writes back the state a freshly initialised synthesizer has (the wave
// generator's, the intonation's, the Klatt filters' memories, the speed
// tables, the noise seed of the command line's --deterministic option):
// called before a fragment's voice is selected, the fragment then sounds
// as in a fresh process.
void vyn_reset_synthesis_state(void);
// With 1, a dictionary that fails to load fails its voice's selection
// (the library would otherwise select it and speak silence).
void vyn_report_dictionary_failures(int report);
// The pid of the library's own mbrola process, 0 when none runs.
long vyn_mbrola_pid(void);
}

// After each initialisation: what the patched library does only when asked.
inline void configure_patched_library() noexcept {
#if VYN_ESPEAK_PATCHED
    vyn_report_dictionary_failures(1);
#endif
}

// Every fragment starts from a fresh synthesizer's state with the bundled
// library; the system library's history carries over as it always has.
inline void start_from_fresh_state() noexcept {
#if VYN_ESPEAK_PATCHED
    vyn_reset_synthesis_state();
#endif
}

#endif
