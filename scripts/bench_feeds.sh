#!/usr/bin/env bash
# Wall time of zonefeedd's download phase against a serial curl loop.
#
# 1,000 due feeds of small zone files on the private feed server (tests/fixtures/
# feed_server.py, plain HTTP on 127.0.0.1), MAX_DOWNLOAD_THREADS 20. The daemon logs how
# long the download phase of its start-up run took ("Downloads of N remote locations ended
# after S s"); the serial loop fetches the same 1,000 URLs with one curl process each, one
# after another. A second daemon run adds one feed that accepts the connection and never
# answers: it may add no more than its own time limit (DOWNLOAD_URL_TIMEOUT, 3 s here).
#
#   scripts/bench_feeds.sh [BUILD_DIR [FEEDS]]     (defaults: build, 1000)
#
# Needs a built zonefeedd (BUILD_DIR/bin/zonefeedd), mariadb-server, curl and python3;
# starts its own private MariaDB and feed server on 127.0.0.1 and removes everything it made.
set -euo pipefail

SRC_D=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_D=$(cd "${1:-$SRC_D/build}" && pwd)
FEEDS=${2:-1000}
ZONEFEEDD=$BUILD_D/bin/zonefeedd
[ -x "$ZONEFEEDD" ] || { echo "no zonefeedd at $ZONEFEEDD" >&2; exit 1; }

# shellcheck source=scripts/lib_services.sh
source "$SRC_D/scripts/lib_services.sh"

WORK_D=$(mktemp -d "${TMPDIR:-/tmp}/feedbench.XXXXXX")
DAEMON_PID=
SERVER_PID=
cleanup() {
    [ -n "$DAEMON_PID" ] && zonaris_stop_pid "$DAEMON_PID" 60
    [ -n "$SERVER_PID" ] && zonaris_stop_pid "$SERVER_PID" 10
    zonaris_db_stop
    rm -rf "$WORK_D"
}
trap cleanup EXIT

echo "bench: feed server with $FEEDS files"
mkdir -p "$WORK_D/root" "$WORK_D/etc" "$WORK_D/downloads"
for ((i = 1; i <= FEEDS; i++)); do
    printf 'zone%d.example.test. {\nwww A 192.0.2.%d\nmail A 192.0.2.%d\n}\n' \
        "$i" "$((i % 250 + 1))" "$((i % 250 + 2))" >"$WORK_D/root/f$i.txt"
done
setsid /usr/bin/python3 "$SRC_D/tests/fixtures/feed_server.py" "$WORK_D/root" "$WORK_D/ports" \
    </dev/null >"$WORK_D/server.log" 2>&1 &
SERVER_PID=$!
zonaris_poll 30 test -s "$WORK_D/ports" || { cat "$WORK_D/server.log" >&2; exit 1; }
PORT=$(sed -n 's/^http=//p' "$WORK_D/ports")
BASE=http://127.0.0.1:$PORT

echo "bench: starting a private MariaDB"
zonaris_db_start "$WORK_D/db" >/dev/null
zonaris_db_create feedbench
zonaris_db_sql feedbench <<SQL
INSERT INTO misc(param, value) VALUES('log_level', '3');
INSERT INTO client(id, login, name, status) VALUES(1, 'bench', 'Bench', 1);
INSERT INTO client_prefs(client_id, param, value) VALUES(1, 'forward_zone_management', '10');
INSERT INTO zone_feed(id, client_id, url) SELECT seq, 1, CONCAT('$BASE/files/f', seq, '.txt')
    FROM seq_1_to_$FEEDS;
SQL

now() { date +%s.%N; }

echo "bench: serial curl loop"
t0=$(now)
for ((i = 1; i <= FEEDS; i++)); do
    curl -s -f -o /dev/null -A ie/6.1.1 --connect-timeout 3 -m 3 "$BASE/files/f$i.txt"
done
t1=$(now)
SERIAL=$(echo "$t1 - $t0" | bc -l)

# One daemon start: its first run imports every feed (they are all new). Prints the seconds
# of the download phase and the number of failed downloads.
daemon_run() {
    local log=$WORK_D/daemon.log line
    cat >"$WORK_D/etc/zonaris.conf" <<CONF
DB_HOST $ZONARIS_DB_HOST
DB_PORT $ZONARIS_DB_PORT
DB_USER $ZONARIS_DB_USER
DB_PASSWD $ZONARIS_DB_PASSWORD
DB_NAME feedbench
ZONEFEED_PID_FILE $WORK_D/zonefeedd.pid
ZONEFEED_USER root
ZONEFEED_GROUP root
ZONEFEED_RUN_INTERVAL 3600
ZONEFEED_LOG_LEVEL INFO
DOWNLOAD_D $WORK_D/downloads
DOWNLOAD_URL_TIMEOUT 3
DOWNLOAD_URL_CONNECT_TIMEOUT 3
MAX_DOWNLOAD_THREADS 20
CONF
    ZONARIS_ETC_D=$WORK_D/etc setsid "$ZONEFEEDD" -X </dev/null >"$log" 2>&1 &
    DAEMON_PID=$!
    zonaris_poll 600 grep -q "Downloads of .* ended after" "$log" || { tail "$log" >&2; return 1; }
    line=$(grep -o "Downloads of .* ended after [0-9.]* s ([0-9]* failed)" "$log")
    zonaris_stop_pid "$DAEMON_PID" 60
    DAEMON_PID=
    echo "$line" | sed 's/.* after \([0-9.]*\) s (\([0-9]*\) failed)/\1 \2/'
}

echo "bench: zonefeedd, $FEEDS feeds, 20 threads"
read -r PLAIN PLAIN_FAILED < <(daemon_run)
echo "bench: zonefeedd, $FEEDS feeds and one that never answers"
zonaris_db_sql feedbench <<SQL
INSERT INTO zone_feed(client_id, url) VALUES(1, '$BASE/silent');
SQL
read -r SILENT SILENT_FAILED < <(daemon_run)

printf '\nmachine: %s CPUs, load average %s (shared with other builds)\n' "$(nproc)" \
    "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-46s %10s %8s\n' "run" "seconds" "failed"
printf '%-46s %10.3f %8s\n' "serial curl loop, $FEEDS URLs" "$SERIAL" "-"
printf '%-46s %10.3f %8s\n' "zonefeedd download phase, 20 threads" "$PLAIN" "$PLAIN_FAILED"
printf '%-46s %10.3f %8s\n' "the same plus one silent feed (limit 3 s)" "$SILENT" "$SILENT_FAILED"
printf '\nserial loop / zonefeedd: %.1f\n' "$(echo "$SERIAL / $PLAIN" | bc -l)"
printf 'added by the silent feed: %.3f s\n' "$(echo "$SILENT - $PLAIN" | bc -l)"
