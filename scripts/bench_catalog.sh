#!/usr/bin/env bash
# Catalog zone benchmark of zonebuildd (not part of CI). N zones in a private MariaDB, a
# private primary named fed by zonebuildd and a private secondary named configured only with
# `catalog-zones`. Measures:
#   - a restore without ZONEBUILD_CATALOG_ZONE (the baseline) and one with it, and the time
#     the catalog itself took in the second (the daemon's "Catalog zone" line);
#   - the secondary's first provisioning: from its start until it answers for every zone;
#   - from `zonebuild --now` (one new zone in the panel) until the primary, and until the
#     secondary, answers for the new zone.
#
#   bash scripts/bench_catalog.sh            (as root; N=10000, workers = CPUs)
#   BENCH_ZONES=2000 BENCH_LATENCY_RUNS=3 bash scripts/bench_catalog.sh
#
# Everything runs in a temporary directory that is removed at the end (kept with
# ZONARIS_KEEP_DEMO=1); the services are stopped by pid.
set -euo pipefail

SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${ZONARIS_BUILD_D:-$SRC/build}
N=${BENCH_ZONES:-10000}
WORKERS=${BENCH_WORKERS:-$(nproc)}
LATENCY_RUNS=${BENCH_LATENCY_RUNS:-3}
CATALOG=catalog.zonaris.invalid

[ "$(id -u)" -eq 0 ] || { echo "bench_catalog.sh: run as root (zonebuildd needs it)" >&2; exit 1; }

cmake -S "$SRC" -B "$BUILD" >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target zonebuildd zonebuild >/dev/null
BIN=$BUILD/bin

# shellcheck source=scripts/demo_env.sh
source "$SRC/scripts/demo_env.sh"
D=$(mktemp -d "${TMPDIR:-/tmp}/zonaris-bench-catalog.XXXXXX")
SECONDARY_PID=
finish() {
    local status=$?
    [ -f "$D/run/zonebuildd.pid" ] && zonaris_stop_pid "$(cat "$D/run/zonebuildd.pid")" 120
    [ -n "$SECONDARY_PID" ] && zonaris_stop_pid "$SECONDARY_PID" 30
    zonaris_demo_env_stop
    if [ "${ZONARIS_KEEP_DEMO:-0}" = 1 ]; then echo "files kept in $D"; else rm -rf "$D"; fi
    exit "$status"
}
trap finish EXIT

# shellcheck source=scripts/lib_bench.sh
source "$SRC/scripts/lib_bench.sh"
log_count() {
    local n
    n=$(grep -sc "$1" "$D/log/zonaris.log") || true
    echo "${n:-0}"
}
at_least() { [ "$(log_count "$1")" -ge "$2" ]; }
answers() { # PORT NAME VALUE
    [ "$(dig @127.0.0.1 -p "$1" +short +norecurse +time=1 +tries=1 "$2" A | head -1)" = "$3" ]
}

zonaris_demo_env_start "$D" >/dev/null
CONF=$ZONARIS_ETC_D/zonaris.conf
sed -i "s/^ZONEBUILD_CONCURRENCY_LIMIT .*/ZONEBUILD_CONCURRENCY_LIMIT $WORKERS/;
        s/^ZONEBUILD_RUN_INTERVAL .*/ZONEBUILD_RUN_INTERVAL 86400/;
        s/^ZONEBUILD_LOG_LEVEL .*/ZONEBUILD_LOG_LEVEL NOTICE/" "$CONF"
PRIMARY=$ZONARIS_NAMED_PORT
SECONDARY=$(zonaris_free_port)
# The catalog has no usable NS names: the primary notifies the secondary explicitly.
sed -i "s/^    notify-delay 0;/&\n    also-notify { 127.0.0.1 port $SECONDARY; };/" "$D/named/named.conf"
"$ZONARIS_RNDC_BIN_D/rndc" reconfig >/dev/null

echo "loading $N zones"
sql <<SQL
INSERT INTO misc (param, value) VALUES ('log_level', '3'), ('refresh', '3600'), ('retry', '900'),
    ('expire', '1209600'), ('min_ttl', '300'), ('default_ttl', '3600');
INSERT INTO client (id, login, email) VALUES (1, 'bench', 'hostmaster@example.net');
INSERT INTO global_transfer_ips (ip) VALUES ('127.0.0.1');
INSERT INTO file_template_default (id, name) VALUES (1, 'zonaris.include');
INSERT INTO file_template (file_template_default_id, content) VALUES (1,
    'zone "[zone_name]" { type [zone_type]; file "[zone_file_name]"; [zone_options]; };');
INSERT INTO zone (id, name, client_id, type) SELECT seq, CONCAT('c', seq, '.bench.example.'), 1,
    'master' FROM seq_1_to_$N;
INSERT INTO zone_dns_records (zone_id, entry_type, host, value, priority)
    SELECT seq, 'NS', CONCAT('c', seq, '.bench.example.'), 'ns1.example.net.', 1 FROM seq_1_to_$N
    UNION ALL SELECT seq, 'A', 'www', '192.0.2.1', NULL FROM seq_1_to_$N;
SQL

"$BIN/zonebuildd"
wait_until 60 test -s "$D/run/zonebuildd.pid"
restore() { # prints the job's seconds
    local before t0
    before=$(log_count 'Job timing')
    t0=$(now)
    "$BIN/zonebuild" --restore >/dev/null 2>&1
    wait_until 3600 at_least 'Job timing' $((before + 1))
    elapsed "$t0" "$(now)"
}
echo "restore without a catalog (baseline)"
base_s=$(restore)
echo "  $base_s s"

zonaris_stop_pid "$(cat "$D/run/zonebuildd.pid")" 120
echo "ZONEBUILD_CATALOG_ZONE $CATALOG" >>"$CONF"
"$BIN/zonebuildd"
wait_until 60 test -s "$D/run/zonebuildd.pid"
echo "restore with the catalog"
cat_s=$(restore)
[ "$(sql_value "SELECT COUNT(*) FROM logs WHERE info = 'FR_FAIL'")" = 0 ] ||
    { echo "a job failed" >&2; exit 1; }
line=$(grep -o 'Catalog zone .*' "$D/log/zonaris.log" | tail -1)
share=$(sed -n 's/.*, \([0-9.]*\) s\.$/\1/p' <<<"$line")
echo "  $cat_s s; $line"
echo "  catalog: $share s = $(awk -v a="$share" -v b="$cat_s" 'BEGIN { printf "%.1f", 100 * a / b }')% of the restore; restore with/without catalog: $(awk -v a="$cat_s" -v b="$base_s" 'BEGIN { printf "%.2f", a / b }')"

echo "secondary with catalog-zones only: first provisioning of $N zones"
S=$D/secondary
mkdir -p "$S"
cat >"$S/named.conf" <<CONF
options {
    directory "$S";
    pid-file "$S/named.pid";
    lock-file "$S/named.lock";
    session-keyfile "$S/session.key";
    managed-keys-directory "$S";
    listen-on port $SECONDARY { 127.0.0.1; };
    listen-on-v6 { none; };
    recursion no;
    dnssec-validation no;
    notify no;
    catalog-zones { zone "$CATALOG" default-masters { 127.0.0.1 port $PRIMARY; }; };
};
logging { channel main { file "$S/named.log"; severity info; print-time yes; };
          category default { main; }; category lame-servers { null; }; };
zone "$CATALOG" { type secondary; file "catalog.db"; primaries { 127.0.0.1 port $PRIMARY; }; };
CONF
t0=$(now)
setsid named -c "$S/named.conf" -f </dev/null >"$S/named.out" 2>&1 &
SECONDARY_PID=$!
transferred() {
    local n
    n=$(grep -sc 'Transfer status: success' "$S/named.log") || true
    [ "${n:-0}" -gt "$N" ]
}
wait_until 3600 transferred # the catalog and every member zone
wait_until 60 answers "$SECONDARY" "www.c$N.bench.example" 192.0.2.1
echo "  every zone transferred after $(elapsed "$t0" "$(now)") s"

echo "zonebuild --now with one new zone, until the primary and the secondary answer ($LATENCY_RUNS runs)"
for run in $(seq 1 "$LATENCY_RUNS"); do
    id=$((N + run))
    name="new$run.bench.example"
    sql <<SQL
INSERT INTO zone (id, name, client_id, type) VALUES ($id, '$name.', 1, 'master');
INSERT INTO zone_dns_records (zone_id, entry_type, host, value, priority) VALUES
    ($id, 'NS', '$name.', 'ns1.example.net.', 1), ($id, 'A', 'www', '198.51.100.$run', NULL);
INSERT INTO changes (zone_name, type, timestamp) VALUES ('$name.', 'u', UNIX_TIMESTAMP());
SQL
    t0=$(now)
    "$BIN/zonebuild" --now >/dev/null 2>&1
    wait_until 120 answers "$PRIMARY" "www.$name" "198.51.100.$run"
    t_primary=$(now)
    wait_until 600 answers "$SECONDARY" "www.$name" "198.51.100.$run"
    echo "  run $run: primary $(elapsed "$t0" "$t_primary") s, secondary $(elapsed "$t0" "$(now)") s; $(grep -o 'Catalog zone .*' "$D/log/zonaris.log" | tail -1)"
done
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
