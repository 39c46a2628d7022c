#include "program_runner.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sched.h>
#include <set>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using steady = std::chrono::steady_clock;

struct fd_guard {
    int fd = -1;
    ~fd_guard() { reset(); }
    void reset() {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
};

// Moves `fd` above the standard descriptors (close-on-exec), so that a dup2 onto 0..2
// never meets it.
int above_std(int fd) {
    if (fd > STDERR_FILENO)
        return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(fd);
    return moved;
}

// The programs under way, by pid: run_reap_orphans leaves them to their runs. A pid is
// entered before anyone can see it end (the lock is held across the process's creation) and
// leaves once its run has reaped it.
struct child_registry {
    std::mutex lock;
    std::multiset<pid_t> pids;
};

child_registry &programs_under_way() {
    static child_registry registry;
    return registry;
}

void forget_program(pid_t pid) {
    child_registry &reg = programs_under_way();
    std::lock_guard guard(reg.lock);
    if (auto it = reg.pids.find(pid); it != reg.pids.end())
        reg.pids.erase(it);
}

int spawn(const program_run &run, char *const argv[], char *const envp[], int in_fd, int out_fd,
          pid_t &pid) {
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    if (int err = posix_spawnattr_init(&attr))
        return err;
    if (int err = posix_spawn_file_actions_init(&actions)) {
        posix_spawnattr_destroy(&attr);
        return err;
    }
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    int err = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF |
                                                  POSIX_SPAWN_SETSIGMASK);
    if (!err)
        err = posix_spawnattr_setpgroup(&attr, 0);
    if (!err)
        err = posix_spawnattr_setsigdefault(&attr, &all);
    if (!err)
        err = posix_spawnattr_setsigmask(&attr, &none);
    if (!err)
        err = in_fd >= 0 ? posix_spawn_file_actions_adddup2(&actions, in_fd, STDIN_FILENO)
                         : posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null",
                                                            O_RDONLY, 0);
    for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        if (!err)
            err = out_fd >= 0
                      ? posix_spawn_file_actions_adddup2(&actions, out_fd, fd)
                      : posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_WRONLY, 0);
    }
    // Whatever another thread opened without close-on-exec must not reach the program.
    if (!err)
        err = posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    if (!err)
        err = envp ? posix_spawn(&pid, run.path.c_str(), &actions, &attr, argv, envp)
                   : posix_spawn(&pid, run.path.c_str(), &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return err;
}

// What a process that changes its account needs, in memory it shares with us until the exec.
struct spawn_request {
    const char *path;
    char *const *argv;
    char *const *envp;
    int in_fd, out_fd;
    const run_account *account;
    int error; // set by the child when it cannot become the program
};

// The child's side of spawn_as. It runs in our memory, on its own stack, while the calling
// thread waits, so it makes raw system calls only: no C library state, no locks, no
// allocation, nothing a sanitizer intercepts.
__attribute__((no_sanitize("address", "undefined"))) int become_program(void *arg) {
    spawn_request *req = static_cast<spawn_request *>(arg);
    // Default dispositions: an ignored signal would stay ignored across the exec.
    struct {
        unsigned long handler, flags, restorer, mask;
    } dfl = {0, 0, 0, 0}; // the kernel's sigaction with SIG_DFL
    for (long sig = 1; sig <= 64; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP)
            syscall(SYS_rt_sigaction, sig, &dfl, nullptr, 8L);
    }
    syscall(SYS_setpgid, 0L, 0L);
    const long null_fd =
        syscall(SYS_openat, static_cast<long>(AT_FDCWD), "/dev/null", static_cast<long>(O_RDWR));
    if (null_fd < 0)
        goto fail;
    {
        const long sources[3] = {req->in_fd >= 0 ? req->in_fd : null_fd,
                                 req->out_fd >= 0 ? req->out_fd : null_fd,
                                 req->out_fd >= 0 ? req->out_fd : null_fd};
        for (long fd = 0; fd <= 2; ++fd) {
            if (sources[fd] != fd && syscall(SYS_dup3, sources[fd], fd, 0L) < 0)
                goto fail;
        }
    }
    // Whatever another thread opened without close-on-exec must not reach the program.
    syscall(SYS_close_range, 3L, ~0UL, 0L);
    {
        const run_account &a = *req->account;
        if (syscall(SYS_setgroups, static_cast<long>(a.groups.size()), a.groups.data()) != 0 ||
            syscall(SYS_setresgid, static_cast<long>(a.gid), static_cast<long>(a.gid),
                    static_cast<long>(a.gid)) != 0 ||
            syscall(SYS_setresuid, static_cast<long>(a.uid), static_cast<long>(a.uid),
                    static_cast<long>(a.uid)) != 0)
            goto fail;
    }
    {
        const unsigned long none = 0;
        syscall(SYS_rt_sigprocmask, static_cast<long>(SIG_SETMASK), &none, nullptr, 8L);
    }
    syscall(SYS_execve, req->path, req->argv, req->envp);
fail:
    req->error = errno;
    syscall(SYS_exit, 127L);
    return 127;
}

// Starts the program under another account. posix_spawn cannot change the account, so the
// process is made as posix_spawn makes it (clone with CLONE_VM and CLONE_VFORK: no page
// tables copied) and sets itself up with raw system calls. 0 with the pid, or an errno value
// with `exec_failed` telling whether a process existed but could not become the program (it
// has been reaped then).
int spawn_as(const program_run &run, char *const argv[], char *const envp[], int in_fd, int out_fd,
             pid_t &pid, bool &exec_failed) {
    constexpr size_t stack_size = 64 * 1024;
    std::unique_ptr<char[]> stack(new (std::nothrow) char[stack_size]);
    exec_failed = false;
    if (!stack)
        return ENOMEM;
    // The stack grows down from its 16-byte aligned top.
    void *top = reinterpret_cast<void *>((reinterpret_cast<uintptr_t>(stack.get()) + stack_size) &
                                         ~uintptr_t{15});
    spawn_request req{run.path.c_str(), argv, envp ? envp : environ, in_fd, out_fd,
                      &*run.account,    0};
    pid = clone(become_program, top, CLONE_VM | CLONE_VFORK | SIGCHLD, &req);
    if (pid < 0)
        return errno;
    if (req.error != 0) {
        int status;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        exec_failed = true;
        return req.error;
    }
    return 0;
}

// Starts the program and enters it in the registry before the registry's lock is given up.
int start_program(const program_run &run, char *const argv[], char *const envp[], int in_fd,
                  int out_fd, pid_t &pid, bool &exec_failed) {
    child_registry &reg = programs_under_way();
    std::lock_guard guard(reg.lock);
    int err;
    if (run.account) {
        err = spawn_as(run, argv, envp, in_fd, out_fd, pid, exec_failed);
    } else {
        err = spawn(run, argv, envp, in_fd, out_fd, pid);
        // The exec's own errors mean the process existed but could not become the program.
        exec_failed = err == ENOENT || err == EACCES || err == ENOEXEC || err == ENOTDIR ||
                      err == ELOOP || err == ETXTBSY || err == ENAMETOOLONG || err == EISDIR ||
                      err == E2BIG || err == EPERM;
    }
    if (err == 0)
        reg.pids.insert(pid);
    return err;
}

// Whether the child has ended, without reaping it (its process group stays valid).
bool child_ended(pid_t pid) {
    siginfo_t info{};
    while (waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        if (errno != EINTR)
            return true; // not our child any more: nothing left to wait for
    }
    return info.si_pid == pid;
}

int reap(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

// Kills what the ended program left in its group while the unreaped program still holds
// the group's id (so the signal cannot reach a stranger that got the number later), reaps
// the program and, as the reaper of orphans, the leftovers whose parent was the program.
int reap_group(pid_t pgid) {
    kill(-pgid, SIGKILL);
    const int status = reap(pgid);
    int reaper = 0;
    prctl(PR_GET_CHILD_SUBREAPER, &reaper);
    if (!reaper)
        return status;
    const auto give_up = steady::now() + std::chrono::seconds(2);
    while (steady::now() < give_up) {
        int ignored;
        const pid_t r = waitpid(-pgid, &ignored, WNOHANG);
        if (r > 0 || (r < 0 && errno == EINTR))
            continue;
        if (r < 0 && kill(-pgid, 0) != 0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return status;
}

// The parent's side of the standard streams while the program runs.
struct streams {
    int in = -1;  // input socket (non-blocking), -1 once all was written
    int out = -1; // output pipe (non-blocking), -1 at its end
    const std::string *input = nullptr;
    size_t written = 0;
    std::string *output = nullptr;
    size_t limit = 0;
    bool *truncated = nullptr;

    void feed() {
        while (in >= 0 && written < input->size()) {
            const ssize_t n = send(in, input->data() + written, input->size() - written,
                                   MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                written += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                return;
            break; // the program closed its input: the rest is not wanted
        }
        if (in >= 0) {
            close(in);
            in = -1;
        }
    }

    void drain() {
        char buf[4096];
        while (out >= 0) {
            const ssize_t n = read(out, buf, sizeof buf);
            if (n > 0) {
                const size_t room = limit > output->size() ? limit - output->size() : 0;
                const size_t keep = std::min(room, static_cast<size_t>(n));
                output->append(buf, keep);
                if (keep < static_cast<size_t>(n))
                    *truncated = true;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                return;
            close(out);
            out = -1;
        }
    }
};

enum wait_end { WAIT_ENDED, WAIT_TIMED_OUT, WAIT_STOPPED };

bool readable(int fd) {
    if (fd < 0)
        return false;
    pollfd pfd{fd, POLLIN, 0};
    return ::poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN);
}

// Waits for the program's end, enforcing the time limit: SIGTERM to its group at the limit
// (or when the stop descriptor becomes readable) and again every second, SIGKILL once the
// grace period has passed.
wait_end wait_with_limit(pid_t pid, const program_run &run, streams &io) {
    const auto limit = steady::now() + run.limit;
    wait_end why = WAIT_ENDED;
    steady::time_point next_term, kill_at;
    fd_guard pidfd;
#ifdef SYS_pidfd_open
    pidfd.fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#endif
    while (true) {
        io.feed();
        io.drain();
        if (child_ended(pid))
            break;
        const auto now = steady::now();
        if (why == WAIT_ENDED && (now >= limit || readable(run.stop_fd))) {
            why = now >= limit ? WAIT_TIMED_OUT : WAIT_STOPPED;
            kill(-pid, SIGTERM);
            next_term = now + std::chrono::seconds(1);
            kill_at = now + run.grace;
        } else if (why != WAIT_ENDED && now >= kill_at) {
            kill(-pid, SIGKILL);
            kill_at = now + std::chrono::seconds(1);
        } else if (why != WAIT_ENDED && now >= next_term) {
            kill(-pid, SIGTERM);
            next_term = now + std::chrono::seconds(1);
        }
        const auto next = why != WAIT_ENDED ? std::min(next_term, kill_at) : limit;
        auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - steady::now()).count();
        ms = std::clamp<long long>(ms, 1, 1000);
        if (pidfd.fd < 0)
            ms = std::min<long long>(ms, 10); // no process descriptor: look again soon
        pollfd fds[4];
        nfds_t n = 0;
        // Once stopping, the stop descriptor stays readable: it is not waited on again.
        if (why == WAIT_ENDED && run.stop_fd >= 0)
            fds[n++] = {run.stop_fd, POLLIN, 0};
        if (pidfd.fd >= 0)
            fds[n++] = {pidfd.fd, POLLIN, 0};
        if (io.out >= 0)
            fds[n++] = {io.out, POLLIN, 0};
        if (io.in >= 0)
            fds[n++] = {io.in, POLLOUT, 0};
        ::poll(fds, n, static_cast<int>(ms));
    }
    return why;
}

} // namespace

run_result run_child_program(const program_run &run) {
    run_result result;
    std::vector<std::string> args = run.argv;
    if (args.empty())
        args.push_back(run.path);
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_copy;
    std::vector<char *> envp;
    if (run.env) {
        env_copy = *run.env;
        for (std::string &e : env_copy)
            envp.push_back(e.data());
        envp.push_back(nullptr);
    }

    fd_guard in_child, in_parent, out_child, out_parent;
    if (run.input) {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
            result.error = errno;
            return result;
        }
        in_parent.fd = above_std(sv[0]);
        in_child.fd = above_std(sv[1]);
        if (in_parent.fd < 0 || in_child.fd < 0) {
            result.error = errno;
            return result;
        }
        shutdown(in_parent.fd, SHUT_RD);
        fcntl(in_parent.fd, F_SETFL, O_NONBLOCK);
    }
    if (run.capture) {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) {
            result.error = errno;
            return result;
        }
        out_parent.fd = above_std(p[0]);
        out_child.fd = above_std(p[1]);
        if (out_parent.fd < 0 || out_child.fd < 0) {
            result.error = errno;
            return result;
        }
        fcntl(out_parent.fd, F_SETFL, O_NONBLOCK);
    }

    pid_t pid = -1;
    bool exec_failed = false;
    if (const int err = start_program(run, argv.data(), run.env ? envp.data() : nullptr,
                                      in_child.fd, out_child.fd, pid, exec_failed)) {
        result.end = exec_failed ? RUN_EXEC_FAILED : RUN_NOT_STARTED;
        result.error = err;
        return result;
    }
    in_child.reset();
    out_child.reset();

    streams io;
    io.input = run.input ? &*run.input : nullptr;
    io.in = in_parent.fd;
    in_parent.fd = -1;
    io.out = out_parent.fd;
    out_parent.fd = -1;
    io.output = &result.output;
    io.limit = run.capture_limit;
    io.truncated = &result.truncated;

    const wait_end why = wait_with_limit(pid, run, io);
    const int status = reap_group(pid);
    forget_program(pid);
    // What the program wrote last; a leftover that escaped the group may hold the pipe, so
    // wait only briefly for its end.
    const auto give_up = steady::now() + std::chrono::milliseconds(200);
    while (io.out >= 0 && steady::now() < give_up) {
        io.drain();
        if (io.out >= 0) {
            pollfd pfd{io.out, POLLIN, 0};
            ::poll(&pfd, 1, 20);
        }
    }
    if (io.out >= 0)
        close(io.out);
    if (io.in >= 0)
        close(io.in);

    if (status < 0) {
        result.end = RUN_SIGNALLED; // reaped elsewhere: how it ended is unknown
    } else if (why == WAIT_STOPPED) {
        result.end = RUN_STOPPED;
        result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    } else if (why == WAIT_TIMED_OUT) {
        result.end = RUN_TIMED_OUT;
        result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    } else if (WIFEXITED(status)) {
        result.end = RUN_EXITED;
        result.exit_code = WEXITSTATUS(status);
    } else {
        result.end = RUN_SIGNALLED;
        result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    return result;
}

std::string run_result_text(const run_result &r) {
    switch (r.end) {
    case RUN_EXITED:
        return "exit code " + std::to_string(r.exit_code);
    case RUN_SIGNALLED:
        return "signal " + std::to_string(r.signal);
    case RUN_TIMED_OUT:
        return "timed out";
    case RUN_NOT_STARTED:
        return std::string("not started: ") + strerror(r.error);
    case RUN_EXEC_FAILED:
        return std::string("cannot be executed: ") + strerror(r.error);
    case RUN_STOPPED:
        return "stopped";
    }
    return "unknown";
}

int run_become_subreaper() {
    return prctl(PR_SET_CHILD_SUBREAPER, 1) == 0 ? 0 : -1;
}

void run_reap_orphans() {
    child_registry &reg = programs_under_way();
    std::lock_guard guard(reg.lock);
    while (true) {
        siginfo_t info{};
        if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0)
            return;
        // The kernel shows the first ended child only: a program whose run has yet to reap it
        // hides those behind it until then; the caller sweeps again after that run.
        if (reg.pids.count(info.si_pid))
            return;
        int ignored;
        waitpid(info.si_pid, &ignored, WNOHANG);
    }
}
