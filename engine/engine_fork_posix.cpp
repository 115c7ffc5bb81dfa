// The engine in the child of a fork (POSIX only: Windows has no fork).
#include "call.h"
#include "engine_lock.h"
#include "recording.h"
#include "synthesizer.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>

namespace {

// Drops the call's outputs without writing anything more to them: the
// inherited streams and their buffered bytes belong to the parent's call.
void abandon_call(call_record& call) {
    std::FILE* none = nullptr;
    for (std::FILE** stream :
         {call.recording != nullptr ? &call.recording->writer.file : &none,
          &call.kept_output}) {
        std::FILE* file = *stream;
        if (file == nullptr) continue;
        *stream = nullptr;
        close(fileno(file));
        std::fclose(file);
    }
}

// Runs in the child of every fork, before fork() returns there: a child
// forked while another thread held the engine gets a free one, and its
// first call clears what the parent's unfinished text left queued in the
// library.
void reset_in_child() {
    call_record* foreign_call = nullptr;
    if (!reset_engine_lock_in_child(foreign_call)) return;
    if (foreign_call != nullptr) abandon_call(*foreign_call);
    synthesizer.holds_foreign_text = true;
}

[[maybe_unused]] const int fork_handler_registered =
    pthread_atfork(nullptr, nullptr, reset_in_child);

}  // namespace
