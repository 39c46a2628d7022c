-- Zones, their records, options and SOA values, the include-entry template and the global
-- transfer list: read by zonebuildd, written by zonefeedd and poolwatchd.

-- One row per hosted zone. `name` is the zone name as the panel stores it.
--   type             'master' or 'slave' (free text: an unknown word must reach the programs)
--   status           1 active
--   url_id           id of the owning feed (zone_feed.id); -1 for a zone kept in the panel
--   last_zone_feed_id  the feed that last wrote the zone; -1 when none did
--   separator        classless reverse zones: 0 '/', 1 '-', 2 '.'
--   serialgeneration 0 use the stored serial, 1 generate one, 2 use the stored serial once
--   revision         the serial last generated for the zone (text, e.g. '2024061503');
--                    nullable so that a missing revision can be represented
--   revise_time      Unix time of the last write (programs store '0', a seconds text or
--                    unix_timestamp(NOW()))
--   cr_date          creation time, stamped with NOW()
--   warning, warning_desc  the zone builder's last verdict on the zone file
CREATE TABLE IF NOT EXISTS zone (
    id INT UNSIGNED NOT NULL AUTO_INCREMENT,
    name VARCHAR(255) NOT NULL,
    client_id INT UNSIGNED NOT NULL DEFAULT 0,
    type VARCHAR(16) NOT NULL DEFAULT 'master',
    status TINYINT NOT NULL DEFAULT 1,
    url_id INT NOT NULL DEFAULT -1,
    last_zone_feed_id INT NOT NULL DEFAULT -1,
    `separator` TINYINT UNSIGNED NOT NULL DEFAULT 0,
    serialgeneration TINYINT UNSIGNED NOT NULL DEFAULT 1,
    revision VARCHAR(32) NULL DEFAULT '',
    revise_time INT UNSIGNED NOT NULL DEFAULT 0,
    cr_date DATETIME NULL,
    warning TINYINT UNSIGNED NOT NULL DEFAULT 0,
    warning_desc TEXT NULL,
    PRIMARY KEY (id),
    UNIQUE KEY zone_name (name),
    KEY zone_client (client_id),
    KEY zone_url (url_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Resource records. entry_type is the type name ('NS', 'A', 'AAAA', 'CNAME', 'MX', 'PTR',
-- 'TXT', 'SRV', 'NAPTR'); status 1 enabled, 9 disabled by the pool monitor.
--   priority        MX/SRV priority, NAPTR order; for NS, 1 marks the origin name server
--   priority_minor  SRV weight, NAPTR preference
--   port, ttl       SRV port; record TTL
--   services, flag, regex_flag, regex, replacement  NAPTR fields
-- Every data column is nullable: the feed importer writes NULL for what a type lacks and
-- compares records with ifnull(column, "NULL").
CREATE TABLE IF NOT EXISTS zone_dns_records (
    id INT UNSIGNED NOT NULL AUTO_INCREMENT,
    zone_id INT UNSIGNED NOT NULL,
    entry_type VARCHAR(16) NULL,
    host VARCHAR(255) NULL,
    value TEXT NULL,
    priority INT NULL,
    priority_minor INT UNSIGNED NULL,
    port INT UNSIGNED NULL,
    ttl INT UNSIGNED NULL,
    services VARCHAR(255) NULL,
    flag VARCHAR(32) NULL,
    regex_flag VARCHAR(32) NULL,
    regex VARCHAR(1024) NULL,
    replacement VARCHAR(255) NULL,
    timestamp DATETIME NULL,
    status TINYINT UNSIGNED NOT NULL DEFAULT 1,
    PRIMARY KEY (id),
    KEY zone_dns_records_zone (zone_id, status),
    KEY zone_dns_records_type (entry_type, host)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Zone options: type 'allow_transfer' (an address or network allowed to transfer the zone)
-- or 'master' (a primary server of a secondary zone).
CREATE TABLE IF NOT EXISTS zone_opt_values (
    id INT UNSIGNED NOT NULL AUTO_INCREMENT,
    zone_id INT UNSIGNED NOT NULL,
    type VARCHAR(32) NOT NULL,
    value VARCHAR(255) NOT NULL,
    PRIMARY KEY (id),
    KEY zone_opt_values_zone (zone_id, type)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Per-zone SOA values; param is one of 'refresh', 'retry', 'expire', 'min_ttl',
-- 'default_ttl', 'serial'. The value is text read as a decimal number (a serial such as
-- '2024061503' does not fit 32 bits). (zone_id, param) is unique: the stored serial is
-- written with INSERT ... ON DUPLICATE KEY UPDATE.
CREATE TABLE IF NOT EXISTS zone_soa (
    id INT UNSIGNED NOT NULL AUTO_INCREMENT,
    zone_id INT UNSIGNED NOT NULL,
    param VARCHAR(32) NOT NULL,
    value VARCHAR(64) NOT NULL DEFAULT '',
    PRIMARY KEY (id),
    UNIQUE KEY zone_soa_param (zone_id, param)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- File templates: the panel ships a default per file name (file_template_default) and keeps
-- the administrator's version of it in file_template. zonebuildd reads the content of the
-- 'zonaris.include' template; it joins the two tables and filters on an unqualified `name`,
-- so only file_template_default may have a column of that name.
CREATE TABLE IF NOT EXISTS file_template_default (
    id INT UNSIGNED NOT NULL AUTO_INCREMENT,
    name VARCHAR(64) NOT NULL,
    content TEXT NULL,
    PRIMARY KEY (id),
    UNIQUE KEY file_template_default_name (name)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS file_template (
    id INT UNSIGNED NOT NULL AUTO_INCREMENT,
    file_template_default_id INT UNSIGNED NOT NULL,
    content TEXT NULL,
    PRIMARY KEY (id),
    KEY file_template_default (file_template_default_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Addresses allowed to transfer every zone (the common-allow-transfer ACL).
CREATE TABLE IF NOT EXISTS global_transfer_ips (
    id INT UNSIGNED NOT NULL AUTO_INCREMENT,
    ip VARCHAR(64) NOT NULL,
    PRIMARY KEY (id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
