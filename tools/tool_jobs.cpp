// Command lines of the job-queue tools and the rows they queue.
#include "tool_jobs.h"
#include "zonaris_version.h"

#include "liblog.h"
#include "logging.h"
#include "numbers.h"
#include "sql.h"

#include <popt.h>

#include <cstdlib>
#include <memory>

const char *const zonefeed_usage =
    "Usage:\n\tzonefeed [-v|--verbose | -q|--quiet]\n\tzonefeed -n|--now [-f|--force] "
    "[-C|--client <id>|\"<id>[ <id2>[ ...]]\"]\n\tzonefeed -c|--config\n\tzonefeed "
    "-k|--kill\n\tzonefeed -V|--version | -h|--help\n\nzonefeed schedules jobs for zonefeedd "
    "daemon.\n\nDo not relay on zonefeed for error checking,\nzonefeed exits WITHOUT waiting "
    "for job completion on the daemon.\n\nValid options:\n\tAll jobs are added to zonefeedd "
    "queue!\n\t<no options>: Checks zonefeedd, returns 0 or 1 \n\tbased on daemon "
    "state.\n\t-n|--now: Tries to import zones from remote update locations "
    "immediately\n\t-f|--force: Ignores the update schedule for remote update "
    "locations\n\t\tforcing the update.\n\t-C|--client: Updates the Remote locations of the "
    "enumerated client ids.\n\t\t(space separated)\n\t\tIs added to --now along with --force "
    "else it has no effect\n\t-c|--config: Signals deamon to reload the configuration "
    "files.\n\t-k|--kill: Stops daemon after current job is completed.\n\t-V|--version: "
    "Displays zonefeed version.\n\t-h|--help: Displays command line options.\n";

const char *const zonebuild_usage =
    "Usage:\n\tzonebuild -n|--now\n\tzonebuild -r|--restore\n\tzonebuild "
    "-c|--config\n\tzonebuild -k|--kill\n\tzonebuild -V|--version | -h|--help\n\nzonebuild "
    "schedules jobs for zonebuildd deamon.\n\nDo not relay on zonebuild for error "
    "checking,\nzonebuild exists WITHOUT waiting for the job completion on the "
    "daemon.\n\nValid options:\n\t<no options>: Checks zonebuildd, returns 0 or 1 based on "
    "demon state.\n\t-n|--now: Tries to sync disk with database immediately and reload "
    "named.\n\t-r|--restore: Restores all zones from database to disk.\n\t-c|--config: Signals "
    "daemon to reread the configuration files.\n\t-k|--kill: Stops daemon after current job is "
    "completed\n\t-V|--version: Displays zonebuild version.\n\t-h|--help: Displays command "
    "line options.\n";

namespace {

constexpr size_t max_client_text = 4095;

struct popt_deleter {
    void operator()(poptContext ctx) const { poptFreeContext(ctx); }
};
using popt_handle = std::unique_ptr<std::remove_pointer_t<poptContext>, popt_deleter>;

int popt_failed(poptContext ctx, int rc) {
    LOGF(LOG_ERR, "%s: %s", poptBadOption(ctx, POPT_BADOPTION_NOALIAS), poptStrerror(rc));
    return 1;
}

// Arguments that are not options have no meaning to either tool.
int stray_arguments(poptContext ctx) {
    if (const char *arg = poptPeekArg(ctx)) {
        LOGF(LOG_ERR, "Unexpected argument: %s", arg);
        return 1;
    }
    return args_ok;
}

} // namespace

int zonefeed_parse_args(int argc, const char **argv, zonefeed_request &request) {
    const struct poptOption options[] = {
        {"now", 'n', POPT_ARG_NONE, nullptr, 'n', nullptr, nullptr},
        {"force", 'f', POPT_ARG_NONE, nullptr, 'f', nullptr, nullptr},
        {"client", 'C', POPT_ARG_STRING, nullptr, 'C', nullptr, nullptr},
        {"config", 'c', POPT_ARG_NONE, nullptr, 'c', nullptr, nullptr},
        {"kill", 'k', POPT_ARG_NONE, nullptr, 'k', nullptr, nullptr},
        {"help", 'h', POPT_ARG_NONE, nullptr, 'h', nullptr, nullptr},
        {"version", 'V', POPT_ARG_NONE, nullptr, 'V', nullptr, nullptr},
        POPT_TABLEEND};
    popt_handle ctx(poptGetContext("zonefeed", argc, argv, options, 0));
    bool mode_set = false, force = false, client_given = false;
    std::string client_text;
    int rc;
    while ((rc = poptGetNextOpt(ctx.get())) > 0) {
        switch (rc) {
        case 'h':
            LOGF(LOG_INFO, "%s", zonefeed_usage);
            return 0;
        case 'V':
            LOGF(LOG_INFO, "%s", "Zonaris: zonefeed: version: " ZONARIS_VERSION "\n");
            return 0;
        case 'f':
            force = true;
            continue;
        case 'C': {
            char *arg = poptGetOptArg(ctx.get());
            client_text = arg ? arg : "";
            free(arg);
            client_given = true;
            continue;
        }
        default:
            break;
        }
        if (mode_set) {
            if (rc == 'n')
                LOGF(LOG_ERR, "-c/--config ,-n/--now and -k/--kill are mutually exclusive.");
            else
                LOGF(LOG_ERR, "-c/--config, -n/--now and -k/--kill are mutually exclusive.");
            return 1;
        }
        mode_set = true;
        request.mode = rc == 'n'   ? zonefeed_mode::import
                       : rc == 'c' ? zonefeed_mode::reread
                                   : zonefeed_mode::stop;
    }
    if (rc < -1)
        return popt_failed(ctx.get(), rc);
    if (int stray = stray_arguments(ctx.get()); stray != args_ok)
        return stray;

    if (request.mode != zonefeed_mode::import)
        return args_ok;
    if (force && client_given) {
        if (client_text.size() > max_client_text) {
            LOGF(LOG_ERR, "argument too long: %s", client_text.c_str());
            return 1;
        }
        if (parse_client_ids(client_text, request.client_ids) != 0)
            return 1;
        request.mode = zonefeed_mode::client_import;
    } else if (force) {
        request.mode = zonefeed_mode::import_all;
    } else if (client_given) {
        LOGF(LOG_ERR, "-C/--client needs -f/--force: nothing was queued.");
        return 1;
    }
    return args_ok;
}

int zonebuild_parse_args(int argc, const char **argv, zonebuild_mode &mode) {
    const struct poptOption options[] = {
        {"now", 'n', POPT_ARG_NONE, nullptr, 'n', nullptr, nullptr},
        {"restore", 'r', POPT_ARG_NONE, nullptr, 'r', nullptr, nullptr},
        {"acl", 'a', POPT_ARG_NONE, nullptr, 'a', nullptr, nullptr},
        {"config", 'c', POPT_ARG_NONE, nullptr, 'c', nullptr, nullptr},
        {"kill", 'k', POPT_ARG_NONE, nullptr, 'k', nullptr, nullptr},
        {"help", 'h', POPT_ARG_NONE, nullptr, 'h', nullptr, nullptr},
        {"version", 'V', POPT_ARG_NONE, nullptr, 'V', nullptr, nullptr},
        POPT_TABLEEND};
    popt_handle ctx(poptGetContext("zonebuild", argc, argv, options, 0));
    poptSetOtherOptionHelp(ctx.get(), "([-f][-v LEVEL][-c CLIENT_ID_LIST|-u URL_ID_LIST]) | "
                                      "[-V|-h]\n");
    mode = zonebuild_mode::check;
    bool mode_set = false;
    int rc;
    while ((rc = poptGetNextOpt(ctx.get())) > 0) {
        if (rc == 'h') {
            LOGF(LOG_INFO, "%s", zonebuild_usage);
            return 0;
        }
        if (rc == 'V') {
            LOGF(LOG_INFO, "%s", "Zonaris: zonebuild: version: " ZONARIS_VERSION "\n");
            return 0;
        }
        if (mode_set) {
            if (rc == 'n')
                LOGF(LOG_ERR, "%s",
                     "-c/--config ,-n/--now, -r/--restore -a/--acl and -k/--kill are mutually "
                     "exclusive.\n Exiting ...\n");
            else
                LOGF(LOG_ERR, "%s",
                     "-c/--config, -n/--now, -r/--restore -a/--acl and -k/--killare mutually "
                     "exclusive.\n Exiting ...\n");
            return 1;
        }
        mode_set = true;
        switch (rc) {
        case 'n':
            mode = zonebuild_mode::changes;
            break;
        case 'r':
            mode = zonebuild_mode::restore;
            break;
        case 'a':
            mode = zonebuild_mode::write_acl;
            break;
        case 'c':
            mode = zonebuild_mode::reread;
            break;
        default:
            mode = zonebuild_mode::stop;
            break;
        }
    }
    if (rc < -1)
        return popt_failed(ctx.get(), rc);
    return stray_arguments(ctx.get());
}

int parse_client_ids(std::string_view text, std::vector<std::string> &ids) {
    ids.clear();
    while (!text.empty()) {
        const size_t space = text.find(' ');
        const std::string_view item = text.substr(0, space);
        text = space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
        if (item.empty())
            continue;
        uint32_t id = 0;
        if (item.find_first_not_of("0123456789") != std::string_view::npos ||
            str_touint32_err(item, &id) != 0) {
            LOGF(LOG_ERR, "Invalid client id '%.*s': client ids are decimal numbers.",
                 static_cast<int>(item.size()), item.data());
            ids.clear();
            return -1;
        }
        std::string canonical = std::to_string(id);
        bool known = false;
        for (const std::string &seen : ids)
            known = known || seen == canonical;
        if (!known)
            ids.push_back(std::move(canonical));
    }
    if (ids.empty()) {
        LOGF(LOG_ERR, "No client id given.");
        return -1;
    }
    return 0;
}

int queue_client_imports(sql_conn *db, const std::vector<std::string> &ids) {
    if (ids.empty())
        return -1;
    // The ids are decimal numbers (parse_client_ids); each still goes in as an escaped text.
    std::string format = "INSERT INTO `custom_job_queue`(`action`, `value`, `service`, "
                         "`timestamp`) VALUES";
    std::vector<sql_arg> args;
    for (const std::string &id : ids) {
        format += "('forceclient', '%s', 'ZONEFEED', NOW()),";
        args.emplace_back(id);
    }
    format.pop_back();
    if (fr_sql_query_args(db, nullptr, format, args) != 0) {
        LOGF(LOG_WARNING, "%s", fr_sql_error(db).c_str());
        return -1;
    }
    return 0;
}

int withdraw_client_imports(sql_conn *db, const std::vector<std::string> &ids) {
    if (ids.empty())
        return 0;
    std::string list;
    std::vector<sql_arg> args;
    for (const std::string &id : ids) {
        list += list.empty() ? "'%s'" : ",'%s'";
        args.emplace_back(id);
    }
    const std::string format =
        "DELETE FROM `custom_job_queue` WHERE `service`='ZONEFEED' AND `value` IN(" + list + ")";
    if (fr_sql_query_args(db, nullptr, format, args) != 0) {
        LOGF(LOG_WARNING, "%s", fr_sql_error(db).c_str());
        return -1;
    }
    return 0;
}

int queue_write_acl(sql_conn *db) {
    if (fr_sql_query(db, nullptr,
                     "INSERT INTO `custom_job_queue`(`action`, `service`, `timestamp`) "
                     "VALUES('writeacl', 'ZONEBUILD', NOW())") != 0) {
        LOGF(LOG_WARNING, "%s", fr_sql_error(db).c_str());
        return -1;
    }
    return 0;
}

int withdraw_write_acl(sql_conn *db) {
    if (fr_sql_query(db, nullptr,
                     "DELETE FROM `custom_job_queue` WHERE `service` = 'ZONEBUILD' AND "
                     "`action`='writeacl'") != 0) {
        LOGF(LOG_WARNING, "%s", fr_sql_error(db).c_str());
        return -1;
    }
    return 0;
}
