#include "poolwatch_worker.h"

#include "logging.h"
#include "poolwatch_db.h"
#include "poolwatch_state.h"
#include "poolwatch_switch.h"
#include "poolwatch_testrun.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

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
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || access(path.c_str(), X_OK) != 0) {
        LOGF(LOG_ERR,
             "Unable to access script:'%s' for poll:\"%s\", possible causes : job does not exist, "
             "wrong permissions.",
             path.c_str(), p.name.c_str());
        return std::nullopt;
    }
    LOGF(LOG_DEBUG, "Script: \"%s\" exists and has execute permissions.", path.c_str());
    return path;
}

// poolwatch_check_poll_record: whether this poll tests the record now. A registration that
// completes the record's tally applies the verdict on the spot.
tally_registration check_poll_record(sql_conn *db, const pool_record &rec, const pool_poll &p,
                                     const std::set<int> &poll_ids) {
    tally_table &records = pw().records;
    tally_registration reg = poolwatch_tally_register(records, rec, p);
    if (reg.step == TALLY_UNKNOWN) {
        // Counted outside the table's lock: other workers go on meanwhile, and a tally
        // another worker creates in between is joined instead.
        std::optional<std::set<int>> expected =
            poolwatch_expected_polls(db, rec.id, poll_ids, p.id);
        if (!expected || expected->empty())
            return {TALLY_SKIP, 0, std::nullopt};
        reg = poolwatch_tally_create(records, rec, p, std::move(*expected));
    }
    if (reg.verdict)
        poolwatch_poll_checkup_update(db, rec, *reg.verdict);
    return reg;
}

// Tests the poll's records, one after another; a reload or shutdown stops it after the
// record under test.
void run_poll(sql_conn *db, const pool_poll &p, const poolwatch_config &cfg) {
    const std::optional<std::string> path = build_poll_cmd(db, p, cfg);
    if (!path)
        return;
    std::vector<std::string> env;
    if (poolwatch_fetch_poll_environment(db, p, env) != 0)
        return;
    LOGF(LOG_DEBUG, "The environment for poll: \"%s\" has been set.", p.name.c_str());
    std::vector<pool_record> records;
    if (poolwatch_fetch_poll_resource_records(db, p, records) != 0 || records.empty())
        return;

    const script_limits limits{cfg.timeout, POOLWATCH_KILL_GRACE};
    const std::set<int> poll_ids = poolwatch_poll_ids(pw().polls);
    for (const pool_record &rec : records) {
        const tally_registration reg = check_poll_record(db, rec, p, poll_ids);
        if (reg.step != TALLY_TEST) {
            LOGF(LOG_WARNING,
                 "Resource record type:\"%s\", value:\"%s\" will skip poll:\"%s\", protocol:\"%s\" "
                 "test",
                 rec.type.c_str(), rec.value.c_str(), p.name.c_str(), p.protocol_code.c_str());
        } else {
            const std::string arg = poolwatch_build_cmd_args(p.test_url, rec.value);
            const int outcome = poolwatch_launch_record_testscript(p, *path, arg, env, rec, limits);
            // The tally is looked up again: a refresh or reload may have ended it meanwhile.
            if (auto verdict = poolwatch_tally_report(pw().records, rec, p, reg.serial, outcome))
                poolwatch_poll_checkup_update(db, rec, *verdict);
        }
        const int state = pw().state;
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
