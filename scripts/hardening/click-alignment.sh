#!/usr/bin/env bash
# Ten minutes of a call on a private sandbox with a click every second on both sides: the virtual microphone
# and the far end (a player into the speaker, clicks on its left channel only, half a second after the
# microphone's). `quillora --record` records it with its debug tracks, then
# quillora_click_alignment measures, click by click, how far apart the two sides are in the unprocessed
# tracks and in the recording, from start to end, whatever fraction of a second lies between the two
# players' starts. It reports separately the graph cycles the recording lost (both sides' clicks moved at
# once; none allowed), the drift between the sides (one side's steps left out, at most 1 ms) and the
# recording's length against the wall time. Meanwhile quillora_graph_watch follows the graph's cycles
# through the server's profiler (position jumps, late driver wakes, xruns and the nodes behind them) into
# graph.txt, so that a lost cycle can be told apart: ours, the graph's, or a player's.
#
#   scripts/hardening/click-alignment.sh [--seconds N] [--build DIR] [--out DIR]
#
# --seconds  length of the recording (default 600)
# --build    build folder with Quillora/quillora, bench/quillora_click_alignment and
#            bench/quillora_graph_watch (default build)
# --out      keep the recording, the debug tracks, the summary and the report here (default: a temporary
#            folder, removed afterwards)
# Too long for the test suite; run it by hand before a release. Exits with the analysis' status.
set -euo pipefail

readonly ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
readonly SANDBOX="$ROOT/scripts/audio-sandbox.sh"

seconds=600
build="$ROOT/build"
out=""
inside=0
while [ $# -gt 0 ]; do
    case $1 in
    --seconds) seconds=$2; shift ;;
    --build) build=$(cd "$2" && pwd); shift ;;
    --out) mkdir -p "$2"; out=$(cd "$2" && pwd); shift ;;
    --inside) inside=1 ;;
    -h | --help) sed -n '2,22p' "$0"; exit 0 ;;
    *) echo "click-alignment: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done

readonly QUILLORA="$build/Quillora/quillora"
readonly TOOL="$build/bench/quillora_click_alignment"
readonly WATCH="$build/bench/quillora_graph_watch"
for program in "$QUILLORA" "$TOOL" "$WATCH"; do
    [ -x "$program" ] || { echo "click-alignment: $program is not built" >&2; exit 2; }
done

if [ "$inside" = 0 ]; then
    if [ -z "$out" ]; then
        out=$(mktemp -d "${TMPDIR:-/tmp}/quillora-clicks.XXXXXX")
        trap 'rm -rf "$out"' EXIT
    fi
    status=0
    "$SANDBOX" run -- "$0" --inside --seconds "$seconds" --build "$build" --out "$out" || status=$?
    exit "$status"
fi

# ----- inside the sandbox -----

players=()
stop_players() {
    local pid
    for pid in "${players[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
}
trap 'stop_players; rm -f "$out/mic-clicks.wav" "$out/far-clicks.wav"' EXIT

# A player that falls behind moves its clicks by whole cycles and spoils the measurement (the analysis
# lists such moves, side by side). So the players read prepared files rather than a pipe that a busy
# machine may leave empty; the far end plays through pipewire-pulse, which keeps a second of its sound in
# a buffer of its own and plays it from its real-time thread; the microphone's feed (a PulseAudio stream
# cannot feed a source) is a pw-play with a real-time priority below the server's, where the system
# allows it.
make_clicks() {
    local file=$1 channels=$2 phase=$3 which=$4
    # 16-bit WAVE: half the size of float, and a click is still a single sample.
    "$TOOL" clicks $((seconds + 60)) "$channels" "$phase" $which |
        sox -q -t raw -r 48000 -e floating-point -b 32 -L -c "$channels" - -b 16 "$file"
}
make_clicks "$out/mic-clicks.wav" 1 0 ""
make_clicks "$out/far-clicks.wav" 2 0.5 left
realtime=()
if chrt -f 70 true 2>/dev/null; then
    realtime=(chrt -f 70)
fi

start_player() {
    "$@" </dev/null >>"$out/players.log" 2>&1 &
    players+=($!)
}

"$SANDBOX" speaker spk1 "Speaker 1"
"$SANDBOX" default-sink spk1
# The microphone: a virtual one, fed by a player linked to it by hand.
"$SANDBOX" virtual-mic mic1 "Microphone 1"
start_player "${realtime[@]}" pw-play --target 0 -P '{ node.name=mic1-feed node.autoconnect=false }' \
    "$out/mic-clicks.wav"
"$SANDBOX" wait-node mic1-feed
pw-link mic1-feed:output_MONO mic1:input_MONO
"$SANDBOX" default-source mic1
# The far end: a player into the speaker.
start_player paplay --latency-msec=1000 -d spk1 --property=node.name=far-end "$out/far-clicks.wav"
"$SANDBOX" wait-node far-end

# The graph's own account of its cycles, from before the recording starts until it ends.
"$WATCH" >"$out/graph.txt" 2>&1 &
watcher=$!
players+=("$watcher")
# The machine's load, once a minute: a run is only as idle as the machine was.
(while sleep 60; do echo "$(date +%H:%M) $(cut -d' ' -f1-3 /proc/loadavg)"; done) >"$out/load.txt" &
players+=($!)

echo "recording ${seconds} s into $out ..." >&2
rm -rf "$out/debug" "$out/clicks.m4a" "$out/clicks.m4a.json"
begin=$(date +%s%3N)
status=0
# PipeWire's informational messages in the program (such as a data thread that missed a wake-up) go to
# quillora.stderr.
PIPEWIRE_DEBUG=3 "$QUILLORA" --record "$seconds" --out "$out/clicks.m4a" --debug-tracks "$out/debug" \
    >"$out/summary.json" 2>"$out/quillora.stderr" || status=$?
end=$(date +%s%3N)
kill -TERM "$watcher" 2>/dev/null || true
wait "$watcher" 2>/dev/null || true
[ "$status" = 0 ] || { echo "click-alignment: quillora exited with $status" >&2; cat "$out/summary.json" >&2; exit 1; }

field() { sed -n "s/.*\"$1\": \"\\([^\"]*\\)\".*/\\1/p" "$out/summary.json"; }
wall=$(field wallSeconds)
callbacks=$(field callbacks)
{
    echo "summary: wallSeconds=$wall seconds=$(field seconds) callbacks=$callbacks restarts=$(field restarts) lostCycles=$(field lostCycles) microphone=$(field microphone)"
    echo "microphone feed: ${realtime[*]:-normal priority}; load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
    awk '{ if (min == "" || $2 < min) min = $2; if ($2 > max) max = $2; sum += $2 }
         END { if (NR) printf "load (1 min) over the run: min %.2f, mean %.2f, max %.2f\n", min, sum / NR, max }' "$out/load.txt"
    echo "process ran $(((end - begin) / 1000)).$(printf '%03d' $(((end - begin) % 1000))) s (start-up and finishing included)"
    awk -v c="$callbacks" 'BEGIN { printf "callbacks x 1024 frames: %.3f s\n", c * 1024 / 48000 }'
    grep -h "Primo blocco audio\|Nessun audio\|Blocchi audio persi\|Audio perso nel grafo" "$XDG_STATE_HOME/Quillora/quillora.log" || true
    echo "the graph, from its profiler (events, then the last summary):"
    grep -v "^---\|^driver\|^    node\|^watching" "$out/graph.txt" | sed 's/^/  /' | head -50 || true
    tac "$out/graph.txt" | sed -n '1,/^---/p' | tac | sed 's/^/  /'
    grep -h "missed .* wakeups\|XRun" "$out/quillora.stderr" | sed 's/^/  quillora: /' | head -20 || true
    "$TOOL" analyse "$out/debug" "$out/clicks.m4a" "$wall"
} | tee "$out/report.txt"
exit "${PIPESTATUS[0]}"
