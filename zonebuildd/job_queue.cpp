#include "job_queue.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

// The write end that job_queue_signal uses; set before any handler is installed.
volatile sig_atomic_t signal_fd = -1;

void close_fd(int &fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// A kind that already waits is not queued again: the waiting job has not started, so it
// serves the later request as well. A storm of signals thus leaves at most one job per kind.
void enqueue(job_queue &q, int kind) {
    if (kind == JOB_NONE)
        return;
    for (int waiting : q.jobs)
        if (waiting == kind)
            return;
    q.jobs.push_back(kind);
}

// Moves what the handlers wrote into the FIFO.
void take_in(job_queue &q) {
    if (q.rd < 0)
        return;
    unsigned char buf[256];
    while (true) {
        ssize_t n = read(q.rd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        for (ssize_t i = 0; i < n; ++i)
            enqueue(q, buf[i]);
    }
}

timespec monotonic_now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

// a - b, never below zero.
timespec remaining(const timespec &deadline, const timespec &now) {
    timespec r{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
    if (r.tv_nsec < 0) {
        r.tv_nsec += 1000000000L;
        r.tv_sec -= 1;
    }
    if (r.tv_sec < 0)
        return timespec{0, 0};
    return r;
}

} // namespace

int init_daemon_job_list(job_queue &q) {
    q.jobs.clear();
    close_fd(q.rd);
    close_fd(q.wr);
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        return -1;
    q.rd = fds[0];
    q.wr = fds[1];
    signal_fd = q.wr;
    return 0;
}

void destroy_daemon_job_list(job_queue &q) {
    q.jobs.clear();
    if (signal_fd == q.wr)
        signal_fd = -1;
    close_fd(q.rd);
    close_fd(q.wr);
}

void job_queue_forget(job_queue &q) {
    signal_fd = -1;
    close_fd(q.rd);
    close_fd(q.wr);
    q.jobs.clear();
}

void add_djob(job_queue &q, int kind) {
    take_in(q);
    enqueue(q, kind);
}

void job_queue_signal(int kind) {
    const int saved = errno;
    const int fd = signal_fd;
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(kind);
        ssize_t n = write(fd, &byte, 1);
        (void)n;
    }
    errno = saved;
}

int take_job(job_queue &q) {
    take_in(q);
    if (q.jobs.empty())
        return JOB_NONE;
    const int kind = q.jobs.front();
    q.jobs.pop_front();
    return kind;
}

bool job_queue_empty(job_queue &q) {
    take_in(q);
    return q.jobs.empty();
}

int job_queue_sleep(job_queue &q, struct timespec delay, const volatile sig_atomic_t &running) {
    const timespec start = monotonic_now();
    timespec deadline{start.tv_sec + delay.tv_sec, start.tv_nsec + delay.tv_nsec};
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_nsec -= 1000000000L;
        deadline.tv_sec += 1;
    }
    while (true) {
        if (!running || !job_queue_empty(q))
            return 1;
        const timespec left = remaining(deadline, monotonic_now());
        if (left.tv_sec == 0 && left.tv_nsec == 0)
            return 0;
        pollfd pfd{q.rd, POLLIN, 0};
        int rc = ppoll(&pfd, q.rd >= 0 ? 1 : 0, &left, nullptr);
        if (rc < 0 && errno != EINTR)
            return -1;
        // Woken (or interrupted): the top of the loop tells a job or a stop from a spurious
        // wake-up such as the stop request's own JOB_NONE byte on a still-running daemon.
    }
}
