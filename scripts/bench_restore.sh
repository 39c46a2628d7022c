#!/usr/bin/env bash
# Restore benchmark of zonebuildd (not part of CI). For each size N: N zones of 15 records each
# in a private MariaDB served by a private named; a restore job timed end to end and by phase
# (from the daemon's "Job timing" line) with the peak memory of the daemon and its workers;
# in the same run the baselines on the same files: a loop running named-checkzone once per
# file (on an even sample, scaled to N), BIND's in-process load of every file (one process,
# bench/check_tool_bench.cpp) and one whole-server `rndc reload` that loads every zone; then,
# with N zones configured, the time from `zonebuild --now` until dig sees one changed record,
# one new zone and one deleted zone gone.
#
#   bash scripts/bench_restore.sh                       (as root; N = 10000, workers = CPUs)
#   BENCH_ZONES="10000 100000" bash scripts/bench_restore.sh
#   BENCH_ZONES=2000 BENCH_WORKERS=4 BENCH_CHECKZONE_SAMPLE=200 bash scripts/bench_restore.sh
#   BENCH_CHECKZONE_SAMPLE=0 ...   skips the named-checkzone loop
#
# Every size runs in its own temporary environment, removed at the end (kept with
# ZONARIS_KEEP_DEMO=1); the services are stopped by pid.
set -euo pipefail

SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${ZONARIS_BUILD_D:-$SRC/build}
SIZES=${BENCH_ZONES:-10000}
WORKERS=${BENCH_WORKERS:-$(nproc)}
LATENCY_RUNS=${BENCH_LATENCY_RUNS:-3}
SAMPLE=${BENCH_CHECKZONE_SAMPLE:-500}

[ "$(id -u)" -eq 0 ] || { echo "bench_restore.sh: run as root (zonebuildd needs it)" >&2; exit 1; }

cmake -S "$SRC" -B "$BUILD" -DZONARIS_BENCH=ON >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target zonebuildd zonebuild check_tool_bench >/dev/null
BIN=$BUILD/bin

# shellcheck source=scripts/demo_env.sh
source "$SRC/scripts/demo_env.sh"
# shellcheck source=scripts/lib_bench.sh
source "$SRC/scripts/lib_bench.sh"
TOP=$(mktemp -d "${TMPDIR:-/tmp}/zonaris-bench.XXXXXX")
D=
SAMPLER=
stop_size() {
    [ -n "$SAMPLER" ] && kill "$SAMPLER" 2>/dev/null && wait "$SAMPLER" || true
    SAMPLER=
    [ -n "$D" ] && [ -f "$D/run/zonebuildd.pid" ] && zonaris_stop_pid "$(cat "$D/run/zonebuildd.pid")" 600
    [ -n "$D" ] && zonaris_demo_env_stop
    D=
}
finish() {
    local status=$?
    stop_size
    if [ "${ZONARIS_KEEP_DEMO:-0}" = 1 ]; then echo "files kept in $TOP"; else rm -rf "$TOP"; fi
    exit "$status"
}
trap finish EXIT

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.0f", k / 1024 }'; }

load_zones() {
    local n=$1
    sql <<SQL
INSERT INTO misc (param, value) VALUES ('log_level', '3'), ('refresh', '3600'), ('retry', '900'),
    ('expire', '1209600'), ('min_ttl', '300'), ('default_ttl', '3600');
INSERT INTO client (id, login, email) VALUES (1, 'bench', 'hostmaster@example.net');
INSERT INTO file_template_default (id, name) VALUES (1, 'zonaris.include');
INSERT INTO file_template (file_template_default_id, content) VALUES (1,
    'zone "[zone_name]" {\n\ttype [zone_type];\n\tfile "[zone_file_name]";\n\t[zone_options];\n};');
INSERT INTO zone (id, name, client_id, type) SELECT seq, CONCAT('z', seq, '.bench.example.'), 1,
    'master' FROM seq_1_to_$n;
INSERT INTO zone_dns_records (zone_id, entry_type, host, value, priority)
    SELECT seq, 'NS', CONCAT('z', seq, '.bench.example.'), 'ns1.example.net.', 1 FROM seq_1_to_$n
    UNION ALL SELECT seq, 'NS', CONCAT('z', seq, '.bench.example.'), 'ns2.example.net.', 0
        FROM seq_1_to_$n
    UNION ALL SELECT z.seq, 'A', CONCAT('h', h.seq), CONCAT('192.0.2.', h.seq), NULL
        FROM seq_1_to_$n z, seq_1_to_8 h
    UNION ALL SELECT seq, 'AAAA', 'www', '2001:db8::1', NULL FROM seq_1_to_$n
    UNION ALL SELECT seq, 'CNAME', 'ftp', 'h1', NULL FROM seq_1_to_$n
    UNION ALL SELECT seq, 'MX', CONCAT('z', seq, '.bench.example.'), 'mail.example.net.', 10
        FROM seq_1_to_$n
    UNION ALL SELECT seq, 'TXT', CONCAT('z', seq, '.bench.example.'), 'v=spf1 mx -all', NULL
        FROM seq_1_to_$n;
INSERT INTO zone_dns_records (zone_id, entry_type, host, value, priority, priority_minor, port)
    SELECT seq, 'SRV', '_sip._udp', 'sip.example.net.', 10, 60, 5060 FROM seq_1_to_$n;
SQL
}

# The event log keeps the panel's default threshold (3), as in production, so the end of a
# job is read from the daemon's own log: every job that wrote zones logs its timing line.
timed_jobs() { count_matching_lines "$D/log/zonaris.log" 'Job timing'; }
failed_jobs() { sql_value "SELECT COUNT(*) FROM logs WHERE info = 'FR_FAIL'"; }
at_least() { [ "$("$1")" -ge "$2" ]; }
serves() { [ "$("${DIG[@]}" "$1" "$2" | head -1)" = "$3" ]; }
gone() { [ -z "$("${DIG[@]}" "$1" SOA)" ]; }
loaded_zones() {
    local n
    n=$(grep -sc 'loaded serial' "$D/named/named.log") || true
    echo "${n:-0}"
}
# zonebuild --now, then the time until COMMAND... succeeds. The job's end (it goes on checking
# that named loaded the zone) is awaited before the next run, and its timing line kept.
now_until() {
    local t0 jobs result
    jobs=$(timed_jobs)
    t0=$(now)
    "$BIN/zonebuild" --now >/dev/null 2>&1
    wait_until 600 "$@"
    result=$(elapsed "$t0" "$(now)")
    wait_until 600 at_least timed_jobs $((jobs + 1))
    echo "$result s  [$(grep -o 'merge and include.*' "$D/log/zonaris.log" | tail -1)]"
}

bench_size() {
    local n=$1
    D=$TOP/n$n
    zonaris_demo_env_start "$D" >/dev/null
    sed -i "s/^ZONEBUILD_CONCURRENCY_LIMIT .*/ZONEBUILD_CONCURRENCY_LIMIT $WORKERS/;
            s/^ZONEBUILD_RUN_INTERVAL .*/ZONEBUILD_RUN_INTERVAL 86400/;
            s/^ZONEBUILD_LOG_LEVEL .*/ZONEBUILD_LOG_LEVEL NOTICE/" "$ZONARIS_ETC_D/zonaris.conf"
    DIG=(dig @127.0.0.1 -p "$ZONARIS_NAMED_PORT" +short +tries=1 +time=2)
    local named_pid=$ZONARIS_NAMED_PID

    echo "== N = $n zones x 15 records, $WORKERS workers"
    local t0
    t0=$(now)
    load_zones "$n"
    echo "  loaded $(sql_value "SELECT COUNT(*) FROM zone_dns_records") records in $(elapsed "$t0" "$(now)") s"

    "$BIN/zonebuildd"
    wait_until 60 test -s "$D/run/zonebuildd.pid"
    local daemon_pid
    daemon_pid=$(cat "$D/run/zonebuildd.pid")
    /usr/bin/python3 "$SRC/scripts/peak_memory.py" "$daemon_pid" "$D/peak" &
    SAMPLER=$!

    t0=$(now)
    "$BIN/zonebuild" --restore >/dev/null 2>&1
    wait_until 7200 at_least timed_jobs 1
    local t_job
    t_job=$(now)
    wait_until 1200 serves "h7.z$n.bench.example" A 192.0.2.7
    local t_served
    t_served=$(now)
    kill "$SAMPLER"
    wait "$SAMPLER" || true
    SAMPLER=
    [ "$(failed_jobs)" = 0 ] || { echo "the restore job failed" >&2; exit 1; }
    local restore_s
    restore_s=$(elapsed "$t0" "$t_job")
    echo "  restore job: $restore_s s; every zone served after $(elapsed "$t0" "$t_served") s"
    echo "  $(grep -o 'Job timing.*' "$D/log/zonaris.log" | tail -1)"
    local own worker joint named_kb
    own=$(awk '$1 == "daemon_hwm_kb" { print $2 }' "$D/peak")
    worker=$(awk '$1 == "worker_hwm_kb" { print $2 }' "$D/peak")
    joint=$(awk '$1 == "joint_pss_kb" { print $2 }' "$D/peak")
    named_kb=$(awk '$1 == "VmHWM:" { print $2 }' "/proc/$named_pid/status")
    echo "  peak memory: daemon $(mib "$own") MiB, largest worker $(mib "$worker") MiB," \
        "daemon and workers together (PSS) $(mib "$joint") MiB; named $(mib "$named_kb") MiB"

    local files=("$D"/named/root/var/named/z/*)
    local count=${#files[@]}
    if [ "$SAMPLE" != 0 ]; then
        local step=$(((count + SAMPLE - 1) / SAMPLE)) checked=0 i
        t0=$(now)
        for ((i = 0; i < count; i += step)); do
            named-checkzone -q "$(basename "${files[$i]}")" "${files[$i]}" ||
                { echo "check failed: ${files[$i]}" >&2; exit 1; }
            checked=$((checked + 1))
        done
        local sample_s checkzone_s
        sample_s=$(elapsed "$t0" "$(now)")
        checkzone_s=$(awk -v s="$sample_s" -v k="$checked" -v n="$count" 'BEGIN { printf "%.1f", s * n / k }')
        echo "  named-checkzone once per file: $checked files in $sample_s s, scaled to $count files" \
            "$checkzone_s s; restore $(ratio "$checkzone_s" "$restore_s")x faster"
    fi

    local load_ms load_s
    load_ms=$(ZONARIS_BENCH_ZONE_DIR="$D/named/root/var/named/z" "$BIN/check_tool_bench" \
        --benchmark_filter=BM_LoadZoneDirectory --benchmark_format=json 2>/dev/null |
        /usr/bin/python3 -c 'import json, sys; print(json.load(sys.stdin)["benchmarks"][0]["real_time"])')
    load_s=$(awk -v ms="$load_ms" 'BEGIN { printf "%.3f", ms / 1000 }')
    echo "  BIND's in-process load of the same $count files (one process): $load_s s"

    # One whole-server reload that loads every zone again (their files are newer).
    find "$D/named/root/var/named/z" -type f -exec touch {} +
    local before reload_s
    before=$(loaded_zones)
    t0=$(now)
    "$ZONARIS_RNDC_BIN_D/rndc" reload >/dev/null
    wait_until 1200 at_least loaded_zones $((before + count))
    reload_s=$(elapsed "$t0" "$(now)")
    local base_s
    base_s=$(awk -v a="$load_s" -v b="$reload_s" 'BEGIN { printf "%.3f", a + b }')
    echo "  whole-server rndc reload loading every zone: $reload_s s; in-process load + reload" \
        "$base_s s; restore / that = $(ratio "$restore_s" "$base_s")"
    echo "RESULT $n restore_s=$restore_s base_s=$base_s joint_pss_kb=$joint" >>"$TOP/results"

    echo "  zonebuild --now until dig sees the change, $n zones configured ($LATENCY_RUNS runs each)"
    local zone=$((n / 2)) run value id
    for run in $(seq 1 "$LATENCY_RUNS"); do
        value="198.51.100.$run"
        sql <<SQL
UPDATE zone_dns_records SET value = '$value' WHERE zone_id = $zone AND host = 'h1';
INSERT INTO changes (zone_name, type, timestamp) VALUES ('z$zone.bench.example.', 'u', UNIX_TIMESTAMP());
SQL
        echo "    changed record, run $run: $(now_until serves "h1.z$zone.bench.example" A "$value")"
    done
    for run in $(seq 1 "$LATENCY_RUNS"); do
        id=$((n + run))
        sql <<SQL
INSERT INTO zone (id, name, client_id, type) VALUES ($id, 'new$id.bench.example.', 1, 'master');
INSERT INTO zone_dns_records (zone_id, entry_type, host, value, priority) VALUES
    ($id, 'NS', 'new$id.bench.example.', 'ns1.example.net.', 1), ($id, 'A', 'www', '192.0.2.80', NULL);
INSERT INTO changes (zone_name, type, timestamp) VALUES ('new$id.bench.example.', 'u', UNIX_TIMESTAMP());
SQL
        echo "    new zone, run $run: $(now_until serves "www.new$id.bench.example" A 192.0.2.80)"
    done
    for run in $(seq 1 "$LATENCY_RUNS"); do
        id=$run
        serves "h1.z$id.bench.example" A 192.0.2.1 || { echo "z$id is not served" >&2; exit 1; }
        sql <<SQL
DELETE FROM zone_dns_records WHERE zone_id = $id;
DELETE FROM zone WHERE id = $id;
INSERT INTO changes (zone_name, type, timestamp) VALUES ('z$id.bench.example.', 'd', UNIX_TIMESTAMP());
SQL
        echo "    deleted zone, run $run: $(now_until gone "z$id.bench.example")"
    done
    [ "$(failed_jobs)" = 0 ] || { echo "a changes job failed" >&2; exit 1; }
    stop_size
}

echo "load average before: $(uptime)"
for n in $SIZES; do
    bench_size "$n"
done
echo "load average after: $(uptime)"
if [ "$(wc -l <"$TOP/results")" -gt 1 ]; then
    awk 'NR == 1 { split($3, a, "="); first = a[2]; n1 = $2 }
         NR > 1 { split($3, b, "="); printf "restore of %s zones / restore of %s zones: %.2f\n", $2, n1, b[2] / first }' \
        "$TOP/results"
fi
