-- Tables shared by every program: settings, clients, the event log and the two job queues.
--
-- The web panel owns the real database; these files create the subset of its tables and
-- columns that the Zonaris programs read and write, so that tests and the demo run against
-- a faithful private copy. Every file is loaded in name order into an empty database.
-- Conventions: InnoDB, utf8mb4, ids INT UNSIGNED AUTO_INCREMENT, no foreign keys (the
-- programs delete parents and children in separate statements and must cope with orphans).
-- Times that the programs compare or subtract arithmetically are Unix times in integer
-- columns; times that they only stamp with NOW() are DATETIME.

-- System-wide settings, one row per parameter: log_level, the SOA defaults (refresh, retry,
-- expire, min_ttl, default_ttl, serial), ignore_other_urls, clean_url_zones, email_sender,
-- email_sender_name, alert_email, monitor_named, monitor_mysql, monitor_httpd,
-- monitor_zonebuild, monitor_zonefeed, poolwatchd.
CREATE TABLE IF NOT EXISTS misc (
    id INT UNSIGNED NOT NULL AUTO_INCREMENT,
    param VARCHAR(64) NOT NULL,
    value TEXT NULL,
    PRIMARY KEY (id),
    UNIQUE KEY misc_param (param)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Panel accounts. level 0 is an administrator (they receive feed failure mail);
-- status 1 is an active client.
CREATE TABLE IF NOT EXISTS client (
    id INT UNSIGNED NOT NULL AUTO_INCREMENT,
    login VARCHAR(64) NOT NULL DEFAULT '',
    name VARCHAR(255) NOT NULL DEFAULT '',
    email VARCHAR(255) NULL,
    level INT NOT NULL DEFAULT 1,
    status TINYINT NOT NULL DEFAULT 1,
    PRIMARY KEY (id),
    KEY client_level (level)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Per-client preferences and permissions, one row per parameter: max_domains,
-- forward_zone_management, inverse_zone_management, e164_zone_management,
-- remote_warn_threshold, ignore_other_urls, clean_url_zones and the SOA parameters.
-- Values are text; the programs read them as decimal numbers.
CREATE TABLE IF NOT EXISTS client_prefs (
    id INT UNSIGNED NOT NULL AUTO_INCREMENT,
    client_id INT UNSIGNED NOT NULL,
    param VARCHAR(64) NOT NULL,
    value VARCHAR(255) NULL,
    PRIMARY KEY (id),
    UNIQUE KEY client_prefs_param (client_id, param)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Event log shown by the panel. zonebuildd, zonefeedd and the job tools fill every column;
-- poolwatchd writes only facility, level and message, so the rest is nullable and the time
-- defaults to the insertion time.
CREATE TABLE IF NOT EXISTS logs (
    id INT UNSIGNED NOT NULL AUTO_INCREMENT,
    facility VARCHAR(32) NOT NULL,
    level TINYINT UNSIGNED NOT NULL,
    message VARCHAR(1024) NOT NULL,
    info_code VARCHAR(16) NULL,
    log_timestamp DATETIME NULL DEFAULT CURRENT_TIMESTAMP,
    info TEXT NULL,
    client_id INT UNSIGNED NULL,
    zone_feed_id INT UNSIGNED NULL,
    zone_id INT UNSIGNED NULL,
    zone_feed_url VARCHAR(2048) NULL,
    zone_name VARCHAR(255) NULL,
    PRIMARY KEY (id),
    KEY logs_facility (facility, log_timestamp)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Zones waiting for zonebuildd: type 'u' (create or update) or 'd' (delete).
-- `timestamp` is a Unix time in seconds: writers store UNIX_TIMESTAMP(NOW()) and zonebuildd
-- compares it with the unix_timestamp(NOW()) it read with the change list
-- ("timestamp <= '<seconds>'"), so it must be a number, not a DATETIME.
-- The panel appends a row for every edit, so a zone may have several rows (zonebuildd lets
-- the newest decide and deletes all rows up to the time it read). Only `id` is unique: an
-- "INSERT ... ON DUPLICATE KEY UPDATE" into this table therefore always adds a row.
CREATE TABLE IF NOT EXISTS changes (
    id INT UNSIGNED NOT NULL AUTO_INCREMENT,
    zone_name VARCHAR(255) NOT NULL,
    type CHAR(1) NOT NULL,
    timestamp INT UNSIGNED NOT NULL DEFAULT 0,
    PRIMARY KEY (id),
    KEY changes_zone (zone_name, type),
    KEY changes_time (timestamp)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Requests that a bare signal cannot carry: service 'ZONEFEED' with action 'forceclient'
-- and a client id in `value`; service 'ZONEBUILD' with action 'writeacl'.
CREATE TABLE IF NOT EXISTS custom_job_queue (
    id INT UNSIGNED NOT NULL AUTO_INCREMENT,
    service VARCHAR(32) NOT NULL,
    action VARCHAR(32) NOT NULL,
    value VARCHAR(255) NULL,
    timestamp DATETIME NULL,
    PRIMARY KEY (id),
    KEY custom_job_queue_service (service, action)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Known SRV service and protocol names (record_type 'SRV', type 'service' or 'protocol')
-- and ENUM service names (record_type 'NAPTR').
CREATE TABLE IF NOT EXISTS srv_service_protocol_type (
    id INT UNSIGNED NOT NULL AUTO_INCREMENT,
    name VARCHAR(64) NOT NULL,
    type VARCHAR(16) NOT NULL DEFAULT 'service',
    record_type VARCHAR(16) NOT NULL DEFAULT 'SRV',
    PRIMARY KEY (id),
    KEY srv_service_protocol_type_kind (record_type, type)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
