// zonefeed: asks the zone feed daemon for work (an import run, an import of chosen clients'
// feeds, a configuration reread or a stop) and exits without waiting for the job.
#include "tool_common.h"
#include "tool_jobs.h"

#include "logging.h"

#include <csignal>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace {

// The user and group the tool acts as once the daemon was found (looked up as root only).
struct run_ids {
    bool known = false;
    uid_t uid = 0;
    gid_t gid = 0;
};

int lookup_run_ids(const std::optional<std::string> &user, const std::optional<std::string> &group,
                   run_ids &ids) {
    const std::string user_name = user.value_or("zonaris");
    const std::string group_name = group.value_or("zonaris");
    if (getuid() != 0) {
        LOGF(LOG_DEBUG, "We are not root. We won't change the run user/group.");
        return 0;
    }
    const struct passwd *pw = getpwnam(user_name.c_str());
    if (!pw) {
        LOGF(LOG_ERR, "Unknown run user '%s'.", user_name.c_str());
        return -1;
    }
    ids.uid = pw->pw_uid;
    const struct group *gr = getgrnam(group_name.c_str());
    if (!gr) {
        LOGF(LOG_ERR, "Unknown run group '%s'.", group_name.c_str());
        return -1;
    }
    ids.gid = gr->gr_gid;
    ids.known = true;
    return 0;
}

int drop_privileges(const run_ids &ids) {
    if (!ids.known)
        return 0;
    // Root's supplementary groups must not stay with the tool.
    if (setgroups(1, &ids.gid) != 0 || setgid(ids.gid) != 0) {
        LOGF(LOG_ERR, "Failed to change group id.");
        return -1;
    }
    if (setuid(ids.uid) != 0) {
        LOGF(LOG_ERR, "Failed to change user id.");
        return -1;
    }
    return 0;
}

struct signal_action {
    int sig;
    const char *event;   // nullptr: no event row
    const char *message; // logged at level 6 once the signal was sent
};

signal_action action_of(zonefeed_mode mode) {
    switch (mode) {
    case zonefeed_mode::import:
        return {SIGUSR1, "Signal sent. Import", "Signaled daemon to update everything."};
    case zonefeed_mode::import_all:
        return {SIGUSR2, "Signal sent. Import all",
                "Signaled daemon to ignore the normal schedule and update everything."};
    case zonefeed_mode::client_import:
        return {SIGTTIN, "Signal sent. Import all",
                "Signaled daemon to run a remote update for the specified client."};
    case zonefeed_mode::reread:
        return {SIGHUP, "Signal sent. Reread config",
                "Signaled daemon to reload the configuration file."};
    case zonefeed_mode::stop:
        return {SIGTERM, "Signal sent. Stopping daemon", "Signaled daemon to stop."};
    case zonefeed_mode::check:
        break;
    }
    return {0, nullptr, nullptr};
}

} // namespace

int main(int argc, const char **argv) {
    const tool_identity &tool = zonefeed_identity;
    if (tool_start(tool) != 0)
        return 1;

    zonefeed_request request;
    if (int status = zonefeed_parse_args(argc, argv, request); status != args_ok)
        return status;

    tool_settings settings;
    std::optional<std::string> run_user, run_group;
    if (tool_read_config(tool, settings,
                         {{"ZONEFEED_USER", CONFIG_STR, nullptr, &run_user},
                          {"ZONEFEED_GROUP", CONFIG_STR, nullptr, &run_group}}) != 0)
        return 1;
    run_ids ids;
    if (lookup_run_ids(run_user, run_group, ids) != 0) {
        fail_init(tool);
        return 1;
    }
    if (tool_check_db_settings(tool, settings) != 0)
        return 1;
    sql_handle db = tool_connect_db(settings);
    if (!db) {
        fail_init(tool);
        return 1;
    }
    tool_apply_db_log_level(db.get(), settings);

    daemon_process daemon;
    if (tool_find_daemon(tool, settings, daemon) != 0)
        return 1;
    if (drop_privileges(ids) != 0)
        return 1;

    if (request.mode == zonefeed_mode::check) {
        LOGF(LOG_INFO, "%s is running.", tool.daemon);
        return 0;
    }
    if (request.mode == zonefeed_mode::client_import &&
        queue_client_imports(db.get(), request.client_ids) != 0) {
        withdraw_client_imports(db.get(), request.client_ids);
        return 1;
    }
    const signal_action action = action_of(request.mode);
    if (tool_signal(tool, daemon, action.sig) != 0) {
        if (request.mode == zonefeed_mode::client_import)
            withdraw_client_imports(db.get(), request.client_ids);
        return 1;
    }
    tool_signal_event(tool, db.get(), settings, action.event, daemon.pid());
    LOGF(LOG_INFO, "%s", action.message);
    return 0;
}
