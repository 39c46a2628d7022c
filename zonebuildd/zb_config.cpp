#include "zb_config.h"

#include "catalog_zone.h"
#include "config.h"
#include "dns_common.h"
#include "dns_log.h"
#include "event_row.h"
#include "files.h"
#include "liblog.h"
#include "logging.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The raw values of zonebuildd's own keys, before defaults and checks (the shared keys are
// read by read_base_settings in the same pass).
struct raw_config {
    std::optional<std::string> rndc_dir, named_root, named_file, acl_file, master_d, secondary_d,
        temp_d, named_user, named_group, serial, catalog;
    std::optional<long long> run_interval, concurrency, stall_limit;
};

std::vector<config_entry> config_table(raw_config &r) {
    return {config_text("RNDC_BIN_D", r.rndc_dir),
            config_text("NAMED_D", r.named_root),
            config_text("NAMED_FILE", r.named_file),
            config_text("NAMED_ACL_FILE", r.acl_file),
            config_text("MASTER_D", r.master_d),
            config_text("SECONDARY_D", r.secondary_d),
            config_text("TEMP_D", r.temp_d),
            config_number("ZONEBUILD_RUN_INTERVAL", r.run_interval),
            config_number("ZONEBUILD_CONCURRENCY_LIMIT", r.concurrency),
            config_number("ZONEBUILD_WORKER_STALL_LIMIT", r.stall_limit),
            config_text("NAMED_USERNAME", r.named_user),
            config_text("NAMED_GROUP", r.named_group),
            config_text("ZONE_SERIAL", r.serial),
            config_text("ZONEBUILD_CATALOG_ZONE", r.catalog)};
}

// printf of a format with one text argument; the formats are this file's own constants.
std::string format_text(const char *format, const std::string &arg) {
    char buf[4096];
    snprintf(buf, sizeof buf, format, arg.c_str());
    return buf;
}

// One configured path: the default with its info line when absent, else the value
// normalised by path_purge (refused: the error line) with its info line.
int configured_path(const std::optional<std::string> &value, const char *fallback,
                    const char *default_fmt, const char *invalid_fmt, const char *using_fmt,
                    std::string &out) {
    if (!value) {
        out = fallback;
        LOGF(LOG_INFO, "%s", format_text(default_fmt, out).c_str());
        return 0;
    }
    out = *value;
    if (path_purge(out, 0) != 0) {
        LOGF(LOG_ERR, "%s", format_text(invalid_fmt, *value).c_str());
        return -1;
    }
    LOGF(LOG_INFO, "%s", format_text(using_fmt, out).c_str());
    return 0;
}

std::string base_name(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The database keys, checked by the shared loader, with the lines the daemon logs.
int report_database(const db_settings &db) {
    if (const auto missing = missing_db_setting(db)) {
        LOGF(LOG_ERR, "%s", missing->c_str());
        return -1;
    }
    LOGF(LOG_INFO, "Using configured database host url: %s.", db.host.c_str());
    if (db.port_given)
        LOGF(LOG_INFO, "Using configured database port: %u.", db.port);
    else
        LOGF(LOG_INFO, "Database port not specified. Using default: %u.", db.port);
    LOGF(LOG_INFO, "Using configured database user: %s.", db.user.c_str());
    LOGF(LOG_INFO, "Database name is: %s.", db.name.c_str());
    return 0;
}

int load_numbers(const raw_config &r, zb_settings &out) {
    if (r.run_interval) {
        // 0 would make the timer spin; a negative value would wrap into decades.
        if (*r.run_interval < 1 || *r.run_interval > UINT32_MAX) {
            LOGF(LOG_ERR, "Invalid run interval value: %lld.", *r.run_interval);
            return -1;
        }
        out.run_interval = static_cast<uint32_t>(*r.run_interval);
    }
    if (r.concurrency) {
        // Below 1 no worker would write anything and every job would report nothing done.
        if (*r.concurrency < 1 || *r.concurrency > INT_MAX) {
            LOGF(LOG_ERR,
                 "Invalid concurrency limit value: %lld. At least one worker process is "
                 "required.",
                 *r.concurrency);
            return -1;
        }
        out.concurrency_limit = static_cast<int>(*r.concurrency);
    }
    if (r.stall_limit) {
        if (*r.stall_limit < 1 || *r.stall_limit > 86400) {
            LOGF(LOG_ERR, "Invalid worker stall limit: %lld. Seconds from 1 to 86400 are allowed.",
                 *r.stall_limit);
            return -1;
        }
        out.worker_stall_limit = static_cast<time_t>(*r.stall_limit);
    }
    return 0;
}

int load_paths(const raw_config &r, zb_settings &out) {
    if (configured_path(r.temp_d, "/usr/local/zonaris/tmp",
                        "Temporary directory was not specified. Using default: %s",
                        "Invalid temporary directory specified: %s.",
                        "Using configured temporary directory: %s.", out.temp_d) != 0)
        return -1;
    out.work_name = "tmp_" + std::to_string(getpid());
    if (configured_path(r.named_root, "/var/named/chroot",
                        "named root directory was not specified. Using default: %s.",
                        "Invalid named root directory specified: %s.",
                        "Using configured named root directory: %s.", out.named_root) != 0)
        return -1;
    if (configured_path(r.rndc_dir, "/usr/sbin",
                        "rdnc directory was not specified. Using default: %s.",
                        "Invalid rdnc directory specified: %s.",
                        "Using configured rdnc directory: %s.", out.rndc_dir) != 0)
        return -1;
    if (configured_path(r.named_file, "/etc/zonaris.include",
                        "named include file was not specified. Using default: %s.",
                        "Invalid named file specified: %s.", "Using configured named file: %s.",
                        out.named_file) != 0)
        return -1;
    out.named_file_base = base_name(out.named_file);
    if (configured_path(r.acl_file, "/etc/zonaris.acl",
                        "named acl file was not specified. Using default: %s.",
                        "Invalid named file specified: %s.", "Using configured named acl file: %s.",
                        out.acl_file) != 0)
        return -1;
    out.acl_file_base = base_name(out.acl_file);
    if (out.named_file_base.empty() || out.acl_file_base.empty()) {
        LOGF(LOG_ERR, "The named include file and acl file must be file paths.");
        return -1;
    }
    if (configured_path(r.master_d, "/var/named",
                        "Master DNS zones directory was not specified. Using default: %s.",
                        "Invalid master DNS zones directory: %s.",
                        "Using configured master DNS zones directory: %s.", out.master_d) != 0)
        return -1;
    if (configured_path(r.secondary_d, "/var/named/slaves",
                        "Secondary DNS zones directory was not specified. Using default: %s.",
                        "Invalid secondary DNS zones directory: %s.",
                        "Using configured secondary DNS zones directory: %s", out.secondary_d) != 0)
        return -1;
    return 0;
}

// The owner of the directories built in the work area. A name that the system does not
// know is refused: silently keeping root as owner would leave named unable to write.
int load_named_owner(const raw_config &r, zb_settings &out) {
    if (r.named_user) {
        const passwd *pw = getpwnam(r.named_user->c_str());
        if (!pw) {
            LOGF(LOG_ERR, "Unknown named user: %s.", r.named_user->c_str());
            return -1;
        }
        out.named_uid = pw->pw_uid;
    }
    if (r.named_group) {
        const group *gr = getgrnam(r.named_group->c_str());
        if (!gr) {
            LOGF(LOG_ERR, "Unknown named group: %s.", r.named_group->c_str());
            return -1;
        }
        out.named_gid = gr->gr_gid;
    }
    return 0;
}

bool readable_dir(const std::string &path) {
    return io_valid_dir(path.c_str()) && access(path.c_str(), R_OK | W_OK | X_OK) == 0;
}

// The catalog zone's name: absent, no catalog; otherwise a domain name.
int load_catalog(const raw_config &r, zb_settings &out) {
    if (!r.catalog) {
        LOGF(LOG_INFO, "Catalog zone was not specified: no catalog zone is written.");
        return 0;
    }
    const std::optional<std::string> name = catalog_configured_name(*r.catalog);
    if (!name)
        return -1;
    out.catalog_zone = *name;
    LOGF(LOG_INFO, "Using configured catalog zone: %s.", out.catalog_zone.c_str());
    return 0;
}

} // namespace

std::string zb_work_dir(const zb_settings &s) {
    return s.temp_d + "/" + s.work_name;
}

std::string zb_live_include(const zb_settings &s) {
    return s.named_root + "/" + s.named_file;
}

int zb_load_settings(const std::string &config_path, const zb_load_options &opt, zb_settings &out) {
    raw_config r;
    std::string error;
    out = zb_settings{};
    if (read_base_settings(zonebuildd_identity, config_path, out.base, error, config_table(r),
                           opt.first ? nullptr : &opt.current_pid_file) != 0) {
        LOGF(LOG_ERR, "%s", error.c_str());
        return -1;
    }
    if (opt.on_parsed && opt.on_parsed(out) != 0)
        return -1;
    if (out.base.pid_file_default)
        LOGF(LOG_INFO, "Pid file path not set in '%s'. Using default '%s'.", config_path.c_str(),
             out.base.pid_file.c_str());
    if (report_database(out.base.db) != 0)
        return -1;

    if (!r.serial) {
        LOGF(LOG_INFO, "Zone serial format was not specified. Using default: %s.", "RFC");
    } else if (*r.serial == "RFC" || *r.serial == "timestamp") {
        out.serial_format = *r.serial;
    }
    LOGF(LOG_INFO, "Using configured zone serial format: %s.", out.serial_format.c_str());
    if (load_catalog(r, out) != 0)
        return -1;

    if (load_numbers(r, out) != 0 || load_paths(r, out) != 0 || load_named_owner(r, out) != 0)
        return -1;
    return 0;
}

sql_handle zonebuildd_init_db(const zb_settings &s) {
    return connect_database(s.base.db);
}

namespace {

int setup_fs_steps(const zb_settings &s, int create, work_area &wa, sql_conn *db, int event_level) {
    if (!io_valid_dir(s.temp_d.c_str()) &&
        (fr_mkdir(s.temp_d, true, 0700) != 0 || chmod(s.temp_d.c_str(), 0700) != 0)) {
        LOGF(LOG_ERR, "Failed to create temporary directory %s: %s", s.temp_d.c_str(),
             strerror(errno));
        return -1;
    }
    // Our own name: left over by a crash of a daemon whose pid we now have.
    struct stat st;
    if (lstat(wa.dir.c_str(), &st) == 0) {
        LOGF(LOG_WARNING, "Removing stale work directory %s.", wa.dir.c_str());
        if (fr_rm(wa.dir) != 0) {
            LOGF(LOG_ERR, "Failed to remove stale work directory %s: %s", wa.dir.c_str(),
                 strerror(errno));
            return -1;
        }
    }
    if (mkdir(wa.dir.c_str(), 0700) != 0) {
        LOGF(LOG_ERR, "Failed to create temporary directory %s: %s", s.work_name.c_str(),
             strerror(errno));
        return -1;
    }
    wa.made = true;
    if (chmod(wa.dir.c_str(), 0700) != 0) {
        LOGF(LOG_ERR, "Failed to set the mode of %s: %s", wa.dir.c_str(), strerror(errno));
        return -1;
    }
    LOGF(LOG_INFO, "Temporary directory successfuly created: %s", s.work_name.c_str());

    if (!io_valid_dir(s.named_root.empty() ? "/" : s.named_root.c_str()) ||
        access(wa.dir.c_str(), R_OK | W_OK | X_OK) != 0) {
        LOGF(LOG_ERR, "named root directory check failed: %s", s.named_root.c_str());
        return -1;
    }
    const std::string live = zb_live_include(s);
    LOGF(LOG_INFO, "zonaris include file is %s", live.c_str());
    if (create) {
        // A restore builds the include file from nothing and installs it whole at the end;
        // the live file is left alone until then. Its directory must exist for that.
        const std::string dir = live.substr(0, live.rfind('/'));
        if (!readable_dir(dir.empty() ? "/" : dir)) {
            LOGF(LOG_ERR, "The zonaris include file %s is not accessible.", live.c_str());
            return -1;
        }
    } else {
        if (!io_valid_file(live.c_str()) || access(live.c_str(), R_OK | W_OK) != 0) {
            LOGF(LOG_ERR, "The zonaris include file %s is not accessible.", live.c_str());
            return -1;
        }
        wa.live_include = fopen(live.c_str(), "re");
        if (!wa.live_include) {
            LOGF(LOG_ERR, "Error opening zonris include file %s: %s", live.c_str(),
                 strerror(errno));
            (void)event_row(FACILITY_ZONEBUILD, LOG_ERR, "Run time error", "ER05")
                .info("fail|open r|" + live)
                .write(db, event_level);
            return -1;
        }
    }
    for (const bool primary : {true, false}) {
        const std::string &dir = primary ? s.master_d : s.secondary_d;
        const std::string live_dir = s.named_root + "/" + dir;
        if (!readable_dir(live_dir)) {
            if (primary)
                LOGF(LOG_ERR, "The master DNS zones directory %s is not accessible.",
                     live_dir.c_str());
            else
                LOGF(LOG_ERR, "The secondary DNS zones directory %s is not accessible.",
                     live_dir.c_str());
            return -1;
        }
        if (primary)
            LOGF(LOG_INFO, "Master DNS zones directory is: %s", live_dir.c_str());
        else
            LOGF(LOG_INFO, "Secondary DNS zones directory is: %s", live_dir.c_str());
        const std::string work = wa.dir + "/" + dir;
        if (fr_mkdir(work, true, 0750, s.named_uid, s.named_gid) != 0 ||
            chmod(work.c_str(), 0750) != 0) {
            LOGF(LOG_ERR, "Failed to create directory %s: %s", work.c_str(), strerror(errno));
            return -1;
        }
    }
    const std::string tmp = wa.dir + "/" + s.named_file_base;
    wa.tmp_include = open_new_file(tmp, 0644);
    if (!wa.tmp_include) {
        LOGF(LOG_ERR, "Error opening temporary zonaris include file %s: %s", tmp.c_str(),
             strerror(errno));
        (void)event_row(FACILITY_ZONEBUILD, LOG_ERR, "Run time error", "ER05")
            .info("fail|open r/w|" + tmp)
            .write(db, event_level);
        return -1;
    }
    return 0;
}

} // namespace

namespace {

// The pid of a name "<prefix><digits>", or 0.
pid_t pid_in_name(std::string_view name, std::string_view prefix) {
    if (name.substr(0, prefix.size()) != prefix || name.size() == prefix.size() ||
        name.size() - prefix.size() > 9)
        return 0;
    pid_t pid = 0;
    for (char c : name.substr(prefix.size())) {
        if (c < '0' || c > '9')
            return 0;
        pid = pid * 10 + (c - '0');
    }
    return pid;
}

void remove_dirs_of_dead(const std::string &dir, std::string_view prefix) {
    DIR *d = opendir(dir.c_str());
    if (!d)
        return;
    std::vector<std::string> stale;
    while (const dirent *e = readdir(d)) {
        const pid_t pid = pid_in_name(e->d_name, prefix);
        if (pid > 1 && pid != getpid() && kill(pid, 0) != 0 && errno == ESRCH)
            stale.push_back(dir + "/" + e->d_name);
    }
    closedir(d);
    for (const std::string &path : stale) {
        if (fr_rm(path) == 0)
            LOGF(LOG_WARNING, "Removed %s, left by a process that no longer exists.", path.c_str());
        else
            LOGF(LOG_WARNING, "Failed to remove %s: %s", path.c_str(), strerror(errno));
    }
}

} // namespace

void remove_stale_work_dirs(const zb_settings &s) {
    remove_dirs_of_dead(s.temp_d, "tmp_");
    remove_dirs_of_dead(s.named_root + "/" + s.master_d, ".zonebuildd-stage-");
}

FILE *open_new_file(const std::string &path, mode_t mode) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0)
        return nullptr;
    FILE *f = nullptr;
    if (fchmod(fd, mode) != 0 || (f = fdopen(fd, "w+")) == nullptr) {
        const int e = errno;
        close(fd);
        errno = e;
        return nullptr;
    }
    return f;
}

int setup_fs(const zb_settings &s, int create, work_area &wa, sql_conn *db, int event_level) {
    clean_fs(wa);
    wa.dir = zb_work_dir(s);
    const int rc = setup_fs_steps(s, create, wa, db, event_level);
    if (rc != 0) {
        // Undo what was made, so that the next job starts from a clean state.
        clean_fs(wa);
        return -1;
    }
    return 0;
}

work_area::~work_area() {
    clean_fs(*this);
}

int clean_fs(work_area &wa) {
    if (wa.tmp_include)
        fclose(wa.tmp_include);
    if (wa.live_include)
        fclose(wa.live_include);
    wa.tmp_include = wa.live_include = nullptr;
    if (wa.made) {
        if (fr_rm(wa.dir) == 0)
            LOGF(LOG_INFO, "Removed %s.", wa.dir.c_str());
        else
            LOGF(LOG_WARNING, "Failed to remove %s: %s", wa.dir.c_str(), strerror(errno));
        wa.made = false;
    }
    return 0;
}
