#!/usr/bin/env bash
# `make run`: records 10 s headless and prints the JSON summary and the file's path.
# With a PipeWire server running for this user it records the real desktop. Where none runs (a fresh server,
# CI) it starts a private sandbox with a synthetic call: a far-end, voice-like signal on a virtual speaker and
# a near-end one on a virtual microphone, and records that.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=${1:-build}
binary=$(cd "$build" && pwd)/Quillora/quillora
seconds=${QUILLORA_DEMO_SECONDS:-10}

record() {
    local output status=0
    output=$("$binary" --record "$seconds" "$@") || status=$?
    printf '%s\n' "$output"
    local file
    file=$(printf '%s\n' "$output" | sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p')
    echo "Recording: $file"
    return $status
}

# Voice-like: a harmonic-rich tone, band-limited, with syllable-rate amplitude modulation and pauses.
voice() {
    local pitch=$1 syllables=$2 rate=48000
    exec sox -q -n -t raw -r "$rate" -c 1 -e floating-point -b 32 -L - \
        synth 3600 sawtooth "$pitch" lowpass 1500 tremolo "$syllables" 90 vol 0.35
}

inside_sandbox() {
    "$here/audio-sandbox.sh" speaker demo-speakers "Altoparlanti (chiamata di prova)" >/dev/null
    pw-metadata -n default 0 default.configured.audio.sink '{ "name": "demo-speakers" }' Spa:String:JSON \
        >/dev/null
    # The far end plays into the speaker from its own process, like a calling application would.
    (voice 140 3.7 | exec pw-play --format f32 --rate 48000 --channels 1 --target demo-speakers \
        -P '{ node.name=demo-far-end application.name="Chiamata di prova" }' -) \
        >/dev/null 2>&1 &
    local far=$!
    # The near end is a capture device of its own.
    (voice 210 4.4 | exec pw-play --format f32 --rate 48000 --channels 1 --target 0 \
        -P '{ media.class=Audio/Source node.name=demo-mic node.description="Microfono (chiamata di prova)" }' -) \
        >/dev/null 2>&1 &
    local near=$!
    for _ in $(seq 100); do
        pw-cli ls Node 2>/dev/null | grep -q 'node.name = "demo-mic"' && break
        sleep 0.05
    done
    pw-metadata -n default 0 default.configured.audio.source '{ "name": "demo-mic" }' Spa:String:JSON >/dev/null
    sleep 0.3
    local status=0
    record "$@" || status=$?
    kill "$far" "$near" 2>/dev/null || true
    wait 2>/dev/null || true
    return $status
}

case ${2:-} in
--inside-sandbox)
    shift 2
    inside_sandbox "$@"
    exit
    ;;
esac

if timeout 3 pw-cli info 0 >/dev/null 2>&1; then
    echo "Recording ${seconds} s of this desktop's audio and microphone…" >&2
    record
else
    echo "No PipeWire server is running here: recording ${seconds} s of a synthetic call in a private sandbox…" >&2
    # The sandbox's state folder is temporary; keep the recording in the current folder.
    exec "$here/audio-sandbox.sh" run -- "$0" "$build" --inside-sandbox --out "$PWD/quillora-demo.m4a"
fi
