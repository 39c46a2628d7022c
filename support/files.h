// File-system operations that the programs build on. Every operation that installs a file
// others read (the name server, the monitoring system) replaces it whole, by rename.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <sys/types.h>

// Removes a file or a whole tree (no symbolic link is followed). 0, or -1 with errno set.
// A path that does not exist counts as removed.
int fr_rm(const std::string &path);
// Moves `from` onto `to`. Across file systems the data is copied into a temporary file
// beside `to` and renamed into place, so `to` is never left partly written. 0 or -1.
int fr_mv(const std::string &from, const std::string &to);
// Copies `from` onto `to` through a temporary file beside `to` and a rename. 0 or -1.
int fr_cp(const std::string &from, const std::string &to);
// Creates a directory (with its parents when `parents` is set) with `mode`; `uid`/`gid` of
// -1 keep the owner and group. An existing directory counts as created. 0 or -1.
int fr_mkdir(const std::string &path, bool parents, mode_t mode, uid_t uid = (uid_t)-1,
             gid_t gid = (gid_t)-1);

// A file being written for installation: it lives under an unpredictable name in the
// destination's own directory (O_EXCL, so no link is followed) until `commit` flushes,
// syncs, closes it (checking each result) and renames it onto the destination. Dropping it
// uncommitted removes the temporary file.
class atomic_file {
  public:
    atomic_file() = default;
    ~atomic_file();
    atomic_file(const atomic_file &) = delete;
    atomic_file &operator=(const atomic_file &) = delete;

    // Opens the temporary file for `destination`. 0, or -1 with errno set.
    int open(const std::string &destination, mode_t mode = 0644);
    FILE *stream() const { return fp_; }
    const std::string &temp_path() const { return temp_; }
    // Writes all of `data`; -1 on a short write.
    int write(std::string_view data);
    // Flush, fsync, close and rename. 0, or -1 with errno set (the temporary file is gone).
    int commit();
    // Removes the temporary file without installing it.
    void discard();

  private:
    FILE *fp_ = nullptr;
    std::string temp_;
    std::string dest_;
};

// Writes `data` to `path` whole (through atomic_file). 0 or -1.
int write_file_atomic(const std::string &path, std::string_view data, mode_t mode = 0644);
// Reads a whole file into `out`. 0 or -1.
int read_file(const std::string &path, std::string &out);
