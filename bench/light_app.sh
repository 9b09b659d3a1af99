#!/bin/bash
# What Lantern FM costs a laptop that runs it all day: lantern-fm in a real
# tray (xfce4-panel under openbox on Xvfb) with a private PulseAudio playing a
# tone, all threads counted, 20-second windows.
#
#   [PLAYER=tone] bench/light_app.sh [BUILD_DIR] [RUNS]
#
# Prints, per run: resident memory off air before the panel was ever opened,
# the panel's open-to-first-frame time (first and reopened), resident memory
# once the panel has been closed a while, CPU and context switches per second
# off air and on air with no listener; then the medians.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
runs=${2:-3}
app="$build/app/lantern-fm"
window=20
release=40 # the panel keeps its scene 30 s after closing

work=$(mktemp -d /tmp/lantern-light-XXXXXX)
pids=()
cleanup() {
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[$i]}" 2>/dev/null || true; done
    sleep 0.5
    for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

start() { "$@" > "$work/log.$(basename "$1")" 2>&1 & pids+=($!); }

# The desktop: display, bus, tray, sound server with a tone playing.
display=":$((RANDOM % 300 + 600))"
start Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp
export DISPLAY=$display
for _ in $(seq 50); do xdpyinfo > /dev/null 2>&1 && break; sleep 0.1; done
start dbus-daemon --session --nofork --address="unix:path=$work/bus"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus"
export XDG_RUNTIME_DIR="$work/runtime" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data"
export HOME="$work/home"
mkdir -p "$XDG_RUNTIME_DIR/pulse" "$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml" "$HOME"
chmod 700 "$XDG_RUNTIME_DIR"
cp "$here/tests/ui/xfce4-panel.xml" "$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml/"
for xfconfd in /usr/lib/*/xfce4/xfconf/xfconfd; do start "$xfconfd"; done
start openbox
start xfce4-panel
start pulseaudio -n --daemonize=no --use-pid-file=no --exit-idle-time=-1 --log-level=error \
    -L "module-native-protocol-unix socket=$XDG_RUNTIME_DIR/pulse/native auth-anonymous=1" \
    -L "module-null-sink sink_name=speakers rate=44100"
export PULSE_SERVER="unix:$XDG_RUNTIME_DIR/pulse/native"
for _ in $(seq 50); do pactl info > /dev/null 2>&1 && break; sleep 0.1; done
# What plays: mpv (a music player's buffering), or with PLAYER=tone the
# tests' low-latency tone player, which makes the server deliver every 12 ms.
if [ "${PLAYER:-mpv}" = tone ]; then
    start "$build/tests/tone-player" 440
else
    start mpv --no-config --really-quiet --no-video --ao=pulse --loop=inf \
        "av://lavfi:sine=frequency=440:sample_rate=44100"
fi
sleep 2

# CPU (percent of one core) and context switches per second of `pid`, all
# threads, over the window.
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
switches() {
    cat /proc/"$1"/task/*/status 2>/dev/null |
        awk '/^(voluntary|nonvoluntary)_ctxt_switches/ {n += $2} END {print n}'
}
measure() {
    local pid=$1 t0 s0 t1 s1 hz
    hz=$(getconf CLK_TCK)
    t0=$(ticks "$pid") s0=$(switches "$pid")
    sleep "$window"
    t1=$(ticks "$pid") s1=$(switches "$pid")
    awk -v t=$((t1 - t0)) -v s=$((s1 - s0)) -v hz="$hz" -v w="$window" \
        'BEGIN {printf "%.2f %.0f", 100 * t / hz / w, (s > 0 ? s : 0) / w}'
}
# One line per thread: its id, switches, CPU ticks as percent-seconds, name.
threads() {
    local hz
    hz=$(getconf CLK_TCK)
    for task in /proc/"$1"/task/*; do
        awk -v id="${task##*/}" -v hz="$hz" -v name="$(tr ' ' '_' < "$task/comm")" \
            'NR == FNR && /ctxt_switches/ {n += $2; next}
             NR != FNR {printf "%s %d %.2f %s\n", id, n, 100 * ($14 + $15) / hz, name}' \
            "$task/status" "$task/stat" 2> /dev/null || true
    done | sort
}
rss() { awk '/^VmRSS/ {printf "%.0f", $2 / 1024}' "/proc/$1/status"; }
# Opens the panel as a second launch does and waits for its timing line.
open_panel() {
    local before
    before=$(grep -c '^panel: ' "$work/out" || true)
    "$app" > /dev/null 2>&1 || true
    for _ in $(seq 100); do
        [ "$(grep -c '^panel: ' "$work/out" || true)" -gt "$before" ] && break
        sleep 0.1
    done
    grep '^panel: ' "$work/out" | tail -1 | sed 's/[^0-9.]*\([0-9.]*\) ms.*/\1/'
}

results=()
for run in $(seq "$runs"); do
    rm -rf "$XDG_CONFIG_HOME/Lantern FM" "$XDG_DATA_HOME/Lantern FM"
    LANTERN_CLOUDFLARED="$here/tests/fixtures/fake-cloudflared.py" "$app" --debugPanelTiming=true \
        > "$work/out" 2>&1 &
    pid=$!
    sleep 10
    rss_fresh=$(rss "$pid")
    read -r cpu_off cs_off <<< "$(measure "$pid")"
    first=$(open_panel)
    sleep 1
    xdotool key Escape
    sleep 1
    again=$(open_panel)
    sleep 1
    xdotool key Escape
    sleep "$release"
    rss_closed=$(rss "$pid")

    kill "$pid"; wait "$pid" 2>/dev/null || true
    LANTERN_CLOUDFLARED="$here/tests/fixtures/fake-cloudflared.py" "$app" --debugOnAir=true \
        > "$work/out" 2>&1 &
    pid=$!
    sleep 10
    threads "$pid" > "$work/threads.0"
    read -r cpu_on cs_on <<< "$(measure "$pid")"
    threads "$pid" > "$work/threads.1"
    # The threads that wake most, on air.
    join "$work/threads.0" "$work/threads.1" |
        awk -v w="$window" '{printf "  %-28s %6.0f switches/s %5.2f%% CPU\n", $4, ($5 - $2) / w, ($6 - $3) / w}' |
        sort -k2 -n -r | head -6
    kill "$pid"; wait "$pid" 2>/dev/null || true
    line="$rss_fresh $first $again $rss_closed $cpu_off $cs_off $cpu_on $cs_on"
    echo "run $run: rss ${rss_fresh} MB, panel ${first}/${again} ms, closed rss ${rss_closed} MB," \
        "off air ${cpu_off}% ${cs_off}/s, on air ${cpu_on}% ${cs_on}/s"
    results+=("$line")
done

median() { sort -n | awk '{a[NR] = $1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }
col() { for r in "${results[@]}"; do echo "$r" | awk -v c="$1" '{print $c}'; done | median; }
echo "median of $runs: off air, panel never opened: $(col 1) MB resident;" \
    "panel first frame $(col 2) ms, reopened $(col 3) ms; closed ${release} s: $(col 4) MB;" \
    "off air $(col 5)% CPU, $(col 6) switches/s; on air, no listener: $(col 7)% CPU, $(col 8) switches/s"
