// The pid file: the daemon's process id in decimal without a newline, held open and locked
// (lockf) for the daemon's life. The lock, not the number, tells whether a daemon runs.
#pragma once

#include <string>
#include <sys/types.h>

// Opens (creating) and locks the pid file without waiting, then writes our pid into it.
// The descriptor goes to `fd`. 0; -1 with `exit_code` set: EXIT_PID_FILE when the file
// cannot be opened, EXIT_LOCKED when another process holds the lock.
int set_pidfile_lock(const std::string &path, int &fd, int &exit_code);
// Removes the pid file, then releases the lock and closes the descriptor (in that order: a
// new instance must not lock a file that is about to vanish).
void release_pidfile_lock(const std::string &path, int &fd, bool remove);

// The process that holds the lock of the pid file at `path` and whose pid the file names;
// 0 when no daemon runs (no lock, no positive number, or the two disagree), -1 when the
// file cannot be opened.
pid_t pidfile_lock_holder(const std::string &path);
