#!/usr/bin/env bash
# Runs a Windows program under Wine for ctest and gtest_discover_tests
# (CMAKE_CROSSCOMPILING_EMULATOR): wine-run.sh PROGRAM.exe ARGS...
#
# Every run shares one Wine prefix of its own (never ~/.wine) and one
# persistent wineserver, started by the first run: a fresh prefix takes
# seconds to create and a server start costs more than the test itself.
# Before any test the first run also starts `explorer.exe /desktop` with its
# output on /dev/null. Otherwise the first program that creates a window
# starts it, the desktop inherits that program's stderr and keeps it open
# until every Wine process has ended, and ctest, which reads the test's
# output to the end, waits 40-60 s for a test that has long finished.
#
#   TAVRIN_WINEPREFIX    the prefix (default: a folder in $TMPDIR per user)
#   wine-run.sh --display PROGRAM.exe ARGS...
#                        runs it where real windows are drawn: in a second
#                        prefix (PREFIX-display) whose desktop is on an Xvfb
#                        of its own, started once like the server. A desktop
#                        keeps the display driver it started with, so the
#                        windowless prefix above (no X needed) stays as it is.
#   wine-run.sh --stop   ends the servers and Xvfb, removes the prefixes.
#   wine-run.sh --prefix makes the prefix ready as a run would (server,
#                        desktop) and prints its path, for scripts that put
#                        things in it (COM ports in dosdevices/).
set -euo pipefail

prefix=${TAVRIN_WINEPREFIX:-${TMPDIR:-/tmp}/tavrin-wine-$(id -u)}
export WINEDEBUG=-all DISPLAY= WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
[ -x "$wine" ] || wine=wine
[ -x "$wineserver" ] || wineserver=wineserver
alive() { [ -s "$1" ] && kill -0 "$(cat "$1")" 2>/dev/null; }

if [ "${1-}" = --stop ]; then
    for p in "$prefix" "$prefix-display"; do
        [ -d "$p" ] && WINEPREFIX=$p "$wineserver" -k >/dev/null 2>&1 || true
        if alive "$p.xvfb.pid"; then kill "$(cat "$p.xvfb.pid")" 2>/dev/null || true; fi
        rm -rf "$p" "$p.lock" "$p.xvfb.pid" "$p.xvfb.display"
    done
    exit 0
fi

display=false
if [ "${1-}" = --display ]; then
    display=true
    prefix=$prefix-display
    shift
fi
export WINEPREFIX=$prefix

mkdir -p "$prefix"
# One starter at a time: ctest -j2 runs two of us at once.
exec 9>"$prefix.lock"
flock 9
if $display; then
    # Xvfb picks a free display number and writes it to fd 3 once it
    # accepts clients; kept in a file for the runs that follow.
    if ! alive "$prefix.xvfb.pid"; then
        rm -f "$prefix.xvfb.display"
        setsid Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp \
            3>"$prefix.xvfb.display" </dev/null >/dev/null 2>&1 9>&- &
        echo $! >"$prefix.xvfb.pid"
        for _ in $(seq 100); do
            [ -s "$prefix.xvfb.display" ] && break
            kill -0 "$(cat "$prefix.xvfb.pid")" 2>/dev/null || break
            sleep 0.1
        done
        [ -s "$prefix.xvfb.display" ] || { echo "wine-run.sh: Xvfb did not start" >&2; exit 1; }
    fi
    export DISPLAY=:$(head -n1 "$prefix.xvfb.display")
fi
server_pid=$prefix/.tavrin-wineserver.pid
desktop_pid=$prefix/.tavrin-desktop.pid
# The helpers must not inherit the lock (fd 9): they outlive this run.
if ! alive "$server_pid"; then
    setsid "$wineserver" -f -p </dev/null >/dev/null 2>&1 9>&- &
    echo $! >"$server_pid"
    "$wine" wineboot.exe --init </dev/null >/dev/null 2>&1 9>&- || true
fi
# The desktop ends when the processes using it have ended, so it is checked
# on every run, not only when the server starts.
if ! alive "$desktop_pid"; then
    setsid "$wine" explorer.exe /desktop </dev/null >/dev/null 2>&1 9>&- &
    echo $! >"$desktop_pid"
fi
exec 9>&-

if [ "${1-}" = --prefix ]; then
    echo "$prefix"
    exit 0
fi
exec "$wine" "$@"
