#!/usr/bin/env bash
# A private, headless PipeWire + WirePlumber (+ pipewire-pulse) in a fresh temporary folder, with virtual
# speakers and microphones that play known tones. It never touches an audio server it did not start: every
# process it stops is one whose PID it recorded when it started it.
#
#   eval "$(scripts/audio-sandbox.sh start)"    start one and export its environment into this shell
#   scripts/audio-sandbox.sh run -- CMD ARGS…   start one, run CMD inside it, stop it; exits with CMD's status
#   scripts/audio-sandbox.sh help               every subcommand
set -euo pipefail

readonly SCRIPT_PATH="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/$(basename "${BASH_SOURCE[0]}")"
readonly READY_TIMEOUT_S=15
readonly QUANTUM=1024
readonly RATE=48000

usage() {
    cat <<'EOF'
Usage: audio-sandbox.sh COMMAND [ARGS]

Sandbox life:
  start [--no-pulse] [--watch PID]  start a sandbox and print `export …` lines for eval; it runs until
                                    `stop` (or until process PID exits, with --watch)
  run [--no-pulse] [--] CMD [ARGS]  start a sandbox, run CMD in it, stop it; exit with CMD's status
  stop                              stop the sandbox of this environment ($QUILLORA_SANDBOX_DIR)
  status                            show the sandbox's processes and audio nodes
  env                               print the `export …` lines again

Devices and sounds (need the environment printed by `start`, or run inside `run`):
  speaker NAME [DESCRIPTION] [MONO]     create a virtual speaker (Audio/Sink), stereo unless MONO
  mic NAME FREQ [CHANNELS]              start a microphone (Audio/Source) that captures a sine tone of
                                        FREQ Hz; prints its PID (unplug it with `unplug NAME`)
  virtual-mic NAME [DESCRIPTION]        create a silent virtual microphone (Audio/Source/Virtual)
  play TARGET FREQ [SECONDS] [NAME]     play a stereo sine tone from a new process into speaker TARGET
                                        (node name); prints its PID; SECONDS defaults to one hour
  record-monitor SINK FILE              record a speaker's monitor (not a microphone user); prints its PID
  record-mic SOURCE FILE                record a microphone with pw-record; prints its PID
  default-source NAME                   make NAME the default microphone
  default-sink NAME                     make NAME the default speaker
  unplug NAME                           remove a device or stream this sandbox started
  move STREAM SINK                      move a playback stream to another speaker and wait until it plays
                                        there
  node-id NAME                          print a node's id
  kill PID                              stop one process this sandbox started
  wait-node NAME [SECONDS]              wait until a node called NAME exists
EOF
}

die() {
    echo "audio-sandbox: $*" >&2
    exit 1
}

now_ms() { date +%s%3N; }

# Polls COMMAND… until it succeeds or SECONDS pass.
wait_for() {
    local seconds=$1
    shift
    local deadline=$(($(now_ms) + seconds * 1000))
    until "$@" >/dev/null 2>&1; do
        if [ "$(now_ms)" -ge "$deadline" ]; then
            return 1
        fi
        sleep 0.02
    done
}

require_sandbox() {
    [ -n "${QUILLORA_SANDBOX_DIR:-}" ] && [ -f "$QUILLORA_SANDBOX_DIR/sandbox.env" ] ||
        die "no sandbox in this environment (eval \"\$(${SCRIPT_PATH} start)\" first)"
    # Whatever the caller's shell says, talk to this sandbox's server only.
    # shellcheck disable=SC1091
    . "$QUILLORA_SANDBOX_DIR/sandbox.env"
}

print_env() {
    cat "$QUILLORA_SANDBOX_DIR/sandbox.env"
}

# Remembers a process this sandbox started so that `stop` and `kill` may end it.
remember_pid() {
    local kind=$1 pid=$2 name=${3:-}
    echo "$pid $kind $name" >>"$QUILLORA_SANDBOX_DIR/pids"
}

is_our_pid() {
    [ -f "$QUILLORA_SANDBOX_DIR/pids" ] && awk -v p="$1" '$1 == p { found = 1 } END { exit !found }' \
        "$QUILLORA_SANDBOX_DIR/pids"
}

# Alive and not a zombie waiting to be reaped by its parent.
is_alive() {
    local state
    state=$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null) || return 1
    [ -n "$state" ] && [ "$state" != Z ]
}

# SIGTERM, then SIGKILL after 2 s; only for PIDs this sandbox recorded.
stop_pid() {
    local pid=$1
    is_alive "$pid" || return 0
    kill -TERM "$pid" 2>/dev/null || return 0
    local i
    for i in $(seq 1 100); do
        is_alive "$pid" || break
        sleep 0.02
    done
    is_alive "$pid" && kill -KILL "$pid" 2>/dev/null
    # Reap it when it is our child; harmless otherwise.
    wait "$pid" 2>/dev/null || true
}

write_configs() {
    local config=$1
    mkdir -p "$config/wireplumber/main.lua.d" "$config/wireplumber/bluetooth.lua.d" \
        "$config/wireplumber/policy.lua.d"
    # No D-Bus, no hardware: the sandbox must never open the machine's real sound cards or cameras.
    cat >"$config/wireplumber/main.lua.d/60-headless.lua" <<'EOF'
alsa_monitor.enabled = false
alsa_monitor.properties["alsa.reserve"] = false
default_access.properties["enable-flatpak-portal"] = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
EOF
    cat >"$config/wireplumber/bluetooth.lua.d/60-headless.lua" <<'EOF'
bluez_monitor.enabled = false
EOF
}

metadata_ready() {
    pw-cli ls Metadata 2>/dev/null | grep -q 'metadata.name = "default"'
}

# Starts the daemons as children of the calling shell, each dying with it (pdeathsig), and waits until they
# really answer. Sets and exports the sandbox environment.
start_daemons() {
    local with_pulse=$1
    local dir
    dir=$(mktemp -d "${TMPDIR:-/tmp}/quillora-sandbox.XXXXXX")
    mkdir -p "$dir/runtime" "$dir/state" "$dir/config" "$dir/logs" "$dir/tones"
    chmod 700 "$dir" "$dir/runtime"
    write_configs "$dir/config"
    : >"$dir/pids"

    export QUILLORA_SANDBOX_DIR=$dir
    export XDG_RUNTIME_DIR=$dir/runtime
    export PIPEWIRE_RUNTIME_DIR=$dir/runtime
    export XDG_STATE_HOME=$dir/state
    export XDG_CONFIG_HOME=$dir/config
    unset DBUS_SESSION_BUS_ADDRESS PIPEWIRE_REMOTE PULSE_SERVER PULSE_RUNTIME_PATH PIPEWIRE_CORE || true
    cat >"$dir/sandbox.env" <<EOF
export QUILLORA_SANDBOX_DIR='$dir'
export XDG_RUNTIME_DIR='$dir/runtime'
export PIPEWIRE_RUNTIME_DIR='$dir/runtime'
export XDG_STATE_HOME='$dir/state'
export XDG_CONFIG_HOME='$dir/config'
unset DBUS_SESSION_BUS_ADDRESS PIPEWIRE_REMOTE PULSE_SERVER PULSE_RUNTIME_PATH PIPEWIRE_CORE
EOF

    setpriv --pdeathsig TERM pipewire >"$dir/logs/pipewire.log" 2>&1 &
    remember_pid daemon $! pipewire
    wait_for "$READY_TIMEOUT_S" test -S "$XDG_RUNTIME_DIR/pipewire-0" || die "pipewire did not start ($dir/logs)"

    setpriv --pdeathsig TERM wireplumber >"$dir/logs/wireplumber.log" 2>&1 &
    remember_pid daemon $! wireplumber
    wait_for "$READY_TIMEOUT_S" metadata_ready || die "wireplumber did not start ($dir/logs)"

    if [ "$with_pulse" = 1 ]; then
        setpriv --pdeathsig TERM pipewire-pulse >"$dir/logs/pipewire-pulse.log" 2>&1 &
        remember_pid daemon $! pipewire-pulse
        wait_for "$READY_TIMEOUT_S" test -S "$XDG_RUNTIME_DIR/pulse/native" ||
            die "pipewire-pulse did not start ($dir/logs)"
    fi

    # A fixed quantum keeps block sizes and timing the same in every run.
    pw-metadata -n settings 0 clock.force-quantum "$QUANTUM" >/dev/null
}

# Stops everything recorded in the pids file, newest first, and removes the folder.
stop_sandbox() {
    local dir=$QUILLORA_SANDBOX_DIR
    [ -d "$dir" ] || return 0
    [ -f "$dir/pids" ] || return 0
    local pid kind _name
    while read -r pid kind _name; do
        # The keeper is the one running this (or is told to by `stop`).
        [ "$kind" = keeper ] || stop_pid "$pid"
    done < <(tac "$dir/pids")
    # Reap our own children, if they are ours.
    wait 2>/dev/null || true
    if [ -z "${QUILLORA_SANDBOX_KEEP:-}" ]; then
        rm -rf "$dir"
    fi
}

cmd_run() {
    local with_pulse=1
    while [ $# -gt 0 ]; do
        case $1 in
        --no-pulse) with_pulse=0 ;;
        --) shift; break ;;
        *) break ;;
        esac
        shift
    done
    [ $# -gt 0 ] || die "run: no command"
    start_daemons "$with_pulse"
    trap 'stop_sandbox' EXIT
    trap 'exit 143' TERM
    trap 'exit 130' INT
    local status=0
    "$@" || status=$?
    exit "$status"
}

cmd_start() {
    local with_pulse=1 watch=""
    while [ $# -gt 0 ]; do
        case $1 in
        --no-pulse) with_pulse=0 ;;
        --watch) shift; watch=$1 ;;
        *) die "start: unknown option $1" ;;
        esac
        shift
    done
    local ready
    ready=$(mktemp "${TMPDIR:-/tmp}/quillora-sandbox-ready.XXXXXX")
    # The keeper owns the daemons (they die with it) and lives until `stop` or the watched process ends.
    (
        trap 'stop_sandbox; exit 0' TERM INT
        start_daemons "$with_pulse"
        remember_pid keeper "$BASHPID" keeper
        echo "$QUILLORA_SANDBOX_DIR" >"$ready"
        while [ -z "$watch" ] || kill -0 "$watch" 2>/dev/null; do
            sleep 1 &
            wait $! || true
        done
        stop_sandbox
    ) </dev/null >/dev/null 2>&1 &
    local keeper=$!
    wait_for $((READY_TIMEOUT_S * 2)) test -s "$ready" || {
        kill -TERM "$keeper" 2>/dev/null || true
        rm -f "$ready"
        die "the sandbox did not start"
    }
    QUILLORA_SANDBOX_DIR=$(cat "$ready")
    rm -f "$ready"
    print_env
    echo "# stop it with: $SCRIPT_PATH stop" >&2
}

cmd_stop() {
    require_sandbox
    local keeper
    keeper=$(awk '$2 == "keeper" { print $1 }' "$QUILLORA_SANDBOX_DIR/pids" | tail -n 1)
    if [ -n "$keeper" ] && kill -0 "$keeper" 2>/dev/null; then
        # The keeper stops its daemons itself and removes the folder.
        kill -TERM "$keeper"
        wait_for 10 test ! -d "$QUILLORA_SANDBOX_DIR" || stop_sandbox
    else
        stop_sandbox
    fi
}

# Starts pw-play fed by sox in its own session and prints pw-play's PID (the process that owns the node).
spawn_player() {
    local kind=$1 name=$2 freq=$3 channels=$4 seconds=$5
    shift 5
    local pidfile
    pidfile=$(mktemp "$QUILLORA_SANDBOX_DIR/spawn.XXXXXX")
    setsid bash -c '
        echo $$ >"$1"; shift
        freq=$1 channels=$2 seconds=$3 rate=$4; shift 4
        # Raw samples: pw-play reads a pipe as raw data in the format it is told.
        exec pw-play --format f32 --rate "$rate" --channels "$channels" "$@" - < <(exec sox -q -n -t raw \
            -r "$rate" -c "$channels" -e floating-point -b 32 -L - synth "$seconds" sine "$freq")
    ' spawn "$pidfile" "$freq" "$channels" "$seconds" "$RATE" "$@" \
        </dev/null >>"$QUILLORA_SANDBOX_DIR/logs/$name.log" 2>&1 &
    wait_for 5 test -s "$pidfile" || die "could not start $name"
    local shell_pid
    shell_pid=$(cat "$pidfile")
    rm -f "$pidfile"
    # pw-play replaced the shell, so the shell's PID is pw-play's.
    remember_pid "$kind" "$shell_pid" "$name"
    echo "$shell_pid"
}

node_exists() {
    pw-cli ls Node 2>/dev/null | grep -q "node.name = \"$1\""
}

node_id() {
    pw-cli ls Node | awk -v n="node.name = \"$1\"" '
        /^[[:space:]]*id [0-9]+,/ { gsub(",", "", $2); id = $2 }
        index($0, n) { print id; exit }'
}

# Whether some output port of node OUT feeds some input port of node IN.
is_linked() {
    local out=$1 in=$2
    pw-link -l | awk -v o="$out:" -v i="$in:" '
        /^[^ ]/ { current = $0 }
        /\|<-/ && index(current, i) == 1 && index($0, o) > 0 { found = 1 }
        END { exit !found }'
}

cmd_speaker() {
    require_sandbox
    local name=${1:?speaker NAME}
    local description=${2:-$name}
    local position="FL FR"
    [ "${3:-}" = MONO ] && position=MONO
    pw-cli create-node adapter "{ factory.name=support.null-audio-sink node.name=\"$name\"
        node.description=\"$description\" media.class=Audio/Sink object.linger=true
        audio.position=[$position] audio.rate=$RATE }" >/dev/null
    wait_for 5 node_exists "$name" || die "speaker $name did not appear"
    echo "node $name" >>"$QUILLORA_SANDBOX_DIR/nodes"
}

cmd_virtual_mic() {
    require_sandbox
    local name=${1:?virtual-mic NAME}
    local description=${2:-$name}
    pw-cli create-node adapter "{ factory.name=support.null-audio-sink node.name=\"$name\"
        node.description=\"$description\" media.class=Audio/Source/Virtual object.linger=true
        audio.position=[MONO] audio.rate=$RATE }" >/dev/null
    wait_for 5 node_exists "$name" || die "virtual microphone $name did not appear"
    echo "node $name" >>"$QUILLORA_SANDBOX_DIR/nodes"
}

cmd_mic() {
    require_sandbox
    local name=${1:?mic NAME FREQ [CHANNELS]} freq=${2:?mic NAME FREQ [CHANNELS]} channels=${3:-1}
    # A player whose node claims to be a source: it behaves like a real capture device (no playback stream
    # behind it), and killing it unplugs the microphone.
    local pid
    pid=$(spawn_player mic "$name" "$freq" "$channels" 86400 --target 0 \
        -P "{ media.class=Audio/Source node.name=\"$name\" node.description=\"$name\" }")
    wait_for 5 node_exists "$name" || die "microphone $name did not appear"
    echo "$pid"
}

cmd_play() {
    require_sandbox
    local target=${1:?play TARGET FREQ [SECONDS] [NAME]} freq=${2:?play TARGET FREQ [SECONDS] [NAME]}
    local seconds=${3:-3600} name=${4:-play-$target-$freq}
    local pid
    pid=$(spawn_player play "$name" "$freq" 2 "$seconds" --target "$target" \
        -P "{ node.name=\"$name\" }")
    wait_for 5 node_exists "$name" || die "player $name did not appear"
    echo "$pid"
}

spawn_recorder() {
    local kind=$1 name=$2
    shift 2
    setsid "$@" </dev/null >>"$QUILLORA_SANDBOX_DIR/logs/$name.log" 2>&1 &
    local pid=$!
    remember_pid "$kind" "$pid" "$name"
    echo "$pid"
}

cmd_record_monitor() {
    require_sandbox
    local sink=${1:?record-monitor SINK FILE} file=${2:?record-monitor SINK FILE}
    spawn_recorder record "record-monitor-$sink" pw-record --target "$sink" \
        -P '{ stream.capture.sink=true }' "$file"
}

cmd_record_mic() {
    require_sandbox
    local source=${1:?record-mic SOURCE FILE} file=${2:?record-mic SOURCE FILE}
    spawn_recorder record "record-mic-$source" pw-record --target "$source" "$file"
}

set_default() {
    local key=$1 name=$2
    pw-metadata -n default 0 "default.configured.$key" "{ \"name\": \"$name\" }" Spa:String:JSON >/dev/null
}

cmd_unplug() {
    require_sandbox
    local name=${1:?unplug NAME}
    local pid
    pid=$(awk -v n="$name" '$3 == n && $2 != "daemon" && $2 != "keeper" { print $1 }' \
        "$QUILLORA_SANDBOX_DIR/pids" | tail -n 1)
    if [ -n "$pid" ]; then
        stop_pid "$pid"
    elif [ -f "$QUILLORA_SANDBOX_DIR/nodes" ] && grep -qx "node $name" "$QUILLORA_SANDBOX_DIR/nodes"; then
        local id
        id=$(node_id "$name")
        [ -n "$id" ] || die "no node $name"
        pw-cli destroy "$id" >/dev/null
    else
        die "$name was not started by this sandbox"
    fi
    local deadline=$(($(now_ms) + 5000))
    while node_exists "$name"; do
        [ "$(now_ms)" -lt "$deadline" ] || die "$name is still there"
        sleep 0.02
    done
}

cmd_move() {
    require_sandbox
    local stream=${1:?move STREAM SINK} sink=${2:?move STREAM SINK}
    local stream_id sink_id
    stream_id=$(node_id "$stream")
    sink_id=$(node_id "$sink")
    [ -n "$stream_id" ] && [ -n "$sink_id" ] || die "move: no node $stream or $sink"
    pw-metadata -n default "$stream_id" target.node "$sink_id" >/dev/null
    wait_for 5 is_linked "$stream" "$sink" || die "$stream did not move to $sink"
}

cmd_kill() {
    require_sandbox
    local pid=${1:?kill PID}
    is_our_pid "$pid" || die "$pid was not started by this sandbox"
    stop_pid "$pid"
}

cmd_status() {
    require_sandbox
    echo "sandbox: $QUILLORA_SANDBOX_DIR"
    local pid kind name
    while read -r pid kind name; do
        if kill -0 "$pid" 2>/dev/null; then
            echo "  $kind $name (pid $pid) running"
        fi
    done <"$QUILLORA_SANDBOX_DIR/pids"
    pw-cli ls Node | grep -E 'node.name|media.class' || true
}

main() {
    local command=${1:-help}
    [ $# -gt 0 ] && shift
    case $command in
    start) cmd_start "$@" ;;
    run) cmd_run "$@" ;;
    stop) cmd_stop ;;
    env) require_sandbox; print_env ;;
    status) cmd_status ;;
    speaker) cmd_speaker "$@" ;;
    virtual-mic) cmd_virtual_mic "$@" ;;
    mic) cmd_mic "$@" ;;
    play) cmd_play "$@" ;;
    record-monitor) cmd_record_monitor "$@" ;;
    record-mic) cmd_record_mic "$@" ;;
    default-source) require_sandbox; set_default audio.source "${1:?default-source NAME}" ;;
    default-sink) require_sandbox; set_default audio.sink "${1:?default-sink NAME}" ;;
    unplug) cmd_unplug "$@" ;;
    kill) cmd_kill "$@" ;;
    move) cmd_move "$@" ;;
    node-id) require_sandbox; node_id "${1:?node-id NAME}" ;;
    wait-node) require_sandbox; wait_for "${2:-5}" node_exists "${1:?wait-node NAME}" || die "no node $1" ;;
    help | -h | --help) usage ;;
    *) usage >&2; exit 2 ;;
    esac
}

main "$@"
