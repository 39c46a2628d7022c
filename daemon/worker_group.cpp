#include "worker_group.h"

#include "logging.h"
#include "signal_jobs.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using steady = std::chrono::steady_clock;

int open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

// Checks a reaped worker's status. 0 for a clean exit.
int worker_status(pid_t pid, int status) {
    if (WIFSIGNALED(status)) {
        LOGF(LOG_ERR, "Child[%d] was signaled with %d.", pid, WTERMSIG(status));
        return -1;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        LOGF(LOG_ERR, "Child[%d] exited with code %d.", pid, WEXITSTATUS(status));
        return -1;
    }
    LOGF(LOG_DEBUG, "Child[%d] terminated successfully.", pid);
    return 0;
}

} // namespace

void worker_progress::beat() const {
    ssize_t n = write(fd_, &slot_, sizeof slot_);
    (void)n;
}

worker_group::worker_group(std::chrono::seconds stall_limit, signal_jobs *jobs)
    : stall_limit_(stall_limit), jobs_(jobs) {}

worker_group::~worker_group() {
    stop_all();
    if (progress_rd_ >= 0)
        close(progress_rd_);
    if (progress_wr_ >= 0)
        close(progress_wr_);
}

int worker_group::start(const std::function<int(worker_progress &)> &body) {
    if (progress_rd_ < 0) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            LOGF(LOG_ERR, "Failed to create the progress pipe: %s", strerror(errno));
            return -1;
        }
        progress_rd_ = fds[0];
        progress_wr_ = fds[1];
        fcntl(progress_rd_, F_SETFL, O_NONBLOCK);
        fcntl(progress_wr_, F_SETFL, O_NONBLOCK);
    }
    const uint32_t slot = static_cast<uint32_t>(workers_.size());
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) {
        LOGF(LOG_ERR, "fork failed: %s", strerror(errno));
        return -1;
    }
    if (pid == 0) {
        int status = 1;
        // Nothing may unwind out of the worker into the parent's code that the fork copied.
        try {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (jobs_)
                jobs_->forget();
            close(progress_rd_);
            for (const worker &w : workers_)
                if (w.pidfd >= 0)
                    close(w.pidfd);
            worker_progress progress(progress_wr_, slot);
            status = body(progress);
        } catch (...) {
            LOGF(LOG_ERR, "Worker %u stopped by an unexpected error.", slot);
            status = 1;
        }
        fflush(stdout);
        fflush(stderr);
        _exit(status);
    }
    worker w;
    w.pid = pid;
    w.pidfd = open_pidfd(pid);
    w.last_progress = steady::now();
    workers_.push_back(w);
    return static_cast<int>(slot);
}

void worker_group::drain_progress() {
    if (progress_rd_ < 0)
        return;
    uint32_t buf[256];
    ssize_t n;
    while ((n = read(progress_rd_, buf, sizeof buf)) > 0) {
        const auto now = steady::now();
        for (ssize_t i = 0; i < n / static_cast<ssize_t>(sizeof buf[0]); ++i)
            if (buf[i] < workers_.size())
                workers_[buf[i]].last_progress = now;
    }
}

int worker_group::try_reap(worker &w, int &status) {
    const pid_t r = waitpid(w.pid, &status, WNOHANG);
    if (r == 0 || (r < 0 && errno == EINTR))
        return 0;
    if (r < 0) {
        LOGF(LOG_ERR, "Lost track of child[%d]: %s", w.pid, strerror(errno));
        status = -1;
    }
    if (w.pidfd >= 0)
        close(w.pidfd);
    w.pidfd = -1;
    w.pid = 0;
    return r < 0 ? -1 : 1;
}

int worker_group::wait() {
    while (true) {
        bool running = false;
        for (worker &w : workers_) {
            if (w.pid <= 0)
                continue;
            const pid_t pid = w.pid;
            int status = 0;
            const int r = try_reap(w, status);
            if (r < 0)
                return -1;
            if (r > 0) {
                if (worker_status(pid, status) != 0)
                    return -1;
                continue;
            }
            running = true;
        }
        if (!running)
            return 0;
        if (jobs_ && jobs_->abandoning()) {
            LOGF(LOG_ERR, "Stop requested again: abandoning the workers.");
            return -1;
        }
        drain_progress();
        auto wait = std::chrono::milliseconds(1000);
        const auto now = steady::now();
        for (const worker &w : workers_) {
            if (w.pid <= 0)
                continue;
            const auto idle = now - w.last_progress;
            if (idle >= stall_limit_) {
                LOGF(LOG_ERR, "Child[%d] made no progress for %ld seconds: stopping it.", w.pid,
                     static_cast<long>(stall_limit_.count()));
                return -1;
            }
            wait =
                std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(stall_limit_ - idle));
        }
        std::vector<pollfd> fds;
        fds.push_back({progress_rd_, POLLIN, 0});
        if (jobs_ && jobs_->wake_fd() >= 0) {
            jobs_->empty(); // takes in wake-up bytes; queued jobs stay queued
            fds.push_back({jobs_->wake_fd(), POLLIN, 0});
        }
        bool all_pidfds = true;
        for (const worker &w : workers_) {
            if (w.pid <= 0)
                continue;
            if (w.pidfd >= 0)
                fds.push_back({w.pidfd, POLLIN, 0});
            else
                all_pidfds = false;
        }
        if (!all_pidfds) // no process descriptor: look again in short steps
            wait = std::min(wait, std::chrono::milliseconds(20));
        const timespec timeout{static_cast<time_t>(wait.count() / 1000),
                               static_cast<long>(wait.count() % 1000) * 1000000L};
        ppoll(fds.data(), fds.size(), &timeout, nullptr);
    }
}

void worker_group::stop_all(std::chrono::milliseconds grace) {
    for (worker &w : workers_) {
        int status;
        if (w.pid > 0 && try_reap(w, status) == 0)
            kill(w.pid, SIGTERM);
    }
    const auto give_up = steady::now() + grace;
    while (running() > 0 && steady::now() < give_up) {
        for (worker &w : workers_) {
            int status;
            if (w.pid > 0)
                try_reap(w, status);
        }
        if (running() == 0)
            return;
        const timespec step{0, 10000000};
        nanosleep(&step, nullptr);
    }
    for (worker &w : workers_) {
        if (w.pid <= 0)
            continue;
        kill(w.pid, SIGKILL);
        int status;
        while (waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (w.pidfd >= 0)
            close(w.pidfd);
        w.pidfd = -1;
        w.pid = 0;
    }
}

size_t worker_group::running() const {
    return static_cast<size_t>(
        std::count_if(workers_.begin(), workers_.end(), [](const worker &w) { return w.pid > 0; }));
}

pid_t worker_group::pid(int slot) const {
    if (slot < 0 || static_cast<size_t>(slot) >= workers_.size())
        return 0;
    return workers_[slot].pid;
}
