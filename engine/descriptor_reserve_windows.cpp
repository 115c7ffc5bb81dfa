#include "descriptor_reserve.h"

#include <cerrno>
#include <fcntl.h>
#include <io.h>

// The library opens its data through the C runtime there: the probe opens
// the null device through the same runtime, and only its running out of
// descriptors counts, as on POSIX.
bool descriptors_free(int count) noexcept {
    constexpr int max_probed = 8;
    if (count > max_probed) return false;
    int opened[max_probed];
    int n = 0;
    bool free = true;
    for (; n < count; ++n) {
        opened[n] = _open("NUL", _O_RDONLY);
        if (opened[n] < 0) {
            free = errno != EMFILE;
            break;
        }
    }
    for (int i = 0; i < n; ++i) _close(opened[i]);
    return free;
}
