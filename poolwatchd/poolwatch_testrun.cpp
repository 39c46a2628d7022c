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

program_run poolwatch_script_run(const std::string &path, const std::string &arg,
                                 const std::vector<std::string> &env, const script_limits &limits,
                                 const script_account &account) {
    program_run run;
    run.path = path;
    run.argv = {path, arg};
    run.env = env;
    run.limit = std::chrono::seconds(limits.timeout_s);
    run.grace = std::chrono::seconds(limits.grace_s);
    run.stop_fd = limits.stop_fd;
    if (account.switch_user)
        run.account = run_account{account.uid, account.gid, account.groups};
    return run;
}

int poolwatch_run_outcome(const run_result &run) {
    switch (run.end) {
    case RUN_EXITED:
        return run.exit_code == 0 ? OUTCOME_UP : OUTCOME_DOWN;
    case RUN_TIMED_OUT:
        return OUTCOME_DOWN;
    case RUN_EXEC_FAILED:
    case RUN_NOT_STARTED:
    case RUN_SIGNALLED:
    case RUN_STOPPED:
        return OUTCOME_NONE;
    }
    return OUTCOME_NONE;
}

std::string poolwatch_run_failure(const run_result &run) {
    switch (run.end) {
    case RUN_NOT_STARTED:
        return std::string("no process could be created: ") + strerror(run.error);
    case RUN_EXEC_FAILED:
        return std::string("the script could not be executed: ") + strerror(run.error);
    case RUN_SIGNALLED:
        return run.signal ? "the script was ended by signal " + std::to_string(run.signal)
                          : std::string("the script's end could not be seen");
    case RUN_STOPPED:
        return "the daemon is going down";
    case RUN_EXITED:
    case RUN_TIMED_OUT:
        break;
    }
    return "";
}

run_result poolwatch_launch_record_testscript(const pool_poll &p, const std::string &path,
                                              const std::string &arg,
                                              const std::vector<std::string> &env,
                                              const pool_record &rec, const script_limits &limits,
                                              const script_account &account) {
    const char *poll_name = p.name.c_str(), *type = rec.type.c_str(), *value = rec.value.c_str();
    LOGF(LOG_DEBUG,
         "Job:'%s %s' on behalf of poll:\"%s\", testing record type:\"%s\", value:\"%s\" has just "
         "been started.",
         path.c_str(), arg.c_str(), poll_name, type, value);
    const run_result run = run_child_program(poolwatch_script_run(path, arg, env, limits, account));
    // What the script left behind outside its group comes back to us: reap what has ended.
    run_reap_orphans();
    const int outcome = poolwatch_run_outcome(run);
    switch (run.end) {
    case RUN_NOT_STARTED:
        LOGF(LOG_ERR,
             "Internal error: system lacked the necessary resources to create another process, or "
             "maximum number of processes reached. Could not run job:'%s' for poll:\"%s\"",
             path.c_str(), poll_name);
        break;
    case RUN_EXEC_FAILED:
        LOGF(LOG_ERR, "Internal error: execve cannot launch job:'%s' on behalf of poll:\"%s\".",
             path.c_str(), poll_name);
        break;
    case RUN_EXITED:
        LOGF(LOG_NOTICE,
             "Job:'%s %s' on behalf of poll:\"%s\", testing record type:\"%s\", value:\"%s\", done",
             path.c_str(), arg.c_str(), poll_name, type, value);
        LOGF(LOG_DEBUG,
             "Job:'%s %s' on behalf poll:\"%s\", testing record type:\"%s\", value:\"%s\", exit "
             "status %s",
             path.c_str(), arg.c_str(), poll_name, type, value,
             outcome == OUTCOME_UP ? "SUCCESS" : "ERROR");
        break;
    case RUN_TIMED_OUT:
        LOGF(LOG_WARNING,
             "Job:'%s %s' on behalf of poll:\"%s\", testing record type:\"%s\", value:\"%s\", "
             "stopped due to timeout.",
             path.c_str(), arg.c_str(), poll_name, type, value);
        break;
    case RUN_STOPPED:
        LOGF(LOG_NOTICE,
             "Job:'%s %s' on behalf of poll:\"%s\", testing record type:\"%s\", value:\"%s\", "
             "stopped as the daemon is going down.",
             path.c_str(), arg.c_str(), poll_name, type, value);
        break;
    case RUN_SIGNALLED:
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
