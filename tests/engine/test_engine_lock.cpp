// One call at a time holds the engine: concurrent callers, and a fork while
// another thread holds it. (A call from inside a call: the module's signal
// tests.)
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include "engine_test_support.h"

namespace {

synthesis_control control_of(int (*should_stop)(void*), void* context) {
    synthesis_control control{};
    control.callbacks.should_stop = should_stop;
    control.callbacks.context = context;
    return control;
}

int call(const std::string& path, std::vector<fragment_entry> table,
         synthesis_control* control = nullptr) {
    int rate = 0;
    unsigned int synthesized = 0;
    return synthesize_fragments(path.c_str(), table.data(), 0,
                                static_cast<unsigned int>(table.size()), 0,
                                &rate, &synthesized, control);
}

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

struct gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool inside = false;
    bool go = false;
};

// Holds a call between its fragments until the test lets it go.
int hold_at_gate(void* context) {
    auto& gate = *static_cast<struct gate*>(context);
    std::unique_lock<std::mutex> lock(gate.mutex);
    gate.inside = true;
    gate.changed.notify_all();
    gate.changed.wait(lock, [&] { return gate.go; });
    return 0;
}

void wait_inside(gate& gate) {
    std::unique_lock<std::mutex> lock(gate.mutex);
    gate.changed.wait(lock, [&] { return gate.inside; });
}

void open_gate(gate& gate) {
    std::lock_guard<std::mutex> lock(gate.mutex);
    gate.go = true;
    gate.changed.notify_all();
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

// Another thread is between fragments, with samples still buffered for its
// file, when this one forks: the child can call at once, and neither its
// call nor its exit (which flushes every stream) writes to the parent's file.
TEST_F(engine_test, fork_child_has_a_free_engine_and_spares_the_parents_file) {
    gate gate;
    synthesis_control control = control_of(hold_at_gate, &gate);
    int parent_status = -1;
    std::thread caller([&] {
        parent_status = call(path_, table_of({"0.13#1", "0.1#2"}), &control);
    });
    wait_inside(gate);
    std::string child_path = directory_ + "/child.wav";
    pid_t child = fork();
    if (child == 0) {
        bool ok = call(child_path, table_of({"0.1#7"})) == 0 &&
                  read_wave(child_path).marks() == std::vector<short>{7};
        // What exit() does to every stream, without the leak check that
        // would count the parent's threads' memory.
        std::fflush(nullptr);
        _exit(ok ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    int child_status = -1;
    ASSERT_EQ(waitpid(child, &child_status, 0), child);
    open_gate(gate);
    caller.join();
    EXPECT_TRUE(WIFEXITED(child_status) && WEXITSTATUS(child_status) == 0);
    EXPECT_EQ(parent_status, 0);
    wave_contents file = read_wave(path_);
    EXPECT_TRUE(file.sizes_match());
    EXPECT_EQ(file.samples().size(), 2867u + 2205u);
    EXPECT_EQ(file.marks(), (std::vector<short>{1, 2}));
}

}  // namespace
