#include "zone_model.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <unordered_map>

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

void log_batch_error(sql_conn *db, const char *what, size_t zones) {
    FR_LOG(LOG_WARNING, "%s of %zu zones failed: %s", what, zones, fr_sql_error(db).c_str());
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

// Files one record row (columns from `first`: entry_type, then the eleven record columns)
// into the zone. A row that cannot be used is skipped with a warning and noted; the rest of
// the zone is still read. `n` counts the zone's rows (for the warning).
void take_record_row(zone_info &zone, const std::string &name, const sql_row &row, unsigned first,
                     unsigned long n) {
    if (row.size() < first + 12 || row.is_null(first)) {
        LOGF(LOG_WARNING, "Zone %s: record row %lu has no type. Skipped.", name.c_str(), n);
        zone.refused_rows.push_back("a record row without a type");
        return;
    }
    const std::string type(row.view(first));
    std::optional<zone_rec> rec = record_from_row(row, first + 1);
    if (!rec) {
        LOGF(LOG_WARNING, "Zone %s: %s record row %lu has no host or no value. Skipped.",
             name.c_str(), type.c_str(), n);
        zone.refused_rows.push_back(type + " record without a host or a value");
        return;
    }
    int slot = rec_slot_of(type);
    if (slot < 0) {
        LOGF(LOG_WARNING, "Zone %s: record type '%s' of host %s is not supported. Skipped.",
             name.c_str(), type.c_str(), rec->host.c_str());
        zone.refused_rows.push_back(type + " record of host " + rec->host +
                                    ": the type is not supported");
        return;
    }
    add_zone_rec(zone, static_cast<rec_slot>(slot), std::move(*rec));
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

int get_soa_options(const soa_texts &own, const soa_texts &client, const soa_texts &global,
                    long long serial_mode, zone_info &zone) {
    int64_t *const fields[] = {&zone.soa.refresh, &zone.soa.retry, &zone.soa.expire,
                               &zone.soa.min_ttl, &zone.soa.default_ttl};
    for (int i = 0; i < SOA_TIMERS; ++i) {
        // The zone's own value and the client's preference count only when not 0; the
        // system-wide value counts whatever it is.
        if (own.value[i] && column_ll(own.value[i]->c_str()) != 0)
            *fields[i] = column_ll(own.value[i]->c_str());
        else if (client.value[i] && column_ll(client.value[i]->c_str()) != 0)
            *fields[i] = column_ll(client.value[i]->c_str());
        else
            *fields[i] = global.value[i] ? column_ll(global.value[i]->c_str()) : 0;
    }
    // The stored serial is read whatever the mode: it is what the zone last published, and a
    // generated serial must move past it.
    const std::optional<std::string> &serial = own.value[SOA_SERIAL];
    const long long stored = serial ? column_ll(serial->c_str()) : 0;
    zone.stored_serial = stored > 0 && stored <= 0xffffffffLL ? stored : 0;
    zone.soa.serial = (serial_mode == 0 || serial_mode == 2) ? stored : 0;
    return 0;
}

int set_sql_soa_serial(sql_conn *db, int id, const std::string &serial) {
    if (fr_sql_query(db, nullptr,
                     "INSERT INTO `zone_soa`(`zone_id`, `param`, `value`)   VALUE (%d, 'serial', "
                     "'%s')  ON DUPLICATE KEY UPDATE `value` = '%s'",
                     id, serial, serial) != 0) {
        FR_LOG(LOG_WARNING, "Storing the serial of zone %d failed: %s", id,
               fr_sql_error(db).c_str());
        return -1;
    }
    return 0;
}

int set_sql_soa_serials(sql_conn *db, const std::vector<std::pair<int, std::string>> &serials) {
    if (serials.empty())
        return 0;
    std::string format = "INSERT INTO `zone_soa`(`zone_id`, `param`, `value`)   VALUES ";
    std::vector<sql_arg> args;
    args.reserve(serials.size() * 2);
    for (size_t i = 0; i < serials.size(); ++i) {
        format += i == 0 ? "(%d, 'serial', '%s')" : ", (%d, 'serial', '%s')";
        args.emplace_back(serials[i].first);
        args.emplace_back(serials[i].second);
    }
    format += "  ON DUPLICATE KEY UPDATE `value` = VALUES(`value`)";
    if (fr_sql_query_args(db, nullptr, format, args) != 0) {
        FR_LOG(LOG_WARNING, "Storing the serials of %zu zones failed: %s", serials.size(),
               fr_sql_error(db).c_str());
        return -1;
    }
    return 0;
}

void soa_texts::take(int param, const char *value) {
    if (param < 0 || param >= SOA_PARAMS || (seen & (1u << param)))
        return;
    seen |= 1u << param; // the first row decides, also when its value is NULL
    if (value)
        this->value[param] = value;
}

int soa_param_of(std::string_view param) {
    static const char *const names[SOA_PARAMS] = {"refresh", "retry",       "expire",
                                                  "min_ttl", "default_ttl", "serial"};
    for (int i = 0; i < SOA_PARAMS; ++i)
        if (param == names[i])
            return i;
    return -1;
}

namespace {

// Per requested zone while its batch loads.
struct batch_zone {
    const zone_request *request = nullptr;
    zone_loaded *out = nullptr;
    bool owner = false;
    long long serial_mode = 1; // no zone row reads as mode 1
    soa_texts own;
    unsigned long rows = 0; // record rows seen (for warnings)
};

// A comma-separated list of numbers for an IN (...) clause.
template <class Ids> std::string number_list(const Ids &ids) {
    std::string list;
    for (const auto id : ids) {
        if (!list.empty())
            list += ',';
        list += std::to_string(id);
    }
    return list;
}

// The zones of the batch in zone order, each id once, with the batch entries it feeds.
class zone_index {
  public:
    void add(uint32_t id, batch_zone *z) { by_id_[id].push_back(z); }
    bool empty() const { return by_id_.empty(); }
    // "id,id,..." in ascending order.
    std::string list() const {
        std::vector<uint32_t> ids;
        ids.reserve(by_id_.size());
        for (const auto &kv : by_id_)
            ids.push_back(kv.first);
        std::sort(ids.begin(), ids.end());
        return number_list(ids);
    }
    // The entries of the zone a row names in its first column (none for another id).
    const std::vector<batch_zone *> &of(const sql_row &row) const {
        static const std::vector<batch_zone *> none;
        const auto it = row.get(0) ? by_id_.find(column_u32(row.get(0))) : by_id_.end();
        return it == by_id_.end() ? none : it->second;
    }

  private:
    std::unordered_map<uint32_t, std::vector<batch_zone *>> by_id_;
};

// Runs a statement over the zones in `list`, handing each row to `take`. 0, or -1 (logged).
template <class Take>
int read_rows(sql_conn *db, const char *what, size_t zones, std::string_view format,
              const std::string &list, Take take) {
    sql_result res;
    if (fr_sql_query(db, &res, format, sql_raw{list}) != 0) {
        log_batch_error(db, what, zones);
        return -1;
    }
    while (sql_row row = fr_sql_fetchrow(res))
        take(row);
    return 0;
}

// Owner, revision and serial mode of every zone of the batch; the zones that cannot be
// loaded (no owner, an IPv4 reverse name that is no network) are refused.
int read_zone_rows(sql_conn *db, std::vector<batch_zone> &zones) {
    zone_index all;
    for (batch_zone &z : zones)
        if (z.out->zone)
            all.add(static_cast<uint32_t>(z.request->id), &z);
    if (all.empty())
        return 0;
    const int rc = read_rows(
        db, "Reading the owners", zones.size(),
        "SELECT zone.id, client.id, client.email, zone.revision, zone.serialgeneration  FROM "
        "zone LEFT JOIN client ON client.id = zone.client_id  WHERE zone.id IN (%s)",
        all.list(), [&](const sql_row &row) {
            for (batch_zone *z : all.of(row)) {
                zone_info &zone = *z->out->zone;
                z->owner = !row.is_null(1);
                zone.client_id = static_cast<uint32_t>(column_ll(row.get(1)));
                // A client without an address keeps the zone loadable: only a primary zone
                // needs it (for its SOA mailbox), and the zone-file writer refuses that zone
                // by name.
                if (!row.is_null(2))
                    zone.client_email.assign(row.view(2));
                // A NULL revision means no serial was generated yet, exactly like an empty
                // one.
                if (!row.is_null(3))
                    zone.revision.assign(row.view(3));
                z->serial_mode = row.is_null(4) ? 1 : column_ll(row.get(4));
            }
        });
    if (rc != 0)
        return -1;
    for (batch_zone &z : zones) {
        if (!z.out->zone)
            continue;
        const std::string &name = *z.request->name;
        zone_info &zone = *z.out->zone;
        if (!z.owner) {
            LOGF(LOG_WARNING, "Zone %s has no owning client.", name.c_str());
            z.out->error.refusal = "The zone has no owning client.";
            z.out->zone.reset();
            continue;
        }
        zone.reverse_kind = is_arpa_light_check(name);
        if (zone.reverse_kind == 1 && split_arpa_ipv4(name, zone.network) != 0) {
            LOGF(LOG_WARNING, "Zone %s: the reverse zone name denotes no IPv4 network.",
                 name.c_str());
            z.out->error.refusal = "The reverse zone name denotes no IPv4 network.";
            z.out->zone.reset();
            continue;
        }
        if (zone.reverse_kind != 1)
            zone.network = arpa_ipv4_net();
        zone.zone_type = static_cast<uint32_t>(z.request->type);
    }
    return 0;
}

// SOA values, options and records of the zones still loading. 0, or -1 on a query error.
int read_zone_data(sql_conn *db, std::vector<batch_zone> &zones) {
    zone_index live, primaries;
    std::unordered_map<uint32_t, soa_texts> clients;
    for (batch_zone &z : zones) {
        if (!z.out->zone)
            continue;
        live.add(static_cast<uint32_t>(z.request->id), &z);
        if (z.request->type == 1)
            primaries.add(static_cast<uint32_t>(z.request->id), &z);
        clients.try_emplace(z.out->zone->client_id);
    }
    if (live.empty())
        return 0;
    const size_t n = zones.size();
    const auto soa_row = [](soa_texts &texts, const sql_row &row, unsigned first) {
        if (row.get(first))
            texts.take(soa_param_of(row.view(first)), row.get(first + 1));
    };
    if (read_rows(db, "Reading the SOA values", n,
                  "SELECT zone_id, param, value  FROM zone_soa  WHERE zone_id IN (%s) AND param "
                  "IN ('refresh', 'retry', 'expire', 'min_ttl', 'default_ttl', 'serial') ORDER "
                  "BY zone_id, id",
                  live.list(), [&](const sql_row &row) {
                      for (batch_zone *z : live.of(row))
                          soa_row(z->own, row, 1);
                  }) != 0)
        return -1;
    std::vector<uint32_t> client_ids;
    for (const auto &kv : clients)
        client_ids.push_back(kv.first);
    std::sort(client_ids.begin(), client_ids.end());
    if (read_rows(db, "Reading the client preferences", n,
                  "SELECT client_id, param, value  FROM client_prefs  WHERE client_id IN (%s) AND "
                  "param IN ('refresh', 'retry', 'expire', 'min_ttl', 'default_ttl') ORDER BY "
                  "client_id, id",
                  number_list(client_ids), [&](const sql_row &row) {
                      const auto it = clients.find(column_u32(row.get(0)));
                      if (row.get(0) && it != clients.end())
                          soa_row(it->second, row, 1);
                  }) != 0)
        return -1;
    soa_texts global;
    if (read_rows(db, "Reading the system-wide SOA values", n,
                  "SELECT param, value  FROM misc  WHERE param IN (%s) ORDER BY id",
                  "'refresh', 'retry', 'expire', 'min_ttl', 'default_ttl'",
                  [&](const sql_row &row) { soa_row(global, row, 0); }) != 0)
        return -1;
    for (batch_zone &z : zones)
        if (z.out->zone)
            get_soa_options(z.own, clients[z.out->zone->client_id], global, z.serial_mode,
                            *z.out->zone);

    if (read_rows(db, "Reading the options", n,
                  "SELECT zone_id, type, value FROM zone_opt_values WHERE zone_id IN (%s) AND "
                  "type IN ('allow_transfer', 'master') ORDER BY zone_id, type, id",
                  live.list(), [&](const sql_row &row) {
                      for (batch_zone *z : live.of(row))
                          add_zone_option(*z->out->zone, row.get(2), row.get(1));
                  }) != 0)
        return -1;
    if (primaries.empty())
        return 0;
    return read_rows(db, "Reading the records", n,
                     "SELECT zone_id, entry_type,  host,  value,  priority,  priority_minor,  "
                     "port,  ttl,  services,  flag,  regex_flag,  regex,  replacement   FROM "
                     "zone_dns_records   WHERE zone_id IN (%s) AND status = '1' ORDER BY "
                     "zone_id, id",
                     primaries.list(), [&](const sql_row &row) {
                         for (batch_zone *z : primaries.of(row))
                             take_record_row(*z->out->zone, *z->request->name, row, 1, ++z->rows);
                     });
}

// A zone in the one-shot serial mode used its stored serial now: it generates from the
// next write on. Switched only once everything of the zone was read, so a load that fails
// leaves the one-shot for the next job. A zone the panel switched meanwhile keeps its mode.
void end_one_shot_serials(sql_conn *db, std::vector<batch_zone> &zones) {
    std::vector<uint32_t> ids;
    for (const batch_zone &z : zones)
        if (z.out->zone && z.serial_mode == 2)
            ids.push_back(static_cast<uint32_t>(z.request->id));
    if (ids.empty())
        return;
    if (fr_sql_query(db, nullptr,
                     " UPDATE `zone` SET `serialgeneration`=1    WHERE `id` IN (%s) AND "
                     "`serialgeneration` = 2",
                     sql_raw{number_list(ids)}) == 0)
        return;
    log_batch_error(db, "Resetting the serial mode", ids.size());
    for (batch_zone &z : zones) {
        if (z.out->zone && z.serial_mode == 2) {
            z.out->zone.reset();
            z.out->error.database = true;
        }
    }
}

} // namespace

void load_zone_batch(sql_conn *db, const std::vector<zone_request> &batch,
                     std::vector<zone_loaded> &out) {
    out.clear();
    out.resize(batch.size());
    std::vector<batch_zone> zones;
    zones.reserve(batch.size());
    for (size_t i = 0; i < batch.size(); ++i) {
        batch_zone z;
        z.request = &batch[i];
        z.out = &out[i];
        zones.push_back(std::move(z));
        // A zone whose record cannot be made is not loaded, without a reason.
        (void)init_zone_data(out[i].zone);
    }
    if (read_zone_rows(db, zones) != 0 || read_zone_data(db, zones) != 0) {
        for (batch_zone &z : zones) {
            if (z.out->zone) {
                z.out->zone.reset();
                z.out->error = zone_load_error{true, {}};
            }
        }
        return;
    }
    for (batch_zone &z : zones)
        if (z.out->zone && z.request->type == 1)
            add_ns_transfer_options(*z.out->zone, *z.request->name);
    end_one_shot_serials(db, zones);
}

int count_zone_records(sql_conn *db, const std::vector<zone_request> &batch,
                       std::vector<size_t> &counts) {
    counts.assign(batch.size(), 0);
    std::unordered_map<uint32_t, std::vector<size_t>> primaries;
    for (size_t i = 0; i < batch.size(); ++i)
        if (batch[i].type == 1 && batch[i].id > 0)
            primaries[static_cast<uint32_t>(batch[i].id)].push_back(i);
    if (primaries.empty())
        return 0;
    std::vector<uint32_t> ids;
    for (const auto &kv : primaries)
        ids.push_back(kv.first);
    std::sort(ids.begin(), ids.end());
    sql_result res;
    if (fr_sql_query(db, &res,
                     "SELECT zone_id, COUNT(*)   FROM zone_dns_records   WHERE zone_id IN (%s) AND "
                     "status = '1' GROUP BY zone_id",
                     sql_raw{number_list(ids)}) != 0) {
        log_batch_error(db, "Counting the records", batch.size());
        return -1;
    }
    while (sql_row row = fr_sql_fetchrow(res)) {
        const auto it = row.get(0) ? primaries.find(column_u32(row.get(0))) : primaries.end();
        if (it != primaries.end())
            for (size_t i : it->second)
                counts[i] = static_cast<size_t>(column_ll(row.get(1)));
    }
    return 0;
}

std::vector<size_t> record_groups(const std::vector<size_t> &counts, size_t budget) {
    std::vector<size_t> ends;
    size_t held = 0;
    for (size_t i = 0; i < counts.size(); ++i) {
        if (i > 0 && held + counts[i] > budget) {
            ends.push_back(i);
            held = 0;
        }
        held += counts[i];
    }
    if (!counts.empty())
        ends.push_back(counts.size());
    return ends;
}

zone_ptr get_sql_more_info(sql_conn *db, int id, int type, const std::string &name,
                           zone_load_error *error) {
    std::vector<zone_loaded> out;
    load_zone_batch(db, {zone_request{id, type, &name}}, out);
    if (error)
        *error = std::move(out[0].error);
    return std::move(out[0].zone);
}
