#include "platform_locale.h"

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <locale.h>

// The Windows C runtime has no UTF-8 LC_CTYPE: the library's initialisation
// asks for C.UTF-8 in vain and falls back to the user's ANSI code page, in
// which the narrow classes (isspace, isalpha on the bytes of UTF-8 text)
// would take bytes of multibyte sequences for letters or spaces. Its wide
// classes (iswalpha and the rest) are Unicode's in every locale. The "C"
// LC_CTYPE, set on the synthesizing thread alone, gives both kinds of
// classes what C.UTF-8 gives them on POSIX: nothing needs to be kept.
character_classes* keep_current_character_classes() noexcept {
    return nullptr;
}

void release_character_classes(character_classes*) noexcept {}

namespace {

// What the thread used before: its per-thread setting and, when it had its
// own locale already, that locale's LC_CTYPE.
struct thread_setting {
    int mode;
    char* ctype;  // from _strdup, or null
};

}  // namespace

character_classes_scope::character_classes_scope(character_classes*) noexcept
    : previous_(nullptr) {
    auto* setting =
        static_cast<thread_setting*>(std::malloc(sizeof(thread_setting)));
    if (setting == nullptr) return;
    setting->mode = _configthreadlocale(_ENABLE_PER_THREAD_LOCALE);
    const char* ctype = setting->mode == _ENABLE_PER_THREAD_LOCALE
                            ? std::setlocale(LC_CTYPE, nullptr)
                            : nullptr;
    setting->ctype = ctype != nullptr ? _strdup(ctype) : nullptr;
    std::setlocale(LC_CTYPE, "C");
    previous_ = setting;
}

character_classes_scope::~character_classes_scope() {
    auto* setting = static_cast<thread_setting*>(previous_);
    if (setting == nullptr) return;
    if (setting->ctype != nullptr) std::setlocale(LC_CTYPE, setting->ctype);
    _configthreadlocale(setting->mode);
    std::free(setting->ctype);
    std::free(setting);
}
