#!/usr/bin/env bash
# Throughput of poolwatchd's test runs against a serial shell loop.
#
# 1,000 pools of 10 records each (10,000 records), one trivial test script that appends its
# argument to a file. Every pool has a monitoring interval of 1 s, so the daemon is always
# saturated: the figure is the most tests per second it sustains, including its own work per
# test (pool's connection and queries, the record's tally query, fork/exec/wait, tally).
# The daemon runs once with POOLWATCH_CONCURRENCY 4 and once with 1; the serial loop runs the
# same script for the same 10,000 records one after another.
#
#   scripts/bench_poolwatch.sh [BUILD_DIR [WINDOW_SECONDS]]     (defaults: build, 20)
#
# Needs a built poolwatchd (BUILD_DIR/bin/poolwatchd), mariadb-server; starts its own
# private MariaDB on 127.0.0.1 and removes everything it made.
set -euo pipefail

SRC_D=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_D=$(cd "${1:-$SRC_D/build}" && pwd)
WINDOW=${2:-20}
POOLWATCHD=$BUILD_D/bin/poolwatchd
[ -x "$POOLWATCHD" ] || { echo "no poolwatchd at $POOLWATCHD" >&2; exit 1; }

# shellcheck source=scripts/lib_services.sh
source "$SRC_D/scripts/lib_services.sh"

WORK_D=$(mktemp -d "${TMPDIR:-/tmp}/pwbench.XXXXXX")
DAEMON_PID=
cleanup() {
    [ -n "$DAEMON_PID" ] && zonaris_stop_pid "$DAEMON_PID" 120
    zonaris_db_stop
    rm -rf "$WORK_D"
}
trap cleanup EXIT

echo "bench: starting a private MariaDB"
zonaris_db_start "$WORK_D/db" >/dev/null
zonaris_db_create pwbench

zonaris_db_sql pwbench <<'SQL'
INSERT INTO zone(id, name) VALUES(1, 'bench.example.');
INSERT INTO zone_dns_records(id, zone_id, entry_type, host, value)
    SELECT seq, 1, 'A', 'www', CONCAT('r', seq) FROM seq_1_to_10000;
INSERT INTO rrobin_pool(id, name, zone_id, protocol_code, monit_interval, test_url)
    SELECT seq, CONCAT('pool', seq), 1, 'TRIVIAL', 1, '$RR' FROM seq_1_to_1000;
INSERT INTO rrobin_pool_records(rrobin_pool_id, zone_dns_records_id)
    SELECT ((seq - 1) DIV 10) + 1, seq FROM seq_1_to_10000;
INSERT INTO rrobin_protocols(code, script) VALUES('TRIVIAL', 'trivial');
SQL

mkdir -p "$WORK_D/scripts" "$WORK_D/etc"
RUNS=$WORK_D/runs
# The daemon runs its scripts as "nobody" (POOLWATCH_SCRIPT_USER's default): they must reach
# the script and append to the runs file.
chmod 755 "$WORK_D"
: >"$RUNS"
chmod 666 "$RUNS"
printf '#!/bin/sh\necho "$1" >> %s\nexit 0\n' "$RUNS" >"$WORK_D/scripts/trivial"
chmod 755 "$WORK_D/scripts/trivial"

now() { date +%s.%N; }
# CPU seconds (user + system) a process has used itself, without its children.
cpu_of() { awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) / hz }' "/proc/$1/stat"; }
lines() { if [ -e "$RUNS" ]; then wc -l <"$RUNS"; else echo 0; fi; }

# The serial loop: the same script, the same 10,000 arguments, one after another.
serial_loop() {
    : >"$RUNS"
    local t0 t1 i
    t0=$(now)
    for ((i = 1; i <= 10000; i++)); do
        (exec -c "$WORK_D/scripts/trivial" "r$i")
    done
    t1=$(now)
    SERIAL_RATE=$(echo "10000 / ($t1 - $t0)" | bc -l)
}

# One daemon run with the given concurrency: tests per second over WINDOW seconds of
# saturation, and how many distinct records were tested in that window.
daemon_run() {
    local concurrency=$1 t0 t1 c0 c1
    : >"$RUNS"
    cat >"$WORK_D/etc/zonaris.conf" <<CONF
DB_HOST $ZONARIS_DB_HOST
DB_PORT $ZONARIS_DB_PORT
DB_USER $ZONARIS_DB_USER
DB_PASSWD $ZONARIS_DB_PASSWORD
DB_NAME pwbench
POOLWATCH_CONCURRENCY $concurrency
POOLWATCH_POOLING_INTERVAL 3600
POOLWATCH_TIMEOUT 60
POOLWATCH_LOG_LEVEL ERROR
POOLWATCH_PID_FILE $WORK_D/poolwatch.pid
POOLWATCH_D $WORK_D/scripts
CONF
    ZONARIS_ETC_D=$WORK_D/etc setsid "$POOLWATCHD" -X </dev/null >"$WORK_D/daemon.log" 2>&1 &
    DAEMON_PID=$!
    zonaris_poll 60 test -s "$RUNS" || { cat "$WORK_D/daemon.log" >&2; return 1; }
    # Let it reach saturation, then measure.
    sleep 2
    c0=$(lines)
    t0=$(now)
    local d0 db0 d1 db1
    d0=$(cpu_of "$DAEMON_PID")
    db0=$(cpu_of "$ZONARIS_DB_PID")
    sleep "$WINDOW"
    c1=$(lines)
    t1=$(now)
    d1=$(cpu_of "$DAEMON_PID")
    db1=$(cpu_of "$ZONARIS_DB_PID")
    DAEMON_RATE=$(echo "($c1 - $c0) / ($t1 - $t0)" | bc -l)
    DAEMON_CPU=$(echo "1000 * ($d1 - $d0) / ($c1 - $c0)" | bc -l)
    DB_CPU=$(echo "1000 * ($db1 - $db0) / ($c1 - $c0)" | bc -l)
    DISTINCT=$(tail -n +"$((c0 + 1))" "$RUNS" | head -n "$((c1 - c0))" | sort -u | wc -l)
    zonaris_stop_pid "$DAEMON_PID" 120
    DAEMON_PID=
}

echo "bench: serial shell loop"
serial_loop
echo "bench: poolwatchd, POOLWATCH_CONCURRENCY 4"
daemon_run 4
RATE4=$DAEMON_RATE DISTINCT4=$DISTINCT CPU4=$DAEMON_CPU DBCPU4=$DB_CPU
echo "bench: poolwatchd, POOLWATCH_CONCURRENCY 1"
daemon_run 1
RATE1=$DAEMON_RATE DISTINCT1=$DISTINCT CPU1=$DAEMON_CPU DBCPU1=$DB_CPU

printf '\nmachine: %s CPUs, load average %s\n' "$(nproc)" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-34s %12s %14s %22s\n' "run" "tests/s" "ms per test" "records tested (of 10000)"
printf '%-34s %12.1f %14.3f %22s\n' "serial shell loop" "$SERIAL_RATE" \
    "$(echo "1000 / $SERIAL_RATE" | bc -l)" "10000"
printf '%-34s %12.1f %14.3f %22s\n' "poolwatchd, concurrency 4" "$RATE4" \
    "$(echo "1000 / $RATE4" | bc -l)" "$DISTINCT4 in ${WINDOW}s"
printf '%-34s %12.1f %14.3f %22s\n' "poolwatchd, concurrency 1" "$RATE1" \
    "$(echo "1000 / $RATE1" | bc -l)" "$DISTINCT1 in ${WINDOW}s"
printf '\nconcurrency 4 / serial loop: %.2f\n' "$(echo "$RATE4 / $SERIAL_RATE" | bc -l)"
printf 'concurrency 1 / serial loop: %.2f\n' "$(echo "$RATE1 / $SERIAL_RATE" | bc -l)"
printf 'CPU per test of poolwatchd itself (scheduling, queries, tallies, spawn/wait): %.3f ms (c4), %.3f ms (c1)\n' \
    "$CPU4" "$CPU1"
printf 'CPU per test of the MariaDB server (connections and queries): %.3f ms (c4), %.3f ms (c1)\n' \
    "$DBCPU4" "$DBCPU1"
