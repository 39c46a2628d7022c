// Detaching a daemon from whoever started it, with the start-up still reported to the
// starter: the starter's process waits until the daemon says it is ready (exit status 0)
// or that its start failed (the status it gives), so `zonebuildd; echo $?` tells the truth
// even though the work happens in a child.
//
//   close_inherited_fds({});            // first thing in main: nothing of the starter's
//   starter_link link;
//   if (detach(link) != 0) ...          // parent: never returns; child: new session
//   ... pid file, handlers ...
//   link.ready();                       // the starter exits 0
//
// Owns the readiness pipe; touches the process's descriptors, session and standard streams.
#pragma once

#include <initializer_list>

// Closes every descriptor above standard error except those in `keep`, and closes the
// syslog connection (it is opened again on the next line). Call it before the program
// opens anything it needs. 0 or -1.
[[nodiscard]] int close_inherited_fds(std::initializer_list<int> keep);

// The child's side of the readiness pipe.
class starter_link {
  public:
    starter_link() = default;
    starter_link(const starter_link &) = delete;
    starter_link &operator=(const starter_link &) = delete;
    // A child that ends without a word makes the starter exit 1.
    ~starter_link();

    // The start-up went well: the starter exits 0, standard error goes to the null device.
    void ready();
    // The start-up failed: the starter exits `status` (1..255).
    void fail(int status);
    // Whether the starter still waits for a word.
    bool waiting() const { return fd_ >= 0; }

  private:
    friend int detach(starter_link &link);
    void send(unsigned char status);
    int fd_ = -1;
};

// Forks. The parent waits for the child's word on `link` and ends with it (_exit): 0 when
// the child reported ready, the status it reported on failure, 1 when it ended silently.
// The child starts a new session, puts standard input and output on the null device (and
// standard error when it reports ready or fails, so that start-up errors still reach the
// starter's terminal) and returns 0; a child that cannot make its session or streams makes
// the starter exit 1. -1 in the original process when the pipe or the fork cannot be made
// (nothing has been detached then).
[[nodiscard]] int detach(starter_link &link);
