// Whether the pronunciation dictionary a voice loads can be read whole.
// eSpeak NG ignores a dictionary that fails to load (the voice then speaks
// silence) and walks a truncated one past its end while it selects the
// voice, so the engine reads the file itself before the library selects it.
// Internal to the engine (and its tests).
#ifndef VYN_VOICE_DICTIONARY_H
#define VYN_VOICE_DICTIONARY_H

#include <string>

// The path of the voice file voice_id (a path under the library's voices or
// lang directory, as espeak_VOICE.identifier gives it) where the library
// opens it, "" when there is none.
std::string voice_file_path(const char* voice_id);

// For the voice file voice_id: 0 when the dictionary it
// names holds the layout the library reads, or when no such voice file is
// there to name one; 1 when that dictionary is missing, unreadable,
// truncated or garbage. Each dictionary file is read once per process.
// Out of memory it throws std::bad_alloc, which the voice check turns into
// the call's failure: a refusal then would be remembered for the process.
int check_voice_dictionary(const char* voice_id);

// Forgets what was learned about dictionary files. For tests.
void forget_dictionary_checks() noexcept;

#endif
