#include "signal_jobs.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

// The write end the handlers use; set before any handler is installed.
volatile sig_atomic_t signal_fd = -1;
// Job kind per signal number (0: not a job signal).
volatile sig_atomic_t kind_of[NSIG] = {};

void close_fd(int &fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

extern "C" void on_job_signal(int sig) {
    if (sig > 0 && sig < NSIG)
        signal_jobs::signal_kind(kind_of[sig]);
}

// Counting stops at this is enough: callers tell the first request from a further one.
constexpr sig_atomic_t max_stop_requests = 100;

// From a handler and from normal context alike: a lock-free compare-and-swap, so that a
// signal arriving in the middle loses no request.
void count_stop_request() {
    volatile sig_atomic_t *count = &signal_jobs::stop_flag();
    sig_atomic_t seen = __atomic_load_n(count, __ATOMIC_SEQ_CST);
    while (seen < max_stop_requests &&
           !__atomic_compare_exchange_n(count, &seen, seen + 1, false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST)) {
    }
}

extern "C" void on_stop_signal(int) {
    count_stop_request();
    signal_jobs::signal_kind(0);
}

timespec monotonic_now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

// deadline - now, never below zero.
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

volatile sig_atomic_t &signal_jobs::stop_flag() {
    static volatile sig_atomic_t flag = 0;
    return flag;
}

void signal_jobs::signal_kind(int kind) {
    const int saved = errno;
    const int fd = signal_fd;
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(kind);
        ssize_t n = write(fd, &byte, 1); // a full pipe drops the request (thousands pending)
        (void)n;
    }
    errno = saved;
}

signal_jobs::signal_jobs(collapse_rule rule) : rule_(rule) {
    sigemptyset(&job_signals_);
    sigemptyset(&stop_signals_);
}

signal_jobs::~signal_jobs() {
    if (signal_fd == wr_)
        signal_fd = -1;
    close_fd(rd_);
    close_fd(wr_);
}

int signal_jobs::open() {
    jobs_.clear();
    stop_flag() = 0;
    if (signal_fd == wr_)
        signal_fd = -1;
    close_fd(rd_);
    close_fd(wr_);
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        return -1;
    rd_ = fds[0];
    wr_ = fds[1];
    signal_fd = wr_;
    return 0;
}

int signal_jobs::install(std::initializer_list<signal_job> map, std::initializer_list<int> stop) {
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    for (const signal_job &j : map)
        sigaddset(&sa.sa_mask, j.signal);
    for (int sig : stop)
        sigaddset(&sa.sa_mask, sig);
    sa.sa_flags = SA_RESTART;
    sigemptyset(&job_signals_);
    sigemptyset(&stop_signals_);
    for (const signal_job &j : map) {
        if (j.signal <= 0 || j.signal >= NSIG || j.kind <= 0 || j.kind > 255) {
            errno = EINVAL;
            return -1;
        }
        kind_of[j.signal] = j.kind;
        sigaddset(&job_signals_, j.signal);
        sa.sa_handler = on_job_signal;
        if (sigaction(j.signal, &sa, nullptr) != 0)
            return -1;
    }
    sa.sa_handler = on_stop_signal;
    for (int sig : stop) {
        sigaddset(&stop_signals_, sig);
        if (sigaction(sig, &sa, nullptr) != 0)
            return -1;
    }
    return 0;
}

void signal_jobs::push(int kind) {
    if (kind <= 0)
        return;
    if (rule_ == COLLAPSE_CONSECUTIVE ? (!jobs_.empty() && jobs_.back() == kind)
                                      : std::find(jobs_.begin(), jobs_.end(), kind) != jobs_.end())
        return;
    jobs_.push_back(kind);
}

void signal_jobs::take_in() {
    if (rd_ < 0)
        return;
    unsigned char buf[256];
    while (true) {
        const ssize_t n = read(rd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        for (ssize_t i = 0; i < n; ++i)
            push(buf[i]);
    }
}

void signal_jobs::add(int kind) {
    take_in();
    push(kind);
}

int signal_jobs::take() {
    take_in();
    if (jobs_.empty())
        return 0;
    const int kind = jobs_.front();
    jobs_.pop_front();
    return kind;
}

bool signal_jobs::empty() {
    take_in();
    return jobs_.empty();
}

std::deque<int> signal_jobs::waiting() {
    take_in();
    return jobs_;
}

void signal_jobs::request_stop() {
    count_stop_request();
    if (wr_ >= 0) {
        const unsigned char byte = 0;
        ssize_t n = write(wr_, &byte, 1);
        (void)n;
    }
}

int signal_jobs::sleep(struct timespec delay) {
    const timespec start = monotonic_now();
    timespec deadline{start.tv_sec + delay.tv_sec, start.tv_nsec + delay.tv_nsec};
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_nsec -= 1000000000L;
        deadline.tv_sec += 1;
    }
    while (true) {
        if (stopping() || !empty())
            return 1;
        const timespec left = remaining(deadline, monotonic_now());
        if (left.tv_sec == 0 && left.tv_nsec == 0)
            return 0;
        pollfd pfd{rd_, POLLIN, 0};
        const int rc = ppoll(&pfd, rd_ >= 0 ? 1 : 0, &left, nullptr);
        if (rc < 0 && errno != EINTR)
            return -1;
        // Woken or interrupted: the top of the loop tells a job or a stop from a wake-up
        // that asked for nothing.
    }
}

void signal_jobs::forget() {
    signal_fd = -1;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sigismember(&job_signals_, sig) == 1)
            signal(sig, SIG_IGN);
        else if (sigismember(&stop_signals_, sig) == 1)
            signal(sig, sig == SIGTERM ? SIG_DFL : SIG_IGN);
    }
    close_fd(rd_);
    close_fd(wr_);
    jobs_.clear();
}
