#include "mbrola_pipes.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The library keeps three pipe ends to its MBROLA process: its input, its
// output and its error output.
constexpr int mbrola_pipe_ends = 3;

struct held_pipe {
    int fd;
    dev_t device;
    ino_t inode;
};

// Written under the engine's serialisation; read by the fork handler, which
// checks each descriptor against its pipe before touching it.
held_pipe held[mbrola_pipe_ends];
volatile int held_count = 0;
// The noted process, closed in a forked child: that process is the parent's.
int mbrola_pidfd = -1;

// In the child after fork: only async-signal-safe calls.
void release_in_child() {
    int null_fd = -1;
    for (int i = 0; i < held_count; ++i) {
        struct stat status;
        if (fstat(held[i].fd, &status) != 0 ||
            status.st_dev != held[i].device || status.st_ino != held[i].inode)
            continue;
        if (null_fd < 0) null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null_fd < 0) break;
        dup2(null_fd, held[i].fd);  // the library's number stays valid
    }
    if (null_fd >= 0) close(null_fd);
    held_count = 0;
    if (mbrola_pidfd >= 0) close(mbrola_pidfd);
    mbrola_pidfd = -1;
}

bool read_link(const char* path, char* target, std::size_t size) {
    ssize_t length = readlink(path, target, size - 1);
    if (length <= 0) return false;
    target[length] = '\0';
    return true;
}

// The library keeps /proc/PID/stat of its MBROLA process open.
long mbrola_pid_in(const char* target) {
    long pid = 0;
    char rest[8] = "";
    if (std::sscanf(target, "/proc/%ld/%7s", &pid, rest) != 2 ||
        std::strcmp(rest, "stat") != 0)
        return 0;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/comm", pid);
    char name[16] = "";
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    ssize_t length = read(fd, name, sizeof name - 1);
    close(fd);
    return length > 0 && std::strncmp(name, "mbrola\n", 7) == 0 ? pid : 0;
}

long find_mbrola_pid() {
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) return 0;
    long pid = 0;
    while (dirent* entry = readdir(fds)) {
        char path[sizeof "/proc/self/fd/" + sizeof entry->d_name];
        char target[64];
        std::snprintf(path, sizeof path, "/proc/self/fd/%s", entry->d_name);
        if (read_link(path, target, sizeof target) &&
            (pid = mbrola_pid_in(target)) != 0)
            break;
    }
    closedir(fds);
    return pid;
}

// Pipe inodes are what readlink shows as "pipe:[INODE]".
unsigned long pipe_inode_of(long pid, int fd) {
    char path[64];
    char target[64];
    std::snprintf(path, sizeof path, "/proc/%ld/fd/%d", pid, fd);
    unsigned long inode = 0;
    if (!read_link(path, target, sizeof target) ||
        std::sscanf(target, "pipe:[%lu]", &inode) != 1)
        return 0;
    return inode;
}

void hold_if_mbrola_pipe(int fd, const unsigned long* inodes, int& count) {
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISFIFO(status.st_mode)) return;
    for (int end = 0; end < mbrola_pipe_ends; ++end) {
        if (inodes[end] != 0 && status.st_ino == inodes[end]) {
            fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
            held[count++] = held_pipe{fd, status.st_dev, status.st_ino};
            return;
        }
    }
}

int open_process(long pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
#else
    (void)pid;
    return -1;
#endif
}

void note_process(long pid) {
    if (mbrola_pidfd >= 0) close(mbrola_pidfd);
    mbrola_pidfd = pid != 0 ? open_process(pid) : -1;
}

}  // namespace

int noted_mbrola_process() noexcept { return mbrola_pidfd; }

void note_mbrola_pipes() noexcept {
    static bool handler_registered = false;
    if (!handler_registered)
        handler_registered =
            pthread_atfork(nullptr, nullptr, release_in_child) == 0;
    held_count = 0;
    long pid = find_mbrola_pid();
    note_process(pid);
    if (pid == 0) return;
    unsigned long inodes[mbrola_pipe_ends];
    for (int end = 0; end < mbrola_pipe_ends; ++end)
        inodes[end] = pipe_inode_of(pid, end);
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) return;
    int count = 0;
    while (dirent* entry = readdir(fds)) {
        if (count == mbrola_pipe_ends) break;
        int fd = std::atoi(entry->d_name);
        if (entry->d_name[0] != '.' && fd != dirfd(fds))
            hold_if_mbrola_pipe(fd, inodes, count);
    }
    closedir(fds);
    held_count = count;
}
