// File operations: tree removal that never follows a link, moves across file systems,
// copies, directory creation and the atomic installation of files.
#include "files.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::vector<std::string> entries(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (!d)
        return names;
    while (struct dirent *e = readdir(d))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
            names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

mode_t mode_of(const std::string &path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

} // namespace

TEST(FrRm, RemovesATreeButNeverWhatItsLinksPointAt) {
    temp_dir outside, root;
    write_text_file(outside.file("keep"), "precious");
    const std::string tree = root.make_subdir("tree/a/b");
    write_text_file(tree + "/f", "x");
    ASSERT_EQ(0, symlink(outside.path().c_str(), (root.file("tree/a") + "/dirlink").c_str()));
    ASSERT_EQ(0, symlink(outside.file("keep").c_str(), (tree + "/filelink").c_str()));

    EXPECT_EQ(0, fr_rm(root.file("tree")));
    EXPECT_FALSE(path_exists(root.file("tree")));
    EXPECT_EQ(read_text_file(outside.file("keep")), "precious");
}

TEST(FrRm, AMissingPathCountsAsRemovedAndAnEmptyOneFails) {
    temp_dir dir;
    EXPECT_EQ(0, fr_rm(dir.file("never-was")));
    EXPECT_EQ(-1, fr_rm(""));
    write_text_file(dir.file("plain"), "x");
    EXPECT_EQ(0, fr_rm(dir.file("plain")));
    EXPECT_FALSE(path_exists(dir.file("plain")));
}

TEST(FrMv, MovesAcrossFileSystemsKeepingContentAndMode) {
    temp_dir here;
    struct stat ours {};
    ASSERT_EQ(0, stat(here.path().c_str(), &ours));
    // A writable directory on another file system than our temporary directory.
    std::string other;
    for (const char *candidate : {"/dev/shm", "/tmp", "/var/tmp", "/run"}) {
        struct stat st {};
        if (stat(candidate, &st) == 0 && st.st_dev != ours.st_dev && access(candidate, W_OK) == 0) {
            other = candidate;
            break;
        }
    }
    if (other.empty())
        GTEST_SKIP() << "no second writable file system here";
    std::string source_dir = other + "/zonaris-mv-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(source_dir.data()));
    const std::string from = source_dir + "/zone";
    write_text_file(from, "payload\n", 0640);

    EXPECT_EQ(0, fr_mv(from, here.file("zone")));
    EXPECT_EQ(read_text_file(here.file("zone")), "payload\n");
    EXPECT_EQ(mode_of(here.file("zone")), 0640u);
    EXPECT_FALSE(path_exists(from));
    EXPECT_EQ(entries(here.path()), std::vector<std::string>{"zone"}); // no temporary left
    remove_tree(source_dir);
}

TEST(FrMv, FailsForAMissingSourceAndLeavesTheTargetAlone) {
    temp_dir dir;
    write_text_file(dir.file("target"), "old");
    EXPECT_EQ(-1, fr_mv(dir.file("missing"), dir.file("target")));
    EXPECT_EQ(read_text_file(dir.file("target")), "old");
}

TEST(FrCp, CopiesContentAndModeAndReplacesTheTarget) {
    temp_dir dir;
    std::string big(300000, 'z');
    write_text_file(dir.file("src"), big, 0600);
    write_text_file(dir.file("dst"), "old", 0644);
    EXPECT_EQ(0, fr_cp(dir.file("src"), dir.file("dst")));
    EXPECT_EQ(read_text_file(dir.file("dst")), big);
    EXPECT_EQ(mode_of(dir.file("dst")), 0600u);
    EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"dst", "src"}));
    EXPECT_EQ(-1, fr_cp(dir.file("missing"), dir.file("dst")));
    EXPECT_EQ(read_text_file(dir.file("dst")), big);
}

TEST(FrMkdir, CreatesParentsAcceptsExistingDirsAndRefusesFiles) {
    temp_dir dir;
    EXPECT_EQ(0, fr_mkdir(dir.file("a/b/c"), true, 0750));
    EXPECT_EQ(
        mode_of(dir.file("a/b/c")) & 0777, 0750u & ~[] {
            mode_t m = umask(0);
            umask(m);
            return m;
        }());
    EXPECT_EQ(0, fr_mkdir(dir.file("a/b/c"), true, 0750));
    EXPECT_EQ(-1, fr_mkdir(dir.file("x/y"), false, 0750)); // no parent, not asked for
    write_text_file(dir.file("file"), "x");
    EXPECT_EQ(-1, fr_mkdir(dir.file("file"), false, 0750));
    EXPECT_EQ(-1, fr_mkdir("", true, 0750));
}

TEST(AtomicFile, InstallsTheNewContentWithTheGivenMode) {
    temp_dir dir;
    write_text_file(dir.file("live"), "old\n");
    atomic_file f;
    ASSERT_EQ(0, f.open(dir.file("live"), 0640));
    EXPECT_EQ(f.temp_path().rfind(dir.path() + "/", 0), 0u); // beside the destination
    EXPECT_EQ(0, f.write("new\n"));
    EXPECT_EQ(read_text_file(dir.file("live")), "old\n"); // not before the commit
    EXPECT_EQ(0, f.commit());
    EXPECT_EQ(read_text_file(dir.file("live")), "new\n");
    EXPECT_EQ(mode_of(dir.file("live")), 0640u);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"live"});
}

TEST(AtomicFile, LeavesNoTemporaryFileWhenNotCommittedOrWhenTheCommitFails) {
    temp_dir dir;
    write_text_file(dir.file("live"), "old\n");
    {
        atomic_file dropped;
        ASSERT_EQ(0, dropped.open(dir.file("live")));
        dropped.write("half");
    }
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"live"});

    atomic_file discarded;
    ASSERT_EQ(0, discarded.open(dir.file("live")));
    discarded.discard();
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"live"});

    // The rename fails: the destination is a non-empty directory.
    dir.make_subdir("occupied");
    write_text_file(dir.file("occupied/inside"), "x");
    atomic_file blocked;
    ASSERT_EQ(0, blocked.open(dir.file("occupied")));
    blocked.write("data");
    EXPECT_EQ(-1, blocked.commit());
    EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"live", "occupied"}));
    EXPECT_EQ(read_text_file(dir.file("occupied/inside")), "x");
    EXPECT_EQ(read_text_file(dir.file("live")), "old\n");
}

TEST(AtomicFile, ReplacesALinkInsteadOfWritingThroughIt) {
    temp_dir dir, elsewhere;
    write_text_file(elsewhere.file("target"), "untouched");
    ASSERT_EQ(0, symlink(elsewhere.file("target").c_str(), dir.file("live").c_str()));
    ASSERT_EQ(0, write_file_atomic(dir.file("live"), "new"));
    EXPECT_EQ(read_text_file(elsewhere.file("target")), "untouched");
    struct stat st {};
    ASSERT_EQ(0, lstat(dir.file("live").c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(read_text_file(dir.file("live")), "new");
}

TEST(AtomicFile, FailsInAMissingDirectory) {
    temp_dir dir;
    atomic_file f;
    EXPECT_EQ(-1, f.open(dir.file("no/such/file")));
    EXPECT_EQ(-1, f.write("x"));
    EXPECT_EQ(-1, f.commit());
    EXPECT_EQ(-1, write_file_atomic(dir.file("no/such/file"), "x"));
}
