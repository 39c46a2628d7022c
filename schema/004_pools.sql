-- Round-robin pools watched by poolwatchd.

-- A pool: a set of records of one zone tested with one protocol every monit_interval
-- seconds. test_url may hold the placeholder $RR (or $rr) for the record's value.
-- status 1 active. name, protocol_code, test_url and monit_interval are nullable, and
-- monit_interval is signed: the monitor must cope with incomplete rows and refuses a pool
-- whose interval is missing or not positive.
CREATE TABLE IF NOT EXISTS rrobin_pool (
    id INT UNSIGNED NOT NULL AUTO_INCREMENT,
    name VARCHAR(255) NULL,
    zone_id INT UNSIGNED NULL,
    protocol_code VARCHAR(32) NULL,
    monit_interval INT NULL DEFAULT 60,
    test_url VARCHAR(1024) NULL,
    status TINYINT NOT NULL DEFAULT 1,
    PRIMARY KEY (id),
    KEY rrobin_pool_zone (zone_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Members of a pool: records of zone_dns_records.
CREATE TABLE IF NOT EXISTS rrobin_pool_records (
    id INT UNSIGNED NOT NULL AUTO_INCREMENT,
    rrobin_pool_id INT UNSIGNED NOT NULL,
    zone_dns_records_id INT UNSIGNED NOT NULL,
    PRIMARY KEY (id),
    KEY rrobin_pool_records_pool (rrobin_pool_id),
    KEY rrobin_pool_records_record (zone_dns_records_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Test protocols: a code and the file name of its test script in POOLWATCH_D.
CREATE TABLE IF NOT EXISTS rrobin_protocols (
    id INT UNSIGNED NOT NULL AUTO_INCREMENT,
    code VARCHAR(32) NOT NULL,
    script VARCHAR(255) NOT NULL DEFAULT '',
    PRIMARY KEY (id),
    KEY rrobin_protocols_code (code)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Environment of a pool's test script: one NAME=value pair per row (TIMEOUT among them).
CREATE TABLE IF NOT EXISTS rrobin_protocol_options (
    id INT UNSIGNED NOT NULL AUTO_INCREMENT,
    rrobin_pool_id INT UNSIGNED NOT NULL,
    param VARCHAR(64) NOT NULL DEFAULT '',
    value VARCHAR(1024) NOT NULL DEFAULT '',
    PRIMARY KEY (id),
    KEY rrobin_protocol_options_pool (rrobin_pool_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
