#!/usr/bin/env bash
# Write phase of zonefeedd against a plain SQL load of the same rows (not part of CI).
#
# One feed of N zones x 20 records (NS, A, AAAA, CNAME, MX, TXT, SRV, NAPTR and a SERIAL
# directive per zone) on the private feed server, imported by zonefeedd three times:
#   (a) first import: every zone is new;
#   (b) "import all" of the unchanged file: nothing may change;
#   (c) "import all" of the file with one A record of one zone changed.
# For each run: wall time from the signal (or the start) to the end of the job, the server's
# statement counters per zone (SHOW GLOBAL STATUS before and after), rows changed per table
# (information_schema.TABLE_STATISTICS, userstat on) and the `changes` rows queued.
# Baseline in the same run: the `mariadb` client loading the same rows from an SQL file, one
# transaction per zone with one multi-row insert of its records.
#
#   scripts/bench_feed_write.sh [BUILD_DIR]           (default build)
#   BENCH_ZONES=2000 BENCH_WORKERS=4 scripts/bench_feed_write.sh
#
# Needs a built zonefeedd (BUILD_DIR/bin/zonefeedd), mariadb-server and python3; starts its
# own MariaDB and feed server on 127.0.0.1 and removes everything it made (kept with
# ZONARIS_KEEP_DEMO=1).
set -euo pipefail

SRC_D=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_D=$(cd "${1:-$SRC_D/build}" && pwd)
N=${BENCH_ZONES:-10000}
WORKERS=${BENCH_WORKERS:-$(nproc)}
ZONEFEEDD=$BUILD_D/bin/zonefeedd
[ -x "$ZONEFEEDD" ] || { echo "no zonefeedd at $ZONEFEEDD" >&2; exit 1; }

# shellcheck source=scripts/lib_services.sh
source "$SRC_D/scripts/lib_services.sh"
# shellcheck source=scripts/lib_bench.sh
source "$SRC_D/scripts/lib_bench.sh"

D=$(mktemp -d "${TMPDIR:-/tmp}/feedwrite.XXXXXX")
DAEMON_PID=
SERVER_PID=
finish() {
    local status=$?
    [ -n "$DAEMON_PID" ] && zonaris_stop_pid "$DAEMON_PID" 120
    [ -n "$SERVER_PID" ] && zonaris_stop_pid "$SERVER_PID" 10
    zonaris_db_stop
    if [ "${ZONARIS_KEEP_DEMO:-0}" = 1 ]; then echo "files kept in $D"; else rm -rf "$D"; fi
    exit "$status"
}
trap finish EXIT
mkdir -p "$D/root" "$D/etc" "$D/download" "$D/log"

# The feed file and the baseline's SQL file from one pass, so both hold the same values.
# Records are written as the importer stores them: owners and names fully qualified.
generate() {
    awk -v n="$N" -v feed="$D/root/feed.txt" -v sql="$D/baseline.sql" 'BEGIN {
        print "# generated feed" > feed
        cols = "(entry_type, host, value, priority, priority_minor, port, ttl, services, flag, " \
               "regex_flag, regex, replacement, zone_id, timestamp, status)"
        for (z = 1; z <= n; z++) {
            zn = "zone" z ".example.test."
            print "zone" z ".example.test | master {" > feed
            print "SERIAL||2024061501||" > feed
            rows = ""
            rec(feed, "NS||@||ns1.provider.test.||1", "NS", zn, "ns1.provider.test.", 1)
            rec(feed, "NS||@||ns2.provider.test.", "NS", zn, "ns2.provider.test.", "NULL")
            rec(feed, "A||@||192.0.2." (z % 250 + 1), "A", zn, "192.0.2." (z % 250 + 1), "NULL")
            for (i = 0; i < 6; i++)
                rec(feed, "A||host" i "||198.51.100." (i + 1), "A", "host" i "." zn,
                    "198.51.100." (i + 1), "NULL")
            rec(feed, "AAAA||www||2001:db8:0:" (z % 9999) "::1", "AAAA", "www." zn,
                "2001:db8:0:" (z % 9999) "::1", "NULL")
            rec(feed, "AAAA||mail||2001:db8::25", "AAAA", "mail." zn, "2001:db8::25", "NULL")
            rec(feed, "CNAME||www2||www", "CNAME", "www2." zn, "www." zn, "NULL")
            rec(feed, "CNAME||ftp||host1", "CNAME", "ftp." zn, "host1." zn, "NULL")
            rec(feed, "MX||@||mail||10", "MX", zn, "mail." zn, 10)
            rec(feed, "MX||@||mx2.provider.test.||20", "MX", zn, "mx2.provider.test.", 20)
            rec(feed, "TXT||@||v=spf1 mx a:mail." z ".example.test -all", "TXT", zn,
                "v=spf1 mx a:mail." z ".example.test -all", "NULL")
            rec(feed, "TXT||_dmarc||v=DMARC1; p=quarantine; rua=mailto:dmarc@example.test", "TXT",
                "_dmarc." zn, "v=DMARC1; p=quarantine; rua=mailto:dmarc@example.test", "NULL")
            print "SRV||_sip._tcp||sip||10||5||5060||3600" > feed
            rows = rows ",('\''SRV'\'', '\''_sip._tcp." zn "'\'', '\''sip." zn "'\'', 10, 5, 5060, " \
                   "3600, NULL, NULL, NULL, NULL, NULL, @z, NOW(), 1)"
            print "SRV||_sip._udp||sip||10||5||5060" > feed
            rows = rows ",('\''SRV'\'', '\''_sip._udp." zn "'\'', '\''sip." zn "'\'', 10, 5, 5060, " \
                   "0, NULL, NULL, NULL, NULL, NULL, @z, NOW(), 1)"
            print "NAPTR||@||!^.*$!sip:info@" zn "!i||100||10||||||E2U+sip||U||" > feed
            rows = rows ",('\''NAPTR'\'', '\''" zn "'\'', '\''NAPTR'\'', 100, 10, NULL, NULL, " \
                   "'\''E2U+sip'\'', '\''U'\'', NULL, '\''!^.*$!sip:info@" zn "!i'\'', '\''.'\'', " \
                   "@z, NOW(), 1)"
            print "}" > feed
            print "START TRANSACTION;" > sql
            print "INSERT INTO zone (name, client_id, type, status, url_id, last_zone_feed_id, " \
                  "cr_date) VALUES ('\''" zn "'\'', 1, '\''master'\'', 1, 1, 1, NOW());" > sql
            print "SET @z = LAST_INSERT_ID();" > sql
            print "INSERT INTO zone_dns_records " cols " VALUES " substr(rows, 2) ";" > sql
            print "INSERT INTO zone_soa (zone_id, param, value) VALUES (@z, '\''serial'\'', " \
                  "'\''2024061501'\'');" > sql
            print "INSERT INTO changes (zone_name, type, timestamp) VALUES ('\''" zn "'\'', " \
                  "'\''u'\'', UNIX_TIMESTAMP());" > sql
            print "COMMIT;" > sql
        }
    }
    function rec(out, line, type, host, value, prio) {
        print line > out
        rows = rows ",('\''" type "'\'', '\''" host "'\'', '\''" value "'\'', " prio \
               ", NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, @z, NOW(), 1)"
    }'
}

# Global status counters and per-table rows changed, kept between two snapshots.
COUNTERS="Questions Com_select Com_insert Com_update Com_delete Com_begin Com_commit Com_rollback"
status_snapshot() { # before|after
    zonaris_db_sql <<<"SHOW GLOBAL STATUS WHERE Variable_name IN ('${COUNTERS// /\',\'}')" |
        tail -n +2 >"$D/status.$1"
    [ "$1" = before ] && zonaris_db_sql <<<"FLUSH TABLE_STATISTICS" >/dev/null
    return 0
}
status_delta() { # FROM TO COUNTER
    awk -v c="$3" '$1 == c { v[FILENAME] = $2 } END { print v[ARGV[2]] - v[ARGV[1]] }' \
        "$D/status.$1" "$D/status.$2"
}
rows_changed() { # DB: "table=rows ..." since the last snapshot
    zonaris_db_sql <<<"SELECT CONCAT(TABLE_NAME, '=', ROWS_CHANGED) FROM
        information_schema.TABLE_STATISTICS WHERE TABLE_SCHEMA = '$1' AND ROWS_CHANGED > 0
        ORDER BY TABLE_NAME" | tail -n +2 | paste -sd' ' -
}
# Rows of the zone data (not the event log nor the feed's run record) in "table=rows ...".
zone_rows() {
    echo "$1" | tr ' ' '\n' | awk -F= '$1 ~ /^(zone|zone_dns_records|zone_soa|zone_opt_values|changes)$/ {
        s += $2 } END { print s + 0 }'
}

REPORT=()
# Per run (base, a, b, c): seconds, zone data rows changed, changes rows, statements per zone.
declare -A T ROWS QUEUED QPZ
report() { # KEY LABEL SECONDS DB ZONES CHANGES_QUEUED
    local key=$1 label=$2 secs=$3 db=$4 zones=$5 queued=$6 rows per c line
    rows=$(rows_changed "$db")
    T[$key]=$secs
    ROWS[$key]=$(zone_rows "$rows")
    QUEUED[$key]=$queued
    QPZ[$key]=$(awk -v a="$(status_delta before after Questions)" -v z="$zones" \
        'BEGIN { printf "%.2f", a / z }')
    line=$(printf '%-38s %8.3f s' "$label" "$secs")
    for c in $COUNTERS; do
        per=$(awk -v a="$(status_delta before after "$c")" -v z="$zones" 'BEGIN { printf "%.2f", a / z }')
        line+=$(printf ' %s %s' "${c#Com_}" "$per")
    done
    REPORT+=("$line")
    REPORT+=("$(printf '%-38s rows changed: %s (zone data: %s); changes rows queued: %s' "" \
        "${rows:-none}" "$(zone_rows "$rows")" "$queued")")
}

echo "bench: generating $N zones x 20 records"
generate
echo "  feed $(du -h "$D/root/feed.txt" | cut -f1), baseline SQL $(du -h "$D/baseline.sql" | cut -f1)"

setsid /usr/bin/python3 "$SRC_D/tests/fixtures/feed_server.py" "$D/root" "$D/ports" \
    </dev/null >"$D/server.log" 2>&1 &
SERVER_PID=$!
zonaris_poll 30 test -s "$D/ports" || { cat "$D/server.log" >&2; exit 1; }
FEED_URL=http://127.0.0.1:$(sed -n 's/^http=//p' "$D/ports")/files/feed.txt

echo "bench: private MariaDB"
zonaris_db_start "$D/db" >/dev/null
zonaris_db_create zonaris
zonaris_db_create baseline
zonaris_db_sql <<<"SET GLOBAL userstat = 1"
sql <<SQL
INSERT INTO misc (param, value) VALUES ('log_level', '3');
INSERT INTO client (id, login, name, email, status) VALUES (1, 'bench', 'Bench', 'b@example.test', 1);
INSERT INTO client_prefs (client_id, param, value) VALUES (1, 'forward_zone_management', '10'),
    (1, 'max_domains', '-1');
INSERT INTO srv_service_protocol_type (name, type, record_type) VALUES ('sip', 'service', 'SRV'),
    ('tcp', 'protocol', 'SRV'), ('udp', 'protocol', 'SRV');
INSERT INTO zone_feed (id, client_id, url) VALUES (1, 1, '$FEED_URL');
SQL
LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)

echo "bench: baseline, mariadb client loading $D/baseline.sql"
status_snapshot before
t0=$(now)
zonaris_db_sql baseline <"$D/baseline.sql"
t_base=$(elapsed "$t0" "$(now)")
echo "  $t_base s"
status_snapshot after
report base "baseline: mariadb client, SQL file" "$t_base" baseline "$N" \
    "$(zonaris_db_sql baseline <<<'SELECT COUNT(*) FROM changes' | tail -n +2)"

cat >"$D/etc/zonaris.conf" <<CONF
DB_HOST $ZONARIS_DB_HOST
DB_PORT $ZONARIS_DB_PORT
DB_USER $ZONARIS_DB_USER
DB_PASSWD $ZONARIS_DB_PASSWORD
DB_NAME zonaris
ZONEFEED_PID_FILE $D/zonefeedd.pid
ZONEFEED_USER root
ZONEFEED_GROUP root
ZONEFEED_RUN_INTERVAL 86400
ZONEFEED_CONCURRENCY_LIMIT $WORKERS
ZONEFEED_LOG_LEVEL INFO
DOWNLOAD_D $D/download
MAX_FILE_SIZE 1048576
MAX_ZONES_PERFILE $((N + 1))
CONF

# The daemon's diagnostics end each import with one of these two lines.
count_lines() { count_matching_lines "$D/log/zonefeedd.out" "$1"; }
finished_jobs() { count_lines "Remote locations updated successfully|Failed to update remote locations"; }
failed_jobs() { count_lines "Failed to update remote locations"; }
at_least() { [ "$(finished_jobs)" -ge "$1" ]; }
changes_rows() { sql_value "SELECT COUNT(*) FROM changes"; }

# Runs one import (start-up, or SIGNAL to the running daemon) and reports it as LABEL.
import_run() { # LABEL [SIGNAL]
    local label=$1 sig=${2:-} done_before failed_before queued_before t0 secs
    done_before=$(finished_jobs)
    failed_before=$(failed_jobs)
    queued_before=$(changes_rows)
    status_snapshot before
    t0=$(now)
    if [ -z "$sig" ]; then
        ZONARIS_ETC_D=$D/etc setsid "$ZONEFEEDD" -X </dev/null >"$D/log/zonefeedd.out" 2>&1 &
        DAEMON_PID=$!
    else
        kill "-$sig" "$DAEMON_PID"
    fi
    wait_until 3600 at_least $((done_before + 1)) || { tail -20 "$D/log/zonefeedd.out" >&2; exit 1; }
    secs=$(elapsed "$t0" "$(now)")
    status_snapshot after
    if [ "$(failed_jobs)" != "$failed_before" ]; then
        echo "  the import of $label failed; the daemon's last lines:" >&2
        tail -20 "$D/log/zonefeedd.out" >&2
    fi
    report "$3" "$label" "$secs" zonaris "$N" $(($(changes_rows) - queued_before))
    echo "  $label: $secs s"
}

echo "bench: zonefeedd, $WORKERS workers"
import_run "(a) first import" "" a
echo "  zones $(sql_value "SELECT COUNT(*) FROM zone"), records $(sql_value \
    "SELECT COUNT(*) FROM zone_dns_records")"
import_run "(b) import all, unchanged file" USR2 b
awk -v zone="zone$((N / 2)).example.test | master {" '
    $0 == zone { inside = 1 }
    inside && $0 == "A||host3||198.51.100.4" { $0 = "A||host3||198.51.100.44"; inside = 0 }
    { print }' "$D/root/feed.txt" >"$D/feed.new" && mv "$D/feed.new" "$D/root/feed.txt"
grep -q "^A||host3||198.51.100.44$" "$D/root/feed.txt" || { echo "edit failed" >&2; exit 1; }
import_run "(c) import all, one record changed" USR2 c
LOAD_AFTER=$(cut -d' ' -f1-3 /proc/loadavg)

printf '\nmachine: %s CPUs shared with other builds; load average %s before, %s after\n' \
    "$(nproc)" "$LOAD_BEFORE" "$LOAD_AFTER"
printf '%s zones x 20 records, %s workers; statements per zone by counter:\n' "$N" "$WORKERS"
printf '%s\n' "${REPORT[@]}"
verdict() { if eval "$1"; then echo "met"; else echo "NOT met"; fi; }
ratio=$(awk -v a="${T[a]}" -v b="${T[base]}" 'BEGIN { printf "%.2f", a / b }')
printf '\ngoals:\n'
printf '  (a) first import / baseline: %s (at most 3, all rows written): %s; zone data rows %s (baseline %s)\n' \
    "$ratio" "$(verdict "[ ${ROWS[a]} -ge ${ROWS[base]} ] && awk -v r=$ratio 'BEGIN { exit !(r <= 3) }'")" \
    "${ROWS[a]}" "${ROWS[base]}"
printf '  (b) zone data rows changed %s, changes rows %s, statements per zone %s (0, 0, at most 3): %s\n' \
    "${ROWS[b]}" "${QUEUED[b]}" "${QPZ[b]}" \
    "$(verdict "[ ${ROWS[b]} = 0 ] && [ ${QUEUED[b]} = 0 ] && awk -v q=${QPZ[b]} 'BEGIN { exit !(q <= 3) }'")"
printf '  (c) changes rows %s, zone data rows changed %s (one zone: 1 change row): %s\n' \
    "${QUEUED[c]}" "${ROWS[c]}" "$(verdict "[ ${QUEUED[c]} = 1 ]")"
