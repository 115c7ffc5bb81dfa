// One call at a time holds the engine: concurrent callers, and a waiting
// caller asked to stop (a fork while another thread holds it:
// test_fork_posix.cpp; a call from inside a call: the module's signal
// tests).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "engine_test_support.h"
#include "lock_test_support.h"

namespace {

// Each caller's file holds its own fragments only. (The ThreadSanitizer run
// of these tests sees any access to the engine's state outside the lock.)
TEST_F(engine_test, concurrent_callers_each_get_their_own_file) {
    auto work = [this](short mark, bool* ok) {
        std::string path = directory_ + "/" + std::to_string(mark) + ".wav";
        std::string text = "0.05#" + std::to_string(mark);
        *ok = true;
        for (int round = 0; round < 20; ++round) {
            *ok &= call(path, table_of({text.c_str(), text.c_str()})) == 0;
            wave_contents file = read_wave(path);
            *ok &= file.sizes_match() &&
                   file.marks() == std::vector<short>{mark} &&
                   file.samples().size() == 2 * 1103u;
        }
    };
    bool first = false, second = false;
    std::thread other(work, short{4}, &second);
    work(3, &first);
    other.join();
    EXPECT_TRUE(first);
    EXPECT_TRUE(second);
}

// A caller waiting for the engine is asked whether to stop while it waits;
// one that stops fails without touching its path, one that does not gets
// the engine when it comes free.
TEST_F(engine_test, waiting_caller_is_asked_whether_to_stop) {
    gate gate;
    synthesis_control holder = control_of(hold_at_gate, &gate);
    std::thread caller(
        [&] { call(path_, table_of({"0.1#1", "0.1#2"}), &holder); });
    wait_inside(gate);
    struct asks {
        std::atomic<int> count{0};
        int stop_at;
    } stopping{{0}, 3}, patient{{0}, 0};
    auto ask = [](void* context) {
        auto& asked = *static_cast<asks*>(context);
        return ++asked.count == asked.stop_at ? 1 : 0;
    };
    synthesis_control stops = control_of(ask, &stopping);
    std::string stopped_path = directory_ + "/stopped.wav";
    EXPECT_EQ(call(stopped_path, table_of({"0.1"}), &stops), 1);
    EXPECT_EQ(stopping.count, 3);
    EXPECT_FALSE(read_wave(stopped_path).exists);
    synthesis_control waits = control_of(ask, &patient);
    int waiter_status = -1;
    std::string waiter_path = directory_ + "/waiter.wav";
    std::thread waiter([&] {
        waiter_status = call(waiter_path, table_of({"0.1#5"}), &waits);
    });
    while (patient.count == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    open_gate(gate);
    caller.join();
    waiter.join();
    EXPECT_EQ(waiter_status, 0);
    EXPECT_EQ(read_wave(waiter_path).marks(), std::vector<short>{5});
}

}  // namespace
