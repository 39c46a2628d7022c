// The daemon frame: start-up checks, detaching, the pid-file lock, the threads (start-up
// and refresh, scheduler, signals), reload on SIGHUP, shutdown on SIGTERM (and SIGINT in the
// foreground) and the clean-up after the threads have been joined.
#pragma once

// Reads the configuration and switches logging to it, checks the database connection and
// that no other instance runs, and blocks the daemon's signals in the process (every thread
// inherits the mask; the signal thread takes them from a signal descriptor). 0, or the exit
// code to end with.
int poolwatch_init(int run_mode);

// Detaches (run mode 1), takes the pid-file lock for good, starts the threads and waits
// until the daemon stops; then joins every thread and cleans up. The exit code.
int poolwatch_daemonize();

// Reload and shutdown, as the signal thread runs them.
void poolwatch_sighup();
void poolwatch_term();
