# Shell pieces shared by the end-to-end bench scripts (run after demo_env.sh is sourced).
# Source this file; it only defines functions.
#
#   now                          the clock in seconds with nanoseconds
#   elapsed FROM TO              TO - FROM in seconds, three decimals
#   sql <SQL / sql_value SQL     run SQL in the zonaris database / print its one value
#   wait_until SECONDS COMMAND   run COMMAND every 10 ms until it succeeds; 1 on time-out

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
sql() { zonaris_db_sql zonaris; }
sql_value() { zonaris_db_sql zonaris <<<"$1" | tail -n +2; }
# The number of lines of file $1 matching the extended pattern $2 (0 without the file).
count_matching_lines() {
    local n
    n=$(grep -scE "$2" "$1") || true
    echo "${n:-0}"
}
wait_until() {
    local end=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$end" ] || return 1
        sleep 0.01
    done
}
