// The character classes the library reads text with, one small interface
// per platform: platform_locale_posix.cpp and platform_locale_windows.cpp.
// Internal to the engine (and its tests).
#ifndef VYN_PLATFORM_LOCALE_H
#define VYN_PLATFORM_LOCALE_H

// A set of character classes as the platform keeps one (POSIX: a locale_t).
struct character_classes;

// The LC_CTYPE in force now, kept for later use on one thread; null where
// the platform keeps none (Windows: see platform_locale_windows.cpp).
character_classes* keep_current_character_classes() noexcept;
void release_character_classes(character_classes* classes) noexcept;

// Reads text on this thread with the library's character classes (those
// kept, where the platform keeps them) for its scope; the process keeps
// the host's locale.
class character_classes_scope {
public:
    explicit character_classes_scope(character_classes* kept) noexcept;
    character_classes_scope(const character_classes_scope&) = delete;
    character_classes_scope& operator=(const character_classes_scope&) =
        delete;
    ~character_classes_scope();

private:
    void* previous_;  // what the thread used before, to put back
};

#endif
