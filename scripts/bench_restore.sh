#!/usr/bin/env bash
# Restore benchmark of zonebuildd (not part of CI): N zones of 15 records each in a private
# MariaDB, a restore job timed end to end and by phase (from the daemon's "Job timing"
# line), the same zone files checked by a loop running named-checkzone once per file, and the
# time from `zonebuild --now` until dig sees one changed record with N zones configured.
#
#   bash scripts/bench_restore.sh            (as root; N=10000, workers = CPUs)
#   BENCH_ZONES=2000 BENCH_WORKERS=4 bash scripts/bench_restore.sh
#   BENCH_CHECKZONE=0 ...  skips the named-checkzone loop (it takes N x ~7 ms or more)
#
# Everything runs in a temporary directory that is removed at the end (kept with
# ZONARIS_KEEP_DEMO=1); the services are stopped by pid.
set -euo pipefail

SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${ZONARIS_BUILD_D:-$SRC/build}
N=${BENCH_ZONES:-10000}
WORKERS=${BENCH_WORKERS:-$(nproc)}
LATENCY_RUNS=${BENCH_LATENCY_RUNS:-5}

[ "$(id -u)" -eq 0 ] || { echo "bench_restore.sh: run as root (zonebuildd needs it)" >&2; exit 1; }

cmake -S "$SRC" -B "$BUILD" >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target zonebuildd zonebuild >/dev/null
BIN=$BUILD/bin

# shellcheck source=scripts/demo_env.sh
source "$SRC/scripts/demo_env.sh"
D=$(mktemp -d "${TMPDIR:-/tmp}/zonaris-bench.XXXXXX")
finish() {
    local status=$?
    [ -f "$D/run/zonebuildd.pid" ] && zonaris_stop_pid "$(cat "$D/run/zonebuildd.pid")" 120
    zonaris_demo_env_stop
    if [ "${ZONARIS_KEEP_DEMO:-0}" = 1 ]; then echo "files kept in $D"; else rm -rf "$D"; fi
    exit "$status"
}
trap finish EXIT

# shellcheck source=scripts/lib_bench.sh
source "$SRC/scripts/lib_bench.sh"

zonaris_demo_env_start "$D" >/dev/null
sed -i "s/^ZONEBUILD_CONCURRENCY_LIMIT .*/ZONEBUILD_CONCURRENCY_LIMIT $WORKERS/;
        s/^ZONEBUILD_RUN_INTERVAL .*/ZONEBUILD_RUN_INTERVAL 86400/;
        s/^ZONEBUILD_LOG_LEVEL .*/ZONEBUILD_LOG_LEVEL NOTICE/" "$ZONARIS_ETC_D/zonaris.conf"
DIG=(dig @127.0.0.1 -p "$ZONARIS_NAMED_PORT" +short)

echo "loading $N zones x 15 records"
t0=$(now)
sql <<SQL
INSERT INTO misc (param, value) VALUES ('log_level', '3'), ('refresh', '3600'), ('retry', '900'),
    ('expire', '1209600'), ('min_ttl', '300'), ('default_ttl', '3600');
INSERT INTO client (id, login, email) VALUES (1, 'bench', 'hostmaster@example.net');
INSERT INTO file_template_default (id, name) VALUES (1, 'zonaris.include');
INSERT INTO file_template (file_template_default_id, content) VALUES (1,
    'zone "[zone_name]" {\n\ttype [zone_type];\n\tfile "[zone_file_name]";\n\t[zone_options];\n};');
INSERT INTO zone (id, name, client_id, type) SELECT seq, CONCAT('z', seq, '.bench.example.'), 1,
    'master' FROM seq_1_to_$N;
INSERT INTO zone_dns_records (zone_id, entry_type, host, value, priority)
    SELECT seq, 'NS', CONCAT('z', seq, '.bench.example.'), 'ns1.example.net.', 1 FROM seq_1_to_$N
    UNION ALL SELECT seq, 'NS', CONCAT('z', seq, '.bench.example.'), 'ns2.example.net.', 0
        FROM seq_1_to_$N
    UNION ALL SELECT z.seq, 'A', CONCAT('h', h.seq), CONCAT('192.0.2.', h.seq), NULL
        FROM seq_1_to_$N z, seq_1_to_8 h
    UNION ALL SELECT seq, 'AAAA', 'www', '2001:db8::1', NULL FROM seq_1_to_$N
    UNION ALL SELECT seq, 'CNAME', 'ftp', 'h1', NULL FROM seq_1_to_$N
    UNION ALL SELECT seq, 'MX', CONCAT('z', seq, '.bench.example.'), 'mail.example.net.', 10
        FROM seq_1_to_$N
    UNION ALL SELECT seq, 'TXT', CONCAT('z', seq, '.bench.example.'), 'v=spf1 mx -all', NULL
        FROM seq_1_to_$N;
INSERT INTO zone_dns_records (zone_id, entry_type, host, value, priority, priority_minor, port)
    SELECT seq, 'SRV', '_sip._udp', 'sip.example.net.', 10, 60, 5060 FROM seq_1_to_$N;
SQL
echo "  records: $(sql_value "SELECT COUNT(*) FROM zone_dns_records") in $(elapsed "$t0" "$(now)") s"

# The event log keeps the panel's default threshold (3), as in production, so the end of a
# job is read from the daemon's own log: every job that wrote zones logs its timing line.
timed_jobs() {
    local n
    n=$(grep -sc 'Job timing' "$D/log/zonaris.log") || true
    echo "${n:-0}"
}
failed_jobs() { sql_value "SELECT COUNT(*) FROM logs WHERE info = 'FR_FAIL'"; }
at_least() { [ "$("$1")" -ge "$2" ]; }
serves() { [ "$("${DIG[@]}" "$1" "$2" | head -1)" = "$3" ]; }

"$BIN/zonebuildd"
wait_until 60 test -s "$D/run/zonebuildd.pid"

echo "restore job with $WORKERS workers"
t0=$(now)
"$BIN/zonebuild" --restore >/dev/null 2>&1
wait_until 3600 at_least timed_jobs 1
t_job=$(now)
last="z$N.bench.example"
wait_until 600 serves "h7.$last" A 192.0.2.7
t_served=$(now)
[ "$(failed_jobs)" = 0 ] || { echo "the restore job failed" >&2; exit 1; }
restore_s=$(elapsed "$t0" "$t_job")
echo "  restore job: $restore_s s; every zone served after $(elapsed "$t0" "$t_served") s"
echo "  $(grep -o 'Job timing.*' "$D/log/zonaris.log" | tail -1)"

if [ "${BENCH_CHECKZONE:-1}" != 0 ]; then
    echo "named-checkzone once per file on the same $N files"
    files=("$D"/named/root/var/named/z/*)
    t0=$(now)
    for f in "${files[@]}"; do
        named-checkzone -q "$(basename "$f")" "$f" || { echo "check failed: $f" >&2; exit 1; }
    done
    checkzone_s=$(elapsed "$t0" "$(now)")
    echo "  ${#files[@]} files: $checkzone_s s; restore is $(awk -v a="$checkzone_s" -v b="$restore_s" \
        'BEGIN { printf "%.1f", a / b }')x faster"
fi

echo "zonebuild --now until dig sees one changed record ($LATENCY_RUNS runs)"
zone=$((N / 2))
for run in $(seq 1 "$LATENCY_RUNS"); do
    value="198.51.100.$run"
    sql <<SQL
UPDATE zone_dns_records SET value = '$value' WHERE zone_id = $zone AND host = 'h1';
INSERT INTO changes (zone_name, type, timestamp) VALUES ('z$zone.bench.example.', 'u', UNIX_TIMESTAMP());
SQL
    t0=$(now)
    "$BIN/zonebuild" --now >/dev/null 2>&1
    wait_until 60 serves "h1.z$zone.bench.example" A "$value"
    echo "  run $run: $(elapsed "$t0" "$(now)") s"
done
