// The schema in schema/ accepts the statements the programs send, with the column types
// their comparisons and arithmetic need. The statement texts below are the programs' own
// (with their values filled in), grouped by program.
#include "mariadb_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct statement_case {
    const char *what;
    const char *sql;
};

// Rows that the statements below refer to: two clients, a primary zone with records,
// options and SOA values, a feed, a pool.
const char *const seed =
    "INSERT INTO client(id, login, name, email, level, status) VALUES"
    " (1, 'admin', 'Admin', 'admin@example.org', 0, 1),"
    " (2, 'c2', 'Client Two', 'c2@example.org', 1, 1);"
    "INSERT INTO client_prefs(client_id, param, value) VALUES (2, 'max_domains', '10'),"
    " (2, 'refresh', '7200'), (2, 'remote_warn_threshold', '3');"
    "INSERT INTO misc(param, value) VALUES ('log_level', '5'), ('refresh', '10800'),"
    " ('email_sender', 'dns@example.org'), ('monitor_named', '1');"
    "INSERT INTO zone(id, name, client_id, type, status, revision) VALUES"
    " (1, 'example.com', 2, 'master', 1, '2024010101'),"
    " (2, 'slave.example', 2, 'slave', 1, '');"
    "INSERT INTO zone_dns_records(id, zone_id, entry_type, host, value, priority, status) VALUES"
    " (1, 1, 'NS', 'example.com', 'ns1.example.com', 1, 1),"
    " (2, 1, 'A', 'www', '192.0.2.80', NULL, 1),"
    " (3, 1, 'A', 'pool', '192.0.2.81', NULL, 1);"
    "INSERT INTO zone_opt_values(zone_id, type, value) VALUES (2, 'master', '192.0.2.53'),"
    " (1, 'allow_transfer', '198.51.100.1');"
    "INSERT INTO zone_soa(zone_id, param, value) VALUES (1, 'retry', '600');"
    "INSERT INTO file_template_default(id, name, content) VALUES (1, 'zonaris.include', 'x');"
    "INSERT INTO file_template(file_template_default_id, content) VALUES"
    " (1, 'zone \"[zone_name]\" { type [zone_type]; file \"[zone_file_name]\"; "
    "[zone_options]; };');"
    "INSERT INTO global_transfer_ips(ip) VALUES ('10.0.0.1'), ('10.0.0.0/24');"
    "INSERT INTO srv_service_protocol_type(name, type, record_type) VALUES"
    " ('_sip', 'service', 'SRV'), ('_tcp', 'protocol', 'SRV'), ('E2U+sip', 'service', 'NAPTR');"
    "INSERT INTO zone_feed(id, client_id, url, count, priority, hash, last_update, period) VALUES"
    " (1, 2, 'http://127.0.0.1:8080/zones.txt', 0, 5, NULL, 0, 60);"
    "INSERT INTO url_ip(url_id, value, type) VALUES (1, '192.0.2.53', 'master');"
    "INSERT INTO notification_event(id, name) VALUES (1, 'remote_update_failure');"
    "INSERT INTO notification(id, event_id, subject, content) VALUES"
    " (1, 1, 'Feed [remote_location] failed', 'Dear [name]');"
    "INSERT INTO notification_target(notification_id, appliesto, other) VALUES (1, 'admin', NULL),"
    " (1, 'other', 'noc@example.org');"
    "INSERT INTO rrobin_protocols(code, script) VALUES ('http', 'check_http');"
    "INSERT INTO rrobin_pool(id, name, zone_id, protocol_code, monit_interval, test_url, status)"
    " VALUES (1, 'web', 1, 'http', 30, 'http://$RR/', 1);"
    "INSERT INTO rrobin_pool_records(rrobin_pool_id, zone_dns_records_id) VALUES (1, 3);"
    "INSERT INTO rrobin_protocol_options(rrobin_pool_id, param, value) VALUES (1, 'TIMEOUT', '5');";

const std::vector<statement_case> event_log = {
    {"event row with all context",
     "INSERT   INTO logs(facility, level, message, info_code, log_timestamp , info, client_id, "
     "zone_feed_id, zone_id, zone_feed_url, zone_name)   VALUES('REMOTE_UPDATE', '4', 'Syntax "
     "error', 'EPU02', NOW(),'12',2,1,1,'http://127.0.0.1:8080/zones.txt','example.com')"},
    {"event row without context",
     "INSERT   INTO logs(facility, level, message, info_code, log_timestamp , info, client_id, "
     "zone_feed_id, zone_id, zone_feed_url, zone_name)   VALUES('ZONEBUILD', '5', 'Program "
     "started', 'ER01a', NOW(),NULL,NULL,NULL,NULL,NULL,NULL)"},
    {"pool monitor event row",
     " INSERT INTO logs(facility, level, message) VALUES(\"POOLWATCHD\", 5, \"Startup "
     "succeeded\")"},
};

const std::vector<statement_case> zone_builder = {
    {"change list",
     "SELECT a.zone_name  , unix_timestamp(NOW())  , b.id  , b.type  , b.client_id  , a.type  "
     "FROM changes  a LEFT JOIN zone b ON a.zone_name = b.name  WHERE ((a.type = 'u' AND b.name "
     "IS NOT NULL) OR (a.type = 'd'))  ORDER BY a.timestamp DESC"},
    {"garbage rows",
     "SELECT a.id   FROM changes   a LEFT JOIN zone b ON a.zone_name = b.name   WHERE b.name IS "
     "NULL"},
    {"origin name servers",
     "SELECT DISTINCT(zone_id)   FROM zone_dns_records, zone   WHERE entry_type = 'NS' \t\tAND "
     "zone.status = '1'\t\tAND zone_dns_records.status = '1'  \t\tAND host = zone.name "},
    {"origin name servers of clients",
     "SELECT DISTINCT(zone_id)   FROM zone_dns_records, zone   WHERE entry_type = 'NS' \t\tAND "
     "zone.status = '1'\t\tAND zone_dns_records.status = '1'  \t\tAND host = zone.name \t\tAND "
     "zone.client_id IN ('2')"},
    {"primary addresses",
     "SELECT DISTINCT(zone_id)   FROM zone_opt_values, zone   WHERE zone_opt_values.type = "
     "'master' \tAND zone.name IN ('slave.example')"},
    {"every active zone",
     "SELECT name, id, unix_timestamp(NOW()), type, client_id   FROM zone WHERE status = '1'"},
    {"removed zones",
     "SELECT zone_name FROM changes  WHERE type = 'd' AND timestamp < '1900000000'  ORDER BY "
     "timestamp DESC"},
    {"consumed changes",
     "DELETE  FROM changes WHERE zone_name = 'example.com' AND timestamp <= '1900000000'"},
    {"custom request", "SELECT `id` FROM `custom_job_queue`  WHERE `service` = 'ZONEBUILD' AND "
                       "`action` = 'writeacl'  LIMIT 1"},
    {"custom request served",
     "DELETE FROM `custom_job_queue`  WHERE `service` = 'ZONEBUILD' AND `action` = 'writeacl'"},
    {"revision", "UPDATE zone SET revision = '2024010102', revise_time = '1718000000' WHERE name "
                 "= 'example.com'"},
    {"revise time",
     "UPDATE zone SET revise_time = unix_timestamp(NOW()) WHERE name = 'example.com'"},
    {"warning", "UPDATE zone SET warning=2, warning_desc='zone \\'example.com\\' has no SOA' "
                "WHERE name='example.com'"},
    {"ENUM services", "SELECT `name` FROM `srv_service_protocol_type` WHERE `record_type`='NAPTR'"},
    {"zone owner", "SELECT client.id, client.email  FROM client, zone  WHERE zone.id = 1 AND "
                   "client.id = zone.client_id"},
    {"zone revision", "SELECT revision   FROM zone   WHERE id = 1 "},
    {"zone options", "SELECT type, value FROM zone_opt_values WHERE zone_id = '1' AND type IN "
                     "('allow_transfer', 'master')"},
    {"zone records", "SELECT entry_type,  host,  value,  priority,  priority_minor,  port,  ttl,  "
                     "services,  flag,  regex_flag,  regex,  replacement   FROM zone_dns_records "
                     "  WHERE zone_id = 1 AND status = '1'"},
    {"zone SOA value", "SELECT value  FROM zone_soa  WHERE zone_id = 1 AND param = 'refresh' "},
    {"client SOA value",
     "SELECT value  FROM client_prefs  WHERE client_id = 2 AND param = 'refresh' "},
    {"system SOA value", "SELECT value  FROM misc  WHERE param = 'refresh' "},
    {"serial mode", "SELECT `serialgeneration`  FROM zone  WHERE id = 1 "},
    {"serial mode reset", " UPDATE `zone` SET `serialgeneration`=1    WHERE `id` = 1 "},
    {"stored serial", "INSERT INTO `zone_soa`(`zone_id`, `param`, `value`)   VALUE (1, "
                      "'serial', '2024010102')  ON DUPLICATE KEY UPDATE `value` = '2024010102'"},
    {"include template",
     "SELECT `file_template`.`content`   FROM `file_template`, `file_template_default`   WHERE "
     "name = 'zonaris.include'  \tAND file_template_default.id = file_template_default_id "},
    {"global transfer list", "SELECT ip FROM global_transfer_ips "},
    {"log level", "SELECT value FROM misc WHERE param = 'log_level'"},
};

const std::vector<statement_case> feed_importer = {
    {"settings", "SELECT param, value FROM misc "},
    {"SRV services", "SELECT `name` FROM `srv_service_protocol_type` WHERE `type`='service' AND "
                     "`record_type`='SRV'"},
    {"queued clients", "SELECT `value` FROM `custom_job_queue` WHERE `service`='ZONEFEED' AND "
                       "`action` = 'forceclient'"},
    {"queued clients served", "DELETE FROM `custom_job_queue` WHERE `service`='ZONEFEED'"},
    {"hashes forgotten", "UPDATE `zone_feed` SET `hash` = NULL"},
    {"scheduled feeds",
     "SELECT zone_feed.id, zone_feed.client_id, zone_feed.url, zone_feed.count, "
     "zone_feed.priority, zone_feed.username, zone_feed.password, zone_feed.hash FROM "
     "zone_feed, client WHERE client.id = zone_feed.client_id AND zone_feed.status = '1' AND "
     "client.status = '1'  AND (zone_feed.count = '0' OR unix_timestamp(NOW()) - "
     "zone_feed.last_update >= zone_feed.period * 60) ORDER BY zone_feed.id "},
    {"idle feeds", "SELECT id, client_id, priority FROM zone_feed  WHERE zone_feed.status = '1' "
                   "AND (zone_feed.count != 0  AND unix_timestamp(NOW()) - zone_feed.last_update "
                   "< zone_feed.period * 60)  ORDER BY zone_feed.id "},
    {"custom feeds",
     "SELECT DISTINCT(zone_feed.id), zone_feed.client_id, zone_feed.url, zone_feed.count, "
     "zone_feed.priority, zone_feed.username, zone_feed.password FROM zone_feed, client WHERE ( "
     "client.id IN ('2') ) AND client.id = zone_feed.client_id AND zone_feed.status = '1' AND "
     "client.status = '1' ORDER BY zone_feed.id "},
    {"feed addresses", "SELECT value, type FROM url_ip WHERE url_id = '1'"},
    {"client permissions", "SELECT param, value FROM client_prefs WHERE client_id = '2'"},
    {"feed URL", "SELECT url FROM zone_feed WHERE id = '1'"},
    {"zone data", "SELECT id, client_id, url_id, last_zone_feed_id, type, status FROM zone WHERE "
                  "name = 'example.com'"},
    {"zone separator", "SELECT `separator` FROM zone  WHERE name='2/25.2.0.192.in-addr.arpa'  AND "
                       "(url_id='1' OR url_id < -1)"},
    {"new zone",
     "INSERT INTO zone(name, client_id, type, cr_date, revise_time, last_zone_feed_id, url_id, "
     "status, `separator`, `serialgeneration`) VALUES('feed.example', '2', 'master', NOW(), "
     "'0', '1', '1', '1', '0', '0')"},
    {"reverse parents", "SELECT id, name FROM zone WHERE client_id != '2' AND (name IN "
                        "('2.0.192.in-addr.arpa', '0.192.in-addr.arpa')  OR name LIKE "
                        "'%.2.0.192.in-addr.arpa') AND `separator` = '0'"},
    {"delegation", "SELECT COUNT(id) FROM zone_dns_records WHERE zone_id = '1' AND entry_type = "
                   "'NS' AND host = 'sub' AND status = 1"},
    {"zone limit", "SELECT count(id) FROM zone WHERE client_id = '2'"},
    {"feed zones", "SELECT id, name, client_id, url_id FROM zone WHERE client_id = '2' AND url_id "
                   "= '1' "},
    {"option lookup", "SELECT id FROM zone_opt_values WHERE value='192.0.2.53' AND type = "
                      "'master' AND zone_id = '2'"},
    {"option insert", "INSERT INTO zone_opt_values(`zone_id`, `type`, `value`) VALUES ('2', "
                      "'allow_transfer', '192.0.2.0/24')"},
    {"queued change", "INSERT INTO changes(zone_name, type, timestamp) VALUES('feed.example', 'u', "
                      "UNIX_TIMESTAMP(NOW())) ON DUPLICATE KEY UPDATE `type` = 'u', `timestamp`= "
                      "UNIX_TIMESTAMP(NOW())"},
    {"record snapshot",
     "SELECT id, CONCAT(entry_type, host, value, ifnull(priority, \"NULL\"), "
     "ifnull(priority_minor, \"NULL\"), ifnull(port, \"NULL\"), ifnull(ttl, \"NULL\"), "
     "ifnull(services, \"NULL\"), ifnull(flag, \"NULL\"), ifnull(regex_flag, \"NULL\"), "
     "ifnull(regex, \"NULL\")) FROM zone_dns_records WHERE zone_id = '1'"},
    {"option snapshot", "SELECT id, value, type FROM zone_opt_values WHERE zone_id = '1'"},
    {"records",
     "INSERT INTO zone_dns_records (`entry_type`, `host`, `value`, `priority`, "
     "`priority_minor`, `port`, `ttl`, `services`, `flag`, `regex_flag`, `regex`, "
     "`replacement`, `zone_id`, `timestamp`, `status`)  VALUES ('A', 'www', '192.0.2.1', NULL, "
     "NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, '3', NOW(), 1),('MX', 'feed.example.', "
     "'mail.feed.example.', '10', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, '3', NOW(), "
     "1),('SRV', '_sip._tcp', 'sip.feed.example.', '10', '5', '5060', '3600', NULL, NULL, NULL, "
     "NULL, NULL, '3', NOW(), 1),('NAPTR', '4.3.2.1', '', '100', '10', NULL, NULL, 'E2U+sip', "
     "'u', NULL,'!^.*$!sip:info@example.org!', '.', '3', NOW(), 1)"},
    {"records, continued statement",
     "INSERT INTO zone_dns_records (`entry_type`, `host`, `value`, `priority`, `priority_minor`  "
     ", `port`, `ttl`, `services`, `flag`, `regex_flag`, `regex`, `replacement`, `zone_id`, "
     "`timestamp`, `status`)  VALUES ('TXT', 'feed.example.', 'v=spf1 -all', NULL, NULL, NULL, "
     "NULL, NULL, NULL, NULL, NULL, NULL, '3', NOW(), 1)"},
    {"options", "INSERT INTO zone_opt_values  (`zone_id`, `type`, `value`)  VALUES ('3', "
                "'allow_transfer', '198.51.100.0/24'),('3', 'master', '192.0.2.53')"},
    {"old records", "DELETE FROM `zone_dns_records` WHERE `id` in (2)"},
    {"old options", "DELETE FROM `zone_opt_values` WHERE `id` in (1)"},
    {"SOA read", "SELECT param, value FROM zone_soa WHERE zone_id = '1'"},
    {"SOA insert", "INSERT INTO zone_soa(zone_id, param, value) VALUES('3', 'refresh', '3600'),"
                   "('3', 'serial', '2024061501')"},
    {"SOA update", "UPDATE zone_soa SET value = '1800' WHERE zone_id = '3' AND param = 'refresh' "},
    {"SOA delete", "DELETE FROM zone_soa WHERE zone_id = 3 AND param IN ('serial')"},
    {"zone type", "SELECT type FROM zone WHERE id = 3"},
    {"zone moved", "UPDATE zone SET  type = 'slave' , url_id = '1' , last_zone_feed_id = '1', "
                   "`separator` = '1' WHERE id = '3'"},
    {"zone touched", "UPDATE zone SET last_zone_feed_id = '1', `separator` = '0' WHERE id = '3'"},
    {"feed run", "UPDATE zone_feed SET count = '1', last_update = unix_timestamp(NOW()), hash = "
                 "'d41d8cd98f00b204e9800998ecf8427e' WHERE id = '1'"},
    {"zone owner by name", "SELECT client_id FROM zone WHERE name = 'example.com'"},
    {"zone deleted", "DELETE FROM zone WHERE id = '3' "},
    {"notification event",
     "SELECT `id` FROM `notification_event` WHERE name = 'remote_update_failure' "},
    {"notifications",
     "SELECT `id`, `subject`, `content` FROM `notification`   WHERE `event_id` = '1' "},
    {"targets",
     "SELECT `appliesto`, `other` FROM `notification_target`   WHERE `notification_id` = '1' "},
    {"administrators", "SELECT email FROM `client` WHERE `level` = 0"},
    {"client address", "SELECT `email` FROM `client` WHERE `id` = '2' "},
    {"client names", "SELECT `name`, `login` FROM `client` WHERE `id` = '2' "},
    {"sender", "SELECT value FROM misc WHERE param = 'email_sender_name'"},
};

const std::vector<statement_case> pool_monitor = {
    {"pools", " SELECT rp.id, rp.name, rp.zone_id, rp.protocol_code, rp.monit_interval, "
              "rp.test_url  FROM rrobin_pool AS rp, zone AS z  WHERE rp.status = 1  \tAND "
              "z.status = 1 AND rp.zone_id = z.id  \tAND 0 < ( SELECT COUNT(*) FROM "
              "rrobin_pool_records  WHERE rrobin_pool_id = rp.id ) "},
    {"protocols", " SELECT code, script FROM rrobin_protocols"},
    {"one protocol", " SELECT script FROM rrobin_protocols WHERE code = \"http\" "},
    {"environment", " SELECT param, value  FROM rrobin_protocol_options WHERE rrobin_pool_id = 1"},
    {"pool records",
     " SELECT z.name, rpr.zone_dns_records_id, zdr.value, zdr.entry_type, zdr.status FROM zone "
     "AS z,  zone_dns_records AS zdr,  rrobin_pool_records AS rpr  WHERE rpr.rrobin_pool_id = 1 "
     " AND rpr.zone_dns_records_id = zdr.id  AND zdr.zone_id = z.id"},
    {"pools per record", " SELECT COUNT(*)  FROM rrobin_pool AS rp, \trrobin_pool_records AS rpr "
                         "WHERE rp.id = rpr.rrobin_pool_id  AND rp.status = 1  AND "
                         "rpr.zone_dns_records_id = 3"},
    {"pending deletes",
     " SELECT COUNT(*) FROM changes WHERE zone_name = \"example.com\" AND type = 'd'"},
    {"pending updates",
     "SELECT COUNT(*)  FROM changes  WHERE zone_name = \"example.com\"  AND type = 'u'"},
    {"record switched", " UPDATE zone_dns_records SET status = 9 WHERE id = 3"},
    {"change refreshed", " UPDATE changes  SET timestamp = UNIX_TIMESTAMP()  WHERE zone_name = "
                         "\"example.com\"  AND type = 'u'"},
    {"change queued", " INSERT INTO changes(zone_name, type, timestamp) VALUES(\"example.com\", "
                      "'u', UNIX_TIMESTAMP())"},
    {"log level", " SELECT value FROM misc WHERE param = \"log_level\" "},
};

const std::vector<statement_case> tools = {
    {"client import", "INSERT INTO `custom_job_queue`(`action`, `value`, `service`, `timestamp`) "
                      "VALUES('forceclient', '2', 'ZONEFEED', NOW()),('forceclient', '7', "
                      "'ZONEFEED', NOW())"},
    {"client import withdrawn",
     "DELETE FROM `custom_job_queue` WHERE `service`='ZONEFEED' AND `value` IN('2','7')"},
    {"ACL request", "INSERT INTO `custom_job_queue`(`action`, `service`, `timestamp`) "
                    "VALUES('writeacl', 'ZONEBUILD', NOW())"},
    {"ACL request withdrawn",
     "DELETE FROM `custom_job_queue` WHERE `service` = 'ZONEBUILD' AND `action`='writeacl'"},
    {"monitoring switch", "SELECT value FROM `misc` WHERE `param`='monitor_named'"},
};

void run_all(const std::vector<statement_case> &cases) {
    test_database db = make_test_database();
    ASSERT_EQ(0, db.exec(seed)) << db.last_error();
    for (const auto &c : cases)
        EXPECT_EQ(0, db.exec(c.sql)) << c.what << ": " << db.last_error() << "\n" << c.sql;
}

} // namespace

TEST(Schema, AcceptsTheEventLogStatements) {
    run_all(event_log);
}
TEST(Schema, AcceptsTheZoneBuilderStatements) {
    run_all(zone_builder);
}
TEST(Schema, AcceptsTheFeedImporterStatements) {
    run_all(feed_importer);
}
TEST(Schema, AcceptsThePoolMonitorStatements) {
    run_all(pool_monitor);
}
TEST(Schema, AcceptsTheToolStatements) {
    run_all(tools);
}

TEST(Schema, ChangeTimesAreSecondsComparedAsNumbers) {
    test_database db = make_test_database();
    ASSERT_EQ(0, db.exec("INSERT INTO changes(zone_name, type, timestamp) VALUES"
                         "('a.example', 'u', 999999999), ('a.example', 'u', 1000000001),"
                         "('a.example', 'd', 1000000000)"))
        << db.last_error();
    // As text '999999999' would sort after '1000000000'.
    EXPECT_EQ(db.count("changes", "timestamp <= '1000000000'"), 2);
    ASSERT_EQ(0, db.exec("DELETE  FROM changes WHERE zone_name = 'a.example' AND timestamp <= "
                         "'1000000000'"));
    EXPECT_EQ(db.value("SELECT timestamp FROM changes"), "1000000001");
}

TEST(Schema, AZoneMayHaveSeveralChangeRows) {
    test_database db = make_test_database();
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(0, db.exec("INSERT INTO changes(zone_name, type, timestamp) VALUES('b.example', "
                             "'d', UNIX_TIMESTAMP(NOW())) ON DUPLICATE KEY UPDATE `type` = 'd', "
                             "`timestamp`= UNIX_TIMESTAMP(NOW())"))
            << db.last_error();
    ASSERT_EQ(0, db.exec("INSERT INTO changes(zone_name, type, timestamp) VALUES('b.example', 'u', "
                         "UNIX_TIMESTAMP())"));
    EXPECT_EQ(db.count("changes", "zone_name = 'b.example'"), 3);
}

TEST(Schema, StoredSerialIsOneRowPerZone) {
    test_database db = make_test_database();
    for (const char *serial : {"2024010101", "2024010102"})
        ASSERT_EQ(0, db.exec(std::string("INSERT INTO `zone_soa`(`zone_id`, `param`, `value`)   "
                                         "VALUE (4, 'serial', '") +
                             serial + "')  ON DUPLICATE KEY UPDATE `value` = '" + serial + "'"))
            << db.last_error();
    EXPECT_EQ(db.count("zone_soa", "zone_id = 4"), 1);
    EXPECT_EQ(db.value("SELECT value FROM zone_soa WHERE zone_id = 4 AND param = 'serial'"),
              "2024010102");
}

TEST(Schema, FeedDueTestCopesWithALastUpdateInTheFuture) {
    test_database db = make_test_database();
    ASSERT_EQ(0, db.exec("INSERT INTO client(id, status) VALUES (1, 1);"
                         "INSERT INTO zone_feed(id, client_id, url, count, last_update, period) "
                         "VALUES (1, 1, 'http://127.0.0.1/a', 3, unix_timestamp(NOW()) + 86400, "
                         "60), (2, 1, 'http://127.0.0.1/b', 3, 0, 60)"));
    sql_rows due =
        db.rows("SELECT zone_feed.id FROM zone_feed, client WHERE client.id = "
                "zone_feed.client_id AND zone_feed.status = '1' AND client.status = "
                "'1'  AND (zone_feed.count = '0' OR unix_timestamp(NOW()) - "
                "zone_feed.last_update >= zone_feed.period * 60) ORDER BY zone_feed.id ");
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0][0], "2");
    EXPECT_EQ(db.count("zone_feed", "unix_timestamp(NOW()) - last_update < period * 60"), 1);
}

TEST(Schema, PanelZonesAreOwnedByNoFeed) {
    test_database db = make_test_database();
    ASSERT_EQ(0, db.exec("INSERT INTO zone(name, client_id) VALUES('panel.example', 1)"));
    EXPECT_EQ(db.value("SELECT url_id FROM zone WHERE name = 'panel.example'"), "-1");
    EXPECT_EQ(db.value("SELECT revision FROM zone WHERE name = 'panel.example'"), "");
    ASSERT_EQ(0, db.exec("UPDATE zone SET revision = NULL WHERE name = 'panel.example'"));
    EXPECT_EQ(db.value("SELECT revision FROM zone WHERE name = 'panel.example'"), std::nullopt);
    EXPECT_EQ(-1, db.exec("INSERT INTO zone(name, client_id) VALUES('panel.example', 2)"));
}

TEST(Schema, FeedZoneInsertGivesItsId) {
    test_database db = make_test_database();
    ASSERT_EQ(0, db.exec("INSERT INTO zone(name, client_id, type, cr_date, revise_time, "
                         "last_zone_feed_id, url_id, status, `separator`, `serialgeneration`) "
                         "VALUES('feed.example', '2', 'master', NOW(), '0', '1', '1', '1', '0', "
                         "'0')"));
    EXPECT_EQ(db.value("SELECT LAST_INSERT_ID()"), "1");
    EXPECT_EQ(db.value("SELECT serialgeneration FROM zone WHERE id = 1"), "0");
}

TEST(Schema, PoolMonitorEventRowsGetATime) {
    test_database db = make_test_database();
    ASSERT_EQ(0, db.exec(" INSERT INTO logs(facility, level, message) VALUES(\"POOLWATCHD\", 3, "
                         "\"Zone a record type A with value 192.0.2.1 found available, "
                         "disabling\")"))
        << db.last_error();
    EXPECT_EQ(db.count("logs", "log_timestamp IS NOT NULL AND info_code IS NULL"), 1);
}

TEST(Schema, NullRecordColumnsGiveTheSnapshotKey) {
    test_database db = make_test_database();
    ASSERT_EQ(0, db.exec("INSERT INTO zone_dns_records(zone_id, entry_type, host, value) VALUES "
                         "(1, 'A', 'www', '192.0.2.1')"));
    EXPECT_EQ(db.value("SELECT CONCAT(entry_type, host, value, ifnull(priority, \"NULL\"), "
                       "ifnull(priority_minor, \"NULL\"), ifnull(port, \"NULL\"), ifnull(ttl, "
                       "\"NULL\"), ifnull(services, \"NULL\"), ifnull(flag, \"NULL\"), "
                       "ifnull(regex_flag, \"NULL\"), ifnull(regex, \"NULL\")) FROM "
                       "zone_dns_records"),
              "Awww192.0.2.1NULLNULLNULLNULLNULLNULLNULLNULL");
}
