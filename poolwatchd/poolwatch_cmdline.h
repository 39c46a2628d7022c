// The command line of poolwatchd, and `--readconfig`, which asks the running daemon to
// reload its configuration.
#pragma once

struct cmdline_options {
    bool readconfig = false;
    bool nodetach = false;
};

// Parses the command line. -1 to go on with `opts`; otherwise the program ends with the
// returned exit code (version shown, or a usage error reported on standard error).
int poolwatch_parse_cmdline(int argc, const char **argv, cmdline_options &opts);

// Signals SIGHUP to the daemon that holds the pid file's lock. The exit code: 0 when sent,
// EXIT_PID_FILE when the pid file cannot be read, EXIT_NOT_RUNNING when no daemon runs or
// the signal could not be sent.
int poolwatch_send_sighup();
