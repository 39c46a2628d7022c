#include "poolwatch_config.h"

#include "config.h"
#include "logging.h"

#include <algorithm>
#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace {

struct number_key {
    const char *name;
    std::optional<long long> value;
    int *target;
    int fallback;
    const char *missing_wording; // how the "not found" warning goes on for this key
};

// A number that is absent or negative, or zero, takes its default with the warning the
// administrator looks for.
void settle_number(const number_key &key) {
    if (!key.value || *key.value < 0) {
        *key.target = key.fallback;
        LOGF(LOG_WARNING,
             "Configuration directive %s not found or a negative number %s, default: %s = %d",
             key.name, key.missing_wording, key.name, key.fallback);
        return;
    }
    if (*key.value == 0 || *key.value > 0x7fffffffLL) {
        *key.target = key.fallback;
        LOGF(LOG_WARNING, "Configuration directive %s must be a positive number, default: %s = %d",
             key.name, key.name, key.fallback);
        return;
    }
    *key.target = static_cast<int>(*key.value);
}

// An optional count of verdicts in a row: absent gives 1 (switch on the first one).
void settle_count(const char *name, const std::optional<long long> &value, int &target) {
    target = 1;
    if (!value)
        return;
    if (*value < 1 || *value > 1000) {
        LOGF(LOG_WARNING,
             "Configuration directive %s must be a number from 1 to 1000, default: %s = 1", name,
             name);
        return;
    }
    target = static_cast<int>(*value);
}

std::optional<bool> parse_switch(const std::string &text) {
    for (const char *yes : {"yes", "on", "true", "1"})
        if (text == yes)
            return true;
    for (const char *no : {"no", "off", "false", "0"})
        if (text == no)
            return false;
    return std::nullopt;
}

} // namespace

int poolwatch_read_config(const std::string &path, poolwatch_config &cfg) {
    cfg = poolwatch_config{};
    struct {
        std::optional<long long> concurrency, drift, timeout, interval, rise, fall;
        std::optional<std::string> script_dir, script_user, keep_one_up;
    } k;
    const std::vector<config_entry> own = {
        {"POOLWATCH_CONCURRENCY", CONFIG_INT, &k.concurrency, nullptr},
        {"POOLWATCH_DRIFT", CONFIG_INT, &k.drift, nullptr},
        {"POOLWATCH_TIMEOUT", CONFIG_INT, &k.timeout, nullptr},
        {"POOLWATCH_POOLING_INTERVAL", CONFIG_INT, &k.interval, nullptr},
        {"POOLWATCH_D", CONFIG_STR, nullptr, &k.script_dir},
        {"POOLWATCH_SCRIPT_USER", CONFIG_STR, nullptr, &k.script_user},
        {"POOLWATCH_RISE", CONFIG_INT, &k.rise, nullptr},
        {"POOLWATCH_FALL", CONFIG_INT, &k.fall, nullptr},
        {"POOLWATCH_KEEP_ONE_UP", CONFIG_STR, nullptr, &k.keep_one_up},
    };
    std::string error;
    const int rc = read_base_settings(POOLWATCH_IDENTITY, path, cfg.base, error, own);
    if (rc != 0) {
        LOGF(LOG_ERR, "%s", error.c_str());
        // Nothing of a file that did not load is taken.
        k = {};
        cfg.base.pid_file = POOLWATCH_DEFAULT_PID_FILE;
        cfg.base.pid_file_default = true;
    }

    settle_number({"POOLWATCH_CONCURRENCY", k.concurrency, &cfg.concurrency,
                   POOLWATCH_DEFAULT_CONCURRENCY, "found"});
    settle_number({"POOLWATCH_DRIFT", k.drift, &cfg.drift, POOLWATCH_DEFAULT_DRIFT, "found"});
    settle_number(
        {"POOLWATCH_TIMEOUT", k.timeout, &cfg.timeout, POOLWATCH_DEFAULT_TIMEOUT, "had been set"});
    settle_number({"POOLWATCH_POOLING_INTERVAL", k.interval, &cfg.pooling_interval,
                   POOLWATCH_DEFAULT_POOLING_INTERVAL, "had been set"});
    if (cfg.base.pid_file_default)
        LOGF(LOG_WARNING,
             "Configuration directive POOLWATCH_PID_FILE not found, default: POOLWATCH_PID_FILE = "
             "%s",
             cfg.base.pid_file.c_str());
    if (k.script_dir && !k.script_dir->empty()) {
        cfg.script_dir = *k.script_dir;
    } else {
        LOGF(LOG_WARNING,
             "Configuration directive POOLWATCH_D not found, default: POOLWATCH_D = %s",
             cfg.script_dir.c_str());
    }
    if (k.script_user && !k.script_user->empty())
        cfg.script_user = *k.script_user;
    else
        LOGF(LOG_INFO,
             "Configuration directive POOLWATCH_SCRIPT_USER not found, default: "
             "POOLWATCH_SCRIPT_USER = %s",
             cfg.script_user.c_str());
    settle_count("POOLWATCH_RISE", k.rise, cfg.rise);
    settle_count("POOLWATCH_FALL", k.fall, cfg.fall);
    if (k.keep_one_up) {
        const std::optional<bool> on = parse_switch(*k.keep_one_up);
        if (on)
            cfg.keep_one_up = *on;
        else
            LOGF(LOG_WARNING,
                 "Configuration directive POOLWATCH_KEEP_ONE_UP must be yes or no, default: "
                 "POOLWATCH_KEEP_ONE_UP = no");
    }
    return rc == 0 ? 0 : -1;
}

int poolwatch_read_pid_config(const std::string &path, poolwatch_config &cfg) {
    cfg = poolwatch_config{};
    std::string error;
    if (read_base_settings(POOLWATCH_IDENTITY, path, cfg.base, error) != 0) {
        cfg.base.pid_file = POOLWATCH_DEFAULT_PID_FILE;
        return -1;
    }
    return 0;
}

int poolwatch_script_account(const std::string &user, script_account &account) {
    struct passwd pwd, *found = nullptr;
    std::vector<char> buf(16384);
    while (getpwnam_r(user.c_str(), &pwd, buf.data(), buf.size(), &found) == ERANGE &&
           buf.size() < (1u << 20))
        buf.resize(buf.size() * 2);
    if (!found) {
        LOGF(LOG_ERR, "Test script user:'%s' does not exist.", user.c_str());
        return -1;
    }
    script_account a;
    a.name = user;
    a.uid = pwd.pw_uid;
    a.gid = pwd.pw_gid;
    int n = 32;
    for (int attempt = 0; attempt < 4; ++attempt) {
        a.groups.resize(static_cast<size_t>(n));
        if (getgrouplist(user.c_str(), a.gid, a.groups.data(), &n) >= 0)
            break;
        n = std::clamp(n, 1, 65536); // the size asked for
    }
    a.groups.resize(static_cast<size_t>(std::clamp(n, 0, static_cast<int>(a.groups.size()))));
    if (geteuid() == 0) {
        a.switch_user = true;
        if (a.uid == 0)
            LOGF(LOG_WARNING, "Test scripts run as root (POOLWATCH_SCRIPT_USER = %s).",
                 user.c_str());
    } else if (a.uid != geteuid()) {
        LOGF(LOG_WARNING,
             "poolwatchd does not run as root: test scripts run as its own user, not as '%s'.",
             user.c_str());
    }
    account = std::move(a);
    return 0;
}
