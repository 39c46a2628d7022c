// The pid file of a daemon: its process id in decimal, without a newline, in a file that
// the daemon holds locked (a POSIX record lock, fcntl F_SETLK, over the whole file) for its
// whole life. Every daemon takes it with pid_file::lock and every tool asks
// pid_file::running before it signals a daemon, so one rule decides who runs: the process
// that holds the lock and whose number the file holds, nothing else.
//
// Record locks belong to the process: a forked child does not inherit them (so lock after
// detaching), and any close() by the holder of a descriptor of the file releases the lock.
// The holder therefore never opens its own pid file again; running() answers for a path
// that this process holds without opening it.
//
// Owns the descriptor and the lock; touches only the pid file.
#pragma once

#include <string>
#include <sys/types.h>

enum pid_file_status {
    PID_FILE_LOCKED = 0,   // locked and written
    PID_FILE_OPEN_FAILED,  // the file cannot be opened or created (errno kept)
    PID_FILE_HELD,         // another process holds the lock
    PID_FILE_WRITE_FAILED, // locked, but the pid could not be written (file removed again)
    PID_FILE_NOT_ABSOLUTE, // the path does not begin with "/"
};

class pid_file {
  public:
    pid_file() = default;
    pid_file(pid_file &&other) noexcept;
    pid_file &operator=(pid_file &&other) noexcept;
    pid_file(const pid_file &) = delete;
    pid_file &operator=(const pid_file &) = delete;
    // Removes the file, then releases the lock.
    ~pid_file();

    // Opens (creating, mode 0644, no symbolic link followed) and locks `path` without
    // waiting, then writes this process's id into it. A file that a previous holder removed
    // while we waited for its lock is not taken: the path is looked at again.
    [[nodiscard]] pid_file_status lock(const std::string &path);

    // The pid of the live daemon that holds `path`: a number above 1 when the file holds
    // exactly a decimal number (one final newline allowed: "42abc", " 42" and "" are not
    // numbers) and the process of that number holds the lock. 0 when nobody holds the lock
    // (no file, or a stale one whatever its content). -1 when it cannot be told: the path
    // is not absolute, the file cannot be read, or the lock is held but the content is not
    // the holder's pid.
    [[nodiscard]] static pid_t running(const std::string &path);

    // Removes the file (when `remove`), then releases the lock. Also done by the destructor.
    void release(bool remove = true);
    // In a forked child: closes the descriptor without touching the file (the child never
    // held the parent's lock).
    void forget();

    bool held() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    const std::string &path() const { return path_; }

  private:
    int fd_ = -1;
    std::string path_;
};

// How finding or signalling a daemon ended.
enum signal_status {
    SIGNAL_SENT = 0,    // (find: found)
    SIGNAL_NOT_RUNNING, // running() gave 0, or the process has ended since
    SIGNAL_UNKNOWN,     // running() gave -1
    SIGNAL_FAILED,      // the daemon runs, but the signal could not be sent (errno kept)
};

// A daemon found through its pid file and pinned with a process descriptor: a signal sent
// through it reaches that very process or none, even when the number has been taken over
// by a new process since (and even after the caller dropped the rights to read the file).
class daemon_process {
  public:
    daemon_process() = default;
    daemon_process(daemon_process &&other) noexcept;
    daemon_process &operator=(daemon_process &&other) noexcept;
    daemon_process(const daemon_process &) = delete;
    daemon_process &operator=(const daemon_process &) = delete;
    ~daemon_process();

    // running(path), pinned, then the lock checked again: SIGNAL_SENT when found.
    [[nodiscard]] signal_status find(const std::string &path);
    [[nodiscard]] signal_status signal(int sig) const;
    pid_t pid() const { return pid_; }

  private:
    void reset();
    pid_t pid_ = 0;
    int pidfd_ = -1; // -1 without process descriptors (kernels before 5.3)
};

// find() and signal() in one step; the pid goes to `pid` when one was found.
[[nodiscard]] signal_status signal_daemon(const std::string &path, int sig, pid_t &pid);

// The text of a pid_file_status for a diagnostic line.
const char *pid_file_status_text(pid_file_status status);
