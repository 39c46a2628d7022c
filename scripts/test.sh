#!/usr/bin/env bash
# The test command: installs what is missing, builds, runs every test (unit and integration)
# against one private MariaDB started for the run, runs the unit tests and the daemons'
# integration tests (label "daemon", the daemons themselves built with the sanitizers) again
# in a sanitizer build, and checks the formatting of our sources. Exits non-zero when
# anything failed.
# Works as root on a fresh clone, without a terminal or standard input.
#
# Environment: JOBS (default 2) parallel compile and test jobs.
set -uo pipefail
exec </dev/null

cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1
SRC=$(pwd)
JOBS=${JOBS:-2}
export ZONARIS_SRC_D=$SRC
# shellcheck source=scripts/lib_services.sh
source "$SRC/scripts/lib_services.sh"

declare -a RESULTS=()
STATUS=0
step_result() { # name, exit status
    if [ "$2" -eq 0 ]; then
        RESULTS+=("ok      $1")
    else
        RESULTS+=("FAILED  $1")
        STATUS=1
    fi
}
step() { echo; echo "==> $* (at ${SECONDS}s)"; }

# Temporary files of the services and the tests: memory-backed when there is room.
TMP_BASE=/tmp
if [ -d /dev/shm ] && [ -w /dev/shm ] &&
    [ "$(df -Pk /dev/shm 2>/dev/null | awk 'NR==2 {print $4}')" -gt 1048576 ] 2>/dev/null; then
    TMP_BASE=/dev/shm
fi
RUN_DIR=$(mktemp -d "$TMP_BASE/zonaris-test.XXXXXX") || exit 1
# Test scripts of the pool monitor run under an unprivileged account: it must be able to pass
# through the run directory to reach them (not to list it).
chmod 0711 "$RUN_DIR"

cleanup() {
    zonaris_db_stop
    rm -rf "$RUN_DIR"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

step "setup"
bash "$SRC/scripts/setup.sh"
rc=$?
step_result "setup (Debian packages)" $rc
[ $rc -eq 0 ] || exit 1

step "configure and build (build/)"
# Keep going past a target that fails to build, so that everything else is still tested.
cmake -S "$SRC" -B "$SRC/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
CONFIGURE=$?
BUILD=1
if [ $CONFIGURE -eq 0 ]; then
    cmake --build "$SRC/build" -j"$JOBS" -- -k
    BUILD=$?
fi
step_result "build" $BUILD

if [ $CONFIGURE -eq 0 ]; then
    step "private MariaDB for the run"
    if zonaris_db_start "$RUN_DIR/db"; then
        echo "MariaDB pid $ZONARIS_DB_PID on 127.0.0.1:$ZONARIS_DB_PORT"
        step "tests (unit and integration)"
        (
            export TMPDIR=$RUN_DIR
            export ZONARIS_TEST_DB_HOST=$ZONARIS_DB_HOST
            export ZONARIS_TEST_DB_PORT=$ZONARIS_DB_PORT
            export ZONARIS_TEST_DB_USER=$ZONARIS_DB_USER
            export ZONARIS_TEST_DB_PASSWORD=$ZONARIS_DB_PASSWORD
            ctest --test-dir "$SRC/build" --output-on-failure -j"$JOBS" --timeout 600
        )
        step_result "tests" $?
    else
        step_result "private MariaDB" 1
    fi
    zonaris_db_stop
fi

if [ $BUILD -eq 0 ]; then
    step "Debian package (from build/): contents and lintian"
    bash "$SRC/scripts/build_package.sh" "$SRC/build"
    step_result "Debian package" $?
fi

step "sanitizer build (build-asan/): unit tests and the daemons' integration tests"
# The sanitizers check every access at any optimisation level; -Og with line tables only
# (-g1, enough for the reports' file:line) compiles several times faster than -O2 -g with
# the instrumentation, which keeps this second build within the run's time budget.
ASAN_FLAGS="-Og -g1 -DNDEBUG"
if cmake -S "$SRC" -B "$SRC/build-asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZONARIS_SANITIZE=ON \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$ASAN_FLAGS" -DCMAKE_C_FLAGS_RELWITHDEBINFO="$ASAN_FLAGS"; then
    # Only what is run here is built: the unit test programs, the daemons' integration test
    # programs and the programs those start.
    mapfile -t ASAN_TARGETS < <(cmake --build "$SRC/build-asan" --target help |
        awk '$2 ~ /^(unit_|it_(zonebuildd|zonefeedd|poolwatchd)_)/ ||
             $2 ~ /^(zonebuildd|zonefeedd|poolwatchd|zonebuild|zonefeed)$/ {print $2}')
    if [ ${#ASAN_TARGETS[@]} -gt 0 ]; then
        cmake --build "$SRC/build-asan" -j"$JOBS" --target "${ASAN_TARGETS[@]}" -- -k
    else
        cmake --build "$SRC/build-asan" -j"$JOBS" -- -k
    fi
    ASAN_BUILD=$?
    ASAN_CONFIGURE=0
else
    ASAN_BUILD=1
    ASAN_CONFIGURE=1
fi
step_result "sanitizer build" $ASAN_BUILD
if [ $ASAN_CONFIGURE -eq 0 ]; then
    step "sanitizer tests: unit and the daemons' integration tests"
    # One run, so that the two sets share the jobs; a report of either sanitizer fails the
    # test, a leak included (a daemon's exit status then changes).
    if zonaris_db_start "$RUN_DIR/db-asan"; then
        (
            export TMPDIR=$RUN_DIR
            export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
            export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
            export ZONARIS_TEST_DB_HOST=$ZONARIS_DB_HOST
            export ZONARIS_TEST_DB_PORT=$ZONARIS_DB_PORT
            export ZONARIS_TEST_DB_USER=$ZONARIS_DB_USER
            export ZONARIS_TEST_DB_PASSWORD=$ZONARIS_DB_PASSWORD
            ctest --test-dir "$SRC/build-asan" -L '^unit$|daemon' --output-on-failure \
                -j"$JOBS" --timeout 600
        )
        step_result "sanitizer tests (unit, daemon integration)" $?
    else
        step_result "private MariaDB (sanitizer run)" 1
    fi
    zonaris_db_stop
fi

step "formatting (clang-format)"
git -C "$SRC" ls-files -z '*.cpp' '*.h' '*.c' |
    (cd "$SRC" && xargs -0 -r clang-format --dry-run -Werror)
step_result "formatting" $?

echo
echo "==> summary"
printf '  %s\n' "${RESULTS[@]}"
exit $STATUS
