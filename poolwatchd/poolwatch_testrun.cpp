#include "poolwatch_testrun.h"

#include "logging.h"
#include "numbers.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
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

bool poolwatch_valid_env_name(std::string_view name) {
    if (name.empty() || !(std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_'))
        return false;
    for (char c : name) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_'))
            return false;
    }
    if (name.substr(0, 3) == "LD_")
        return false;
    // Names a shell, the C library or the dynamic loader acts on.
    static const std::string_view refused[] = {"BASH_ENV",  "ENV",      "IFS", "PATH",
                                               "SHELLOPTS", "BASHOPTS", "PS4", "GCONV_PATH"};
    return std::find(std::begin(refused), std::end(refused), name) == std::end(refused);
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
                 "identifier and not one that shells or the loader act on, ignoring this "
                 "environment variable pair.",
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
            " SELECT z.name, rpr.zone_dns_records_id, zdr.value, zdr.entry_type, zdr.status "
            "FROM zone AS z,  zone_dns_records AS zdr,  rrobin_pool_records AS rpr  WHERE "
            "rpr.rrobin_pool_id = %d  AND rpr.zone_dns_records_id = zdr.id  AND zdr.zone_id "
            "= z.id",
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
        for (unsigned i = 0; i < 5; ++i)
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
        records.push_back(std::move(rec));
    }
    LOGF(LOG_DEBUG, "The resource records for poll: \"%s\"' have been fetched.", p.name.c_str());
    return 0;
}

namespace {

// Starts the script. The child is made with posix_spawn, which shares our memory until the
// exec (no page tables copied, no copy-on-write faults in a busy multithreaded daemon) and
// does only async-signal-safe work in between: its own process group, the default
// disposition of every signal and an empty mask (the daemon blocks its signals in every
// thread and execve would keep the mask and any ignored disposition, so the time limit's
// SIGTERM would never arrive), the null device as standard streams, and no descriptor
// above them. 0 with the child's pid, or an errno value (a failed exec included: the child
// has been reaped then).
int spawn_script(const char *path, char *const argv[], char *const envp[], pid_t &pid) {
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
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (!err)
            err = posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
    }
    // Whatever another thread opened without close-on-exec must not reach the script.
    if (!err)
        err = posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    if (!err)
        err = posix_spawn(&pid, path, &actions, &attr, argv, envp);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
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

// Waits for the child's end, enforcing the time limit: SIGTERM to its group at the limit and
// again every second, SIGKILL once the grace period after the first SIGTERM has passed.
// True when the limit was reached.
bool wait_with_limit(pid_t pid, const script_limits &limits) {
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    const auto limit = start + std::chrono::seconds(limits.timeout_s);
    bool terminating = false;
    clock::time_point next_term, kill_at;
    // A descriptor that becomes readable when the child ends; older kernels lack it.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));

    while (!child_ended(pid)) {
        const auto now = clock::now();
        if (!terminating && now >= limit) {
            terminating = true;
            kill(-pid, SIGTERM);
            next_term = now + std::chrono::seconds(1);
            kill_at = now + std::chrono::seconds(limits.grace_s);
        } else if (terminating && now >= kill_at) {
            kill(-pid, SIGKILL);
            kill_at = now + std::chrono::seconds(1);
        } else if (terminating && now >= next_term) {
            kill(-pid, SIGTERM);
            next_term = now + std::chrono::seconds(1);
        }
        auto next = terminating ? std::min(next_term, kill_at) : limit;
        auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(next - clock::now()).count();
        ms = std::clamp<long long>(ms, 1, 1000);
        if (pidfd >= 0) {
            struct pollfd pfd {
                pidfd, POLLIN, 0
            };
            ::poll(&pfd, 1, static_cast<int>(ms));
        } else {
            // No process descriptor: look again in short steps.
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min<long long>(ms, 10)));
        }
    }
    if (pidfd >= 0)
        close(pidfd);
    return terminating;
}

} // namespace

script_run poolwatch_run_script(const std::string &path, const std::string &arg,
                                const std::vector<std::string> &env, const script_limits &limits) {
    script_run run;
    std::vector<char *> argv = {const_cast<char *>(path.c_str()), const_cast<char *>(arg.c_str()),
                                nullptr};
    std::vector<char *> envp;
    envp.reserve(env.size() + 1);
    for (const std::string &pair : env)
        envp.push_back(const_cast<char *>(pair.c_str()));
    envp.push_back(nullptr);

    pid_t pid = -1;
    if (const int err = spawn_script(path.c_str(), argv.data(), envp.data(), pid)) {
        // The exec's own errors mean the process existed but could not become the script.
        const bool exec_failed = err == ENOENT || err == EACCES || err == ENOEXEC ||
                                 err == ENOTDIR || err == ELOOP || err == ETXTBSY ||
                                 err == ENAMETOOLONG || err == EISDIR || err == E2BIG;
        run.end = exec_failed ? SCRIPT_EXEC_FAILED : SCRIPT_NOT_STARTED;
        run.error = err;
        return run;
    }
    const bool timed_out = wait_with_limit(pid, limits);
    const int status = reap_group(pid);
    if (status < 0) {
        run.end = SCRIPT_SIGNALLED; // reaped elsewhere: how it ended is unknown
    } else if (timed_out) {
        // Whatever it did after the limit, a script that had to be stopped is no answer.
        run.end = SCRIPT_TIMED_OUT;
        run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    } else if (WIFEXITED(status)) {
        run.end = SCRIPT_EXITED;
        run.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) {
        run.end = SCRIPT_TIMED_OUT; // terminated from outside: same as the limit
        run.signal = SIGTERM;
    } else {
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
    case SCRIPT_EXEC_FAILED:
        return OUTCOME_DOWN;
    case SCRIPT_NOT_STARTED:
    case SCRIPT_SIGNALLED:
        return OUTCOME_UP;
    }
    return OUTCOME_UP;
}

int poolwatch_become_subreaper() {
    return prctl(PR_SET_CHILD_SUBREAPER, 1) == 0 ? 0 : -1;
}

int poolwatch_launch_record_testscript(const pool_poll &p, const std::string &path,
                                       const std::string &arg, const std::vector<std::string> &env,
                                       const pool_record &rec, const script_limits &limits) {
    const char *poll_name = p.name.c_str(), *type = rec.type.c_str(), *value = rec.value.c_str();
    LOGF(LOG_DEBUG,
         "Job:'%s %s' on behalf of poll:\"%s\", testing record type:\"%s\", value:\"%s\" has just "
         "been started.",
         path.c_str(), arg.c_str(), poll_name, type, value);
    const script_run run = poolwatch_run_script(path, arg, env, limits);
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
    case SCRIPT_SIGNALLED:
        LOGF(LOG_WARNING,
             "Job:'%s %s' on behalf of poll:\"%s\", testing record type:\"%s\", value:\"%s\", "
             "stopped due to an unknown reason.",
             path.c_str(), arg.c_str(), poll_name, type, value);
        break;
    }
    LOGF(LOG_DEBUG, "poll:%s, resource record:%s, previous status: %s, current status: %s",
         poll_name, value, rec.status == RECORD_DISABLED ? "DOWN" : "UP",
         outcome == OUTCOME_UP ? "UP" : "DOWN");
    return outcome;
}
