#!/bin/sh
# ./scripts/run as a new user meets it on a machine without cloudflared whose
# repository cannot be reached (a closed local port stands for it): the
# install step says so in one line within seconds, and the station starts
# anyway, on this computer only.
#   run_check.sh BUILD-FOLDER
set -eu
build=$(cd "$1" && pwd)
cd "$(dirname "$0")/../.."
scratch=$(mktemp -d)
output=$scratch/output
fail() { echo "run check: $*" >&2; cat "$output" >&2; exit 1; }
if command -v cloudflared >/dev/null; then fail "cloudflared is installed here: nothing to check"; fi

started=$(date +%s)
env -u DISPLAY -u WAYLAND_DISPLAY LANTERN_BUILD_DIR="$build" LANTERN_CLOUDFLARED= \
    LANTERN_CLOUDFLARED_REPO=http://127.0.0.1:9 PULSE_SERVER=unix:/nonexistent/pulse \
    XDG_CONFIG_HOME="$scratch/config" XDG_DATA_HOME="$scratch/data" \
    DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bus \
    setsid scripts/run --headless >"$output" 2>&1 &
run=$!
trap 'kill -TERM -$run 2>/dev/null || true; wait $run 2>/dev/null || true; rm -rf "$scratch"' EXIT
said=""
for _ in $(seq 600); do
    [ -z "$said" ] && grep -q "can't be reached" "$output" && said=$(($(date +%s) - started))
    grep -q "^listen locally: http://127.0.0.1:" "$output" && break
    kill -0 $run 2>/dev/null || fail "the run script ended"
    sleep 0.1
done
grep -q "^listen locally: " "$output" || fail "the station did not start within a minute"
[ -n "$said" ] && [ "$said" -le 10 ] || fail "the install step did not say it failed within 10 s"
[ "$(grep -c "can't be reached" "$output")" -eq 1 ] && ! grep -q "^Installing cloudflared" "$output" ||
    fail "the install step said more than one line"
echo "run script: install step failed in ${said} s with one line; the station started local-only"
