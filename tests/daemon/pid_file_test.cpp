// The pid file: who holds the lock decides, the content must be exactly the holder's pid.
#include "pid_file.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A process that holds a record lock on `path` (when `lock`) with `content` written in it;
// "%p" in the content becomes its own pid. Killed and reaped by the destructor.
struct holder {
    pid_t pid = -1;
    holder(const std::string &path, const std::string &content, bool lock = true) {
        int ready[2];
        if (pipe(ready) != 0)
            throw std::runtime_error("pipe");
        pid = fork();
        if (pid == 0) {
            close(ready[0]);
            std::string text = content;
            const size_t at = text.find("%p");
            if (at != std::string::npos)
                text.replace(at, 2, std::to_string(getpid()));
            const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
            struct flock lk {};
            lk.l_type = F_WRLCK;
            lk.l_whence = SEEK_SET;
            if (fd < 0 || (lock && fcntl(fd, F_SETLK, &lk) != 0) ||
                write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
                _exit(1);
            if (write(ready[1], "x", 1) != 1)
                _exit(1);
            while (true)
                pause();
        }
        close(ready[1]);
        char c;
        if (read(ready[0], &c, 1) != 1)
            throw std::runtime_error("holder did not start");
        close(ready[0]);
    }
    ~holder() {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    bool alive() const {
        siginfo_t info{};
        return waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
    }
};

} // namespace

TEST(PidFile, RunningNeedsTheLockAndExactlyTheHoldersPid) {
    temp_dir dir;
    const std::string path = dir.file("d.pid");
    struct {
        const char *content;
        bool holder_pid; // the expected answer is the holder's pid, else -1
    } cases[] = {
        {"%p", true},   {"%p\n", true},         {"%pabc", false},
        {" %p", false}, {"%p\n\n", false},      {"+%p", false},
        {"", false},    {"1", false},           {"0", false},
        {"-5", false},  {"99999999999", false}, {"%p %p", false},
    };
    for (const auto &c : cases) {
        holder h(path, c.content);
        EXPECT_EQ(pid_file::running(path), c.holder_pid ? h.pid : -1) << "'" << c.content << "'";
    }
    // Another live process's number in a file nobody holds: no daemon.
    holder h(path, std::to_string(getppid()), false);
    EXPECT_EQ(pid_file::running(path), 0);
    // Our own number in a file someone else holds.
    holder other(dir.file("o.pid"), std::to_string(getpid()));
    EXPECT_EQ(pid_file::running(dir.file("o.pid")), -1);
}

TEST(PidFile, RunningWithoutAFileOrWithARelativePath) {
    temp_dir dir;
    EXPECT_EQ(pid_file::running(dir.file("none.pid")), 0);
    EXPECT_EQ(pid_file::running("rel.pid"), -1);
    EXPECT_EQ(pid_file::running(""), -1);
}

TEST(PidFile, LockWritesThePidAndReleaseRemovesTheFile) {
    temp_dir dir;
    const std::string path = dir.file("d.pid");
    write_text_file(path, "12345678\n"); // a leftover
    {
        pid_file pf;
        ASSERT_EQ(PID_FILE_LOCKED, pf.lock(path));
        EXPECT_EQ(pid_file::running(path), getpid()); // also asked by the holder

        // Another process sees us, and cannot take the file. (It reads the file: a close
        // by the holder itself would release the lock.)
        const pid_t child = fork();
        if (child == 0) {
            pid_file again;
            const pid_t seen = pid_file::running(path);
            const pid_file_status st = again.lock(path);
            const std::string text = read_text_file(path);
            _exit(seen != getppid()                   ? 1
                  : st != PID_FILE_HELD               ? 2
                  : text != std::to_string(getppid()) ? 3 // no newline
                                                      : 0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(pid_file::running(path), getpid()); // the child's close did not unlock us
    }
    EXPECT_FALSE(path_exists(path));
    EXPECT_EQ(pid_file::running(path), 0);

    pid_file rel;
    EXPECT_EQ(PID_FILE_NOT_ABSOLUTE, rel.lock("rel.pid"));
    EXPECT_EQ(PID_FILE_OPEN_FAILED, rel.lock(dir.file("no/dir/d.pid")));
}

TEST(PidFile, ASymbolicLinkIsNotFollowed) {
    temp_dir dir;
    write_text_file(dir.file("target"), "keep");
    ASSERT_EQ(0, symlink(dir.file("target").c_str(), dir.file("d.pid").c_str()));
    pid_file pf;
    EXPECT_EQ(PID_FILE_OPEN_FAILED, pf.lock(dir.file("d.pid")));
    EXPECT_EQ(read_text_file(dir.file("target")), "keep");
}

TEST(PidFile, SignalReachesOnlyTheHolder) {
    temp_dir dir;
    const std::string path = dir.file("d.pid");
    pid_t pid = 0;
    {
        // A live process named by a file it does not hold: never signalled.
        holder bystander(path, "%p", false);
        EXPECT_EQ(SIGNAL_NOT_RUNNING, signal_daemon(path, SIGTERM, pid));
        EXPECT_TRUE(bystander.alive());
    }
    {
        holder bystander(path, "%pabc");
        EXPECT_EQ(SIGNAL_UNKNOWN, signal_daemon(path, SIGTERM, pid));
        EXPECT_TRUE(bystander.alive());
    }
    holder daemon(path, "%p\n");
    EXPECT_EQ(SIGNAL_SENT, signal_daemon(path, SIGTERM, pid));
    EXPECT_EQ(pid, daemon.pid);
    int status = 0;
    ASSERT_EQ(daemon.pid, waitpid(daemon.pid, &status, 0));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
}
