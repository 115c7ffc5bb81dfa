// A fork while another thread holds the engine (POSIX only: Windows has no
// fork).
#include <cstdio>
#include <string>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include "engine_test_support.h"
#include "lock_test_support.h"

namespace {

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
