#include "files.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string dir_of(const std::string &path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string base_of(const std::string &path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int remove_tree(int parent, const char *name) {
    struct stat st;
    if (fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? 0 : -1;
    if (!S_ISDIR(st.st_mode))
        return unlinkat(parent, name, 0) == 0 || errno == ENOENT ? 0 : -1;
    int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    DIR *d = fdopendir(fd);
    if (!d) {
        close(fd);
        return -1;
    }
    int rc = 0;
    while (struct dirent *e = readdir(d)) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, ".."))
            continue;
        if (remove_tree(dirfd(d), e->d_name) != 0)
            rc = -1;
    }
    int saved = errno;
    closedir(d);
    if (rc != 0) {
        errno = saved;
        return -1;
    }
    return unlinkat(parent, name, AT_REMOVEDIR) == 0 || errno == ENOENT ? 0 : -1;
}

int copy_into(int in, FILE *out) {
    char buf[65536];
    for (;;) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            return 0;
        if (fwrite(buf, 1, n, out) != static_cast<size_t>(n))
            return -1;
    }
}

} // namespace

int fr_rm(const std::string &path) {
    if (path.empty()) {
        errno = EINVAL;
        return -1;
    }
    return remove_tree(AT_FDCWD, path.c_str());
}

int fr_cp(const std::string &from, const std::string &to) {
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return -1;
    struct stat st;
    mode_t mode = 0644;
    if (fstat(in, &st) == 0)
        mode = st.st_mode & 07777;
    atomic_file out;
    if (out.open(to, mode) != 0) {
        int e = errno;
        close(in);
        errno = e;
        return -1;
    }
    int rc = copy_into(in, out.stream());
    int e = errno;
    close(in);
    if (rc != 0) {
        out.discard();
        errno = e;
        return -1;
    }
    return out.commit();
}

int fr_mv(const std::string &from, const std::string &to) {
    if (rename(from.c_str(), to.c_str()) == 0)
        return 0;
    if (errno != EXDEV)
        return -1;
    if (fr_cp(from, to) != 0)
        return -1;
    return unlink(from.c_str()) == 0 ? 0 : -1;
}

int fr_mkdir(const std::string &path, bool parents, mode_t mode, uid_t uid, gid_t gid) {
    if (path.empty()) {
        errno = EINVAL;
        return -1;
    }
    if (parents) {
        for (size_t pos = path.find('/', 1); pos != std::string::npos;
             pos = path.find('/', pos + 1)) {
            std::string part = path.substr(0, pos);
            if (mkdir(part.c_str(), mode) != 0 && errno != EEXIST)
                return -1;
        }
    }
    if (mkdir(path.c_str(), mode) != 0) {
        if (errno != EEXIST)
            return -1;
        struct stat st;
        if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            return -1;
        }
    }
    if ((uid != (uid_t)-1 || gid != (gid_t)-1) && chown(path.c_str(), uid, gid) != 0)
        return -1;
    return 0;
}

atomic_file::~atomic_file() {
    discard();
}

int atomic_file::open(const std::string &destination, mode_t mode) {
    discard();
    dest_ = destination;
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    const std::string dir = dir_of(destination);
    const std::string base = base_of(destination);
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[32];
        snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(rng()));
        std::string candidate = dir + "/." + base + ".tmp." + suffix;
        int fd =
            ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return -1;
        }
        fchmod(fd, mode); // the umask must not narrow what readers need
        fp_ = fdopen(fd, "w");
        if (!fp_) {
            int e = errno;
            close(fd);
            unlink(candidate.c_str());
            errno = e;
            return -1;
        }
        temp_ = candidate;
        return 0;
    }
    errno = EEXIST;
    return -1;
}

int atomic_file::write(std::string_view data) {
    if (!fp_) {
        errno = EBADF;
        return -1;
    }
    if (data.empty())
        return 0;
    return fwrite(data.data(), 1, data.size(), fp_) == data.size() ? 0 : -1;
}

int atomic_file::commit() {
    if (!fp_) {
        errno = EBADF;
        return -1;
    }
    int rc = 0, e = 0;
    if (fflush(fp_) != 0 || ferror(fp_)) {
        rc = -1;
        e = errno ? errno : EIO;
    } else if (fsync(fileno(fp_)) != 0) {
        rc = -1;
        e = errno;
    }
    if (fclose(fp_) != 0 && rc == 0) {
        rc = -1;
        e = errno;
    }
    fp_ = nullptr;
    if (rc == 0 && rename(temp_.c_str(), dest_.c_str()) != 0) {
        rc = -1;
        e = errno;
    }
    if (rc != 0) {
        unlink(temp_.c_str());
        errno = e;
    }
    temp_.clear();
    return rc;
}

void atomic_file::discard() {
    if (fp_) {
        fclose(fp_);
        fp_ = nullptr;
    }
    if (!temp_.empty()) {
        unlink(temp_.c_str());
        temp_.clear();
    }
}

int write_file_atomic(const std::string &path, std::string_view data, mode_t mode) {
    atomic_file f;
    if (f.open(path, mode) != 0)
        return -1;
    if (f.write(data) != 0) {
        int e = errno;
        f.discard();
        errno = e;
        return -1;
    }
    return f.commit();
}

int read_file(const std::string &path, std::string &out) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    out.clear();
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            int e = errno;
            close(fd);
            errno = e;
            return -1;
        }
        if (n == 0)
            break;
        out.append(buf, n);
    }
    close(fd);
    return 0;
}
