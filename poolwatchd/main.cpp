// poolwatchd: the round-robin pool monitor. Runs each active pool's test script against the
// pool's records and switches the records on or off, queueing their zones for zonebuildd.
#include "logging.h"
#include "poolwatch_cmdline.h"
#include "poolwatch_daemon.h"
#include "poolwatch_state.h"

#include <cstdio>
#include <mysql.h>
#include <sys/wait.h>
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
    if (run_mode == RUN_DETACH)
        close_range(STDERR_FILENO + 1, ~0U, 0);

    if (logging_init("poolwatchd", "syslog", nullptr) != 0)
        return pw().exit_code;
    set_log_level(LOG_DEBUG);
    mysql_library_init(0, nullptr, nullptr); // before any thread exists

    if (const int rc = poolwatch_init(run_mode); rc != EXIT_OK) {
        logging_shutdown();
        return rc;
    }
    logging_shutdown();

    if (run_mode == RUN_DETACH) {
        const pid_t child = fork();
        if (child < 0) {
            fprintf(stderr, "fork() failed\n");
            return EXIT_DAEMONIZE;
        }
        if (child > 0) {
            int status;
            if (waitpid(child, &status, WNOHANG) < 0)
                fprintf(stderr, "wait() failed\n");
            return EXIT_OK;
        }
    }
    const int rc = poolwatch_daemonize();
    logging_shutdown();
    mysql_library_end();
    return rc;
}
