// The pipes to the library's MBROLA process, kept from forked processes,
// and the process itself.
// Internal to the engine.
#ifndef VYN_MBROLA_PIPES_H
#define VYN_MBROLA_PIPES_H

// eSpeak NG runs MBROLA as a child process and talks to it over pipes that
// are neither close-on-exec nor closed in a forked process. A process forked
// from this one would keep MBROLA's input open, and the library's next
// change of MBROLA voice here waits for that MBROLA to see the end of its
// input: for ever, while the forked process lives. Called after every
// selection of an MBROLA voice, this finds the pipes of the MBROLA process
// just started and its status file, marks them close-on-exec, and has a
// forked child point its copies at quiet stand-ins at once: an MBROLA that
// is idle and silent, so that nothing the library does in the child reaches
// the parent's (the library there starts an MBROLA of its own at its next
// MBROLA voice).
void note_mbrola_pipes() noexcept;

// The MBROLA process found by the last note, as a process file descriptor
// (pidfd: it stays that process's even after its end), or -1 when none was
// found or the system has none. Never a process of the parent in a forked
// child.
int noted_mbrola_process() noexcept;

// Why an MBROLA voice cannot speak on this platform, as a refusal with %s
// for the voice code; null where it can.
// The library's MBROLA program is a POSIX process: Windows has none, and
// its voices are refused before the library loads anything for them
// (mbrola_windows.cpp, where nothing of this header or mbrola_watch.h has
// a process to act on).
const char* mbrola_unavailable() noexcept;

#endif
