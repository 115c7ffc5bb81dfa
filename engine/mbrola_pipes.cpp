#include "mbrola_pipes.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The library keeps three pipe ends to its MBROLA process (its input, its
// output and its error output, in this order of mbrola's descriptors 0 to
// 2) and the process's /proc/PID/stat, by which it tells whether MBROLA is
// idle.
enum class mbrola_end { input, output, errors, status };
constexpr int mbrola_pipe_ends = 3;
constexpr int mbrola_ends = mbrola_pipe_ends + 1;

struct held_end {
    int fd;
    dev_t device;
    ino_t inode;
    mbrola_end end;
};

// Written under the engine's serialisation; read by the fork handler, which
// checks each descriptor against its file before touching it.
held_end held[mbrola_ends];
volatile int held_count = 0;
// The noted process, closed in a forked child: that process is the parent's.
int mbrola_pidfd = -1;

// How /proc/PID/stat of an idle (sleeping) MBROLA begins: the library
// reads its first 20 bytes.
constexpr char idle_status[] = "0 (mbrola) S 0 0 0 0 0 0 0 0 0\n";

// In the child after fork (only async-signal-safe calls and plain system
// calls): the library's copies become quiet stand-ins, under the same
// numbers. Its input takes anything; its outputs never have data nor an end
// (an event counter at zero); the status says idle. Whatever the library
// then does for the parent's unfinished MBROLA text finds an idle MBROLA
// that has nothing more to say, and stops without a word to the parent's.
int quiet_stand_in(mbrola_end end) {
    if (end == mbrola_end::input)
        return open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (end != mbrola_end::status)
        return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int file = memfd_create("mbrola-idle", MFD_CLOEXEC);
    if (file >= 0 && write(file, idle_status, sizeof idle_status - 1) !=
                         static_cast<ssize_t>(sizeof idle_status - 1)) {
        close(file);
        return -1;
    }
    return file;
}

void release_in_child() {
    for (int i = 0; i < held_count; ++i) {
        struct stat status;
        if (fstat(held[i].fd, &status) != 0 ||
            status.st_dev != held[i].device || status.st_ino != held[i].inode)
            continue;
        int stand_in = quiet_stand_in(held[i].end);
        if (stand_in < 0) continue;
        dup3(stand_in, held[i].fd, O_CLOEXEC);
        close(stand_in);
    }
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

void hold(int fd, const struct stat& status, mbrola_end end, int& count) {
    fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
    held[count++] = held_end{fd, status.st_dev, status.st_ino, end};
}

// Finds the process by the status file the library keeps open, and holds
// that file.
long find_mbrola_pid(int& count) {
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) return 0;
    long pid = 0;
    while (dirent* entry = readdir(fds)) {
        char path[sizeof "/proc/self/fd/" + sizeof entry->d_name];
        char target[64];
        std::snprintf(path, sizeof path, "/proc/self/fd/%s", entry->d_name);
        if (!read_link(path, target, sizeof target) ||
            (pid = mbrola_pid_in(target)) == 0)
            continue;
        int fd = std::atoi(entry->d_name);
        struct stat status;
        if (fstat(fd, &status) == 0)
            hold(fd, status, mbrola_end::status, count);
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
            hold(fd, status, static_cast<mbrola_end>(end), count);
            return;
        }
    }
}

int open_process(long pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(
        syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
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
    int count = 0;
    long pid = find_mbrola_pid(count);
    note_process(pid);
    held_count = count;
    if (pid == 0) return;
    unsigned long inodes[mbrola_pipe_ends];
    for (int end = 0; end < mbrola_pipe_ends; ++end)
        inodes[end] = pipe_inode_of(pid, end);
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) return;
    while (dirent* entry = readdir(fds)) {
        if (count == mbrola_ends) break;
        int fd = std::atoi(entry->d_name);
        if (entry->d_name[0] != '.' && fd != dirfd(fds))
            hold_if_mbrola_pipe(fd, inodes, count);
    }
    closedir(fds);
    held_count = count;
}

const char* mbrola_unavailable() noexcept { return nullptr; }
