#!/bin/bash
# Feed reading against BIND's own text loading, in one run on one core.
#   scripts/bench_feed_parse.sh BUILD_DIR
# BUILD_DIR is a build configured with -DZONARIS_BENCH=ON (feed_parse_bench built). Runs the
# Google Benchmark of the feed reader, then loads a zone file with the same 200,000 records of
# the same types with named-checkzone (its CPU time, from /usr/bin/time) as the baseline.
set -euo pipefail
build=${1:?build directory}
work=$(mktemp -d "${TMPDIR:-/tmp}/feedbench.XXXXXX")
trap 'rm -rf "$work"' EXIT

uptime
taskset -c 0 "$build/bin/feed_parse_bench" --benchmark_repetitions=3 \
    --benchmark_report_aggregates_only=true

# One zone, 10,000 sub-zones' worth of records under their own names: 20 records each, the mix
# of the realistic feed (NS, A, AAAA, CNAME, MX, TXT, SRV, NAPTR).
/usr/bin/python3 - "$work/bench.zone" <<'PY'
import sys
out = open(sys.argv[1], "w")
out.write("$TTL 3600\n@ IN SOA ns1.provider.test. hostmaster.example.test. 1 3600 600 86400 300\n")
out.write("@ IN NS ns1.provider.test.\n")
for z in range(10000):
    o = f"zone{z}"
    out.write(f"{o} IN NS ns1.provider.test.\n{o} IN NS ns2.provider.test.\n")
    out.write(f"{o} IN A 192.0.2.{z % 250 + 1}\n")
    for i in range(6):
        out.write(f"host{i}.{o} IN A 198.51.100.{i + 1}\n")
    out.write(f"www.{o} IN AAAA 2001:db8:0:{z % 9999}::1\nmail.{o} IN AAAA 2001:db8::25\n")
    out.write(f"www2.{o} IN CNAME www.{o}\nftp.{o} IN CNAME host1.{o}\n")
    out.write(f"{o} IN MX 10 mail.{o}\n{o} IN MX 20 mx2.provider.test.\n")
    out.write(f'{o} IN TXT "v=spf1 mx a:mail.{z}.example.test -all"\n')
    out.write(f'_dmarc.{o} IN TXT "v=DMARC1; p=quarantine; rua=mailto:dmarc@example.test"\n')
    out.write(f"_sip._tcp.{o} IN SRV 10 5 5060 sip.{o}\n_sip._udp.{o} IN SRV 10 5 5060 sip.{o}\n")
    out.write(f'{o} IN NAPTR 100 10 "U" "E2U+sip" "!^.*$!sip:info@{o}.example.test!i" .\n')
PY
echo "named-checkzone over 200,000 records (CPU seconds, 3 runs):"
for run in 1 2 3; do
    /usr/bin/time -f "%U user %S sys" taskset -c 0 named-checkzone -i none -k ignore \
        -n ignore example.test "$work/bench.zone" >/dev/null
done
