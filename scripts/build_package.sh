#!/usr/bin/env bash
# Builds the Debian package zonaris_<version>-<revision>_<arch>.deb from this tree and
# checks it: its contents (programs, units, conffiles, manual pages) and lintian.
#
#   bash scripts/build_package.sh [BUILD_DIR]
#
# BUILD_DIR (default build-deb) is configured for the package: install prefix /usr, units
# in /lib/systemd/system, configuration as conffiles in /etc/zonaris, Debian's hardening
# flags (dpkg-buildflags) when the directory is new. Passing an existing build directory
# (scripts/test.sh passes build/) reuses what it compiled. The package is written to
# BUILD_DIR; its path is printed last. Needs the packages of scripts/setup.sh.
# Environment: JOBS (default 2), ZONARIS_SKIP_LINTIAN=1 skips lintian.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
SRC=$(pwd)
BUILD=${1:-build-deb}
JOBS=${JOBS:-2}
case $BUILD in /*) ;; *) BUILD=$SRC/$BUILD ;; esac

configure_args=(-DZONARIS_DEB_PACKAGE=ON -DZONARIS_INSTALL_CONFIG=ON -DCMAKE_INSTALL_PREFIX=/usr
    -DZONARIS_SYSTEMD_UNIT_DIR=/lib/systemd/system
    -DZONARIS_TMPFILES_DIR=/usr/lib/tmpfiles.d)
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    # A new directory: a release build with Debian's hardening flags, programs only.
    export DEB_BUILD_MAINT_OPTIONS=hardening=+all
    configure_args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DZONARIS_TESTS=OFF
        "-DCMAKE_C_FLAGS=$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
        "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
        "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)")
fi
cmake -S "$SRC" -B "$BUILD" "${configure_args[@]}" >/dev/null
cmake --build "$BUILD" -j"$JOBS" --target zonebuildd zonefeedd poolwatchd zonebuild zonefeed \
    cfgwriter zoneview man_pages deb_changelog
rm -f "$BUILD"/zonaris_*.deb
(cd "$BUILD" && fakeroot cpack -G DEB >/dev/null)
DEB=$(ls "$BUILD"/zonaris_*.deb)

# The contents an operator relies on.
CONTENTS=$(dpkg-deb -c "$DEB" | awk '{print $6}' | sed 's|^\./|/|')
missing=0
for path in /usr/sbin/zonebuildd /usr/sbin/zonefeedd /usr/sbin/poolwatchd \
    /usr/sbin/zonebuild /usr/sbin/zonefeed /usr/sbin/cfgwriter /usr/bin/zoneview \
    /lib/systemd/system/zonebuildd.service /lib/systemd/system/zonefeedd.service \
    /lib/systemd/system/poolwatchd.service /usr/lib/tmpfiles.d/zonaris.conf \
    /etc/zonaris/zonaris.conf /etc/zonaris/zlog.conf /etc/logrotate.d/zonaris \
    /usr/share/man/man8/zonebuildd.8.gz /usr/share/man/man8/zonefeedd.8.gz \
    /usr/share/man/man8/poolwatchd.8.gz /usr/share/man/man8/zonebuild.8.gz \
    /usr/share/man/man8/zonefeed.8.gz /usr/share/man/man8/cfgwriter.8.gz \
    /usr/share/man/man1/zoneview.1.gz /usr/share/man/man5/zonaris.conf.5.gz \
    /usr/share/doc/zonaris/operator-guide.md /usr/share/doc/zonaris/copyright; do
    if ! grep -qx -- "$path" <<<"$CONTENTS"; then
        echo "build_package: $path is not in the package" >&2
        missing=1
    fi
done
CONFFILES=$(dpkg-deb --ctrl-tarfile "$DEB" | tar -xO ./conffiles)
for conf in /etc/zonaris/zonaris.conf /etc/zonaris/zlog.conf /etc/logrotate.d/zonaris; do
    grep -qx -- "$conf" <<<"$CONFFILES" || { echo "build_package: $conf is no conffile" >&2; missing=1; }
done
dpkg-deb -f "$DEB" Depends | grep -q 'bind9-libs (= ' ||
    { echo "build_package: no exact bind9-libs dependency" >&2; missing=1; }
[ $missing -eq 0 ] || exit 1

if [ "${ZONARIS_SKIP_LINTIAN:-0}" != 1 ]; then
    # Errors and warnings fail the build; packaging/debian/lintian-overrides justifies each
    # tag it silences.
    lintian --fail-on error,warning --suppress-tags-from-file /dev/null "$DEB"
fi
echo "$DEB"
