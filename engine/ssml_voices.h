// The voices an SSML text may change to, found as the library finds them,
// so the voice check can see each before the library selects it. Internal
// to the engine (and its tests).
#ifndef VYN_SSML_VOICES_H
#define VYN_SSML_VOICES_H

#include <string>
#include <vector>

// The value of every xml:lang attribute of any tag and of every name
// attribute of a voice tag, each as the library copies it (first
// occurrence per tag, cut to the library's field size). It errs towards
// finding more: a tag is whatever lies between '<' and the next '>'.
// May throw std::bad_alloc.
std::vector<std::string> ssml_voice_requests(const char* text);

#endif
