#!/usr/bin/env bash
# What a recording costs when nothing plays and nobody speaks, against a call with sound, over several
# runs: a cost that only shows now and then (one run in two, say) needs repetitions to be seen. Every run
# gets its own private sandbox (a speaker and a virtual microphone; "call" adds a player on the speaker and
# a tone on the microphone), records with `quillora --record` and reports the whole process's CPU and the
# CPU of its busiest threads (the capture's data thread among them), as a percentage of one core.
#
#   scripts/hardening/silence-cpu.sh [--runs N] [--seconds S] [--build DIR] [--only silence|call] [--no-pulse]
#                                    [--settle S]
#
# --runs     runs of each kind (default 5)
# --seconds  length of each recording (default 20)
# --build    build folder with Quillora/quillora (default build)
# --only     run one kind only
# --no-pulse sandboxes without pipewire-pulse
# --settle   seconds to wait between making the devices and recording (default 0; 8 lets the session
#            manager suspend the idle devices first, as on a desktop that has been quiet for a while)
# Prints one line per run and, per kind, the lowest, the median and the highest process CPU.
set -euo pipefail

readonly ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
readonly SANDBOX="$ROOT/scripts/audio-sandbox.sh"

runs=5
seconds=20
build="$ROOT/build"
only=""
inside=""
pulse=()
settle=0
while [ $# -gt 0 ]; do
    case $1 in
    --runs) runs=$2; shift ;;
    --seconds) seconds=$2; shift ;;
    --build) build=$(cd "$2" && pwd); shift ;;
    --only) only=$2; shift ;;
    --no-pulse) pulse=(--no-pulse) ;;
    --settle) settle=$2; shift ;;
    --inside) inside=$2; shift ;;
    -h | --help) sed -n '2,19p' "$0"; exit 0 ;;
    *) echo "silence-cpu: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
readonly QUILLORA="$build/Quillora/quillora"
[ -x "$QUILLORA" ] || { echo "silence-cpu: $QUILLORA is not built" >&2; exit 2; }

# Wake-ups (context switches) of a thread so far.
switches() { awk '/ctxt_switches/ { n += $2 } END { print n + 0 }' "$1/status" 2>/dev/null || echo 0; }
# CPU ticks (user + system) of a process or thread, from its stat file.
ticks() { awk '{ sub(/.*\) /, ""); print $12 + $13 }' "$1" 2>/dev/null || echo 0; }

if [ -n "$inside" ]; then
    "$SANDBOX" speaker spk1 "Speaker 1" >/dev/null
    "$SANDBOX" default-sink spk1
    if [ "$inside" = call ]; then
        "$SANDBOX" mic mic1 440 >/dev/null
        "$SANDBOX" play spk1 1000 >/dev/null
    else
        "$SANDBOX" virtual-mic mic1 "Microphone 1"
    fi
    "$SANDBOX" default-source mic1
    # A desktop that has been quiet for a while: the session manager has suspended what is idle.
    sleep "$settle"
    out=$(mktemp -d "${TMPDIR:-/tmp}/quillora-silence.XXXXXX")
    trap 'rm -rf "$out"' EXIT
    "$QUILLORA" --record "$seconds" --out "$out/call.m4a" >"$out/summary.json" 2>/dev/null &
    pid=$!
    # Measure the middle of the recording: from two seconds in to two seconds before the end.
    sleep 2
    hz=$(getconf CLK_TCK)
    declare -A before wakes
    for task in /proc/$pid/task/*; do
        before[$task]=$(ticks "$task/stat")
        wakes[$task]=$(switches "$task")
    done
    # Which node drives the graph meanwhile, from the server's profiler.
    watch="$build/bench/quillora_graph_watch"
    if [ -x "$watch" ]; then
        "$watch" "$((seconds - 4))" >"$out/graph.txt" 2>&1 &
    fi
    total_before=$(ticks "/proc/$pid/stat")
    window=$((seconds - 4))
    sleep "$window"
    total_after=$(ticks "/proc/$pid/stat")
    threads=""
    for task in /proc/$pid/task/*; do
        name=$(cat "$task/comm" 2>/dev/null || echo "?")
        # The real-time one is the capture's data thread (it shares the program's name).
        if [ "$(awk '{ sub(/.*\) /, ""); print $39 }' "$task/stat" 2>/dev/null)" != 0 ]; then
            name="$name(data)"
            data_wakes=$(($(switches "$task") - ${wakes[$task]:-0}))
        fi
        used=$(($(ticks "$task/stat") - ${before[$task]:-0}))
        threads+="$used $name"$'\n'
    done
    wait "$pid" || { echo "silence-cpu: quillora failed" >&2; cat "$out/summary.json" >&2; exit 1; }
    callbacks=$(sed -n 's/.*"callbacks": "\([0-9]*\)".*/\1/p' "$out/summary.json")
    printf '%s %.2f' "$inside" "$(echo "($total_after - $total_before) * 100 / $hz / $window" | bc -l)"
    printf ' callbacks/s=%.1f data-thread-wakes/s=%.1f' "$(echo "$callbacks / $seconds" | bc -l)" \
        "$(echo "${data_wakes:-0} / $window" | bc -l)"
    wait
    if [ -f "$out/graph.txt" ]; then
        printf ' driver:%s' "$(sed -n 's/^driver \([^ ]*\) ([0-9]*): \([0-9]*\) cycles.*/ \1(\2 cycles)/p' "$out/graph.txt" | tr -d '\n')"
    fi
    printf ' threads:'
    echo -n "$threads" | sort -rn | head -4 | while read -r used name; do
        printf ' %s=%.2f' "$name" "$(echo "$used * 100 / $hz / $window" | bc -l)"
    done
    echo
    exit 0
fi

kinds=(silence call)
[ -n "$only" ] && kinds=("$only")
results=$(mktemp)
trap 'rm -f "$results"' EXIT
for ((run = 1; run <= runs; ++run)); do
    for kind in "${kinds[@]}"; do
        line=$("$SANDBOX" run "${pulse[@]}" -- "$0" --inside "$kind" --seconds "$seconds" --build "$build" \
            --settle "$settle")
        echo "run $run: $line (load $(cut -d' ' -f1 /proc/loadavg))"
        echo "$line" >>"$results"
    done
done
for kind in "${kinds[@]}"; do
    grep "^$kind " "$results" | awk '{ print $2 }' | sort -n |
        awk -v kind="$kind" '{ v[NR] = $1 } END { printf "%s: %d runs, process CPU min %.2f %%, median %.2f %%, max %.2f %%\n",
            kind, NR, v[1], v[int((NR + 1) / 2)], v[NR] }'
done
