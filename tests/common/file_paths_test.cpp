// The two file-system tests and the path sanitiser.
#include "dns_common.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

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
