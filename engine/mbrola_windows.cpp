// Windows runs no MBROLA program (Debian's is Linux's; the library's
// Windows side would load an mbrola.dll from wherever the system finds
// one): MBROLA voices are refused before they are selected, so no pipes
// are ever noted and no text has a process to watch.
#include "mbrola_pipes.h"
#include "mbrola_watch.h"

const char* mbrola_unavailable() noexcept {
    return "voice '%s': MBROLA voices do not run on Windows";
}

void note_mbrola_pipes() noexcept {}

int noted_mbrola_process() noexcept { return -1; }

mbrola_watch::mbrola_watch(
    bool, const std::atomic<std::uint64_t>& delivered_blocks) noexcept
    : delivered_blocks_(delivered_blocks) {}

void mbrola_watch::stop() noexcept {}

const char* mbrola_watch::finish() noexcept { return nullptr; }
