#include "feed_keys.h"

#include "dns_common.h"
#include "dns_validator.h"
#include "logging.h"

#include <charconv>
#include <new>

namespace {

void append_number(std::string &out, unsigned v) {
    char buf[16];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

void append_text_or_null(std::string &out, const std::string &text) {
    out += text.empty() ? std::string_view("NULL") : std::string_view(text);
}

// Types whose priority slot is filled.
bool has_priority(const hashed_rr &rr) {
    return rr.type == RR_MX || (rr.type == RR_NS && rr.priority != 0);
}

void append_id(std::string &ids, const std::string &id) {
    if (!ids.empty())
        ids += ',';
    ids += id;
}

} // namespace

void rr_key(const hashed_rr &rr, std::string &key) {
    key.clear();
    const char *type = get_rr_type_str(rr.type);
    key += type ? type : "";
    key += rr.host;
    key += rr.value;
    switch (rr.type) {
    case RR_SRV:
        append_number(key, rr.priority);
        append_number(key, rr.priority_minor);
        append_number(key, rr.port);
        append_number(key, rr.ttl);
        key += "NULLNULLNULLNULL";
        break;
    case RR_NAPTR:
        append_number(key, rr.priority);
        append_number(key, rr.priority_minor);
        key += "NULLNULL";
        append_text_or_null(key, rr.services);
        append_text_or_null(key, rr.flag);
        append_text_or_null(key, rr.regex_flag);
        key += rr.regex;
        key += rr.replacement.empty() ? std::string_view(".") : std::string_view(rr.replacement);
        break;
    default:
        if (has_priority(rr)) {
            append_number(key, rr.priority);
            key += "NULLNULLNULLNULLNULLNULLNULL";
        } else {
            key += "NULLNULLNULLNULLNULLNULLNULLNULL";
        }
    }
}

int add_hashed_rr(record_table &table, hashed_rr &&rr) {
    try {
        std::string key;
        key.reserve(rr.host.size() + rr.value.size() + 48);
        rr_key(rr, key);
        table.try_emplace(std::move(key), std::move(rr));
        return 0;
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

// The key of a stored record, as rr_key builds it for a parsed one.
#define RR_STORED_KEY                                                                              \
    "CONCAT(entry_type, host, value, ifnull(priority, \"NULL\"), "                                 \
    "ifnull(priority_minor, \"NULL\"), ifnull(port, \"NULL\"), ifnull(ttl, \"NULL\"), "            \
    "ifnull(services, \"NULL\"), ifnull(flag, \"NULL\"), ifnull(regex_flag, \"NULL\"), "           \
    "ifnull(regex, \"NULL\"), if(entry_type = 'NAPTR', ifnull(replacement, '.'), ''))"

const char *const RR_SNAPSHOT_QUERY =
    "SELECT id, " RR_STORED_KEY " FROM zone_dns_records WHERE zone_id = '%d'";

const char *const RR_SNAPSHOT_BATCH_QUERY =
    "SELECT zone_id, id, " RR_STORED_KEY " FROM zone_dns_records WHERE zone_id IN (%s)";

const char *const OPT_SNAPSHOT_QUERY =
    "SELECT id, value, type FROM zone_opt_values WHERE zone_id = '%d'";

const char *const OPT_SNAPSHOT_BATCH_QUERY =
    "SELECT zone_id, id, value, type FROM zone_opt_values WHERE zone_id IN (%s)";

const char *const RR_INSERT_HEAD =
    "INSERT INTO zone_dns_records (`entry_type`, `host`, `value`, `priority`, "
    "`priority_minor`, `port`, `ttl`, `services`, `flag`, `regex_flag`, `regex`, "
    "`replacement`, `zone_id`, `timestamp`, `status`)  VALUES ";

void rr_insert_row(const hashed_rr &rr, int zone_id, std::string &format,
                   std::vector<sql_arg> &args) {
    const char *type = get_rr_type_str(rr.type);
    args.emplace_back(type ? type : "");
    args.emplace_back(rr.host);
    args.emplace_back(rr.value);
    auto text_or_null = [&](const std::string &text) {
        if (text.empty()) {
            format += " NULL,";
        } else {
            format += " '%s',";
            args.emplace_back(text);
        }
    };
    switch (rr.type) {
    case RR_SRV:
        format += "('%s', '%s', '%s', '%d', '%u', '%d', '%u', NULL, NULL, NULL, NULL, NULL, "
                  "'%d', NOW(), 1),";
        args.emplace_back(static_cast<int>(rr.priority));
        args.emplace_back(rr.priority_minor);
        args.emplace_back(static_cast<int>(rr.port));
        args.emplace_back(rr.ttl);
        break;
    case RR_NAPTR:
        format += "('%s', '%s', '%s', '%d', '%u', NULL, NULL,";
        args.emplace_back(static_cast<int>(rr.priority));
        args.emplace_back(rr.priority_minor);
        text_or_null(rr.services);
        text_or_null(rr.flag);
        text_or_null(rr.regex_flag);
        format += "'%s', '%s', '%d', NOW(), 1),";
        args.emplace_back(rr.regex);
        args.emplace_back(rr.replacement.empty() ? std::string(".") : rr.replacement);
        break;
    default:
        if (has_priority(rr)) {
            format += "('%s', '%s', '%s', '%d', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, "
                      "'%d', NOW(), 1),";
            args.emplace_back(static_cast<int>(rr.priority));
        } else {
            format += "('%s', '%s', '%s', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, "
                      "'%d', NOW(), 1),";
        }
    }
    args.emplace_back(zone_id);
}

std::string delta_rr_rows(const std::vector<snapshot_rr> &rows, record_table &table) {
    std::string ids;
    for (const snapshot_rr &row : rows) {
        if (row.key) {
            auto it = table.find(*row.key);
            if (it != table.end()) {
                table.erase(it);
                continue;
            }
        }
        append_id(ids, row.id);
    }
    return ids;
}

// Runs `delta` over the rows of a snapshot, each made into a `Row` by `make`.
template <class Row, class Table, class Make, class Delta>
std::optional<std::string> delta_over(const sql_result *snapshot, Table *table, Make make,
                                      Delta delta) {
    if (!table)
        return std::nullopt;
    if (!snapshot || !*snapshot)
        return std::string();
    std::vector<Row> rows;
    while (sql_row row = fr_sql_fetchrow(*snapshot))
        if (!row.is_null(0))
            rows.push_back(make(row));
    return delta(rows, *table);
}

std::optional<std::string> delta_rr_hash(const sql_result *snapshot, record_table *table) {
    return delta_over<snapshot_rr>(
        snapshot, table,
        [](const sql_row &row) {
            return snapshot_rr{std::string(row.view(0)), row.text(1)};
        },
        delta_rr_rows);
}

std::string delta_opts_rows(const std::vector<snapshot_opt> &rows, option_table &table) {
    std::string ids, key;
    for (const snapshot_opt &row : rows) {
        if (find_nocase(row.type, "master") == 0 && row.type.size() == 6) {
            key.assign(1, 'M');
        } else if (find_nocase(row.type, "allow_transfer") == 0 && row.type.size() == 14) {
            key.assign(1, 'A');
        } else {
            LOGF(LOG_ERR, "Unknown zone option type: %s", row.type.c_str());
            continue;
        }
        key += row.value;
        if (table.erase(key))
            continue;
        append_id(ids, row.id);
    }
    return ids;
}

std::optional<std::string> delta_opts_hash(const sql_result *snapshot, option_table *table) {
    return delta_over<snapshot_opt>(
        snapshot, table,
        [](const sql_row &row) {
            return snapshot_opt{std::string(row.view(0)), std::string(row.view(1)),
                                std::string(row.view(2))};
        },
        delta_opts_rows);
}

int hash_global_opts(option_table &table, const feed_record &feed, int zone_type) {
    for (const std::string &address : feed.transfer_list)
        table.insert("A" + address);
    if (zone_type == ZONE_SLAVE)
        for (const std::string &address : feed.master_list)
            table.insert("M" + address);
    return 0;
}
