#include "descriptor_reserve.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Closes what the probe opened, on every path out of it.
class probe_descriptors {
public:
    static constexpr int max_probed = 8;

    probe_descriptors() = default;
    probe_descriptors(const probe_descriptors&) = delete;
    probe_descriptors& operator=(const probe_descriptors&) = delete;
    ~probe_descriptors() {
        for (int i = 0; i < opened_; ++i) close(descriptors_[i]);
    }

    // The first is a path-only descriptor of the root, which any process
    // may open; the others are copies of it, which touch no file system.
    bool open_one() {
        int descriptor = opened_ == 0
                             ? open("/", O_PATH | O_CLOEXEC)
                             : fcntl(descriptors_[0], F_DUPFD_CLOEXEC, 0);
        if (descriptor < 0) return false;
        descriptors_[opened_++] = descriptor;
        return true;
    }

private:
    int descriptors_[max_probed];
    int opened_ = 0;
};

}  // namespace

// Only the lack of descriptors (the process's limit or the system's) counts:
// a probe refused for another reason, a sandbox's rule say, tells nothing
// about them, and the call goes on as it would without it.
bool descriptors_free(int count) noexcept {
    if (count > probe_descriptors::max_probed) return false;
    probe_descriptors probe;
    for (int i = 0; i < count; ++i) {
        if (!probe.open_one()) return errno != EMFILE && errno != ENFILE;
    }
    return true;
}
