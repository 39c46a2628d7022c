-- Sample panel data for scripts/demo.sh: three clients, the system settings, the include
-- template, the global transfer list and zones of every kind (forward, IPv4 reverse with a
-- classless delegation, IPv6 reverse, ENUM; primary and secondary) with records of every
-- type. Plain INSERTs with column lists: load it into a database that holds the panel's
-- tables, whatever else they have.

INSERT INTO misc (param, value) VALUES
    ('log_level', '6'),
    ('refresh', '3600'),
    ('retry', '900'),
    ('expire', '1209600'),
    ('min_ttl', '300'),
    ('default_ttl', '3600'),
    ('monitor_named', '1'),
    ('monitor_mysql', '1'),
    ('monitor_httpd', '0'),
    ('monitor_zonebuild', '1'),
    ('monitor_zonefeed', '1'),
    ('poolwatchd', '0'),
    ('alert_email', 'dns-admin@example.net');

INSERT INTO client (id, login, name, email, level, status) VALUES
    (1, 'admin', 'Platform administrator', 'dns-admin@example.net', 0, 1),
    (2, 'ann', 'Ann Example', 'ann.example@example.com', 1, 1),
    (3, 'telco', 'Example Telco', 'noc@telco.example', 1, 1);

-- Ann prefers a shorter refresh for her zones.
INSERT INTO client_prefs (client_id, param, value) VALUES (2, 'refresh', '1800');

INSERT INTO srv_service_protocol_type (name, type, record_type) VALUES
    ('sip', 'service', 'SRV'),
    ('udp', 'protocol', 'SRV'),
    ('tcp', 'protocol', 'SRV'),
    ('sip', 'service', 'NAPTR'),
    ('mailto', 'service', 'NAPTR');

INSERT INTO file_template_default (id, name, content) VALUES
    (1, 'zonaris.include',
     'zone "[zone_name]" {\n\ttype [zone_type];\n\tfile "[zone_file_name]";\n\t[zone_options];\n};');
INSERT INTO file_template (file_template_default_id, content) VALUES
    (1, 'zone "[zone_name]" {\n\ttype [zone_type];\n\tfile "[zone_file_name]";\n\t[zone_options];\n};');

INSERT INTO global_transfer_ips (ip) VALUES ('127.0.0.1'), ('10.53.0.0/16');

INSERT INTO zone (id, name, client_id, type, status, serialgeneration, revision) VALUES
    (1, 'example.com.', 2, 'master', 1, 1, ''),
    (2, '20.168.192.in-addr.arpa.', 1, 'master', 1, 1, ''),
    (3, '64/26.21.168.192.in-addr.arpa.', 2, 'master', 1, 1, ''),
    (4, '0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.ip6.arpa.', 1, 'master', 1, 1, ''),
    (5, '8.1.e164.arpa.', 3, 'master', 1, 1, ''),
    (6, 'partner.example.', 2, 'slave', 1, 1, '');

-- The origin name server of a primary zone is its NS record whose host is the zone itself
-- (priority 1).
INSERT INTO zone_dns_records (zone_id, entry_type, host, value, priority, priority_minor, port, ttl,
                              services, flag, regex_flag, regex, replacement) VALUES
    (1, 'NS', 'example.com.', 'ns1.example.com.', 1, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
    (1, 'NS', 'example.com.', 'ns2.example.net.', 0, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
    (1, 'A', 'ns1', '192.0.2.53', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
    (1, 'A', 'www', '192.0.2.10', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
    (1, 'A', 'www', '192.0.2.11', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
    (1, 'AAAA', 'www', '2001:db8::10', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
    (1, 'CNAME', 'ftp', 'www', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
    (1, 'MX', 'example.com.', 'mail.example.net.', 10, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
    (1, 'MX', 'example.com.', 'backup-mail.example.net.', 20, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
    (1, 'TXT', 'example.com.', 'v=spf1 mx -all', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
    (1, 'TXT', 'note', 'say "hello"; then (leave)', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
    (1, 'SRV', '_sip._udp', 'sip.example.com.', 10, 60, 5060, 600, NULL, NULL, NULL, NULL, NULL),
    (1, 'A', 'sip', '192.0.2.20', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
    (1, 'NS', 'lab', 'ns.lab.example.com.', 0, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
    (1, 'A', 'ns.lab', '192.0.2.99', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
    (2, 'NS', '20.168.192.in-addr.arpa.', 'ns1.example.com.', 1, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
    (2, 'PTR', '10', 'www.example.com.', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
    (2, 'PTR', '53', 'ns1.example.com.', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
    (3, 'NS', '64/26.21.168.192.in-addr.arpa.', 'ns1.example.com.', 1, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
    (3, 'PTR', '65', 'host65.example.com.', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
    (3, 'PTR', '66', 'host66.example.com.', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
    (4, 'NS', '0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.ip6.arpa.', 'ns1.example.com.', 1, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
    (4, 'PTR', '0.1.0.0.0.0.0.0.0.0.0.0.0.0.0.0', 'www.example.com.', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
    (5, 'NS', '8.1.e164.arpa.', 'ns1.example.com.', 1, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
    (5, 'NAPTR', '4.3.2.1', 'sip:info@telco.example', 100, 10, NULL, NULL, 'sip', 'u', NULL, '^.*$', NULL),
    (5, 'NAPTR', '4.3.2.1', 'mailto:info@telco.example', 102, 10, NULL, NULL, 'mailto', 'u', NULL, '^.*$', NULL);

INSERT INTO zone_opt_values (zone_id, type, value) VALUES
    (1, 'allow_transfer', '198.51.100.7'),
    (6, 'master', '198.51.100.53');

-- Every zone is waiting to be written.
INSERT INTO changes (zone_name, type, timestamp) VALUES
    ('example.com.', 'u', UNIX_TIMESTAMP()),
    ('20.168.192.in-addr.arpa.', 'u', UNIX_TIMESTAMP()),
    ('64/26.21.168.192.in-addr.arpa.', 'u', UNIX_TIMESTAMP()),
    ('0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.ip6.arpa.', 'u', UNIX_TIMESTAMP()),
    ('8.1.e164.arpa.', 'u', UNIX_TIMESTAMP()),
    ('partner.example.', 'u', UNIX_TIMESTAMP());
