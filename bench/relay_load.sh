#!/bin/bash
# The station's cost while an Icecast server it relays to carries a crowd:
# lantern-fm --headless relays to a private icecast2 on 127.0.0.1, and its CPU
# is measured for WINDOW seconds with no one at the server, then while
# LISTENERS listeners from ../shared/loadgen play the mount. Prints both, in
# percent of one core, per run; quote the medians of RUNS runs.
#
#   bench/relay_load.sh BUILD_DIR        (LISTENERS=3000 WINDOW=20 RUNS=3)
set -euo pipefail
build=$(realpath "${1:-build}")
listeners=${LISTENERS:-3000} window=${WINDOW:-20} runs=${RUNS:-3}
root=$(cd "$(dirname "$0")/.." && pwd)
loadgen_src=$root/../shared/loadgen/loadgen.c
work=$(mktemp -d)
chmod 777 "$work"
pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT
cc -O2 -o "$work/loadgen" "$loadgen_src"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
owner=""
[ "$(id -u)" = 0 ] && owner="<changeowner><user>nobody</user><group>nogroup</group></changeowner>"
cat > "$work/icecast.xml" <<XML
<icecast><limits><clients>$((listeners + 100))</clients><sources>2</sources>
<burst-size>65535</burst-size></limits>
<authentication><source-password>hackme</source-password><admin-user>admin</admin-user>
<admin-password>hackme</admin-password></authentication><hostname>127.0.0.1</hostname>
<listen-socket><port>$port</port><bind-address>127.0.0.1</bind-address></listen-socket>
<paths><basedir>/usr/share/icecast2</basedir><logdir>$work</logdir>
<webroot>/usr/share/icecast2/web</webroot><adminroot>/usr/share/icecast2/admin</adminroot></paths>
<logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog><loglevel>1</loglevel></logging>
<security><chroot>0</chroot>$owner</security></icecast>
XML
chmod 644 "$work/icecast.xml"
(ulimit -n 20000; exec icecast2 -c "$work/icecast.xml") & pids+=($!)
icecast=$!
sleep 1

mkdir -p "$work/data/lantern-fm"
printf hackme > "$work/data/lantern-fm/relay.password" # the keychain's file, without a keyring
XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data LANTERN_CLOUDFLARED=/nonexistent \
    "$build/app/lantern-fm" --headless --stationName=Bench \
    "--relayURL=icecast://127.0.0.1:$port/live" > "$work/station.log" 2>&1 &
station=$!
pids+=($station)
for _ in $(seq 50); do
    curl -fs "http://127.0.0.1:$port/status-json.xsl" | grep -q '"listenurl"' && break
    sleep 0.2
done

ticks() { awk '{print $14 + $15}' "/proc/$station/stat"; }
cpu() { # percent of one core over `window` seconds
    local before after
    before=$(ticks); sleep "$window"; after=$(ticks)
    echo "scale=2; ($after - $before) * 100 / ($(getconf CLK_TCK) * $window)" | bc
}
for run in $(seq "$runs"); do
    idle=$(cpu)
    "$work/loadgen" -p "$port" -u /live -n "$listeners" -r 1000 -w 4 -d "$window" -A \
        -P "$icecast" -q > "$work/loadgen.out" 2>&1 &
    load=$!
    sleep $((listeners / 1000 + 4))
    loaded=$(cpu)
    wait "$load" || true
    echo "run $run: station ${idle}% of a core idle, ${loaded}% with $listeners at the server; loadgen: $(tail -1 "$work/loadgen.out")"
done
