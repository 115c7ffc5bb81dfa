#include "engine_lock.h"

#include <espeak-ng/speak_lib.h>

#include <pthread.h>

#include <cstring>

#include "recording.h"

namespace {

pthread_mutex_t engine_mutex = PTHREAD_MUTEX_INITIALIZER;
// True while some thread holds the engine: written under the mutex, read by
// the child of a fork, which has only the forking thread.
bool engine_in_use = false;
// Static TLS: LeakSanitizer's scan of the dynamic kind, in a module the
// interpreter loads, crashes at exit on threads inside a call.
__attribute__((tls_model("initial-exec"))) thread_local bool
    this_thread_holds_engine = false;
// Set in a child forked while another thread was inside the engine.
bool library_holds_foreign_text = false;

int refuse_samples(short*, int, espeak_EVENT*) { return 1; }

// The library stops a text with an MBROLA voice current by sending the
// MBROLA process it knows a reset signal: in the child that process is the
// parent's, and the reset would cut the parent's fragment short. A standard
// voice selected first (the library's default) makes the stop a local one.
void leave_mbrola_voice() {
    espeak_VOICE standard;
    std::memset(&standard, 0, sizeof standard);
    standard.languages = "";
    espeak_SetVoiceByProperties(&standard);
}

// A text that the library was in the middle of when the process forked
// leaves its pending audio queued, and the next text would begin with it.
// A callback that refuses the first block of a new text makes the library
// drop its whole queue, the foreign audio with it.
void drop_foreign_text() {
    library_holds_foreign_text = false;
    if (!engine_state.synthesizer_ready) return;
    leave_mbrola_voice();
    espeak_SetSynthCallback(refuse_samples);
    espeak_Synth("", 1, 0, POS_CHARACTER, 0, espeakCHARS_UTF8, nullptr,
                 nullptr);
    espeak_Synchronize();
}

// Runs in the child of every fork, before fork() returns there. When the
// forking thread itself holds the engine (the library starting MBROLA, a
// handler forking between fragments), the call simply goes on in the child.
void reset_in_child() {
    if (this_thread_holds_engine || !engine_in_use) return;
    pthread_mutex_init(&engine_mutex, nullptr);
    engine_in_use = false;
    abandon_recording();
    library_holds_foreign_text = true;
}

[[maybe_unused]] const int fork_handler_registered =
    pthread_atfork(nullptr, nullptr, reset_in_child);

}  // namespace

engine_hold::engine_hold() noexcept : held_(false) {
    if (this_thread_holds_engine) return;
    pthread_mutex_lock(&engine_mutex);
    engine_in_use = true;
    this_thread_holds_engine = true;
    held_ = true;
    if (library_holds_foreign_text) drop_foreign_text();
}

engine_hold::~engine_hold() {
    if (!held_) return;
    this_thread_holds_engine = false;
    engine_in_use = false;
    pthread_mutex_unlock(&engine_mutex);
}
