#include "phoneme_switch.h"

#include <espeak-ng/espeak_ng.h>

#include <type_traits>

// The library's header declares espeak_ng_SetPhonemeEvents from 1.52.0 on
// and has no version macro to tell. This stand-in, declared beside it in
// the global namespace, is what a call picks only where the library's own
// is missing (an exact match that is not a template is preferred).
namespace phoneme_switch_stand_in {
struct missing {};
template <typename... arguments>
missing espeak_ng_SetPhonemeEvents(arguments...) {
    return {};
}
}  // namespace phoneme_switch_stand_in
using namespace phoneme_switch_stand_in;

namespace {

constexpr bool switchable = !std::is_same_v<
    decltype(espeak_ng_SetPhonemeEvents(1, 1)), phoneme_switch_stand_in::missing>;

}  // namespace

bool phoneme_events_switchable() noexcept { return switchable; }

void switch_phoneme_events(bool on) noexcept {
    espeak_ng_SetPhonemeEvents(on ? 1 : 0, on ? 1 : 0);
}
