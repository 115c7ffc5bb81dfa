// Whether the process has the file descriptors the library needs to read
// its data. Internal to the engine (and its tests).
//
// eSpeak NG opens its data files itself and takes a file it cannot open for
// one that is not there, without a word of why: out of descriptors,
// initialisation leaves the phoneme tables unloaded, a voice listing comes
// out empty, and a voice is selected without its file or its dictionary
// (1.51 then speaks on, and the call would succeed with the wrong sound).
// What the engine learns from such reads (the installed voices, a checked
// code, a dictionary) it keeps for the rest of the process, and it
// initialises the library once (1.51 hangs after a re-initialisation). So
// these reads run only when the descriptors they need are free, and a call
// that lacks them is refused before the library runs: the next call with
// descriptors to spare finds everything as if the refused one never was.
#ifndef VYN_DESCRIPTOR_RESERVE_H
#define VYN_DESCRIPTOR_RESERVE_H

// The most descriptors the library holds at once while it reads its data:
// listing the voices keeps a directory open per level (voices/!v,
// lang/gmw) and reads a voice file inside.
constexpr int descriptors_to_read_data = 3;

// What writing takes: the output file, and the voice file or dictionary
// the library reads at each selection (eSpeak NG 1.51 speaks on without
// them, and the call would succeed with the wrong sound).
constexpr int descriptors_to_write = 2;

// The reason given to a call refused, or failed, for want of them.
constexpr const char* too_few_descriptors_reason =
    "too few file descriptors free";

// True when count (at most 8) descriptors can be opened now: each is opened
// and closed again, two system calls each (about 350 instructions a call).
bool descriptors_free(int count) noexcept;

#endif
