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
  mic NAME FREQ [CHANNELS] [VOLUME]     start a microphone (Audio/Source) that captures a sine tone of
                                        FREQ Hz; prints its PID (unplug it with `unplug NAME`)
  virtual-mic NAME [DESCRIPTION]        create a silent virtual microphone (Audio/Source/Virtual)
  play TARGET FREQ [SECONDS] [NAME] [VOLUME] [RATE]
                                        play a stereo sine tone from a new process into speaker TARGET
                                        (node name); prints its PID; SECONDS defaults to one hour. FREQ
                                        may give one frequency per channel (1000,1500); VOLUME scales
                                        the full-scale tones (default 1); RATE is the player's sample
                                        rate (default the sandbox's)
  record-monitor SINK FILE              record a speaker's monitor (not a microphone user); prints its PID
  record-mic SOURCE FILE                record a microphone with pw-record; prints its PID
  spawn NAME CMD [ARGS]                 run any client (a module host, a PulseAudio recorder…) in its own
                                        session; prints its PID (stop it with `kill PID`)
  default-source NAME                   make NAME the default microphone
  default-sink NAME                     make NAME the default speaker
  unplug NAME                           remove a device or stream this sandbox started
  move STREAM SINK                      move a playback stream to another speaker and wait until it plays
                                        there
  node-id NAME                          print a node's id
  daemon-pid NAME                       print the PID of a daemon this sandbox started (pipewire-pulse…)
  kill PID                              stop one process this sandbox started
  wait-node NAME [SECONDS]              wait until a node called NAME exists

The server going away and coming back (need the environment, like the device commands):
  server-stop                           stop pipewire (and wireplumber, pipewire-pulse); the folder, the
                                        environment and the players stay (players lose their connection)
  server-start                          start them again in the same folder and re-create the speakers
                                        and virtual microphones made with `speaker` and `virtual-mic`
  restart [SECONDS]                     server-stop, wait SECONDS (default 0), server-start; prints the
                                        ms from the server's end until it, the session manager and the
                                        devices were all back
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
    # The process the daemons die with; daemons started again later watch it (server-start).
    echo "$BASHPID" >"$dir/owner"

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

    launch_daemons "$with_pulse" spawn_child_daemon
}

# Starts a daemon as a child of this shell that dies with it.
spawn_child_daemon() {
    local name=$1
    setpriv --pdeathsig TERM "$name" >>"$QUILLORA_SANDBOX_DIR/logs/$name.log" 2>&1 &
    remember_pid daemon $! "$name"
}

# Starts a daemon for a shell that is about to end (server-start): a small guardian process becomes its
# parent, so the daemon still dies with the guardian (pdeathsig), and the guardian ends when the
# sandbox's owner does (or the daemon exits).
spawn_guarded_daemon() {
    local name=$1
    local owner pidfile
    owner=$(cat "$QUILLORA_SANDBOX_DIR/owner")
    pidfile=$(mktemp "$QUILLORA_SANDBOX_DIR/spawn.XXXXXX")
    setsid bash -c '
        pidfile=$1 owner=$2 name=$3
        setpriv --pdeathsig TERM "$name" &
        daemon=$!
        echo "$$ $daemon" >"$pidfile"
        while kill -0 "$owner" 2>/dev/null && kill -0 "$daemon" 2>/dev/null; do
            sleep 0.5
        done
    ' guard "$pidfile" "$owner" "$name" </dev/null >>"$QUILLORA_SANDBOX_DIR/logs/$name.log" 2>&1 &
    wait_for 5 test -s "$pidfile" || die "could not start $name"
    local guard daemon
    read -r guard daemon <"$pidfile"
    rm -f "$pidfile"
    remember_pid guard "$guard" "$name"
    remember_pid daemon "$daemon" "$name"
}

# pipewire, wireplumber and (when WITH_PULSE is 1) pipewire-pulse, each started by SPAWN NAME; waits
# until they really answer.
launch_daemons() {
    local with_pulse=$1 spawn=$2
    local dir=$QUILLORA_SANDBOX_DIR
    "$spawn" pipewire
    wait_for "$READY_TIMEOUT_S" test -S "$XDG_RUNTIME_DIR/pipewire-0" || die "pipewire did not start ($dir/logs)"

    "$spawn" wireplumber
    wait_for "$READY_TIMEOUT_S" metadata_ready || die "wireplumber did not start ($dir/logs)"

    if [ "$with_pulse" = 1 ]; then
        "$spawn" pipewire-pulse
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
# FREQ is one frequency for every channel, or one per channel separated by commas; VOLUME scales the
# full-scale tones; RATE is the player's sample rate.
spawn_player() {
    local kind=$1 name=$2 freq=$3 channels=$4 seconds=$5 volume=$6 rate=$7
    shift 7
    local pidfile
    pidfile=$(mktemp "$QUILLORA_SANDBOX_DIR/spawn.XXXXXX")
    setsid bash -c '
        echo $$ >"$1"; shift
        freq=$1 channels=$2 seconds=$3 rate=$4 volume=$5; shift 5
        tones=()
        for f in ${freq//,/ }; do tones+=(sine "$f"); done
        # Raw samples: pw-play reads a pipe as raw data in the format it is told.
        exec pw-play --format f32 --rate "$rate" --channels "$channels" "$@" - < <(exec sox -q -n -t raw \
            -r "$rate" -c "$channels" -e floating-point -b 32 -L - synth "$seconds" "${tones[@]}" vol "$volume")
    ' spawn "$pidfile" "$freq" "$channels" "$seconds" "$rate" "$volume" "$@" \
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

# Creates a null-audio-sink node from PROPERTIES and remembers how, so that server-start can bring it back.
create_device() {
    local name=$1 what=$2 properties=$3
    pw-cli create-node adapter "$properties" >/dev/null
    wait_for 5 node_exists "$name" || die "$what $name did not appear"
    echo "node $name" >>"$QUILLORA_SANDBOX_DIR/nodes"
    printf '%s\t%s\t%s\n' "$name" "$what" "$properties" >>"$QUILLORA_SANDBOX_DIR/devices"
}

cmd_speaker() {
    require_sandbox
    local name=${1:?speaker NAME}
    local description=${2:-$name}
    local position="FL FR"
    [ "${3:-}" = MONO ] && position=MONO
    create_device "$name" speaker "{ factory.name=support.null-audio-sink node.name=\"$name\" \
node.description=\"$description\" media.class=Audio/Sink object.linger=true \
audio.position=[$position] audio.rate=$RATE }"
}

cmd_virtual_mic() {
    require_sandbox
    local name=${1:?virtual-mic NAME}
    local description=${2:-$name}
    create_device "$name" "virtual microphone" "{ factory.name=support.null-audio-sink node.name=\"$name\" \
node.description=\"$description\" media.class=Audio/Source/Virtual object.linger=true \
audio.position=[MONO] audio.rate=$RATE }"
}

cmd_mic() {
    require_sandbox
    local name=${1:?mic NAME FREQ [CHANNELS] [VOLUME]} freq=${2:?mic NAME FREQ [CHANNELS] [VOLUME]}
    local channels=${3:-1} volume=${4:-1}
    # A player whose node claims to be a source: it behaves like a real capture device (no playback stream
    # behind it), and killing it unplugs the microphone.
    local pid
    pid=$(spawn_player mic "$name" "$freq" "$channels" 86400 "$volume" "$RATE" --target 0 \
        -P "{ media.class=Audio/Source node.name=\"$name\" node.description=\"$name\" }")
    wait_for 5 node_exists "$name" || die "microphone $name did not appear"
    echo "$pid"
}

cmd_play() {
    require_sandbox
    local target=${1:?play TARGET FREQ [SECONDS] [NAME] [VOLUME] [RATE]} freq=${2:?play TARGET FREQ [SECONDS] [NAME]}
    local seconds=${3:-3600} name=${4:-play-$target-$freq} volume=${5:-1}
    local rate=${6:-$RATE}
    local pid
    pid=$(spawn_player play "$name" "$freq" 2 "$seconds" "$volume" "$rate" --target "$target" \
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
        # Unplugged for good: a server restart does not bring it back.
        if [ -f "$QUILLORA_SANDBOX_DIR/devices" ]; then
            awk -F '\t' -v n="$name" '$1 != n' "$QUILLORA_SANDBOX_DIR/devices" >"$QUILLORA_SANDBOX_DIR/devices.new"
            mv "$QUILLORA_SANDBOX_DIR/devices.new" "$QUILLORA_SANDBOX_DIR/devices"
        fi
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

# Drops PID from the pids file once it has ended, so that a later stop can never hit a reused PID.
forget_pid() {
    awk -v p="$1" '$1 != p' "$QUILLORA_SANDBOX_DIR/pids" >"$QUILLORA_SANDBOX_DIR/pids.new"
    mv "$QUILLORA_SANDBOX_DIR/pids.new" "$QUILLORA_SANDBOX_DIR/pids"
}

cmd_server_stop() {
    require_sandbox
    local dir=$QUILLORA_SANDBOX_DIR
    local server
    server=$(awk '$2 == "daemon" && $3 == "pipewire" { print $1 }' "$dir/pids" | tail -n 1)
    [ -n "$server" ] && is_alive "$server" || die "server-stop: the server is not running"
    # The server goes first, all at once, as when it crashes or its service restarts: its clients, the
    # session manager included, see the connection drop before anything else changes.
    stop_pid "$server"
    now_ms >"$dir/server-gone-at"
    forget_pid "$server"
    # The others lost their server; they are stopped together rather than one after the other.
    local pid kind name with_pulse=0 others=()
    while read -r pid kind name; do
        [ "$kind" = daemon ] || [ "$kind" = guard ] || continue
        [ "$kind" = daemon ] && [ "$name" = pipewire-pulse ] && with_pulse=1
        others+=("$pid")
    done < <(tac "$dir/pids")
    for pid in "${others[@]}"; do
        stop_pid "$pid" &
    done
    wait
    for pid in "${others[@]}"; do
        forget_pid "$pid"
    done
    echo "$with_pulse" >"$dir/server-pulse"
    # A killed server leaves its socket behind; the next one must not look ready before it is.
    rm -f "$XDG_RUNTIME_DIR/pipewire-0" "$XDG_RUNTIME_DIR/pipewire-0-manager" "$XDG_RUNTIME_DIR/pulse/native"
}

cmd_server_start() {
    require_sandbox
    local dir=$QUILLORA_SANDBOX_DIR
    [ -f "$dir/server-pulse" ] || die "server-start: the server was not stopped with server-stop"
    local owner
    owner=$(cat "$dir/owner")
    kill -0 "$owner" 2>/dev/null || die "server-start: the sandbox's owner ($owner) has ended"
    launch_daemons "$(cat "$dir/server-pulse")" spawn_guarded_daemon
    rm -f "$dir/server-pulse"
    # The speakers and virtual microphones stand for hardware: they come back with the server.
    local name what properties
    if [ -f "$dir/devices" ]; then
        mv "$dir/devices" "$dir/devices.old"
        while IFS=$'\t' read -r name what properties; do
            create_device "$name" "$what" "$properties"
        done <"$dir/devices.old"
        rm -f "$dir/devices.old"
    fi
}

cmd_restart() {
    require_sandbox
    local seconds=${1:-0}
    cmd_server_stop
    sleep "$seconds"
    cmd_server_start
    echo $(($(now_ms) - $(cat "$QUILLORA_SANDBOX_DIR/server-gone-at")))
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
    spawn) require_sandbox; spawn_recorder spawn "${1:?spawn NAME CMD [ARGS]}" "${@:2}" ;;
    default-source) require_sandbox; set_default audio.source "${1:?default-source NAME}" ;;
    default-sink) require_sandbox; set_default audio.sink "${1:?default-sink NAME}" ;;
    unplug) cmd_unplug "$@" ;;
    kill) cmd_kill "$@" ;;
    move) cmd_move "$@" ;;
    server-stop) cmd_server_stop ;;
    server-start) cmd_server_start ;;
    restart) cmd_restart "$@" ;;
    node-id) require_sandbox; node_id "${1:?node-id NAME}" ;;
    daemon-pid) require_sandbox; awk -v n="${1:?daemon-pid NAME}" '$2 == "daemon" && $3 == n { p = $1 } END { print p }' \
        "$QUILLORA_SANDBOX_DIR/pids" ;;
    wait-node) require_sandbox; wait_for "${2:-5}" node_exists "${1:?wait-node NAME}" || die "no node $1" ;;
    help | -h | --help) usage ;;
    *) usage >&2; exit 2 ;;
    esac
}

main "$@"
