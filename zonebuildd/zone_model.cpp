#include "zone_model.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "dns_validator.h"
#include "liblog.h"
#include "logging.h"
#include "sql.h"

namespace {

// atoll/atoi of a column text: leading blanks, a sign and the leading digits; 0 for NULL.
long long column_ll(const char *text) {
    if (!text)
        return 0;
    errno = 0;
    long long v = strtoll(text, nullptr, 10);
    return errno == ERANGE ? 0 : v;
}

// A base-10 unsigned column (strtoul), 0 for NULL, cut to 32 bits as the record stores it.
uint32_t column_u32(const char *text) {
    if (!text)
        return 0;
    return static_cast<uint32_t>(strtoul(text, nullptr, 10));
}

std::optional<std::string> column_text(const sql_row &row, unsigned i) {
    return row.text(i);
}

void log_query_error(sql_conn *db, const char *what, int id) {
    FR_LOG(LOG_WARNING, "%s of zone %d failed: %s", what, id, fr_sql_error(db).c_str());
}

// The first row's first column of a one-value query: 1 with `out` set, 0 when there is no
// row or the value is NULL, -1 on a query error.
int query_value(sql_conn *db, std::string &out, std::string_view format,
                const std::vector<sql_arg> &args) {
    sql_result res;
    if (fr_sql_query_args(db, &res, format, args) != 0)
        return -1;
    sql_row row = fr_sql_fetchrow(res);
    if (!row || row.is_null(0))
        return 0;
    out.assign(row.view(0));
    return 1;
}

const char *const soa_timer_params[] = {"refresh", "retry", "expire", "min_ttl", "default_ttl"};

// One SOA timer: the zone's own value, else the client's preference (each only when not 0),
// else the system-wide value (whatever it is), else 0. 0, or -1 on a query error.
int get_soa_timer(sql_conn *db, int id, uint32_t client_id, const char *param, int64_t &field) {
    std::string value;
    int rc =
        query_value(db, value, "SELECT value  FROM zone_soa  WHERE zone_id = %d AND param = '%s' ",
                    {id, param});
    if (rc < 0)
        return -1;
    if (rc > 0 && column_ll(value.c_str()) != 0) {
        field = column_ll(value.c_str());
        return 0;
    }
    rc = query_value(db, value,
                     "SELECT value  FROM client_prefs  WHERE client_id = %d AND param = '%s' ",
                     {client_id, param});
    if (rc < 0)
        return -1;
    if (rc > 0 && column_ll(value.c_str()) != 0) {
        field = column_ll(value.c_str());
        return 0;
    }
    rc = query_value(db, value, "SELECT value  FROM misc  WHERE param = '%s' ", {param});
    if (rc < 0)
        return -1;
    field = rc > 0 ? column_ll(value.c_str()) : 0;
    return 0;
}

// Name-server addresses may transfer the zone: an NS value that is an address, else the
// addresses of the in-zone A records named by the NS value (not the apex's own).
void add_ns_transfer_options(zone_info &zone, const std::string &name) {
    for (const zone_rec &ns : zone.records[SLOT_NS]) {
        if (valid_named_ipv4(ns.value)) {
            add_zone_option(zone, ns.value.c_str(), "a");
            continue;
        }
        for (const zone_rec &a : zone.records[SLOT_A]) {
            if (a.host == ns.value && a.host != name)
                add_zone_option(zone, a.value.c_str(), "a");
        }
    }
}

// Reads the enabled records of a primary zone. A row that cannot be used is skipped with a
// warning; the rest of the zone is still read. 0, or -1 on a query error.
int load_records(sql_conn *db, int id, zone_info &zone, const std::string &name) {
    sql_result res;
    if (fr_sql_query(db, &res,
                     "SELECT entry_type,  host,  value,  priority,  priority_minor,  port,  ttl,  "
                     "services,  flag,  regex_flag,  regex,  replacement   FROM zone_dns_records "
                     "  WHERE zone_id = %d AND status = '1'",
                     id) != 0) {
        log_query_error(db, "Reading the records", id);
        return -1;
    }
    unsigned long n = 0;
    while (sql_row row = fr_sql_fetchrow(res)) {
        ++n;
        if (row.size() < 12 || row.is_null(0)) {
            LOGF(LOG_WARNING, "Zone %s: record row %lu has no type. Skipped.", name.c_str(), n);
            zone.refused_rows.push_back("a record row without a type");
            continue;
        }
        const std::string type(row.view(0));
        std::optional<zone_rec> rec = record_from_row(row, 1);
        if (!rec) {
            LOGF(LOG_WARNING, "Zone %s: %s record row %lu has no host or no value. Skipped.",
                 name.c_str(), type.c_str(), n);
            zone.refused_rows.push_back(type + " record without a host or a value");
            continue;
        }
        int slot = rec_slot_of(type);
        if (slot < 0) {
            LOGF(LOG_WARNING, "Zone %s: record type '%s' of host %s is not supported. Skipped.",
                 name.c_str(), type.c_str(), rec->host.c_str());
            zone.refused_rows.push_back(type + " record of host " + rec->host +
                                        ": the type is not supported");
            continue;
        }
        add_zone_rec(zone, static_cast<rec_slot>(slot), std::move(*rec));
    }
    return 0;
}

} // namespace

int init_zone_data(zone_ptr &out) {
    try {
        out = std::make_unique<zone_info>();
    } catch (...) {
        FR_TRACE_RETURN();
        return -1;
    }
    return 0;
}

int add_zone_option(zone_info &zone, const char *address, const char *type_word) {
    if (!address || !*address || !type_word || !*type_word) {
        FR_TRACE_RETURN();
        return -1;
    }
    char prefix;
    switch (type_word[0]) {
    case 'a':
        prefix = 'A';
        break;
    case 'm':
        prefix = 'M';
        break;
    default:
        LOGF(LOG_ERR, "Unknown zone option type: %c", type_word[0]);
        return -1;
    }
    std::string key = std::string(1, prefix) + address;
    for (const std::string &k : zone.options)
        if (k == key)
            return 0;
    zone.options.push_back(std::move(key));
    return 0;
}

std::optional<zone_rec> record_from_row(const sql_row &row, unsigned first) {
    if (row.is_null(first) || row.is_null(first + 1)) {
        FR_TRACE_RETURN();
        return std::nullopt;
    }
    zone_rec rec;
    rec.host.assign(row.view(first));
    rec.value.assign(row.view(first + 1));
    const char *priority = row.get(first + 2);
    rec.priority = static_cast<int32_t>(column_ll(priority));
    rec.origin_mark = priority && priority[0] == '1';
    rec.priority_minor = column_u32(row.get(first + 3));
    rec.port = column_u32(row.get(first + 4));
    rec.ttl = column_u32(row.get(first + 5));
    rec.services = column_text(row, first + 6);
    rec.flag = column_text(row, first + 7);
    rec.regex_flag = column_text(row, first + 8);
    rec.regex = column_text(row, first + 9);
    rec.replacement = column_text(row, first + 10);
    if (rec.replacement && rec.replacement->empty())
        *rec.replacement = ".";
    return rec;
}

int rec_slot_of(std::string_view entry_type) {
    static const struct {
        const char *name;
        rec_slot slot;
    } types[] = {{"NS", SLOT_NS},       {"A", SLOT_A},     {"AAAA", SLOT_AAAA},
                 {"CNAME", SLOT_CNAME}, {"MX", SLOT_MX},   {"SRV", SLOT_SRV},
                 {"PTR", SLOT_PTR},     {"TXT", SLOT_TXT}, {"NAPTR", SLOT_NAPTR}};
    for (const auto &t : types) {
        if (entry_type.size() == strlen(t.name) &&
            strncasecmp(entry_type.data(), t.name, entry_type.size()) == 0)
            return t.slot;
    }
    return -1;
}

void add_zone_rec(zone_info &zone, rec_slot slot, zone_rec rec) {
    std::vector<zone_rec> &array = zone.records[slot];
    if (slot == SLOT_NS && rec.origin_mark) {
        // Only the first marked NS goes in front: it is the zone's origin name server.
        const bool front_taken = !array.empty() && array.front().origin_mark;
        if (!front_taken) {
            array.insert(array.begin(), std::move(rec));
            return;
        }
    }
    array.push_back(std::move(rec));
}

int release_zone_info(zone_ptr &zone) {
    zone.reset();
    return 1;
}

int get_soa_options(sql_conn *db, int id, zone_info &zone) {
    int64_t *const fields[] = {&zone.soa.refresh, &zone.soa.retry, &zone.soa.expire,
                               &zone.soa.min_ttl, &zone.soa.default_ttl};
    for (int i = 0; i < 5; ++i) {
        if (get_soa_timer(db, id, zone.client_id, soa_timer_params[i], *fields[i]) != 0) {
            log_query_error(db, "Reading the SOA values", id);
            return -1;
        }
    }

    std::string value;
    int rc = query_value(db, value, "SELECT `serialgeneration`  FROM zone  WHERE id = %d ", {id});
    if (rc < 0) {
        log_query_error(db, "Reading the serial mode", id);
        return -1;
    }
    const long long mode = rc > 0 ? column_ll(value.c_str()) : 1;
    if (mode == 2 &&
        fr_sql_query(db, nullptr, " UPDATE `zone` SET `serialgeneration`=%d    WHERE `id` = %d ", 1,
                     id) != 0) {
        log_query_error(db, "Resetting the serial mode", id);
        return -1;
    }
    // The stored serial is read whatever the mode: it is what the zone last published, and a
    // generated serial must move past it.
    rc = query_value(db, value, "SELECT value  FROM zone_soa  WHERE zone_id = %d AND param = '%s' ",
                     {id, "serial"});
    if (rc < 0) {
        log_query_error(db, "Reading the stored serial", id);
        return -1;
    }
    const long long stored = rc > 0 ? column_ll(value.c_str()) : 0;
    zone.stored_serial = stored > 0 && stored <= 0xffffffffLL ? stored : 0;
    zone.soa.serial = (mode == 0 || mode == 2) ? stored : 0;
    return 0;
}

int set_sql_soa_serial(sql_conn *db, int id, const std::string &serial) {
    if (fr_sql_query(db, nullptr,
                     "INSERT INTO `zone_soa`(`zone_id`, `param`, `value`)   VALUE (%d, 'serial', "
                     "'%s')  ON DUPLICATE KEY UPDATE `value` = '%s'",
                     id, serial, serial) != 0) {
        log_query_error(db, "Storing the serial", id);
        return -1;
    }
    return 0;
}

zone_ptr get_sql_more_info(sql_conn *db, int id, int type, const std::string &name,
                           zone_load_error *error) {
    zone_load_error ignored;
    zone_load_error &why = error ? *error : ignored;
    why = zone_load_error{};
    const auto database_error = [&](const char *what) {
        log_query_error(db, what, id);
        why.database = true;
        return nullptr;
    };
    zone_ptr zone;
    if (init_zone_data(zone) != 0)
        return nullptr;

    sql_result res;
    if (fr_sql_query(db, &res,
                     "SELECT client.id, client.email  FROM client, zone  WHERE zone.id = %d AND "
                     "client.id = zone.client_id",
                     id) != 0) {
        return database_error("Reading the owner");
    }
    sql_row row = fr_sql_fetchrow(res);
    if (!row || row.is_null(0)) {
        LOGF(LOG_WARNING, "Zone %s has no owning client.", name.c_str());
        why.refusal = "The zone has no owning client.";
        return nullptr;
    }
    zone->client_id = static_cast<uint32_t>(column_ll(row.get(0)));
    // A client without an address keeps the zone loadable: only a primary zone needs it
    // (for its SOA mailbox), and the zone-file writer refuses that zone by name.
    if (!row.is_null(1))
        zone->client_email.assign(row.view(1));
    res.reset();

    std::string revision;
    int rc = query_value(db, revision, "SELECT revision   FROM zone   WHERE id = %d ", {id});
    if (rc < 0) {
        return database_error("Reading the revision");
    }
    // A NULL revision means no serial was generated yet, exactly like an empty one.
    zone->revision = rc > 0 ? revision : std::string();

    zone->reverse_kind = is_arpa_light_check(name);
    if (zone->reverse_kind == 1) {
        if (split_arpa_ipv4(name, zone->network) != 0) {
            LOGF(LOG_WARNING, "Zone %s: the reverse zone name denotes no IPv4 network.",
                 name.c_str());
            why.refusal = "The reverse zone name denotes no IPv4 network.";
            return nullptr;
        }
    } else {
        zone->network = arpa_ipv4_net();
    }
    zone->zone_type = static_cast<uint32_t>(type);

    if (get_soa_options(db, id, *zone) != 0) {
        why.database = true;
        return nullptr;
    }

    if (fr_sql_query(db, &res,
                     "SELECT type, value FROM zone_opt_values WHERE zone_id = '%d' AND type IN "
                     "('allow_transfer', 'master')",
                     id) != 0) {
        return database_error("Reading the options");
    }
    while (sql_row opt = fr_sql_fetchrow(res))
        add_zone_option(*zone, opt.get(1), opt.get(0));
    res.reset();

    if (type == 1) {
        if (load_records(db, id, *zone, name) != 0) {
            why.database = true;
            return nullptr;
        }
        add_ns_transfer_options(*zone, name);
    }
    return zone;
}
