#include "feed_scan.h"

#include "feed_zone_lookup.h"
#include "logging.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::string zone_set_key(std::string_view name) {
    std::string key(name);
    for (char &c : key)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return key;
}

const zone_claim *zone_set_find(const zone_set &set, std::string_view name) {
    auto it = set.claims.find(zone_set_key(name));
    return it == set.claims.end() ? nullptr : &it->second;
}

void zone_set_put(zone_set &set, std::string_view name, zone_claim claim) {
    set.claims[zone_set_key(name)] = claim;
}

bool zone_set_erase(zone_set &set, std::string_view name) {
    return set.claims.erase(zone_set_key(name)) > 0;
}

namespace {

// Closes a descriptor when it goes out of scope.
struct fd_guard {
    int fd = -1;
    ~fd_guard() {
        if (fd >= 0)
            close(fd);
    }
};

bool read_all(int fd, std::string &text) {
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return false;
    text.clear();
    text.reserve(static_cast<size_t>(st.st_size));
    char buf[65536];
    while (true) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        text.append(buf, static_cast<size_t>(n));
    }
}

// The client's level for records of this kind of zone, and the permission's name.
int records_level(const feed_record &feed, int kind, const char **permission) {
    switch (kind) {
    case KIND_REVERSE4:
    case KIND_REVERSE6:
        *permission = "Add/Remove/Modify reverse zone records";
        return feed.perm.reverse_level;
    case KIND_ENUM:
        *permission = "Add/Remove/Modify e164 zone records";
        return feed.perm.enum_level;
    }
    *permission = "Add/Remove/Modify forward zone records";
    return feed.perm.forward_level;
}

enum claim_result { CLAIM_TAKEN, CLAIM_DUPLICATE, CLAIM_LEFT, CLAIM_DB_FAILED };

claim_result claim_zone(feed_record &feed, const std::string &name, scan_env &env) {
    const zone_claim *holder = zone_set_find(env.zones, name);
    const zone_claim mine{feed.id, feed.priority};
    if (!holder) {
        zone_set_put(env.zones, name, mine);
        return CLAIM_TAKEN;
    }
    if (holder->feed_id == feed.id)
        return CLAIM_DUPLICATE;
    if (holder->feed_id == 0)
        return CLAIM_LEFT; // reserved
    if (feed.perm.ignore_other_urls) {
        const int owner = get_zone_ownerurl(env.db, name);
        if (owner == -3)
            return CLAIM_DB_FAILED;
        if (owner != feed.id && owner != -2)
            return CLAIM_LEFT;
        zone_set_put(env.zones, name, mine);
        return CLAIM_TAKEN;
    }
    if (feed.priority < holder->priority) {
        zone_set_put(env.zones, name, mine);
        return CLAIM_TAKEN;
    }
    return CLAIM_LEFT;
}

} // namespace

int scan_feed_text(feed_record &feed, feed_file &file, scan_env &env, std::vector<size_t> *marks) {
    feed_reader reader{file.text};
    int zones_left = env.max_zones;
    feed_line header;
    while (true) {
        int rc = read_header_line(reader, header);
        if (rc == 1)
            return 0;
        if (rc < 0)
            return reader.line;
        if (zones_left <= 0) {
            feed_event_write(env.report, feed, 4, "EPU05",
                             "File's maximum number of zones limit reached",
                             std::to_string(env.max_zones), "");
            LOGF(LOG_WARNING,
                 "File from url: %s (%d) defines to many zones (%d). We skip the rest of the "
                 "file.",
                 feed.url.c_str(), feed.id, env.max_zones);
            feed.perm.clean_url_zones = 0;
            return 0;
        }
        --zones_left;

        zone_header zone;
        rc = resolve_header(header.text, zone, 1, env.db, feed.id);
        if (rc == HEADER_DB_FAILED)
            return SCAN_DB_FAILED;
        bool skip = rc != HEADER_OK;
        if (rc == HEADER_BAD)
            feed_event_write(env.report, feed, 4, "EPU02", "Syntax error",
                             std::to_string(header.number), "");
        const char *permission = nullptr;
        if (!skip && records_level(feed, zone.kind, &permission) > 20) {
            feed_event_write(env.report, feed, 4, "ES02", "Client permission denied", permission,
                             zone.name);
            skip = true;
        }
        if (skip) {
            if (skip_rec_zone(reader) != 0)
                return reader.line;
            continue;
        }

        switch (claim_zone(feed, zone.name, env)) {
        case CLAIM_DB_FAILED:
            return SCAN_DB_FAILED;
        case CLAIM_DUPLICATE: {
            // Every later pass skips this block: its header now begins with "|".
            const size_t at = static_cast<size_t>(header.text.data() - file.text.data());
            file.text[at] = '|';
            if (marks)
                marks->push_back(at);
            feed_event_write(env.report, feed, 4, "EPU03", "Duplicate zone",
                             std::to_string(header.number), zone.name);
            break;
        }
        default:
            break;
        }
        skip_rec_zone(reader); // the end of the text ends the block
    }
}

int dump2hash(feed_record &feed, const std::string &path, feed_file &file, scan_env &env) {
    file = feed_file{};
    file.path = path;
    fd_guard fd{open(path.c_str(), O_RDWR | O_CLOEXEC)};
    if (fd.fd < 0 || !read_all(fd.fd, file.text)) {
        LOGF(LOG_ERR, "Failed to open %s", path.c_str());
        feed.perm.clean_url_zones = 0;
        file.text.clear();
        return SCAN_CANNOT_OPEN;
    }
    file.line_end = get_line_end(file.text);
    if (file.line_end == LINE_END_BAD) {
        feed_event_write(env.report, feed, 3, "EPU01", "Unsupported line terminator", {}, "");
        LOGF(LOG_ERR, "Unsupported line terminator in file from url %s", feed.url.c_str());
        feed.perm.clean_url_zones = 0;
        file.text.clear();
        return SCAN_BAD_LINE_END;
    }
    std::vector<size_t> marks;
    int rc = scan_feed_text(feed, file, env, &marks);
    for (size_t at : marks) {
        if (pwrite(fd.fd, "|", 1, static_cast<off_t>(at)) != 1) {
            LOGF(LOG_ERR, "Failed to mark a duplicate zone in %s", path.c_str());
            rc = SCAN_CANNOT_OPEN;
            break;
        }
    }
    if (rc != 0) {
        feed.perm.clean_url_zones = 0;
        file.text.clear();
    }
    return rc;
}
