// poolwatchd: the round-robin pool monitor. Runs each active pool's test script against the
// pool's records and switches the records on or off, queueing their zones for zonebuildd.
#include "daemon_detach.h"
#include "logging.h"
#include "poolwatch_cmdline.h"
#include "poolwatch_daemon.h"
#include "poolwatch_state.h"

#include <cstdio>
#include <mysql.h>
#include <unistd.h>

int main(int argc, const char **argv) {
    cmdline_options opts;
    if (const int rc = poolwatch_parse_cmdline(argc, argv, opts); rc >= 0)
        return rc;
    if (opts.readconfig)
        return poolwatch_send_sighup();
    const int run_mode = opts.nodetach ? RUN_FOREGROUND : RUN_DETACH;
    // A daemon keeps nothing its starter left open, such as the pipe of a caller waiting
    // for our output to end.
    if (run_mode == RUN_DETACH && close_inherited_fds({}) != 0)
        fprintf(stderr, "Cannot close the descriptors inherited from the starter.\n");

    if (logging_init("poolwatchd", "syslog", nullptr) != 0)
        return pw().exit_code;
    set_log_level(LOG_DEBUG);
    mysql_library_init(0, nullptr, nullptr); // before any thread exists

    if (const int rc = poolwatch_init(run_mode); rc != EXIT_OK) {
        logging_shutdown();
        return rc;
    }
    logging_shutdown();

    // Detached, the starter waits until the daemon has started (or failed to) and ends with
    // its exit code.
    starter_link starter;
    if (run_mode == RUN_DETACH) {
        if (detach(starter) != 0) {
            fprintf(stderr, "fork() failed\n");
            return EXIT_DAEMONIZE;
        }
        pw().starter = &starter;
    }
    const int rc = poolwatch_daemonize();
    logging_shutdown();
    mysql_library_end();
    return rc;
}
