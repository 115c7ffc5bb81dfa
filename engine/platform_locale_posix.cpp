#include "platform_locale.h"

#include <clocale>
#include <locale.h>

namespace {

locale_t locale_of(character_classes* classes) {
    return reinterpret_cast<locale_t>(classes);
}

}  // namespace

character_classes* keep_current_character_classes() noexcept {
    const char* ctype = std::setlocale(LC_CTYPE, nullptr);
    return reinterpret_cast<character_classes*>(
        newlocale(LC_CTYPE_MASK, ctype != nullptr ? ctype : "C", nullptr));
}

void release_character_classes(character_classes* classes) noexcept {
    if (classes != nullptr) freelocale(locale_of(classes));
}

// Nothing before the first initialisation kept any.
character_classes_scope::character_classes_scope(
    character_classes* kept) noexcept
    : previous_(kept != nullptr ? uselocale(locale_of(kept)) : nullptr) {}

character_classes_scope::~character_classes_scope() {
    if (previous_ != nullptr) uselocale(static_cast<locale_t>(previous_));
}
