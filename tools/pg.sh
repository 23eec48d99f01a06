#!/usr/bin/env bash
# A throwaway PostgreSQL cluster for tests: initdb in a temporary folder, a free
# port on 127.0.0.1, trust authentication for the local user "postgres", and a
# database "orvane".
#
#   tools/pg.sh run CMD [ARG...]   start a cluster, run CMD with
#                                  ORVANE_TEST_DATABASE_URL set to it, stop the
#                                  cluster whatever CMD did; exit with CMD's status
#   tools/pg.sh start [DIR]        start a cluster in DIR (a new temporary folder
#                                  by default) and print its URL; the cluster
#                                  runs until `tools/pg.sh stop DIR`
#   tools/pg.sh stop DIR           stop the cluster in DIR and remove DIR
#   tools/pg.sh check              exit 0 when a cluster can be made here, else
#                                  say on standard error what is missing
#
# PostgreSQL refuses to run as root, so under root the server runs as the system
# user "postgres" that Debian's package creates.  The binaries come from
# PG_BINDIR, else the newest /usr/lib/postgresql/*/bin, else PATH.
set -euo pipefail

die() { echo "pg.sh: $*" >&2; exit 1; }

bindir() {
    if [[ -n ${PG_BINDIR:-} ]]; then echo "$PG_BINDIR"; return; fi
    local d
    d=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)
    if [[ -n $d ]]; then echo "$d"; return; fi
    d=$(command -v initdb 2>/dev/null || true)
    [[ -n $d ]] || die "no PostgreSQL server found: install the packages of tools/apt-packages-pg.txt"
    dirname "$d"
}

# as_owner CMD...: run CMD as the cluster's owner.
as_owner() {
    if [[ $(id -u) == 0 ]]; then
        (cd / && runuser -u postgres -- "$@")
    else
        "$@"
    fi
}

port_in_use() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# start DIR: make and start a cluster in DIR, print its URL.
start() {
    local dir=$1 bin port tries
    bin=$(bindir)
    [[ -x $bin/initdb && -x $bin/pg_ctl ]] || die "no initdb or pg_ctl in $bin"
    if [[ $(id -u) == 0 ]]; then
        id postgres >/dev/null 2>&1 || die "running as root needs the system user postgres (Debian's postgresql package makes it)"
        chown postgres: "$dir"
    fi
    as_owner "$bin/initdb" -D "$dir/data" -U postgres -A trust -E UTF8 --locale=C >"$dir/initdb.log" 2>&1 \
        || die "initdb failed: $(tail -n 5 "$dir/initdb.log")"
    for tries in $(seq 1 20); do
        port=$((20000 + RANDOM % 40000))
        port_in_use "$port" && continue
        # Settings for a cluster that lives minutes: no durability, little memory.
        if as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 -s start -o \
            "-c listen_addresses=127.0.0.1 -c port=$port -c unix_socket_directories='$dir' \
             -c fsync=off -c synchronous_commit=off -c full_page_writes=off \
             -c shared_buffers=32MB -c max_connections=60" >/dev/null 2>&1; then
            as_owner "$bin/psql" -q -X -h 127.0.0.1 -p "$port" -U postgres -d postgres \
                -c "create database orvane" >/dev/null || die "could not create the database orvane"
            echo "$port" >"$dir/port"
            echo "postgresql://postgres@127.0.0.1:$port/orvane"
            return
        fi
        grep -q "could not bind\|already in use" "$dir/server.log" 2>/dev/null \
            || die "the server did not start: $(tail -n 5 "$dir/server.log" 2>/dev/null)"
    done
    die "no free port found on 127.0.0.1"
}

# check: the server programs, and under root the user that runs them.
check() {
    local bin
    bin=$(bindir) || exit 1
    [[ -x $bin/initdb && -x $bin/pg_ctl ]] || die "no initdb or pg_ctl in $bin"
    if [[ $(id -u) == 0 ]]; then
        id postgres >/dev/null 2>&1 || die "running as root needs the system user postgres (Debian's postgresql package makes it)"
    fi
}

stop() {
    local dir=$1
    [[ -d $dir ]] || return 0
    if [[ -f $dir/data/postmaster.pid ]]; then
        as_owner "$(bindir)/pg_ctl" -D "$dir/data" -m immediate -s -w stop >/dev/null 2>&1 || true
    fi
    rm -rf "$dir"
}

cmd=${1:-}
[[ -n $cmd ]] || die "usage: pg.sh run CMD... | start [DIR] | stop DIR | check"
shift
case $cmd in
run)
    [[ $# -gt 0 ]] || die "usage: pg.sh run CMD [ARG...]"
    dir=$(mktemp -d "${TMPDIR:-/tmp}/orvane-pg.XXXXXX")
    chmod 755 "$dir"
    trap 'stop "$dir"' EXIT
    trap 'exit 130' INT TERM
    url=$(start "$dir")
    echo "pg.sh: PostgreSQL running at $url" >&2
    status=0
    ORVANE_TEST_DATABASE_URL=$url "$@" || status=$?
    exit "$status"
    ;;
start)
    if [[ $# -gt 0 ]]; then
        [[ ! -e $1 || -z $(ls -A "$1" 2>/dev/null) ]] || die "$1 is not empty"
        mkdir -p "$1"
        dir=$(cd "$1" && pwd)
    else
        dir=$(mktemp -d "${TMPDIR:-/tmp}/orvane-pg.XXXXXX")
    fi
    chmod 755 "$dir"
    # A start that fails leaves nothing behind.
    trap 'stop "$dir"' EXIT
    start "$dir"
    trap - EXIT
    echo "pg.sh: stop it with: tools/pg.sh stop $dir" >&2
    ;;
stop)
    [[ $# -eq 1 ]] || die "usage: pg.sh stop DIR"
    [[ -f $1/data/PG_VERSION || ! -e $1 ]] || die "$1 holds no cluster made by pg.sh"
    stop "$1"
    ;;
check)
    check
    ;;
*)
    die "unknown command $cmd: use run, start, stop or check"
    ;;
esac
