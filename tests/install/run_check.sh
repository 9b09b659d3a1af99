#!/bin/sh
# ./scripts/run as a new user meets it on a machine without cloudflared whose
# repository cannot be reached (a closed local port stands for it): the
# install step says so in one line within seconds, and the station starts
# anyway, on this computer only. Started a second time while the first runs
# (each with a private sound server, on one session bus), it starts too.
#   run_check.sh BUILD-FOLDER
set -eu
build=$(cd "$1" && pwd)
cd "$(dirname "$0")/../.."
scratch=$(mktemp -d)
fail() { echo "run check: $*" >&2; cat "$scratch"/output.* >&2; exit 1; }
if command -v cloudflared >/dev/null; then fail "cloudflared is installed here: nothing to check"; fi
bus_pid=$(dbus-daemon --session --fork --print-pid=1 --address="unix:path=$scratch/bus")
runs=""
trap 'for run in $runs; do kill -TERM -$run 2>/dev/null || true; wait $run 2>/dev/null || true; done
      kill $bus_pid 2>/dev/null || true; rm -rf "$scratch"' EXIT

start() {
    env -u DISPLAY -u WAYLAND_DISPLAY LANTERN_BUILD_DIR="$build" LANTERN_CLOUDFLARED= \
        LANTERN_CLOUDFLARED_REPO=http://127.0.0.1:9 PULSE_SERVER=unix:/nonexistent/pulse \
        XDG_CONFIG_HOME="$scratch/config.$1" XDG_DATA_HOME="$scratch/data.$1" \
        DBUS_SESSION_BUS_ADDRESS="unix:path=$scratch/bus" \
        setsid scripts/run --headless >"$scratch/output.$1" 2>&1 &
    runs="$runs $!"
}
# Waits for the local address of run $1; the seconds until the install step said it failed.
started() {
    said=""
    for _ in $(seq 1200); do
        [ -z "$said" ] && grep -q "can't be reached" "$scratch/output.$1" && said=$(($(date +%s) - begun))
        grep -q "^listen locally: http://127.0.0.1:" "$scratch/output.$1" && return 0
        sleep 0.1
    done
    fail "run $1 did not start the station within two minutes"
}

begun=$(date +%s)
start 1
started 1
[ -n "$said" ] && [ "$said" -le 10 ] || fail "the install step did not say it failed within 10 s"
# What the install step says: every line but the station's own (curl's errors would show).
[ "$(grep -v -e '^To share a link' -e '^No sound server' -e '^Going on air' -e '^listen locally' \
      -e '^ninja' "$scratch/output.1" | grep -c .)" -eq 1 ] ||
    fail "the install step said more than one line"
start 2
started 2
echo "run script: install step failed in ${said} s with one line; started twice, local-only"
