#!/bin/sh
# log_line.sh EMULATOR SERVER REQUEST
# Starts the device build of the server (through EMULATOR, when not empty)
# on a root of its own, sends it one request with REQUEST and checks that
# the dispatcher's "[start]" line came out of liblog, which Debian's build
# writes to standard error.
set -eu
emulator=$1 server=$2 client=$3
root=$(mktemp -d /tmp/kal-device-log-XXXXXX)
pid=
trap '[ -n "$pid" ] && kill -9 "$pid" 2>/dev/null; rm -rf "$root"' EXIT
mkdir -p "$root/tmp"
# shellcheck disable=SC2086 # the emulator may be a command with arguments
KAL_ROOT=$root $emulator "$server" >"$root/out" 2>"$root/err" &
pid=$!
sock=$root/tmp/vy_kal_server.sock
i=0
while [ ! -S "$sock" ] && [ $i -lt 600 ]; do
    kill -0 "$pid" 2>/dev/null || { echo "log_line: the server ended: $(tail -n 3 "$root/out" "$root/err")" >&2; exit 1; }
    sleep 0.1
    i=$((i + 1))
done
[ -S "$sock" ] || { echo "log_line: no socket at $sock after 60 s" >&2; exit 1; }
# shellcheck disable=SC2086
reply=$(KAL_ROOT=$root $emulator "$client" -t 30 '{"module":"time","action":0}') \
    || { echo "log_line: no reply from the device build: $reply" >&2; exit 1; }
i=0
while ! grep -q 'KAL_SERVER.*\[end\] module:time, action:0' "$root/err" && [ $i -lt 100 ]; do
    sleep 0.1
    i=$((i + 1))
done
if ! grep -q 'KAL_SERVER.*\[start\] module:time, action:0' "$root/err"; then
    echo "log_line: no [start] line from liblog on the server's standard error; it wrote:" >&2
    cat "$root/err" >&2
    exit 1
fi
echo "log_line: reply $(echo "$reply" | tr -d '\n\t'); liblog wrote: $(grep -m1 'KAL_SERVER' "$root/err")"
