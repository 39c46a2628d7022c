// zonebuild: asks the zone builder daemon for work (apply the pending changes, restore every
// zone, rewrite the ACL file, reread the configuration or stop) and exits without waiting
// for the job.
#include "tool_common.h"
#include "tool_jobs.h"

#include "logging.h"

#include <csignal>
#include <unistd.h>

namespace {

struct signal_action {
    int sig;
    const char *event;   // nullptr: no event row
    const char *message; // logged at level 6 once the signal was sent
};

signal_action action_of(zonebuild_mode mode) {
    switch (mode) {
    case zonebuild_mode::changes:
        return {SIGUSR1, "Signal sent. Changes", "Signaled daemon to apply any database changes."};
    case zonebuild_mode::restore:
        return {SIGUSR2, "Signal sent. Restore",
                "Signaled daemon to restore all zones from database."};
    case zonebuild_mode::write_acl:
        return {SIGTTIN, nullptr, "Signaled daemon to write the Access Control Lists."};
    case zonebuild_mode::reread:
        return {SIGHUP, "Signal sent. Reread config",
                "Signaled daemon to reload the configuration file."};
    case zonebuild_mode::stop:
        return {SIGTERM, "Signal sent. Stopping daemon", "Signaled daemon to stop."};
    case zonebuild_mode::check:
        break;
    }
    return {0, nullptr, nullptr};
}

} // namespace

int main(int argc, const char **argv) {
    const tool_identity &tool = zonebuild_identity;
    if (tool_start(tool) != 0)
        return 1;

    zonebuild_mode mode = zonebuild_mode::check;
    if (int status = zonebuild_parse_args(argc, argv, mode); status != args_ok)
        return status;

    tool_settings settings;
    if (tool_read_config(tool, settings) != 0 || tool_check_db_settings(tool, settings) != 0)
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
    if (getuid() != 0) {
        LOGF(LOG_ERR, "zonebuild must run as root.");
        return 1;
    }

    if (mode == zonebuild_mode::check) {
        LOGF(LOG_INFO, "%s is running.", tool.daemon);
        return 0;
    }
    if (mode == zonebuild_mode::write_acl && queue_write_acl(db.get()) != 0) {
        withdraw_write_acl(db.get());
        return 1;
    }
    const signal_action action = action_of(mode);
    if (tool_signal(tool, daemon, action.sig) != 0) {
        if (mode == zonebuild_mode::write_acl)
            withdraw_write_acl(db.get());
        return 1;
    }
    if (action.event)
        tool_signal_event(tool, db.get(), settings, action.event, getpid());
    LOGF(LOG_INFO, "%s", action.message);
    return 0;
}
