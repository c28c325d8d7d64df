#!/usr/bin/env bash
# Two COM ports joined like a null-modem cable, for the serial tests under
# Wine: a socat pair of pseudo-terminals whose links are COM<a> and COM<b>
# in the Wine prefix's dosdevices/ (Wine opens \\.\COMn through them).
#
#   wine-com-pair.sh start A B   starts the pair (the prefix is made first)
#   wine-com-pair.sh stop A B    ends it and removes the links
#
# ctest runs these as a FIXTURES_SETUP / FIXTURES_CLEANUP pair. socat keeps
# both ends open between tests, so what one test leaves in the pair reaches
# the next: the tests flush the ports when they open them.
set -euo pipefail

action=${1:?start or stop}
a=${2:?first COM number}
b=${3:?second COM number}
here=$(dirname "$0")
prefix=$("$here/wine-run.sh" --prefix)
devices=$prefix/dosdevices
pidfile=$prefix/.tavrin-com$a-com$b.pid

stop() {
    if [ -s "$pidfile" ]; then
        kill "$(cat "$pidfile")" 2>/dev/null || true
        rm -f "$pidfile"
    fi
    rm -f "$devices/com$a" "$devices/com$b"
}

case $action in
stop)
    stop
    ;;
start)
    command -v socat >/dev/null || { echo "socat is not installed (.ci/deps)" >&2; exit 1; }
    [ -d "$devices" ] || { echo "no dosdevices in $prefix" >&2; exit 1; }
    stop   # a pair left by an earlier run that never cleaned up
    setsid socat pty,raw,echo=0,link="$devices/com$a" pty,raw,echo=0,link="$devices/com$b" \
        </dev/null >/dev/null 2>"$prefix/.tavrin-com$a-com$b.log" &
    echo $! >"$pidfile"
    # socat makes the links once both terminals exist: at most 5 s.
    for _ in $(seq 100); do
        if [ -L "$devices/com$a" ] && [ -L "$devices/com$b" ]; then
            echo "COM$a -> $(readlink "$devices/com$a"), COM$b -> $(readlink "$devices/com$b")"
            exit 0
        fi
        kill -0 "$(cat "$pidfile")" 2>/dev/null || break
        sleep 0.05
    done
    echo "socat made no COM$a/COM$b links:" >&2
    cat "$prefix/.tavrin-com$a-com$b.log" >&2 || true
    stop
    exit 1
    ;;
*)
    echo "usage: $0 start|stop A B" >&2
    exit 2
    ;;
esac
