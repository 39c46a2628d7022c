#include "poolwatch_testrun.h"

#include "logging.h"
#include "numbers.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sched.h>
#include <set>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

int poolwatch_script_path(const std::string &dir, const std::string &script,
                          const std::string &protocol, std::string &path) {
    if (script.empty() || script == "." || script == ".." ||
        script.find('/') != std::string::npos || script.find('\0') != std::string::npos) {
        LOGF(LOG_ERR,
             "Script:'%s' of protocol:\"%s\" is refused: a test script must be a plain file name "
             "inside POOLWATCH_D.",
             script.c_str(), protocol.c_str());
        return -1;
    }
    path = dir;
    if (path.empty() || path.back() != '/')
        path += '/';
    path += script;
    return 0;
}

std::string poolwatch_build_cmd_args(const std::string &test_url, const std::string &value) {
    size_t at = test_url.find("$RR");
    if (at == std::string::npos)
        at = test_url.find("$rr");
    if (at == std::string::npos)
        return test_url;
    std::string arg = test_url;
    arg.replace(at, 3, value);
    return arg;
}

namespace {

struct refused_name {
    std::string_view name;
    bool prefix;
};

// See poolwatch_valid_env_name; upper case.
constexpr refused_name refused_names[] = {
    // C library and dynamic loader
    {"LD_", true},
    {"MALLOC_", true},
    {"GLIBC_TUNABLES", false},
    {"GCONV_PATH", false},
    {"LOCPATH", false},
    {"NLSPATH", false},
    {"HOSTALIASES", false},
    {"LOCALDOMAIN", false},
    {"RES_OPTIONS", false},
    {"RESOLV_", true},
    {"TZDIR", false},
    {"GETCONF_DIR", false},
    {"MEMUSAGE_", true},
    {"SEGFAULT_", true},
    {"LIBC_FATAL_STDERR_", false},
    // shells
    {"PATH", false},
    {"IFS", false},
    {"ENV", false},
    {"BASH_", true},
    {"SHELLOPTS", false},
    {"BASHOPTS", false},
    {"CDPATH", false},
    {"GLOBIGNORE", false},
    {"PS1", false},
    {"PS2", false},
    {"PS3", false},
    {"PS4", false},
    {"PROMPT_COMMAND", false},
    {"HISTFILE", false},
    {"INPUTRC", false},
    {"ZDOTDIR", false},
    {"HOME", false},
    // interpreters
    {"PERL", true},
    {"PYTHON", true},
    {"BROWSER", false},
    {"NODE_", true},
    {"NPM_CONFIG_", true},
    {"RUBY", true},
    {"GEM_", true},
    {"BUNDLE_", true},
    {"PHPRC", false},
    {"PHP_", true},
    {"JAVA_TOOL_OPTIONS", false},
    {"_JAVA_OPTIONS", false},
    {"JDK_JAVA_OPTIONS", false},
    {"CLASSPATH", false},
    {"TCL", true},
    {"LUA_", true},
    // tools a script may call
    {"OPENSSL_", true},
    {"CURL_HOME", false},
    {"WGETRC", false},
    {"GIT_", true},
    {"XDG_", true},
};

} // namespace

bool poolwatch_valid_env_name(std::string_view name) {
    if (name.empty() || !(std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_'))
        return false;
    std::string upper;
    for (char c : name) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_'))
            return false;
        upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return std::none_of(std::begin(refused_names), std::end(refused_names),
                        [&](const refused_name &r) {
                            return r.prefix ? upper.starts_with(r.name) : upper == r.name;
                        });
}

std::vector<std::string> poolwatch_build_environment(const std::vector<env_row> &rows,
                                                     const std::string &poll_name) {
    std::vector<std::string> env;
    env.reserve(rows.size() + 1);
    env.push_back("TIMEOUT=20");
    for (const env_row &row : rows) {
        if (!row.name || row.name->empty()) {
            LOGF(LOG_WARNING,
                 "Empty value for 'param' field from table 'rrobin_protocol_options', poll:\"%s\", "
                 "ignoring current environment var.",
                 poll_name.c_str());
            continue;
        }
        if (!row.value || row.value->empty()) {
            LOGF(LOG_WARNING,
                 "Empty value for 'value' field from table 'rrobin_protocol_options', poll:\"%s\", "
                 "ignoring current value.",
                 poll_name.c_str());
            continue;
        }
        const std::string &name = *row.name, &value = *row.value;
        if (name.size() + 1 + value.size() > POOLWATCH_ENV_PAIR_MAX) {
            LOGF(LOG_WARNING,
                 "Pair:'%s=%s''s length is greater than imposed limit:%d, poll:\"%s\", ignoring "
                 "this environment variable pair.",
                 name.c_str(), value.c_str(), static_cast<int>(POOLWATCH_ENV_PAIR_MAX),
                 poll_name.c_str());
            continue;
        }
        if (!poolwatch_valid_env_name(name) || value.find('\0') != std::string::npos) {
            LOGF(LOG_WARNING,
                 "Environment variable:'%s' is refused for poll:\"%s\": a name must be a plain "
                 "identifier and not one that the C library, a shell or an interpreter reads at "
                 "start-up, ignoring this environment variable pair.",
                 name.c_str(), poll_name.c_str());
            continue;
        }
        if (name == "TIMEOUT")
            env[0] = name + "=" + value;
        else
            env.push_back(name + "=" + value);
    }
    return env;
}

int poolwatch_fetch_poll_environment(sql_conn *db, const pool_poll &p,
                                     std::vector<std::string> &env) {
    sql_result res;
    if (fr_sql_query(db, &res,
                     " SELECT param, value  FROM rrobin_protocol_options WHERE rrobin_pool_id = %d",
                     p.id) != 0) {
        LOGF(LOG_ERR, "Cannot read the options of poll:\"%s\" (%s).", p.name.c_str(),
             fr_sql_error(db).c_str());
        return -1;
    }
    std::vector<env_row> rows;
    while (sql_row row = fr_sql_fetchrow(res))
        rows.push_back({row.text(0), row.text(1)});
    env = poolwatch_build_environment(rows, p.name);
    return 0;
}

int poolwatch_fetch_poll_resource_records(sql_conn *db, const pool_poll &p,
                                          std::vector<pool_record> &records) {
    records.clear();
    sql_result res;
    if (fr_sql_query(
            db, &res,
            " SELECT z.name, rpr.zone_dns_records_id, zdr.value, zdr.entry_type, zdr.status, "
            "z.id, z.status FROM zone AS z,  zone_dns_records AS zdr,  rrobin_pool_records AS rpr "
            " WHERE rpr.rrobin_pool_id = %d  AND rpr.zone_dns_records_id = zdr.id  AND "
            "zdr.zone_id = z.id",
            p.id) != 0) {
        LOGF(LOG_ERR, "Cannot read the resource records of poll:\"%s\" (%s).", p.name.c_str(),
             fr_sql_error(db).c_str());
        return -1;
    }
    if (fr_sql_numrows(res) == 0) {
        LOGF(LOG_WARNING,
             "It seems that poll:\"%s\"'s resource records have been erased since last DB "
             "interrogation.",
             p.name.c_str());
        return 0;
    }
    while (sql_row row = fr_sql_fetchrow(res)) {
        bool complete = true;
        for (unsigned i = 0; i < 7; ++i)
            complete = complete && !row.is_null(i);
        if (!complete) {
            LOGF(LOG_ERR, "Database inconsistensy found, check tables zone, zone_dns_records and "
                          "rrobin_pool_records.");
            continue;
        }
        pool_record rec;
        rec.zone = std::string(row.view(0));
        rec.id = str_toint32(row.view(1));
        rec.value = std::string(row.view(2));
        rec.type = std::string(row.view(3));
        rec.status = str_toint32(row.view(4));
        // A pool switches records of its own zone only, and none in a zone that is not active.
        if (str_toint32(row.view(5)) != p.zone_id) {
            LOGF(LOG_WARNING,
                 "Resource record with id:%d belongs to zone:\"%s\", not to the zone of "
                 "poll:\"%s\", ignoring.",
                 rec.id, rec.zone.c_str(), p.name.c_str());
            continue;
        }
        if (str_toint32(row.view(6)) != 1) {
            LOGF(LOG_NOTICE, "Zone:\"%s\" is not active, poll:\"%s\" leaves its records alone.",
                 rec.zone.c_str(), p.name.c_str());
            continue;
        }
        records.push_back(std::move(rec));
    }
    LOGF(LOG_DEBUG, "The resource records for poll: \"%s\"' have been fetched.", p.name.c_str());
    return 0;
}

namespace {

// The scripts under way, by pid: the orphan reaper leaves them to their workers. A pid is
// entered before anyone can see it end (the lock is held across the process's creation) and
// leaves once its worker has reaped it.
struct script_registry {
    std::mutex lock;
    std::multiset<pid_t> pids;
};

script_registry &scripts_under_way() {
    static script_registry registry;
    return registry;
}

// What the new process needs, in memory it shares with us until the exec.
struct spawn_request {
    const char *path;
    char *const *argv;
    char *const *envp;
    const script_account *account;
    int error; // set by the child when it cannot become the script
};

// The child's side of spawn_script. It runs in our memory, on its own stack, while the
// calling thread waits, so it makes raw system calls only: no C library state, no locks, no
// allocation, nothing a sanitizer intercepts.
__attribute__((no_sanitize("address", "undefined"))) int become_script(void *arg) {
    spawn_request *req = static_cast<spawn_request *>(arg);
    // Default dispositions: an ignored signal would stay ignored across the exec, and the time
    // limit's SIGTERM must reach the script.
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
    for (long fd = 0; fd <= 2; ++fd) {
        if (fd != null_fd && syscall(SYS_dup3, null_fd, fd, 0L) < 0)
            goto fail;
    }
    // Whatever another thread opened without close-on-exec must not reach the script.
    syscall(SYS_close_range, 3L, ~0UL, 0L);
    if (req->account->switch_user) {
        const script_account &a = *req->account;
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

// Starts the script. The process shares our memory until its exec (clone with CLONE_VM and
// CLONE_VFORK, as posix_spawn does: no page tables copied, no copy-on-write faults in a busy
// multithreaded daemon), sets up its process group, signals, standard streams and account,
// then becomes the script. The pid is entered in the registry before the registry's lock
// is given up. 0 with the child's pid; or an errno value with `exec_failed` telling whether
// a process existed but could not become the script (it has been reaped then).
int spawn_script(spawn_request &req, pid_t &pid, bool &exec_failed) {
    constexpr size_t stack_size = 64 * 1024;
    std::unique_ptr<char[]> stack(new (std::nothrow) char[stack_size]);
    exec_failed = false;
    if (!stack)
        return ENOMEM;
    // The stack grows down from its 16-byte aligned top.
    void *top = reinterpret_cast<void *>((reinterpret_cast<uintptr_t>(stack.get()) + stack_size) &
                                         ~uintptr_t{15});
    req.error = 0;
    script_registry &reg = scripts_under_way();
    std::lock_guard guard(reg.lock);
    pid = clone(become_script, top, CLONE_VM | CLONE_VFORK | SIGCHLD, &req);
    if (pid < 0)
        return errno;
    if (req.error != 0) {
        int status;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        exec_failed = true;
        return req.error;
    }
    reg.pids.insert(pid);
    return 0;
}

void forget_script(pid_t pid) {
    script_registry &reg = scripts_under_way();
    std::lock_guard guard(reg.lock);
    if (auto it = reg.pids.find(pid); it != reg.pids.end())
        reg.pids.erase(it);
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

// Reaps the ended script and whatever it left in its process group. The leftovers are
// killed while the unreaped script still holds the group's id, so the signal cannot reach
// a stranger that later gets the same number. As the reaper of orphans this process also
// collects the leftovers whose parent was the script; without that role they go to init.
int reap_group(pid_t pgid) {
    kill(-pgid, SIGKILL);
    const int status = reap(pgid);
    int reaper = 0;
    prctl(PR_GET_CHILD_SUBREAPER, &reaper);
    if (!reaper)
        return status;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < give_up) {
        int ignored;
        const pid_t r = waitpid(-pgid, &ignored, WNOHANG);
        if (r > 0 || (r < 0 && errno == EINTR))
            continue;
        // None of ours left to reap: done once the group has no member either (a member
        // whose parent is still dying comes to us in a moment).
        if (r < 0 && kill(-pgid, 0) != 0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return status;
}

enum wait_end { WAIT_ENDED, WAIT_TIMED_OUT, WAIT_STOPPED };

bool readable(int fd) {
    if (fd < 0)
        return false;
    struct pollfd pfd {
        fd, POLLIN, 0
    };
    return ::poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN);
}

// Waits for the child's end, enforcing the time limit: SIGTERM to its group at the limit (or
// when the daemon stops) and again every second, SIGKILL once the grace period after the
// first SIGTERM has passed.
wait_end wait_with_limit(pid_t pid, const script_limits &limits) {
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    const auto limit = start + std::chrono::seconds(limits.timeout_s);
    wait_end why = WAIT_ENDED;
    clock::time_point next_term, kill_at;
    // A descriptor that becomes readable when the child ends; older kernels lack it.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));

    while (!child_ended(pid)) {
        const auto now = clock::now();
        if (why == WAIT_ENDED && (now >= limit || readable(limits.stop_fd))) {
            why = now >= limit ? WAIT_TIMED_OUT : WAIT_STOPPED;
            kill(-pid, SIGTERM);
            next_term = now + std::chrono::seconds(1);
            kill_at = now + std::chrono::seconds(limits.grace_s);
        } else if (why != WAIT_ENDED && now >= kill_at) {
            kill(-pid, SIGKILL);
            kill_at = now + std::chrono::seconds(1);
        } else if (why != WAIT_ENDED && now >= next_term) {
            kill(-pid, SIGTERM);
            next_term = now + std::chrono::seconds(1);
        }
        auto next = why != WAIT_ENDED ? std::min(next_term, kill_at) : limit;
        auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(next - clock::now()).count();
        ms = std::clamp<long long>(ms, 1, 1000);
        if (pidfd >= 0) {
            struct pollfd pfd[2] = {{pidfd, POLLIN, 0}, {limits.stop_fd, POLLIN, 0}};
            // Once stopping, the stop descriptor stays readable: wait on the child alone.
            const nfds_t n = why == WAIT_ENDED && limits.stop_fd >= 0 ? 2 : 1;
            ::poll(pfd, n, static_cast<int>(ms));
        } else {
            // No process descriptor: look again in short steps.
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min<long long>(ms, 10)));
        }
    }
    if (pidfd >= 0)
        close(pidfd);
    return why;
}

} // namespace

script_run poolwatch_run_script(const std::string &path, const std::string &arg,
                                const std::vector<std::string> &env, const script_limits &limits,
                                const script_account &account) {
    script_run run;
    std::vector<char *> argv = {const_cast<char *>(path.c_str()), const_cast<char *>(arg.c_str()),
                                nullptr};
    std::vector<char *> envp;
    envp.reserve(env.size() + 1);
    for (const std::string &pair : env)
        envp.push_back(const_cast<char *>(pair.c_str()));
    envp.push_back(nullptr);

    spawn_request req{path.c_str(), argv.data(), envp.data(), &account, 0};
    pid_t pid = -1;
    bool exec_failed = false;
    if (const int err = spawn_script(req, pid, exec_failed)) {
        run.end = exec_failed ? SCRIPT_EXEC_FAILED : SCRIPT_NOT_STARTED;
        run.error = err;
        poolwatch_reap_orphans();
        return run;
    }
    const wait_end why = wait_with_limit(pid, limits);
    const int status = reap_group(pid);
    forget_script(pid);
    poolwatch_reap_orphans();
    if (status < 0) {
        run.end = SCRIPT_SIGNALLED; // reaped elsewhere: how it ended is unknown
    } else if (why == WAIT_STOPPED) {
        run.end = SCRIPT_STOPPED;
        run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    } else if (why == WAIT_TIMED_OUT) {
        // Whatever it did after the limit, a script that had to be stopped is no answer.
        run.end = SCRIPT_TIMED_OUT;
        run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    } else if (WIFEXITED(status)) {
        run.end = SCRIPT_EXITED;
        run.exit_code = WEXITSTATUS(status);
    } else {
        // Killed from elsewhere (an administrator, the service manager, the kernel) or
        // crashed: the test did not finish.
        run.end = SCRIPT_SIGNALLED;
        run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    return run;
}

int poolwatch_run_outcome(const script_run &run) {
    switch (run.end) {
    case SCRIPT_EXITED:
        return run.exit_code == 0 ? OUTCOME_UP : OUTCOME_DOWN;
    case SCRIPT_TIMED_OUT:
        return OUTCOME_DOWN;
    case SCRIPT_EXEC_FAILED:
    case SCRIPT_NOT_STARTED:
    case SCRIPT_SIGNALLED:
    case SCRIPT_STOPPED:
        return OUTCOME_NONE;
    }
    return OUTCOME_NONE;
}

std::string poolwatch_run_failure(const script_run &run) {
    switch (run.end) {
    case SCRIPT_NOT_STARTED:
        return std::string("no process could be created: ") + strerror(run.error);
    case SCRIPT_EXEC_FAILED:
        return std::string("the script could not be executed: ") + strerror(run.error);
    case SCRIPT_SIGNALLED:
        return run.signal ? "the script was ended by signal " + std::to_string(run.signal)
                          : std::string("the script's end could not be seen");
    case SCRIPT_STOPPED:
        return "the daemon is going down";
    case SCRIPT_EXITED:
    case SCRIPT_TIMED_OUT:
        break;
    }
    return "";
}

int poolwatch_become_subreaper() {
    return prctl(PR_SET_CHILD_SUBREAPER, 1) == 0 ? 0 : -1;
}

void poolwatch_reap_orphans() {
    script_registry &reg = scripts_under_way();
    std::lock_guard guard(reg.lock);
    while (true) {
        siginfo_t info{};
        if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0)
            return;
        // The kernel shows the first ended child only: a script whose worker has yet to reap
        // it hides those behind it until then, and that worker sweeps again afterwards.
        if (reg.pids.count(info.si_pid))
            return;
        int ignored;
        waitpid(info.si_pid, &ignored, WNOHANG);
    }
}

script_run poolwatch_launch_record_testscript(const pool_poll &p, const std::string &path,
                                              const std::string &arg,
                                              const std::vector<std::string> &env,
                                              const pool_record &rec, const script_limits &limits,
                                              const script_account &account) {
    const char *poll_name = p.name.c_str(), *type = rec.type.c_str(), *value = rec.value.c_str();
    LOGF(LOG_DEBUG,
         "Job:'%s %s' on behalf of poll:\"%s\", testing record type:\"%s\", value:\"%s\" has just "
         "been started.",
         path.c_str(), arg.c_str(), poll_name, type, value);
    const script_run run = poolwatch_run_script(path, arg, env, limits, account);
    const int outcome = poolwatch_run_outcome(run);
    switch (run.end) {
    case SCRIPT_NOT_STARTED:
        LOGF(LOG_ERR,
             "Internal error: system lacked the necessary resources to create another process, or "
             "maximum number of processes reached. Could not run job:'%s' for poll:\"%s\"",
             path.c_str(), poll_name);
        break;
    case SCRIPT_EXEC_FAILED:
        LOGF(LOG_ERR, "Internal error: execve cannot launch job:'%s' on behalf of poll:\"%s\".",
             path.c_str(), poll_name);
        break;
    case SCRIPT_EXITED:
        LOGF(LOG_NOTICE,
             "Job:'%s %s' on behalf of poll:\"%s\", testing record type:\"%s\", value:\"%s\", done",
             path.c_str(), arg.c_str(), poll_name, type, value);
        LOGF(LOG_DEBUG,
             "Job:'%s %s' on behalf poll:\"%s\", testing record type:\"%s\", value:\"%s\", exit "
             "status %s",
             path.c_str(), arg.c_str(), poll_name, type, value,
             outcome == OUTCOME_UP ? "SUCCESS" : "ERROR");
        break;
    case SCRIPT_TIMED_OUT:
        LOGF(LOG_WARNING,
             "Job:'%s %s' on behalf of poll:\"%s\", testing record type:\"%s\", value:\"%s\", "
             "stopped due to timeout.",
             path.c_str(), arg.c_str(), poll_name, type, value);
        break;
    case SCRIPT_STOPPED:
        LOGF(LOG_NOTICE,
             "Job:'%s %s' on behalf of poll:\"%s\", testing record type:\"%s\", value:\"%s\", "
             "stopped as the daemon is going down.",
             path.c_str(), arg.c_str(), poll_name, type, value);
        break;
    case SCRIPT_SIGNALLED:
        LOGF(LOG_WARNING,
             "Job:'%s %s' on behalf of poll:\"%s\", testing record type:\"%s\", value:\"%s\", "
             "stopped due to an unknown reason.",
             path.c_str(), arg.c_str(), poll_name, type, value);
        break;
    }
    if (outcome != OUTCOME_NONE)
        LOGF(LOG_DEBUG, "poll:%s, resource record:%s, previous status: %s, current status: %s",
             poll_name, value, rec.status == RECORD_DISABLED ? "DOWN" : "UP",
             outcome == OUTCOME_UP ? "UP" : "DOWN");
    return run;
}
