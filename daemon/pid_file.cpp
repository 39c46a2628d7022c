#include "pid_file.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

// The paths this process holds: running() must not open them (a close would drop the lock).
// A forked child inherits the list but not the locks: each entry names its holder.
struct held_entry {
    std::string path;
    pid_t holder;
};
std::mutex held_mutex;
std::vector<held_entry> &held_paths() {
    static std::vector<held_entry> paths;
    return paths;
}

bool held_here(const std::string &path) {
    std::lock_guard<std::mutex> guard(held_mutex);
    const pid_t self = getpid();
    for (const held_entry &e : held_paths())
        if (e.path == path && e.holder == self)
            return true;
    return false;
}

void note_held(const std::string &path, bool held) {
    std::lock_guard<std::mutex> guard(held_mutex);
    auto &paths = held_paths();
    if (held) {
        paths.push_back({path, getpid()});
        return;
    }
    auto it = std::find_if(paths.begin(), paths.end(),
                           [&](const held_entry &e) { return e.path == path; });
    if (it != paths.end())
        paths.erase(it);
}

int lock_whole(int fd) {
    struct flock lk {};
    lk.l_type = F_WRLCK;
    lk.l_whence = SEEK_SET;
    return fcntl(fd, F_SETLK, &lk);
}

// The pid of the process holding a lock on `fd`'s file; 0 when none; -1 on an error.
pid_t lock_holder(int fd) {
    struct flock lk {};
    lk.l_type = F_WRLCK;
    lk.l_whence = SEEK_SET;
    if (fcntl(fd, F_GETLK, &lk) != 0)
        return -1;
    if (lk.l_type == F_UNLCK)
        return 0;
    return lk.l_pid > 0 ? lk.l_pid : -1;
}

// A pid file's text: digits only, one final newline allowed, above 1. -1 otherwise.
pid_t parse_pid(const char *text, size_t len) {
    if (len > 0 && text[len - 1] == '\n')
        --len;
    if (len == 0 || len > 10)
        return -1;
    long long value = 0;
    for (size_t i = 0; i < len; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    if (value <= 1 || value > INT_MAX)
        return -1;
    return static_cast<pid_t>(value);
}

int pidfd_open_(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    errno = ENOSYS;
    return -1;
#endif
}

int pidfd_send_signal_(int pidfd, int sig) {
#ifdef SYS_pidfd_send_signal
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
#else
    (void)pidfd;
    (void)sig;
    errno = ENOSYS;
    return -1;
#endif
}

} // namespace

pid_file::pid_file(pid_file &&other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) {
    other.fd_ = -1;
}

pid_file &pid_file::operator=(pid_file &&other) noexcept {
    if (this != &other) {
        release();
        fd_ = other.fd_;
        path_ = std::move(other.path_);
        other.fd_ = -1;
    }
    return *this;
}

pid_file::~pid_file() {
    release();
}

pid_file_status pid_file::lock(const std::string &path) {
    release();
    if (path.empty() || path[0] != '/')
        return PID_FILE_NOT_ABSOLUTE;
    int fd = -1;
    // A holder removes the file before it unlocks: a lock won on a file that is gone from
    // the path proves nothing, so open what the path names now and try again.
    for (int attempt = 0; attempt < 5 && fd < 0; ++attempt) {
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0644);
        if (fd < 0)
            return PID_FILE_OPEN_FAILED;
        if (lock_whole(fd) != 0) {
            const int err = errno;
            close(fd);
            errno = err;
            return (err == EACCES || err == EAGAIN) ? PID_FILE_HELD : PID_FILE_OPEN_FAILED;
        }
        struct stat held, named;
        if (fstat(fd, &held) != 0 || stat(path.c_str(), &named) != 0 ||
            held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
            close(fd);
            fd = -1;
        }
    }
    if (fd < 0) {
        errno = ENOENT;
        return PID_FILE_OPEN_FAILED;
    }
    const std::string text = std::to_string(getpid());
    if (ftruncate(fd, 0) != 0 ||
        pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
        const int err = errno;
        unlink(path.c_str());
        close(fd);
        errno = err;
        return PID_FILE_WRITE_FAILED;
    }
    fd_ = fd;
    path_ = path;
    note_held(path_, true);
    return PID_FILE_LOCKED;
}

void pid_file::release(bool remove) {
    if (fd_ < 0)
        return;
    // The file goes first: a new daemon must not lock a file that is about to vanish.
    if (remove)
        unlink(path_.c_str());
    note_held(path_, false);
    close(fd_);
    fd_ = -1;
}

void pid_file::forget() {
    if (fd_ < 0)
        return;
    note_held(path_, false);
    close(fd_);
    fd_ = -1;
}

pid_t pid_file::running(const std::string &path) {
    if (path.empty() || path[0] != '/')
        return -1;
    if (held_here(path))
        return getpid();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
    if (fd < 0)
        return errno == ENOENT ? 0 : -1;
    const pid_t holder = lock_holder(fd);
    char buf[32];
    ssize_t n;
    while ((n = pread(fd, buf, sizeof buf, 0)) < 0 && errno == EINTR) {
    }
    close(fd);
    if (holder == 0)
        return 0; // a leftover: nobody holds it, whatever number it names
    if (holder < 0 || n < 0)
        return -1;
    const pid_t pid = parse_pid(buf, static_cast<size_t>(n));
    if (pid <= 1 || pid != holder)
        return -1;
    return pid;
}

daemon_process::daemon_process(daemon_process &&other) noexcept
    : pid_(other.pid_), pidfd_(other.pidfd_) {
    other.pid_ = 0;
    other.pidfd_ = -1;
}

daemon_process &daemon_process::operator=(daemon_process &&other) noexcept {
    if (this != &other) {
        reset();
        pid_ = other.pid_;
        pidfd_ = other.pidfd_;
        other.pid_ = 0;
        other.pidfd_ = -1;
    }
    return *this;
}

daemon_process::~daemon_process() {
    reset();
}

void daemon_process::reset() {
    if (pidfd_ >= 0)
        close(pidfd_);
    pidfd_ = -1;
    pid_ = 0;
}

signal_status daemon_process::find(const std::string &path) {
    reset();
    const pid_t pid = pid_file::running(path);
    if (pid == 0)
        return SIGNAL_NOT_RUNNING;
    if (pid < 0)
        return SIGNAL_UNKNOWN;
    const int pidfd = pidfd_open_(pid);
    if (pidfd < 0 && errno == ESRCH)
        return SIGNAL_NOT_RUNNING;
    if (pidfd < 0 && errno != ENOSYS)
        return SIGNAL_FAILED;
    // The descriptor names this very process from now on; is it still the holder?
    const pid_t again = pid_file::running(path);
    if (again != pid) {
        if (pidfd >= 0)
            close(pidfd);
        return again == 0 ? SIGNAL_NOT_RUNNING : SIGNAL_UNKNOWN;
    }
    pid_ = pid;
    pidfd_ = pidfd;
    return SIGNAL_SENT;
}

signal_status daemon_process::signal(int sig) const {
    if (pid_ <= 1)
        return SIGNAL_NOT_RUNNING;
    // Without process descriptors the lock check of find() must do.
    const int rc = pidfd_ >= 0 ? pidfd_send_signal_(pidfd_, sig) : kill(pid_, sig);
    if (rc == 0)
        return SIGNAL_SENT;
    return errno == ESRCH ? SIGNAL_NOT_RUNNING : SIGNAL_FAILED;
}

signal_status signal_daemon(const std::string &path, int sig, pid_t &pid) {
    daemon_process daemon;
    const signal_status found = daemon.find(path);
    pid = daemon.pid();
    if (found != SIGNAL_SENT)
        return found;
    return daemon.signal(sig);
}

const char *pid_file_status_text(pid_file_status status) {
    switch (status) {
    case PID_FILE_LOCKED:
        return "locked";
    case PID_FILE_OPEN_FAILED:
        return "cannot be opened";
    case PID_FILE_HELD:
        return "held by another process";
    case PID_FILE_WRITE_FAILED:
        return "cannot be written";
    case PID_FILE_NOT_ABSOLUTE:
        return "not an absolute path";
    }
    return "unknown";
}
