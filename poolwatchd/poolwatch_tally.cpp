#include "poolwatch_tally.h"

#include "logging.h"
#include "poolwatch_switch.h"

#include <algorithm>
#include <cstdlib>

namespace {

const char *outcome_name(int outcome) {
    return outcome == OUTCOME_DOWN ? "UNAVAILABLE" : "AVAILABLE";
}

// The verdict the latest answers give (caller holds the lock): DOWN on any DOWN answer, UP
// when every answer is UP; none without an answer.
std::optional<int> current_verdict(const record_tally &t) {
    if (t.answers.empty())
        return std::nullopt;
    const bool down = std::any_of(t.answers.begin(), t.answers.end(),
                                  [](const auto &kv) { return kv.second == OUTCOME_DOWN; });
    return down ? OUTCOME_DOWN : OUTCOME_UP;
}

// A verdict with the damping applied (caller holds the lock): one that agrees with the
// record's status is given as it is (nothing to switch); one against it only once it came
// often enough in a row.
std::optional<int> decide_locked(const tally_table &table, record_tally &t) {
    const std::optional<int> verdict = current_verdict(t);
    if (!verdict)
        return std::nullopt;
    const bool agrees = (*verdict == OUTCOME_DOWN) == (t.record.status == RECORD_DISABLED);
    if (agrees) {
        t.against = 0;
        return verdict;
    }
    const int needed = *verdict == OUTCOME_DOWN ? table.rules.fall : table.rules.rise;
    if (++t.against < needed) {
        LOGF(LOG_NOTICE, "Resource record:\"%s\" found %s %d time(s) in a row, switched after %d.",
             t.record.value.c_str(), outcome_name(*verdict), t.against, needed);
        return std::nullopt;
    }
    t.against = 0;
    return verdict;
}

record_tally *find(tally_table &table, int record_id) {
    auto it = table.records.find(record_id);
    return it == table.records.end() ? nullptr : &it->second;
}

tally_step register_locked(record_tally &t, const pool_record &rec, const pool_poll &p) {
    t.record = rec;
    t.expected.insert(p.id);
    t.testing.insert(p.id);
    return TALLY_TEST;
}

} // namespace

tally_step poolwatch_tally_register(tally_table &table, const pool_record &rec,
                                    const pool_poll &p) {
    std::lock_guard guard(table.lock);
    record_tally *t = find(table, rec.id);
    if (!t)
        return TALLY_UNKNOWN;
    return register_locked(*t, rec, p);
}

tally_step poolwatch_tally_create(tally_table &table, const pool_record &rec, const pool_poll &p,
                                  std::set<int> expected) {
    std::lock_guard guard(table.lock);
    if (record_tally *t = find(table, rec.id))
        return register_locked(*t, rec, p);
    record_tally &t = table.records[rec.id];
    t.expected = std::move(expected);
    LOGF(
        LOG_DEBUG,
        "Recource record type:\"%s\", value:\"%s\" has been added to the list of resource records.",
        rec.type.c_str(), rec.value.c_str());
    LOGF(LOG_DEBUG,
         "Pool:\"%s\", testing protocol:\"%s\" has been successfully added to resource record list "
         "of polls, resource record having type:\"%s\", value:\"%s\".",
         p.name.c_str(), p.protocol_code.c_str(), rec.type.c_str(), rec.value.c_str());
    return register_locked(t, rec, p);
}

std::optional<int> poolwatch_tally_report(tally_table &table, const pool_record &rec,
                                          const pool_poll &p, int outcome) {
    std::lock_guard guard(table.lock);
    record_tally *t = find(table, rec.id);
    if (!t || !t->testing.erase(p.id)) {
        // A reload or refresh ended the tally this poll registered with.
        LOGF(LOG_WARNING, "It seems that poll:%s had become unavailable meantime.", p.name.c_str());
        return std::nullopt;
    }
    if (outcome == OUTCOME_NONE) {
        // No answer: this poll's earlier one no longer stands, and nothing is decided on it.
        t->answers.erase(p.id);
        t->silent.insert(p.id);
        return std::nullopt;
    }
    t->silent.erase(p.id);
    t->answers[p.id] = outcome;
    LOGF(LOG_NOTICE, "Resource record:\"%s\" found %s after running \"%s\" protocol tests.",
         rec.value.c_str(), outcome_name(outcome), p.protocol_code.c_str());
    LOGF(LOG_DEBUG,
         "On resource record type:\"%s\", value:\"%s\" now are running %d tests, total number of "
         "tests that must be run on this resource record is %d.",
         rec.type.c_str(), rec.value.c_str(), static_cast<int>(t->testing.size()),
         static_cast<int>(t->expected.size()));
    if (!t->testing.empty())
        return std::nullopt; // the last of the polls testing it now decides
    return decide_locked(table, *t);
}

bool poolwatch_tally_silent(tally_table &table, int record_id, int poll_id) {
    std::lock_guard guard(table.lock);
    const record_tally *t = find(table, record_id);
    return t && t->silent.count(poll_id) > 0;
}

void poolwatch_tally_withdraw(tally_table &table, const pool_record &rec, const pool_poll &p) {
    std::lock_guard guard(table.lock);
    if (record_tally *t = find(table, rec.id))
        t->testing.erase(p.id);
}

void poolwatch_tally_switched(tally_table &table, int record_id, int status) {
    std::lock_guard guard(table.lock);
    if (record_tally *t = find(table, record_id)) {
        t->record.status = status;
        t->against = 0;
    }
}

void poolwatch_tally_cannot_test(tally_table &table, int poll_id, bool cannot) {
    std::lock_guard guard(table.lock);
    if (!cannot) {
        table.cannot_test.erase(poll_id);
        return;
    }
    table.cannot_test.insert(poll_id);
    for (auto &[id, t] : table.records)
        t.answers.erase(poll_id);
}

void poolwatch_tally_set_rules(tally_table &table, const verdict_rules &rules) {
    std::lock_guard guard(table.lock);
    table.rules = rules;
}

std::vector<tally_decision>
poolwatch_tally_refresh(tally_table &table, const std::unordered_map<int, std::set<int>> &members,
                        const std::set<int> &poll_ids) {
    std::vector<tally_decision> done;
    std::lock_guard guard(table.lock);
    std::erase_if(table.cannot_test, [&](int id) { return !poll_ids.count(id); });
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
        if (expected != t.expected) {
            const auto left = [&](int id) { return !expected.count(id); };
            std::erase_if(t.testing, left);
            std::erase_if(t.silent, left);
            std::erase_if(t.answers, [&](const auto &kv) { return left(kv.first); });
            t.expected = std::move(expected);
            if (t.testing.empty()) {
                if (std::optional<int> verdict = decide_locked(table, t))
                    done.push_back({t.record, *verdict});
            }
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
    // Only pools of the record's own zone test it: a pool that lists a record of another zone
    // neither tests nor holds it.
    if (fr_sql_query(db, &res,
                     " SELECT rpr.rrobin_pool_id FROM rrobin_pool AS rp, \trrobin_pool_records AS "
                     "rpr, zone_dns_records AS zdr WHERE rp.id = rpr.rrobin_pool_id  AND "
                     "rp.status = 1  AND rpr.zone_dns_records_id = %d AND zdr.id = "
                     "rpr.zone_dns_records_id AND zdr.zone_id = rp.zone_id",
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

void poolwatch_apply_verdict(sql_conn *db, tally_table &table, const pool_record &rec,
                             int verdict) {
    bool keep_one_up;
    {
        std::lock_guard guard(table.lock);
        keep_one_up = table.rules.keep_one_up;
    }
    if (poolwatch_poll_checkup_update(db, rec, verdict, keep_one_up) == SWITCH_DONE)
        poolwatch_tally_switched(table, rec.id,
                                 verdict == OUTCOME_UP ? RECORD_ENABLED : RECORD_DISABLED);
}

int poolwatch_refresh_records(sql_conn *db, tally_table &table, const std::set<int> &poll_ids) {
    sql_result res;
    if (fr_sql_query(db, &res,
                     " SELECT rpr.zone_dns_records_id, rpr.rrobin_pool_id FROM rrobin_pool AS rp, "
                     "\trrobin_pool_records AS rpr, zone_dns_records AS zdr WHERE rp.id = "
                     "rpr.rrobin_pool_id  AND rp.status = 1 AND zdr.id = rpr.zone_dns_records_id "
                     "AND zdr.zone_id = rp.zone_id") != 0) {
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
        poolwatch_apply_verdict(db, table, d.record, d.verdict);
    return 0;
}
