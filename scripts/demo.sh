#!/usr/bin/env bash
# The main job, run locally: a private MariaDB holding sample panel data and a private named,
# zonebuildd writing the zones, the include file and the ACL file for it, dig showing what is
# served, then one record changed in the panel and `zonebuild --now` publishing it. Then a
# client's zone feed on a private feed server (127.0.0.1): zonefeedd imports it, zonebuildd
# publishes the zones it created, and a changed feed changes what dig sees.
#
# Everything lives in a temporary directory (kept when ZONARIS_KEEP_DEMO=1) and is stopped by
# pid at the end, also when a step fails. Nothing outside that directory and the build
# directory is touched: not /etc/zonaris, not the system's named or MariaDB.
#
#   bash scripts/demo.sh            (as root: zonebuildd must run as root)
#   ZONARIS_BUILD_D=/some/dir ...   build there instead of ./build
set -euo pipefail

SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${ZONARIS_BUILD_D:-$SRC/build}

step() { printf '\n==> %s\n' "$*"; }

if [ "$(id -u)" -ne 0 ]; then
    echo "demo.sh: zonebuildd runs as root; start the demo as root." >&2
    exit 1
fi

step "Debian packages"
bash "$SRC/scripts/setup.sh"

step "Building zonebuildd, zonebuild, zonefeedd, zonefeed and cfgwriter in $BUILD"
cmake -S "$SRC" -B "$BUILD" >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target zonebuildd zonebuild zonefeedd zonefeed cfgwriter \
    >/dev/null
BIN=$BUILD/bin

# shellcheck source=scripts/demo_env.sh
source "$SRC/scripts/demo_env.sh"

DEMO_D=$(mktemp -d "${TMPDIR:-/tmp}/zonaris-demo.XXXXXX")
FEED_SERVER_PID=
finish() {
    local status=$? daemon
    for daemon in zonefeedd zonebuildd; do
        if [ -n "${ZONARIS_ETC_D:-}" ] && [ -f "$DEMO_D/run/$daemon.pid" ]; then
            zonaris_stop_pid "$(cat "$DEMO_D/run/$daemon.pid")" 60
        fi
    done
    [ -n "$FEED_SERVER_PID" ] && zonaris_stop_pid "$FEED_SERVER_PID" 10
    zonaris_demo_env_stop
    if [ "${ZONARIS_KEEP_DEMO:-0}" = 1 ]; then
        echo "demo files kept in $DEMO_D"
    else
        rm -rf "$DEMO_D"
    fi
    [ "$status" -eq 0 ] || echo "demo.sh: failed (status $status)" >&2
    exit "$status"
}
trap finish EXIT

step "Private MariaDB and named in $DEMO_D"
zonaris_demo_env_start "$DEMO_D"
echo "MariaDB on 127.0.0.1:$ZONARIS_DB_PORT, named on 127.0.0.1:$ZONARIS_NAMED_PORT"

step "Sample panel data (scripts/demo_data.sql)"
zonaris_db_sql zonaris <"$SRC/scripts/demo_data.sql"
zonaris_db_sql zonaris <<<"SELECT name, type FROM zone ORDER BY id"

step "cfgwriter: monitoring configuration from the database"
"$BIN/cfgwriter"
cat "$ZONARIS_ETC_D/monitoring.conf"

sql_value() { zonaris_db_sql zonaris <<<"$1" | tail -n +2; }
# Jobs of a kind ("Changes", "Import") finished so far, and waiting for the count to reach N.
finished() { sql_value "SELECT COUNT(*) FROM logs WHERE message LIKE 'Job finished. $1%'"; }
wait_finished() {
    local kind=$1 want=$2 end=$((SECONDS + 120))
    until [ "$(finished "$kind")" -ge "$want" ]; do
        if [ "$SECONDS" -ge "$end" ]; then
            echo "no $kind job finished; the daemons' log:" >&2
            tail -30 "$DEMO_D/log/zonaris.log" >&2
            return 1
        fi
        sleep 0.1
    done
}

step "zonebuildd: starts, and its first job writes the waiting zones"
"$BIN/zonebuildd"
wait_finished Changes 1
echo "include file $DEMO_D/named/root/etc/zonaris.include:"
sed 's/^/    /' "$DEMO_D/named/root/etc/zonaris.include"
echo "ACL file:"
sed 's/^/    /' "$DEMO_D/named/root/etc/zonaris.acl"
echo "zone files:"
(cd "$DEMO_D/named/root/var/named" && find . -type f | sort | sed 's/^/    /')

served_serial() {
    dig @127.0.0.1 -p "$ZONARIS_NAMED_PORT" +short "$1" SOA | awk '{print $3}'
}
wait_serial() {
    local zone=$1 serial=$2 end=$((SECONDS + 30))
    until [ "$(served_serial "$zone")" = "$serial" ]; do
        [ "$SECONDS" -lt "$end" ] || { echo "$zone not served with serial $serial" >&2; return 1; }
        sleep 0.05
    done
}
# `zonebuild --now`, then the end of its job and the zones' new serials served.
publish() {
    local before
    before=$(finished Changes)
    "$BIN/zonebuild" --now
    wait_finished Changes $((before + 1))
    for zone in "$@"; do
        wait_serial "$zone" "$(sql_value "SELECT revision FROM zone WHERE name = '$zone.'")"
    done
}
ask() {
    printf '%-55s %-6s ' "$1" "$2"
    dig @127.0.0.1 -p "$ZONARIS_NAMED_PORT" +short "$1" "$2" | paste -sd' ' -
}

for zone in example.com 20.168.192.in-addr.arpa 64/26.21.168.192.in-addr.arpa \
    0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.ip6.arpa 8.1.e164.arpa; do
    wait_serial "$zone" "$(sql_value "SELECT revision FROM zone WHERE name = '$zone.'")"
done

step "What named serves (dig @127.0.0.1 -p $ZONARIS_NAMED_PORT +short)"
ask example.com SOA
ask example.com NS
ask example.com MX
ask example.com TXT
ask www.example.com A
ask www.example.com AAAA
ask ftp.example.com CNAME
ask note.example.com TXT
ask _sip._udp.example.com SRV
ask 10.20.168.192.in-addr.arpa PTR
ask 65.64/26.21.168.192.in-addr.arpa PTR
ask 0.1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.ip6.arpa PTR
ask 4.3.2.1.8.1.e164.arpa NAPTR
echo "(partner.example is a secondary zone: its statement names its primary, 198.51.100.53,"
echo " which this private setup cannot reach, so named serves nothing for it.)"

step "A record changes in the panel; zonebuild --now publishes it"
zonaris_db_sql zonaris <<'SQL'
UPDATE zone_dns_records SET value = '192.0.2.12' WHERE zone_id = 1 AND host = 'www' AND value = '192.0.2.11';
INSERT INTO changes (zone_name, type, timestamp) VALUES ('example.com.', 'u', UNIX_TIMESTAMP());
SQL
publish example.com
ask example.com SOA
ask www.example.com A

step "A zone feed: Ann's hosting shop publishes her zones at a URL"
mkdir -p "$DEMO_D/feeds"
write_feed() {
    cat >"$DEMO_D/feeds/ann.txt" <<FEED
# Zones of Ann's shop, exported by her hosting control panel
shop.example.org | master {
NS||@||ns1.example.com.||1
NS||@||ns2.example.net.
A||www||$1
MX||@||mail.example.com.||10
TXT||@||v=spf1 mx -all
}
blog.example.org | master {
NS||@||ns1.example.com.||1
NS||@||ns2.example.net.
CNAME||www||shop-cdn.example.net.
}
FEED
}
write_feed 192.0.2.80
sed 's/^/    /' "$DEMO_D/feeds/ann.txt"
setsid /usr/bin/python3 "$SRC/tests/fixtures/feed_server.py" "$DEMO_D/feeds" "$DEMO_D/feeds.ports" \
    </dev/null >"$DEMO_D/log/feed_server.log" 2>&1 &
FEED_SERVER_PID=$!
zonaris_poll 30 test -s "$DEMO_D/feeds.ports"
FEED_URL="http://127.0.0.1:$(sed -n 's/^http=//p' "$DEMO_D/feeds.ports")/files/ann.txt"
echo "served at $FEED_URL"
zonaris_db_sql zonaris <<SQL
INSERT INTO client_prefs (client_id, param, value) VALUES (2, 'forward_zone_management', '10'),
    (2, 'max_domains', '20'), (2, 'clean_url_zones', '1');
INSERT INTO zone_feed (client_id, url, priority) VALUES (2, '$FEED_URL', 1);
SQL

step "zonefeedd: starts, and its first run imports the feed"
"$BIN/zonefeedd"
wait_finished Import 1
zonaris_db_sql zonaris <<<"SELECT z.name, z.client_id, z.url_id, COUNT(r.id) AS records
    FROM zone z JOIN zone_dns_records r ON r.zone_id = z.id WHERE z.url_id > 0 GROUP BY z.id" |
    column -t -s $'\t'
echo "queued for zonebuildd:"
zonaris_db_sql zonaris <<<"SELECT zone_name, type FROM changes ORDER BY id" | column -t -s $'\t'

step "zonebuild --now publishes the imported zones"
publish shop.example.org blog.example.org
ask shop.example.org SOA
ask www.shop.example.org A
ask shop.example.org MX
ask shop.example.org TXT
ask www.blog.example.org CNAME

step "The feed changes (a new address for www, blog.example.org dropped); zonefeed --now --force"
write_feed 192.0.2.81
sed -i '/^blog.example.org/,/^}/d' "$DEMO_D/feeds/ann.txt"
before=$(finished Import)
"$BIN/zonefeed" --now --force
wait_finished Import $((before + 1))
echo "queued for zonebuildd:"
zonaris_db_sql zonaris <<<"SELECT zone_name, type FROM changes ORDER BY id" | column -t -s $'\t'
publish shop.example.org
not_served() { [ -z "$(served_serial "$1")" ]; }
zonaris_poll 30 not_served blog.example.org
ask www.shop.example.org A
ask blog.example.org SOA
echo "(blog.example.org left the feed, and Ann's clean_url_zones removed it: no answer)"

step "Event log (newest last)"
zonaris_db_sql zonaris <<<"SELECT level, message, info_code, info FROM logs ORDER BY id" |
    column -t -s $'\t' | tail -25

step "Stopping"
"$BIN/zonefeed" --kill
"$BIN/zonebuild" --kill
zonaris_poll 60 test ! -e "$DEMO_D/run/zonefeedd.pid"
zonaris_poll 60 test ! -e "$DEMO_D/run/zonebuildd.pid"
echo "demo finished"
