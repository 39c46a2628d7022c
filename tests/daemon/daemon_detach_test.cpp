// Detaching: the starter learns the outcome of the start-up through its exit status, the
// daemon runs in a session of its own on the null device without inherited descriptors.
#include "daemon_detach.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Forks a "starter" that detaches; the daemon side writes what it sees to `report` and
// then reports `status` (0: ready). The starter's exit status.
int start_daemon(const std::string &report, int status, int inherited) {
    const pid_t starter = fork();
    if (starter == 0) {
        if (close_inherited_fds({inherited}) != 0)
            _exit(90);
        const bool closed = fcntl(inherited + 1, F_GETFD) < 0;
        starter_link link;
        if (detach(link) != 0)
            _exit(91);
        std::string seen;
        seen += getsid(0) == getpid() ? "session " : "no-session ";
        seen += fcntl(inherited, F_GETFD) >= 0 ? "kept " : "lost ";
        seen += closed ? "closed " : "open ";
        char in[64] = {}, out[64] = {};
        if (readlink("/proc/self/fd/0", in, sizeof in - 1) < 0 ||
            readlink("/proc/self/fd/1", out, sizeof out - 1) < 0)
            _exit(92);
        seen += std::string(in) + " " + out;
        write_text_file(report + ".tmp", seen);
        rename((report + ".tmp").c_str(), report.c_str());
        if (status == 0)
            link.ready();
        else if (status > 0)
            link.fail(status);
        _exit(0); // status < 0: ends without a word
    }
    int wstatus = 0;
    waitpid(starter, &wstatus, 0);
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
}

} // namespace

TEST(Detach, TheStarterExitsWithTheStartUpOutcome) {
    temp_dir dir;
    // Two inherited descriptors: the first is kept, the one above it is closed.
    const int keep = open("/dev/null", O_RDONLY);
    const int other = dup(keep);
    ASSERT_EQ(other, keep + 1);
    EXPECT_EQ(0, start_daemon(dir.file("ready"), 0, keep));
    EXPECT_EQ(read_text_file(dir.file("ready")), "session kept closed /dev/null /dev/null");
    EXPECT_EQ(7, start_daemon(dir.file("failed"), 7, keep));
    EXPECT_EQ(1, start_daemon(dir.file("silent"), -1, keep));
    close(keep);
    close(other);
}
