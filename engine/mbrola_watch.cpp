#include "mbrola_watch.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <system_error>

#include "mbrola_pipes.h"

namespace {

constexpr char died_reason[] = "the MBROLA process died";
constexpr char stalled_reason[] =
    "the MBROLA process gave no samples for 5 s and was ended";
static_assert(mbrola_stall_seconds == 5, "stalled_reason names the time");

// How often the watch looks at the count of delivered blocks.
constexpr auto look_interval = std::chrono::seconds(1);

void kill_process(int process) {
#ifdef SYS_pidfd_send_signal
    syscall(SYS_pidfd_send_signal, process, SIGKILL, nullptr, 0);
#else
    (void)process;
#endif
}

// A process file descriptor reads as ready once its process has ended,
// whether or not the library has collected it yet.
bool process_ended(int process) {
    pollfd ended{process, POLLIN, 0};
    return poll(&ended, 1, 0) == 1;
}

}  // namespace

mbrola_watch::mbrola_watch(
    bool mbrola_voice,
    const std::atomic<std::uint64_t>& delivered_blocks) noexcept
    : delivered_blocks_(delivered_blocks) {
    if (!mbrola_voice || (process_ = noted_mbrola_process()) < 0) return;
    try {
        thread_ = std::thread(&mbrola_watch::watch, this);
    } catch (const std::system_error&) {
        // No thread: a stall goes unnoticed, a death still fails the text.
    }
}

void mbrola_watch::watch() {
    std::uint64_t seen = delivered_blocks_.load(std::memory_order_relaxed);
    auto last_delivery = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!done_) {
        done_changed_.wait_for(lock, look_interval);
        std::uint64_t count = delivered_blocks_.load(std::memory_order_relaxed);
        auto now = std::chrono::steady_clock::now();
        if (count != seen) {
            seen = count;
            last_delivery = now;
        } else if (!done_ && now - last_delivery >=
                                 std::chrono::seconds(mbrola_stall_seconds)) {
            stalled_ = true;
            kill_process(process_);
            return;
        }
    }
}

void mbrola_watch::stop() noexcept {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
    }
    done_changed_.notify_all();
    thread_.join();
}

const char* mbrola_watch::finish() noexcept {
    stop();
    if (process_ < 0) return nullptr;
    if (stalled_) return stalled_reason;
    return process_ended(process_) ? died_reason : nullptr;
}
