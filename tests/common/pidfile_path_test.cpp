// Pid files, the two file-system tests and the path sanitiser.
#include "dns_common.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The pid of a process that has ended and been reaped.
pid_t ended_pid() {
    pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    int status;
    waitpid(pid, &status, 0);
    return pid;
}

} // namespace

TEST(GetDaemonPid, ReadsTheNumberOfALiveProcessOnly) {
    temp_dir dir;
    const std::string path = dir.file("d.pid");
    const std::string self = std::to_string(getpid());
    struct {
        std::string content;
        int expected;
    } cases[] = {
        {self, getpid()},
        {self + "\n", getpid()},
        {"  " + self + " trailing", getpid()}, // read as "%d" would
        {std::to_string(ended_pid()), 0},      // stale: the process has ended
        {"letters", -1},
        {"", -1},
        {"0", -1},  // would signal our own process group
        {"1", -1},  // would signal init
        {"-1", -1}, // would signal every process
        {"-4321", -1},
        {"99999999999", -1}, // does not fit an int
    };
    for (const auto &c : cases) {
        write_text_file(path, c.content);
        EXPECT_EQ(get_daemon_pid(path.c_str()), c.expected) << "'" << c.content << "'";
    }
}

TEST(GetDaemonPid, MissingFilesAndBadPaths) {
    temp_dir dir;
    EXPECT_EQ(get_daemon_pid(dir.file("none.pid").c_str()), 0);
    EXPECT_EQ(get_daemon_pid(nullptr), -1);
    EXPECT_EQ(get_daemon_pid(""), -1);
    // A relative path is refused even when such a file exists in the working directory.
    write_text_file(dir.file("rel.pid"), std::to_string(getpid()));
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(0, chdir(dir.path().c_str()));
    EXPECT_EQ(get_daemon_pid("rel.pid"), -1);
    EXPECT_EQ(set_daemon_pid("new.pid"), -1);
    EXPECT_FALSE(path_exists(dir.file("new.pid")));
    ASSERT_EQ(0, chdir(cwd));
}

TEST(SetDaemonPid, WritesTheDigitsWithoutNewlineAndUnsetRemovesThem) {
    temp_dir dir;
    const std::string path = dir.file("d.pid");
    write_text_file(path, "123456789 old and longer content\n");
    ASSERT_EQ(0, set_daemon_pid(path.c_str()));
    EXPECT_EQ(read_text_file(path), std::to_string(getpid()));
    EXPECT_EQ(get_daemon_pid(path.c_str()), getpid());
    EXPECT_EQ(0, unset_daemon_pid(path.c_str()));
    EXPECT_FALSE(path_exists(path));
    EXPECT_EQ(0, unset_daemon_pid(path.c_str())); // already gone
    EXPECT_EQ(-1, unset_daemon_pid(""));
    EXPECT_EQ(-1, unset_daemon_pid(nullptr));
    EXPECT_EQ(-1, set_daemon_pid(dir.file("no/dir/d.pid").c_str()));
}

TEST(SetDaemonPid, NeverWritesThroughALink) {
    temp_dir dir;
    write_text_file(dir.file("victim"), "keep");
    ASSERT_EQ(0, symlink(dir.file("victim").c_str(), dir.file("d.pid").c_str()));
    EXPECT_EQ(-1, set_daemon_pid(dir.file("d.pid").c_str()));
    EXPECT_EQ(read_text_file(dir.file("victim")), "keep");
}

TEST(UnsetDaemonPid, RefusesADirectoryAndKeepsItsContent) {
    temp_dir dir;
    dir.make_subdir("run");
    write_text_file(dir.file("run/other.pid"), "42");
    EXPECT_EQ(-1, unset_daemon_pid(dir.file("run").c_str()));
    EXPECT_EQ(read_text_file(dir.file("run/other.pid")), "42");
}

TEST(IoValid, TellsDirectoriesFromFilesFollowingLinks) {
    temp_dir dir;
    dir.make_subdir("d");
    write_text_file(dir.file("f"), "x");
    ASSERT_EQ(0, symlink(dir.file("d").c_str(), dir.file("link-d").c_str()));
    ASSERT_EQ(0, symlink(dir.file("f").c_str(), dir.file("link-f").c_str()));
    ASSERT_EQ(0, symlink(dir.file("gone").c_str(), dir.file("dangling").c_str()));
    struct {
        std::string path;
        int is_dir, is_file;
    } cases[] = {
        {dir.file("d"), 1, 0},        {dir.file("f"), 0, 1},
        {dir.file("link-d"), 1, 0},   {dir.file("link-f"), 0, 1},
        {dir.file("dangling"), 0, 0}, {dir.file("missing"), 0, 0},
        {"/dev/null", 0, 0},          {"", 0, 0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(io_valid_dir(c.path.c_str()), c.is_dir) << c.path;
        EXPECT_EQ(io_valid_file(c.path.c_str()), c.is_file) << c.path;
    }
    EXPECT_EQ(io_valid_dir(nullptr), 0);
    EXPECT_EQ(io_valid_file(nullptr), 0);
}

TEST(PathPurge, DeletesDotSegmentsAndRebuildsThePath) {
    struct {
        const char *in;
        int strict;
        int rc;
        const char *out;
    } cases[] = {
        {"/var//run/./x/../y/", 0, 0, "/var/run/x/y"},
        {"/var//run/./x/../y/", 1, -1, "/var//run/./x/../y/"},
        {"a/../b", 0, 0, "a/b"},
        {"a/./b", 0, 0, "a/b"},
        {"./a", 0, 0, "/a"},
        {"../a", 0, 0, "/a"},
        {"relative/path/", 0, 0, "relative/path"},
        {"/usr/local/zonaris/tmp", 1, 0, "/usr/local/zonaris/tmp"},
        {"/a/.../b/.hidden/x../", 1, 0, "/a/.../b/.hidden/x.."},
        {"/", 0, 0, ""},
        {"////", 1, 0, ""},
        {".", 0, -1, ""},
        {"./..", 0, -1, ""},
        {"..", 1, -1, ".."},
        {"", 0, -1, ""},
    };
    for (const auto &c : cases) {
        std::string path = c.in;
        EXPECT_EQ(path_purge(path, c.strict), c.rc) << c.in << " strict=" << c.strict;
        EXPECT_EQ(path, c.out) << c.in << " strict=" << c.strict;
    }
}
