#include "poolwatch_tally.h"

#include "logging.h"
#include "poolwatch_switch.h"

#include <algorithm>
#include <cstdlib>

namespace {

bool tally_complete(const record_tally &t) {
    return std::all_of(t.expected.begin(), t.expected.end(), [&](int id) {
        auto it = t.polls.find(id);
        return it != t.polls.end() && it->second;
    });
}

// poolwatch_poll_try_update on a tally the caller holds locked: marks the poll as
// reported and folds its outcome into the verdict. True when the tally is now complete.
bool report_locked(record_tally &t, const pool_record &rec, const pool_poll &p, int outcome) {
    auto it = t.polls.find(p.id);
    if (it == t.polls.end()) {
        LOGF(LOG_WARNING, "It seems that poll:%s had become unavailable meantime.", p.name.c_str());
        return false;
    }
    it->second = true;
    LOGF(LOG_DEBUG,
         "On resource record type:\"%s\", value:\"%s\" now are running %d tests, total number of "
         "tests that must be run on this resource record is %d.",
         rec.type.c_str(), rec.value.c_str(), static_cast<int>(t.polls.size()),
         static_cast<int>(t.expected.size()));
    if (t.verdict == OUTCOME_UP) {
        t.verdict = outcome;
        if (outcome == OUTCOME_UP)
            LOGF(LOG_NOTICE,
                 "Resource record:\"%s\" found AVAILABLE after running \"%s\" protocol tests.",
                 rec.value.c_str(), p.protocol_code.c_str());
        else
            LOGF(LOG_NOTICE,
                 "Resource record:\"%s\" found UNAVAILABLE after running \"%s\" protocol tests.",
                 rec.value.c_str(), p.protocol_code.c_str());
    } else {
        LOGF(
            LOG_NOTICE,
            "Resource record:\"%s\" already found UNAVAILABLE, by running previous protocol tests.",
            rec.value.c_str());
    }
    return tally_complete(t);
}

// Registration with an existing tally (caller holds the lock). A registration that
// completes the tally removes it and carries the verdict.
tally_registration register_locked(tally_table &table, record_tally &t, const pool_record &rec,
                                   const pool_poll &p) {
    tally_registration reg;
    reg.serial = t.serial;
    t.record = rec;
    bool complete = false;
    if (t.polls.count(p.id)) {
        complete = report_locked(t, rec, p, t.verdict);
        LOGF(LOG_WARNING,
             "Current test on behalf resource record type:\"%s\", value:\"%s\" had already run, no "
             "reason to be run again",
             rec.type.c_str(), rec.value.c_str());
        reg.step = TALLY_SKIP;
    } else {
        t.polls[p.id] = false;
        t.expected.insert(p.id);
        if (t.verdict == OUTCOME_DOWN) {
            complete = report_locked(t, rec, p, OUTCOME_DOWN);
            LOGF(LOG_WARNING,
                 "Previous tests for resource record type:\"%s\", value:\"%s\" had failed, no "
                 "reason "
                 "to continue resource record testing.",
                 rec.type.c_str(), rec.value.c_str());
            reg.step = TALLY_SKIP;
        } else {
            reg.step = TALLY_TEST;
        }
    }
    if (complete) {
        reg.verdict = t.verdict;
        table.records.erase(rec.id);
    }
    return reg;
}

} // namespace

tally_registration poolwatch_tally_register(tally_table &table, const pool_record &rec,
                                            const pool_poll &p) {
    std::lock_guard guard(table.lock);
    auto it = table.records.find(rec.id);
    if (it == table.records.end())
        return {TALLY_UNKNOWN, 0, std::nullopt};
    return register_locked(table, it->second, rec, p);
}

tally_registration poolwatch_tally_create(tally_table &table, const pool_record &rec,
                                          const pool_poll &p, std::set<int> expected) {
    std::lock_guard guard(table.lock);
    auto it = table.records.find(rec.id);
    if (it != table.records.end())
        return register_locked(table, it->second, rec, p);

    record_tally t;
    t.record = rec;
    t.serial = table.next_serial++;
    t.expected = std::move(expected);
    t.expected.insert(p.id);
    t.polls[p.id] = false;
    table.records.emplace(rec.id, std::move(t));
    LOGF(
        LOG_DEBUG,
        "Recource record type:\"%s\", value:\"%s\" has been added to the list of resource records.",
        rec.type.c_str(), rec.value.c_str());
    LOGF(LOG_DEBUG,
         "Pool:\"%s\", testing protocol:\"%s\" has been successfully added to resource record list "
         "of polls, resource record having type:\"%s\", value:\"%s\".",
         p.name.c_str(), p.protocol_code.c_str(), rec.type.c_str(), rec.value.c_str());
    return {TALLY_TEST, table.records[rec.id].serial, std::nullopt};
}

std::optional<int> poolwatch_tally_report(tally_table &table, const pool_record &rec,
                                          const pool_poll &p, uint64_t serial, int outcome) {
    std::lock_guard guard(table.lock);
    auto it = table.records.find(rec.id);
    if (it == table.records.end() || it->second.serial != serial) {
        // Reload or refresh ended the cycle this poll registered for; its result belongs
        // to no tally now.
        LOGF(LOG_DEBUG,
             "Result of poll:\"%s\" for resource record value:\"%s\" belongs to an ended test "
             "cycle, dropped.",
             p.name.c_str(), rec.value.c_str());
        return std::nullopt;
    }
    record_tally &t = it->second;
    t.record = rec;
    if (!report_locked(t, rec, p, outcome))
        return std::nullopt;
    const int verdict = t.verdict;
    table.records.erase(it);
    return verdict;
}

std::vector<tally_decision>
poolwatch_tally_refresh(tally_table &table, const std::unordered_map<int, std::set<int>> &members,
                        const std::set<int> &poll_ids) {
    std::vector<tally_decision> done;
    std::lock_guard guard(table.lock);
    for (auto it = table.records.begin(); it != table.records.end();) {
        record_tally &t = it->second;
        std::set<int> expected;
        if (auto m = members.find(it->first); m != members.end())
            std::set_intersection(m->second.begin(), m->second.end(), poll_ids.begin(),
                                  poll_ids.end(), std::inserter(expected, expected.end()));
        if (expected.empty()) {
            it = table.records.erase(it);
            continue;
        }
        std::erase_if(t.polls, [&](const auto &kv) { return !expected.count(kv.first); });
        t.expected = std::move(expected);
        if (!t.polls.empty() && tally_complete(t)) {
            done.push_back({t.record, t.verdict});
            it = table.records.erase(it);
            continue;
        }
        ++it;
    }
    return done;
}

void poolwatch_clear_poll_records(tally_table &table) {
    std::lock_guard guard(table.lock);
    table.records.clear();
}

std::optional<std::set<int>> poolwatch_expected_polls(sql_conn *db, int record_id,
                                                      const std::set<int> &poll_ids, int current) {
    sql_result res;
    if (fr_sql_query(
            db, &res,
            " SELECT rpr.rrobin_pool_id FROM rrobin_pool AS rp, \trrobin_pool_records AS rpr "
            "WHERE rp.id = rpr.rrobin_pool_id  AND rp.status = 1  AND "
            "rpr.zone_dns_records_id = %d",
            record_id) != 0) {
        LOGF(LOG_ERR, "Cannot count the pools of resource record with id:%d (%s).", record_id,
             fr_sql_error(db).c_str());
        return std::nullopt;
    }
    std::set<int> expected;
    bool referenced = false;
    while (sql_row row = fr_sql_fetchrow(res)) {
        if (row.is_null(0))
            continue;
        const int id = std::atoi(row.get(0));
        if (id == current)
            referenced = true;
        if (poll_ids.count(id))
            expected.insert(id);
    }
    if (!referenced) {
        LOGF(LOG_WARNING,
             "It seems that resource record with id:%d had been erased from DB meantime.",
             record_id);
        return std::set<int>{};
    }
    expected.insert(current);
    return expected;
}

int poolwatch_refresh_records(sql_conn *db, tally_table &table, const std::set<int> &poll_ids) {
    sql_result res;
    if (fr_sql_query(
            db, &res,
            " SELECT rpr.zone_dns_records_id, rpr.rrobin_pool_id FROM rrobin_pool AS rp, "
            "\trrobin_pool_records AS rpr WHERE rp.id = rpr.rrobin_pool_id  AND rp.status = 1") !=
        0) {
        LOGF(LOG_ERR, "Cannot refresh the resource records under test (%s).",
             fr_sql_error(db).c_str());
        return -1;
    }
    std::unordered_map<int, std::set<int>> members;
    while (sql_row row = fr_sql_fetchrow(res)) {
        if (row.is_null(0) || row.is_null(1))
            continue;
        members[std::atoi(row.get(0))].insert(std::atoi(row.get(1)));
    }
    for (const tally_decision &d : poolwatch_tally_refresh(table, members, poll_ids))
        poolwatch_poll_checkup_update(db, d.record, d.verdict);
    return 0;
}
