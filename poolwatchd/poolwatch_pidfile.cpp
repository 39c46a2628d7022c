#include "poolwatch_pidfile.h"

#include "logging.h"
#include "poolwatch_state.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

int set_pidfile_lock(const std::string &path, int &fd, int &exit_code) {
    // A previous holder removes the file before it unlocks; a lock taken on such a removed
    // file proves nothing, so look again at what the path names now.
    for (int attempt = 0; attempt < 5; ++attempt) {
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0) {
            LOGF(LOG_ERR, "Can't open PID file: %s", path.c_str());
            exit_code = EXIT_PID_FILE;
            return -1;
        }
        if (lockf(fd, F_TLOCK, 0) != 0) {
            LOGF(LOG_ERR, "Only a single 'poolwatchd' process may be active in the system.");
            close(fd);
            fd = -1;
            exit_code = EXIT_LOCKED;
            return -1;
        }
        struct stat held, named;
        if (fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino)
            break;
        close(fd);
        fd = -1;
    }
    if (fd < 0) {
        LOGF(LOG_ERR, "Can't open PID file: %s", path.c_str());
        exit_code = EXIT_PID_FILE;
        return -1;
    }
    const std::string pid = std::to_string(getpid());
    if (ftruncate(fd, 0) != 0 ||
        pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        LOGF(LOG_ERR, "Can't open PID file: %s", path.c_str());
        close(fd);
        fd = -1;
        exit_code = EXIT_PID_FILE;
        return -1;
    }
    return 0;
}

void release_pidfile_lock(const std::string &path, int &fd, bool remove) {
    if (fd < 0)
        return;
    if (remove)
        unlink(path.c_str());
    lockf(fd, F_ULOCK, 0);
    close(fd);
    fd = -1;
}

pid_t pidfile_lock_holder(const std::string &path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char buf[32] = {};
    const ssize_t n = read(fd, buf, sizeof buf - 1);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    const int got = fcntl(fd, F_GETLK, &lock);
    close(fd);
    if (n <= 0)
        return 0;
    char *end = nullptr;
    errno = 0;
    const long pid = std::strtol(buf, &end, 10);
    if (errno != 0 || end == buf || (*end != '\0' && *end != '\n') || pid <= 1)
        return 0;
    if (got != 0 || lock.l_type == F_UNLCK || lock.l_pid != pid)
        return 0;
    return static_cast<pid_t>(pid);
}
