#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the demo need.
# Idempotent and non-interactive; does nothing slow when all is already there.
set -euo pipefail
PKGS=(g++ cmake make pkg-config clang-format
      libpopt-dev libmariadb-dev libcurl4-openssl-dev libssl-dev libpcre2-dev bind9-dev
      libgtest-dev libgmock-dev libbenchmark-dev
      mariadb-server mariadb-client bind9 bind9-utils dnsutils python3 openssl procps
      scdoc dpkg-dev fakeroot lintian)
missing=()
for p in "${PKGS[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
echo "setup: all packages present"
