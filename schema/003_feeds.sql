-- Remote update locations (feeds) imported by zonefeedd, and the notification templates of
-- its failure mail.

-- One row per feed URL of a client.
--   count        number of runs recorded so far; 0 makes the feed due at once
--   priority     a feed with a higher priority wins a zone claimed by several feeds
--   username, password  credentials for the download; a NULL excludes the feed, '' is none
--   hash         MD5 (32 hex digits) of the last imported file, NULL after a daemon start
--   status       1 enabled
--   last_update  Unix time of the last run. Signed: zonefeedd computes
--                unix_timestamp(NOW()) - last_update, which must not become an unsigned
--                subtraction (MariaDB refuses a negative unsigned result).
--   period       minutes between scheduled runs
CREATE TABLE IF NOT EXISTS zone_feed (
    id INT UNSIGNED NOT NULL AUTO_INCREMENT,
    client_id INT UNSIGNED NOT NULL,
    url VARCHAR(2048) NOT NULL,
    count INT UNSIGNED NOT NULL DEFAULT 0,
    priority INT NOT NULL DEFAULT 0,
    username VARCHAR(255) NULL DEFAULT '',
    password VARCHAR(255) NULL DEFAULT '',
    hash VARCHAR(32) NULL,
    status TINYINT NOT NULL DEFAULT 1,
    last_update BIGINT NOT NULL DEFAULT 0,
    period INT NOT NULL DEFAULT 60,
    PRIMARY KEY (id),
    KEY zone_feed_client (client_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Addresses given to every zone of a feed: type 'allow_transfer' or 'master'.
CREATE TABLE IF NOT EXISTS url_ip (
    id INT UNSIGNED NOT NULL AUTO_INCREMENT,
    url_id INT UNSIGNED NOT NULL,
    value VARCHAR(64) NULL,
    type VARCHAR(32) NULL,
    PRIMARY KEY (id),
    KEY url_ip_url (url_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Notification templates: an event (e.g. 'remote_update_failure') has notifications, each
-- with a subject and a body holding placeholders, sent to targets: appliesto 'admin'
-- (every client of level 0), 'client' (the feed's client) or 'other' (the address in
-- `other`).
CREATE TABLE IF NOT EXISTS notification_event (
    id INT UNSIGNED NOT NULL AUTO_INCREMENT,
    name VARCHAR(64) NOT NULL,
    PRIMARY KEY (id),
    UNIQUE KEY notification_event_name (name)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS notification (
    id INT UNSIGNED NOT NULL AUTO_INCREMENT,
    event_id INT UNSIGNED NOT NULL,
    subject VARCHAR(255) NULL,
    content TEXT NULL,
    PRIMARY KEY (id),
    KEY notification_event (event_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS notification_target (
    id INT UNSIGNED NOT NULL AUTO_INCREMENT,
    notification_id INT UNSIGNED NOT NULL,
    appliesto VARCHAR(16) NOT NULL,
    other VARCHAR(255) NULL,
    PRIMARY KEY (id),
    KEY notification_target_notification (notification_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
