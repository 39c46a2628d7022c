#include "poolwatch_worker.h"

#include "logging.h"
#include "poolwatch_db.h"
#include "poolwatch_state.h"
#include "poolwatch_switch.h"
#include "poolwatch_testrun.h"

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Whether the account may execute the file, by its mode bits (the daemon itself, as root,
// may execute anything with an execute bit).
bool executable_by(const struct stat &st, const script_account &a) {
    if (a.uid == 0)
        return (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
    if (st.st_uid == a.uid)
        return (st.st_mode & S_IXUSR) != 0;
    if (st.st_gid == a.gid ||
        std::find(a.groups.begin(), a.groups.end(), st.st_gid) != a.groups.end())
        return (st.st_mode & S_IXGRP) != 0;
    return (st.st_mode & S_IXOTH) != 0;
}

// poolwatch_build_poll_cmd: the script's path, when it may be run.
std::optional<std::string> build_poll_cmd(sql_conn *db, const pool_poll &p,
                                          const poolwatch_config &cfg) {
    std::optional<std::string> script =
        poolwatch_protocol_script(db, pw().protocols, p.protocol_code);
    if (!script) {
        LOGF(LOG_WARNING, "No script found associated with protocol:\"%s\".",
             p.protocol_code.c_str());
        return std::nullopt;
    }
    LOGF(LOG_DEBUG, "Script:\"%s\" found as being associated with protocol:\"%s\".",
         script->c_str(), p.protocol_code.c_str());
    std::string path;
    if (poolwatch_script_path(cfg.script_dir, *script, p.protocol_code, path) != 0)
        return std::nullopt;
    struct stat st;
    const bool runnable = stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                          (cfg.account.switch_user ? executable_by(st, cfg.account)
                                                   : access(path.c_str(), X_OK) == 0);
    if (!runnable) {
        LOGF(LOG_ERR,
             "Unable to access script:'%s' for poll:\"%s\", possible causes : job does not exist, "
             "wrong permissions.",
             path.c_str(), p.name.c_str());
        return std::nullopt;
    }
    LOGF(LOG_DEBUG, "Script: \"%s\" exists and has execute permissions.", path.c_str());
    return path;
}

// poolwatch_check_poll_record: whether this poll tests the record now.
tally_step check_poll_record(sql_conn *db, const pool_record &rec, const pool_poll &p,
                             const std::set<int> &poll_ids) {
    tally_table &records = pw().records;
    const tally_step step = poolwatch_tally_register(records, rec, p);
    if (step != TALLY_UNKNOWN)
        return step;
    // Counted outside the table's lock: other workers go on meanwhile, and a tally another
    // worker creates in between is joined instead.
    std::optional<std::set<int>> expected = poolwatch_expected_polls(db, rec.id, poll_ids, p.id);
    if (!expected || expected->empty())
        return TALLY_SKIP;
    return poolwatch_tally_create(records, rec, p, std::move(*expected));
}

// A test that gave no answer leaves the record as it is; the event says why, once for a run
// of such tests rather than every cycle.
void record_no_answer(sql_conn *db, const pool_poll &p, const pool_record &rec,
                      const run_result &run) {
    const std::string why = poolwatch_run_failure(run);
    LOGF(LOG_WARNING,
         "Test of zone:\"%s\" record type:'%s' with value:\"%s\" by poll:\"%s\" gave no answer "
         "(%s), status left as it is.",
         rec.zone.c_str(), rec.type.c_str(), rec.value.c_str(), p.name.c_str(), why.c_str());
    if (poolwatch_tally_silent(pw().records, rec.id, p.id))
        return;
    poolwatch_db_log(db, LOG_ERR,
                     "Zone %s record type %s with value %s not tested by pool %s (%s), status "
                     "left as it is",
                     rec.zone.c_str(), rec.type.c_str(), rec.value.c_str(), p.name.c_str(),
                     why.c_str());
}

// Tests the poll's records, one after another; a reload or shutdown stops it after the
// record under test, and a shutdown drops that record's result.
void run_poll(sql_conn *db, const pool_poll &p, const poolwatch_config &cfg) {
    poolwatch_daemon &d = pw();
    const std::optional<std::string> path = build_poll_cmd(db, p, cfg);
    // A poll that cannot test holds no verdict back.
    poolwatch_tally_cannot_test(d.records, p.id, !path);
    if (!path)
        return;
    std::vector<std::string> env;
    if (poolwatch_fetch_poll_environment(db, p, env) != 0)
        return;
    LOGF(LOG_DEBUG, "The environment for poll: \"%s\" has been set.", p.name.c_str());
    std::vector<pool_record> records;
    if (poolwatch_fetch_poll_resource_records(db, p, records) != 0 || records.empty())
        return;

    const script_limits limits{cfg.timeout, POOLWATCH_KILL_GRACE, d.scripts_stop_fd};
    const std::set<int> poll_ids = poolwatch_poll_ids(d.polls);
    for (const pool_record &rec : records) {
        if (check_poll_record(db, rec, p, poll_ids) != TALLY_TEST) {
            LOGF(LOG_WARNING,
                 "Resource record type:\"%s\", value:\"%s\" will skip poll:\"%s\", protocol:\"%s\" "
                 "test",
                 rec.type.c_str(), rec.value.c_str(), p.name.c_str(), p.protocol_code.c_str());
        } else {
            const std::string arg = poolwatch_build_cmd_args(p.test_url, rec.value);
            const run_result run =
                poolwatch_launch_record_testscript(p, *path, arg, env, rec, limits, cfg.account);
            if (run.end == RUN_STOPPED || d.state == STATE_TERMINATING) {
                // Going down: whatever the script said, a stop never switches a record.
                poolwatch_tally_withdraw(d.records, rec, p);
                return;
            }
            const int outcome = poolwatch_run_outcome(run);
            if (outcome == OUTCOME_NONE)
                record_no_answer(db, p, rec, run);
            // The tally is looked up again: a refresh or reload may have ended it meanwhile.
            if (auto verdict = poolwatch_tally_report(d.records, rec, p, outcome))
                poolwatch_apply_verdict(db, d.records, rec, *verdict);
        }
        const int state = d.state;
        if (state == STATE_RELOADING || state == STATE_TERMINATING)
            return;
    }
}

} // namespace

void poolwatch_launch_poll(pool_poll p) {
    {
        db_thread_scope thread_scope;
        const poolwatch_config cfg = poolwatch_config_copy();
        sql_handle db;
        if (db_connect(cfg, db, CLIENT_FOUND_ROWS) != 0)
            LOGF(LOG_ERR, "Cannot connect to database, abort poll: %s processing.", p.name.c_str());
        else {
            try {
                run_poll(db.get(), p, cfg);
            } catch (const std::exception &e) {
                LOGF(LOG_DEBUG, "Poll:\"%s\" abandoned: %s", p.name.c_str(), e.what());
            }
        }
        db_disconnect(db);
    }
    poolwatch_worker_done(p.id);
}
