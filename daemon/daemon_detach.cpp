#include "daemon_detach.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace {

int null_onto(int target) {
    const int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int rc = 0;
    if (fd != target) {
        rc = dup2(fd, target) < 0 ? -1 : 0;
        close(fd);
    }
    return rc;
}

} // namespace

int close_inherited_fds(std::initializer_list<int> keep) {
    closelog();
    std::vector<int> kept(keep.begin(), keep.end());
    std::sort(kept.begin(), kept.end());
    unsigned from = STDERR_FILENO + 1;
    for (int fd : kept) {
        if (fd < static_cast<int>(from))
            continue;
        if (static_cast<unsigned>(fd) > from && close_range(from, fd - 1, 0) != 0)
            return -1;
        from = static_cast<unsigned>(fd) + 1;
    }
    return close_range(from, ~0U, 0) == 0 ? 0 : -1;
}

starter_link::~starter_link() {
    if (fd_ >= 0)
        close(fd_); // the starter sees the end of the pipe: 1
}

void starter_link::send(unsigned char status) {
    if (fd_ < 0)
        return;
    ssize_t n;
    while ((n = write(fd_, &status, 1)) < 0 && errno == EINTR) {
    }
    close(fd_);
    fd_ = -1;
    fflush(stderr);
    null_onto(STDERR_FILENO);
}

void starter_link::ready() {
    send(0);
}

void starter_link::fail(int status) {
    send(static_cast<unsigned char>(status < 1 || status > 255 ? 1 : status));
}

int detach(starter_link &link) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) {
        const int err = errno;
        close(fds[0]);
        close(fds[1]);
        errno = err;
        return -1;
    }
    if (pid > 0) {
        close(fds[1]);
        unsigned char status = 1;
        ssize_t n;
        while ((n = read(fds[0], &status, 1)) < 0 && errno == EINTR) {
        }
        if (n != 1) {
            // Ended (or closed the pipe) without a word: a crash is a failed start.
            int wstatus = 0;
            status = 1;
            if (waitpid(pid, &wstatus, WNOHANG) == pid && WIFEXITED(wstatus) &&
                WEXITSTATUS(wstatus) != 0)
                status = static_cast<unsigned char>(WEXITSTATUS(wstatus));
        }
        _exit(status);
    }
    close(fds[0]);
    link.fd_ = fds[1];
    if (setsid() < 0) {
        link.fail(1);
        _exit(1);
    }
    if (null_onto(STDIN_FILENO) != 0 || null_onto(STDOUT_FILENO) != 0) {
        link.fail(1);
        _exit(1);
    }
    return 0;
}
