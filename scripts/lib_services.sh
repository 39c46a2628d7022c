# Shell pieces shared by scripts/test.sh and scripts/demo.sh: private MariaDB and named
# instances on 127.0.0.1 in a directory of our own, started detached (setsid, stdin from
# /dev/null, output to a log file) so that they never hold a caller's pipe, and stopped by
# pid. Source this file; it only defines functions.
#
#   zonaris_db_start DIR        start MariaDB with its data in DIR; sets and exports
#                               ZONARIS_DB_PID, _PORT, _HOST, _USER, _PASSWORD, _SOCKET, _DIR
#   zonaris_db_sql [DB] <SQL    run SQL text as that user (DB selected when given)
#   zonaris_db_create DB        create DB and load every schema/*.sql file in name order
#   zonaris_db_stop             stop it (SIGTERM, then SIGKILL after 60 s)
#   zonaris_named_start DIR ACL_FILE INCLUDE_FILE WORKDIR
#                               start named with its files in DIR, including ACL_FILE and
#                               INCLUDE_FILE (created when missing), working directory
#                               WORKDIR; sets and exports ZONARIS_NAMED_PID, _PORT, _CTL_PORT
#                               and ZONARIS_RNDC_BIN_D (an rndc wrapper for RNDC_BIN_D)
#   zonaris_named_stop
#   zonaris_free_port           print a TCP port of 127.0.0.1 that was free a moment ago
#   zonaris_stop_pid PID [SECS] SIGTERM, wait, then SIGKILL

ZONARIS_SRC_D=${ZONARIS_SRC_D:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}

zonaris_free_port() {
    /usr/bin/python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}

# zonaris_poll SECONDS COMMAND...: runs COMMAND every 0.05 s until it succeeds; fails when
# SECONDS have passed.
zonaris_poll() {
    local limit=$1
    shift
    local end=$((SECONDS + limit))
    until "$@" >/dev/null 2>&1; do
        [ "$SECONDS" -lt "$end" ] || return 1
        sleep 0.05
    done
}

zonaris_pid_gone() {
    kill -0 "$1" 2>/dev/null || return 0
    # A zombie that nobody reaps counts as gone.
    [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" = Z ]
}

zonaris_stop_pid() {
    local pid=$1 limit=${2:-30}
    [ -n "$pid" ] || return 0
    kill -TERM "$pid" 2>/dev/null || return 0
    if ! zonaris_poll "$limit" zonaris_pid_gone "$pid"; then
        kill -KILL "$pid" 2>/dev/null
        zonaris_poll 10 zonaris_pid_gone "$pid"
    fi
    return 0
}

zonaris_db_write_config() {
    local dir=$1
    {
        echo "[mariadbd]"
        echo "user=root"
        echo "datadir=$dir/data"
        echo "socket=$dir/mysqld.sock"
        echo "pid-file=$dir/mysqld.pid"
        echo "log-error=$dir/mysqld.err"
        echo "tmpdir=$dir"
        echo "bind-address=127.0.0.1"
        echo "port=$ZONARIS_DB_PORT"
        echo "skip-name-resolve"
        echo "skip-log-bin"
        echo "innodb-flush-log-at-trx-commit=0"
        echo "innodb-doublewrite=0"
        echo "innodb-buffer-pool-size=128M"
        echo "innodb-log-file-size=32M"
        echo "max-connections=500"
    } >"$dir/my.cnf"
}

zonaris_db_ping_root() {
    kill -0 "$ZONARIS_DB_PID" &&
        mariadb-admin --no-defaults --protocol=socket --socket="$ZONARIS_DB_SOCKET" -uroot ping
}

zonaris_db_start() {
    local dir=$1 attempt
    [ -n "$dir" ] || { echo "zonaris_db_start: no directory given" >&2; return 1; }
    mkdir -p "$dir" || return 1
    dir=$(cd "$dir" && pwd) || return 1
    ZONARIS_DB_DIR=$dir
    ZONARIS_DB_SOCKET=$dir/mysqld.sock
    ZONARIS_DB_HOST=127.0.0.1
    ZONARIS_DB_PID=
    for attempt in 1 2 3; do
        ZONARIS_DB_PORT=$(zonaris_free_port) || return 1
        zonaris_db_write_config "$dir" || return 1
        if [ ! -d "$dir/data/mysql" ]; then
            if ! mariadb-install-db --defaults-file="$dir/my.cnf" \
                --auth-root-authentication-method=normal --skip-test-db --skip-name-resolve \
                --user=root --datadir="$dir/data" </dev/null >"$dir/install.log" 2>&1; then
                echo "mariadb-install-db failed:" >&2
                tail -20 "$dir/install.log" >&2
                return 1
            fi
        fi
        setsid mariadbd --defaults-file="$dir/my.cnf" </dev/null >"$dir/mariadbd.out" 2>&1 &
        ZONARIS_DB_PID=$!
        zonaris_poll 120 zonaris_db_ping_root && break
        # A port taken in the meantime makes the server exit: try another one.
        zonaris_stop_pid "$ZONARIS_DB_PID" 10
        ZONARIS_DB_PID=
        if [ "$attempt" -eq 3 ]; then
            echo "the private MariaDB did not start:" >&2
            tail -20 "$dir/mysqld.err" >&2
            return 1
        fi
    done
    ZONARIS_DB_USER=zonaris_test
    ZONARIS_DB_PASSWORD=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
    printf "%s\n" \
        "CREATE USER '$ZONARIS_DB_USER'@'127.0.0.1' IDENTIFIED BY '$ZONARIS_DB_PASSWORD';" \
        "GRANT ALL PRIVILEGES ON *.* TO '$ZONARIS_DB_USER'@'127.0.0.1' WITH GRANT OPTION;" |
        mariadb --no-defaults --protocol=socket --socket="$ZONARIS_DB_SOCKET" -uroot || return 1
    export ZONARIS_DB_DIR ZONARIS_DB_PID ZONARIS_DB_PORT ZONARIS_DB_HOST ZONARIS_DB_USER \
        ZONARIS_DB_PASSWORD ZONARIS_DB_SOCKET
}

zonaris_db_sql() {
    mariadb --no-defaults --protocol=tcp -h "$ZONARIS_DB_HOST" -P "$ZONARIS_DB_PORT" \
        -u "$ZONARIS_DB_USER" -p"$ZONARIS_DB_PASSWORD" ${1:+"$1"}
}

zonaris_db_create() {
    local db=$1 f
    {
        echo "CREATE DATABASE \`$db\` CHARACTER SET utf8mb4;"
        echo "USE \`$db\`;"
        for f in "$ZONARIS_SRC_D"/schema/*.sql; do
            cat "$f"
            echo
        done
    } | zonaris_db_sql
}

zonaris_db_stop() {
    if [ -n "${ZONARIS_DB_PID:-}" ]; then
        zonaris_stop_pid "$ZONARIS_DB_PID" 60
        ZONARIS_DB_PID=
    fi
}

zonaris_named_write_config() {
    local dir=$1 acl=$2 include=$3 workdir=$4
    {
        echo "include \"$dir/rndc.key\";"
        echo "options {"
        echo "    directory \"$workdir\";"
        echo "    pid-file \"$dir/named.pid\";"
        echo "    lock-file \"$dir/named.lock\";"
        echo "    session-keyfile \"$dir/session.key\";"
        echo "    managed-keys-directory \"$dir\";"
        echo "    listen-on port $ZONARIS_NAMED_PORT { 127.0.0.1; };"
        echo "    listen-on-v6 { none; };"
        echo "    recursion no;"
        echo "    dnssec-validation no;"
        # NOTIFY only to servers named with also-notify: nothing leaves the loopback.
        echo "    notify explicit;"
        echo "    notify-delay 0;"
        echo "};"
        echo "controls {"
        echo "    inet 127.0.0.1 port $ZONARIS_NAMED_CTL_PORT allow { 127.0.0.1; } keys { zonaris-rndc; };"
        echo "};"
        echo "logging {"
        echo "    channel main { file \"$dir/named.log\"; severity info; print-time yes;"
        echo "                   print-category yes; print-severity yes; };"
        echo "    category default { main; };"
        echo "    category lame-servers { null; };"
        echo "};"
        echo "include \"$acl\";"
        echo "include \"$include\";"
    } >"$dir/named.conf"
    {
        echo "include \"$dir/rndc.key\";"
        echo "options {"
        echo "    default-key zonaris-rndc;"
        echo "    default-server 127.0.0.1;"
        echo "    default-port $ZONARIS_NAMED_CTL_PORT;"
        echo "};"
    } >"$dir/rndc.conf"
    printf '#!/bin/sh\nexec /usr/sbin/rndc -c %s "$@"\n' "'$dir/rndc.conf'" >"$dir/rndc-bin/rndc"
    chmod 755 "$dir/rndc-bin/rndc"
}

zonaris_named_ready() {
    kill -0 "$ZONARIS_NAMED_PID" && "$ZONARIS_RNDC_BIN_D/rndc" status
}

zonaris_named_start() {
    local dir=$1 acl=$2 include=$3 workdir=$4 attempt
    if [ -z "$dir" ] || [ -z "$acl" ] || [ -z "$include" ] || [ -z "$workdir" ]; then
        echo "usage: zonaris_named_start DIR ACL_FILE INCLUDE_FILE WORKDIR" >&2
        return 1
    fi
    mkdir -p "$dir/rndc-bin" "$workdir" "$(dirname "$acl")" "$(dirname "$include")" || return 1
    dir=$(cd "$dir" && pwd) || return 1
    [ -f "$acl" ] || printf 'acl common-allow-transfer {\n};\n' >"$acl"
    [ -f "$include" ] || : >"$include"
    if [ ! -f "$dir/rndc.key" ]; then
        tsig-keygen -a hmac-sha256 zonaris-rndc >"$dir/rndc.key" || return 1
        chmod 600 "$dir/rndc.key"
    fi
    ZONARIS_RNDC_BIN_D=$dir/rndc-bin
    ZONARIS_NAMED_PID=
    for attempt in 1 2 3; do
        ZONARIS_NAMED_PORT=$(zonaris_free_port) || return 1
        ZONARIS_NAMED_CTL_PORT=$(zonaris_free_port) || return 1
        zonaris_named_write_config "$dir" "$acl" "$include" "$workdir" || return 1
        setsid named -c "$dir/named.conf" -f </dev/null >"$dir/named.out" 2>&1 &
        ZONARIS_NAMED_PID=$!
        if zonaris_poll 60 zonaris_named_ready; then
            export ZONARIS_NAMED_PID ZONARIS_NAMED_PORT ZONARIS_NAMED_CTL_PORT ZONARIS_RNDC_BIN_D
            return 0
        fi
        zonaris_stop_pid "$ZONARIS_NAMED_PID" 10
        ZONARIS_NAMED_PID=
    done
    echo "the private named did not start:" >&2
    tail -20 "$dir/named.log" "$dir/named.out" >&2
    return 1
}

zonaris_named_stop() {
    if [ -n "${ZONARIS_NAMED_PID:-}" ]; then
        zonaris_stop_pid "$ZONARIS_NAMED_PID" 30
        ZONARIS_NAMED_PID=
    fi
}
