// zoneview: prints one secondary zone file (the copy the name server keeps of a zone it
// receives by transfer) on standard output, for the panel.
//
// The file is NAMED_D directly followed by SECONDARY_D, then "/", the lower-cased first
// character of the zone name, "/" and the zone name. A classless reverse zone name ("/" in
// a name ending in ".ARPA") has its slashes turned into "_", the zone builder's file-name
// convention, so that the viewer finds the files the builder's zones produce. A path with
// "../" anywhere is refused, and so is anything that is not a regular file inside the
// secondary directory: a symbolic link may lead elsewhere in that directory, never out of it
// (the panel runs the viewer as root; a link to "/" must not make it print any file). No
// database, no log: messages go to standard error.
#include "config.h"
#include "zonaris_version.h"

#include <popt.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/openat2.h>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <strings.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

const char *const version_line = "Zonaris: zoneview: version: " ZONARIS_VERSION;

void display_version() {
    printf("%s\n", version_line);
}

// Classless reverse zones ("0/26.2.0.192.IN-ADDR.ARPA") hold a "/"; their file name has
// "_" in its place, as the zone builder writes it.
void mangle_reverse_zone(std::string &name) {
    for (char &c : name)
        if (c == '/')
            c = '_';
}

// A name ends in ".ARPA" (any case) when its first such occurrence is its last five
// characters.
bool is_arpa_name(const std::string &name) {
    const char *hit = strcasestr(name.c_str(), ".ARPA");
    return hit && static_cast<size_t>(hit - name.c_str()) + 5 == name.size();
}

// A path that climbs upwards: "../" anywhere, or a final ".." segment.
bool climbs(const std::string &path) {
    if (path.find("../") != std::string::npos)
        return true;
    return path == ".." || (path.size() >= 3 && path.compare(path.size() - 3, 3, "/..") == 0);
}

// Opens `relative` below the directory `dir_fd` without leaving it: no ".." above it, no
// absolute or escaping symbolic link. Without openat2 (kernels before 5.6) every component
// is opened without following a symbolic link at all. -1 with errno on failure.
int open_beneath(int dir_fd, const std::string &relative) {
    const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
#ifdef SYS_openat2
    struct open_how how {};
    how.flags = flags;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const long fd = syscall(SYS_openat2, dir_fd, relative.c_str(), &how, sizeof how);
    if (fd >= 0 || errno != ENOSYS)
        return static_cast<int>(fd);
#endif
    int at = dup(dir_fd);
    size_t start = 0;
    while (at >= 0) {
        const size_t slash = relative.find('/', start);
        const bool last = slash == std::string::npos;
        const std::string part = relative.substr(start, last ? std::string::npos : slash - start);
        const int next =
            part.empty() ? dup(at)
                         : openat(at, part.c_str(),
                                  (last ? flags : O_PATH | O_DIRECTORY | O_CLOEXEC) | O_NOFOLLOW);
        const int err = errno;
        close(at);
        errno = err;
        if (last)
            return next;
        at = next;
        start = slash + 1;
    }
    return -1;
}

// 0 once the whole file was shown; 1 when nothing or not all of it could be shown.
int display_file(const std::string &name) {
    const std::string conf_path = etc_file("zonaris.conf");
    std::optional<std::string> named_d, secondary_d;
    if (parseconfig(conf_path, {{"NAMED_D", CONFIG_STR, nullptr, &named_d},
                                {"SECONDARY_D", CONFIG_STR, nullptr, &secondary_d}}) != 0) {
        fprintf(stderr, "Failed to parse configuration file %s\n", conf_path.c_str());
        return 1;
    }
    if (!named_d) {
        fputs("NAMED_D file isn't configured!\n", stderr);
        return 1;
    }
    if (!secondary_d) {
        fputs("SECONDARY_D file isn't configured!\n", stderr);
        return 1;
    }

    std::string dir, path;
    try {
        const char letter =
            static_cast<char>(name[0] >= 'A' && name[0] <= 'Z' ? name[0] - 'A' + 'a' : name[0]);
        dir = *named_d + *secondary_d;
        path = dir + "/" + letter + "/" + name;
    } catch (const std::bad_alloc &) {
        fputs("Not enought memory!\n", stderr);
        return 1;
    }
    if (climbs(path)) {
        fputs("Path cannot contain one or more \"../\" swquences!\n", stderr);
        return 1;
    }

    // Non-blocking open so that a FIFO cannot hang us; only a regular file inside the
    // secondary directory is shown.
    const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int fd = dir_fd < 0 ? -1 : open_beneath(dir_fd, path.substr(dir.size() + 1));
    if (dir_fd >= 0)
        close(dir_fd);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0)
            close(fd);
        fprintf(stderr, "Cannot open \"%s\" file!\n", path.c_str());
        return 1;
    }

    // Blocks of up to 511 bytes, each printed as text: a NUL byte ends its block's output.
    char buf[512];
    int result = 0;
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf - 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            fprintf(stderr, "Error reading from file: %s.\n", path.c_str());
            result = 1;
            break;
        }
        if (n == 0)
            break;
        buf[n] = '\0';
        fputs(buf, stdout);
    }
    putchar('\n');
    close(fd);
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "Error writing to standard output: %s\n", strerror(errno));
        return 1;
    }
    return result;
}

} // namespace

int main(int argc, const char **argv) {
    char *file = nullptr;
    int version = 0;
    struct poptOption options[] = {
        {"file", 'f', POPT_ARG_STRING, &file, 0, "File to be displayed", "string"},
        {"version", 'V', POPT_ARG_NONE, &version, 0, "Display version number and exit", nullptr},
        POPT_AUTOHELP POPT_TABLEEND};

    poptContext ctx = poptGetContext("zoneview", argc, argv, options, 0);
    if (!ctx) {
        fputs("An error occured before parsing command line arguments!\n", stderr);
        return 1;
    }
    if (argc < 2) {
        poptPrintUsage(ctx, stderr, 0);
        poptFreeContext(ctx);
        return 1;
    }
    int rc;
    while ((rc = poptGetNextOpt(ctx)) > 0) {
    }
    if (rc < -1) {
        fprintf(stderr, "%s: %s\n", poptBadOption(ctx, POPT_BADOPTION_NOALIAS), poptStrerror(rc));
        poptFreeContext(ctx);
        return 1;
    }
    // A stray argument is a mistake of the caller, not something to ignore.
    if (const char *extra = poptGetArg(ctx)) {
        fprintf(stderr, "Unexpected argument: %s\n", extra);
        poptFreeContext(ctx);
        return 1;
    }
    poptFreeContext(ctx);

    int status = 0;
    if (file && version) {
        fputs("Cannot specify --version and --file at the same time!\n", stderr);
        status = 1;
    } else if (file) {
        std::string name = file;
        if (name.empty()) {
            fputs("Zone name cannot be empty!\n", stderr);
            status = 1;
        } else {
            if (is_arpa_name(name))
                mangle_reverse_zone(name);
            status = display_file(name);
        }
    } else if (version) {
        display_version();
    } else {
        fputs("Nothing to do: give --file or --version.\n", stderr);
        status = 1;
    }
    free(file);
    return status;
}
