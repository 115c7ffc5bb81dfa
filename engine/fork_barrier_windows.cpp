// Windows has no fork: nothing waits for the scope.
#include "fork_barrier.h"

fork_barrier::fork_barrier() noexcept {}

fork_barrier::~fork_barrier() {}
