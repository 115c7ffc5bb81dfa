// Watching the library's MBROLA process through a text in an MBROLA voice.
// Internal to the engine.
#ifndef VYN_MBROLA_WATCH_H
#define VYN_MBROLA_WATCH_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

// eSpeak NG waits for its MBROLA process for ever and says nothing when it
// dies: a dead process ends the text early, as if it were complete, and a
// stopped one holds the text without end. A text whose MBROLA process gives
// no samples for this long is stalled: the watch ends the process (SIGKILL),
// and the library then returns.
constexpr int mbrola_stall_seconds = 5;

// Watches the MBROLA process the library started for the voice just
// selected, from construction to finish(), when `mbrola_voice` is true and
// the process is known: a stall is a count of delivered blocks (kept by
// the recording's callback on the synthesizing thread) that stays still.
class mbrola_watch {
public:
    mbrola_watch(bool mbrola_voice,
                 const std::atomic<std::uint64_t>& delivered_blocks) noexcept;
    mbrola_watch(const mbrola_watch&) = delete;
    mbrola_watch& operator=(const mbrola_watch&) = delete;
    ~mbrola_watch() { stop(); }

    // Ends the watch after the text: why the text's audio is not whole (its
    // MBROLA process died, or stalled and was ended), or null.
    const char* finish() noexcept;

private:
    void watch();
    void stop() noexcept;

    const std::atomic<std::uint64_t>& delivered_blocks_;
    int process_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable done_changed_;
    bool done_ = false;
    bool stalled_ = false;
};

#endif
