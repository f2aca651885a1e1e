#!/usr/bin/env bash
# Builds the .deb, installs it with apt, checks the installed program (files, --version, --help, that it
# finds its installed Info.ini, a 3 s recording inside a private PipeWire sandbox) and removes it again,
# together with whatever apt pulled in for it, so the machine ends as it started. Any mismatch stops the
# test with a message and a non-zero status; the package is removed on every way out.
#
#   scripts/test-package.sh [BUILD_DIR]     BUILD_DIR defaults to `build`, the folder `make test` uses
#
# Needs root (or sudo) for apt-get. Refuses to run when a quillora package is already installed.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)

fail() {
    echo "test-package: FAIL: $*" >&2
    exit 1
}
note() { echo "test-package: $*" >&2; }
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
# True when `value` lies within [low, high] (decimal numbers).
within() { awk -v v="$1" -v lo="$2" -v hi="$3" 'BEGIN { exit !(v >= lo && v <= hi) }'; }

# The value of a string key in the summary's indented JSON (every value there is a string).
json_value() {
    sed -n "s/^    \"$1\": \"\(.*\)\",\{0,1\}\$/\1/p" <<<"$2"
}

# ----- inside the sandbox: record with the installed program and check what it wrote -----
inside_sandbox() {
    local version=$1 work=$2
    local sandbox=$here/audio-sandbox.sh
    # A call: the far end plays a 660 Hz tone into the default speaker from its own process, the
    # microphone captures 440 Hz.
    "$sandbox" speaker pkg-speaker "Altoparlanti (prova del pacchetto)" >/dev/null
    "$sandbox" default-sink pkg-speaker >/dev/null
    "$sandbox" play pkg-speaker 660 >/dev/null
    "$sandbox" mic pkg-mic 440 >/dev/null
    "$sandbox" default-source pkg-mic >/dev/null
    sleep 0.3

    local out=$work/registrazione.m4a summary status=0
    summary=$(/usr/bin/quillora --record 3 --out "$out") || status=$?
    printf '%s\n' "$summary" >"$work/summary.json"
    [ "$status" -eq 0 ] || fail "quillora --record exited with $status: $summary"
    [ -z "$(json_value error "$summary")" ] || fail "the summary reports an error: $summary"
    [ "$(json_value file "$summary")" = "$out" ] || fail "the summary names another file: $summary"
    [ "$(json_value microphone "$summary")" = "pkg-mic" ] || fail "recorded another microphone: $summary"
    local seconds callbacks mic system
    seconds=$(json_value seconds "$summary")
    callbacks=$(json_value callbacks "$summary")
    mic=$(json_value micPeakRMS "$summary")
    system=$(json_value systemPeakRMS "$summary")
    within "$seconds" 2.7 3.3 || fail "recorded $seconds s instead of 3: $summary"
    # 3 s at 48000 Hz in 1024-frame cycles is about 140 callbacks.
    within "$callbacks" 100 200 || fail "$callbacks capture callbacks in 3 s: $summary"
    # Full-scale sine tones: an RMS near 0.7 on both sides.
    within "$mic" 0.1 1.5 || fail "the microphone was not heard (micPeakRMS $mic): $summary"
    within "$system" 0.1 1.5 || fail "the far end was not heard (systemPeakRMS $system): $summary"
    # The file holds the same text, without the final line break.
    cmp -s <(printf '%s' "$summary") "$out.json" ||
        fail "$out.json differs from the summary printed on standard output"

    local probe codec channels rate duration
    probe=$(ffprobe -v error -show_entries stream=codec_name,channels,sample_rate:format=duration \
        -of default=noprint_wrappers=1 "$out") || fail "ffprobe cannot read $out"
    codec=$(sed -n 's/^codec_name=//p' <<<"$probe")
    channels=$(sed -n 's/^channels=//p' <<<"$probe")
    rate=$(sed -n 's/^sample_rate=//p' <<<"$probe")
    duration=$(sed -n 's/^duration=//p' <<<"$probe")
    if [ "$codec" != aac ] || [ "$channels" != 2 ] || [ "$rate" != 48000 ]; then
        fail "$out is not stereo AAC at 48000 Hz: $probe"
    fi
    within "$duration" 2.7 3.3 || fail "$out lasts $duration s: $probe"
    local mean
    mean=$(ffmpeg -nostdin -hide_banner -i "$out" -af volumedetect -f null - 2>&1 |
        sed -n 's/.*mean_volume: \(-\{0,1\}[0-9.]*\) dB.*/\1/p')
    within "${mean:--999}" -30 0 || fail "$out is nearly silent (mean volume ${mean:-unknown} dB)"

    # The tray application reads its version from Info.ini ("dev" when it finds none) and logs it at start.
    local log=$XDG_STATE_HOME/Quillora/quillora.log expected="Avvio Quillora $version su /usr/bin/quillora"
    QT_QPA_PLATFORM=offscreen /usr/bin/quillora >"$work/tray.out" 2>&1 &
    local tray=$! found=0
    for _ in $(seq 100); do
        if grep -qF "Avvio Quillora" "$log" 2>/dev/null; then
            found=1
            break
        fi
        sleep 0.1
    done
    kill -TERM "$tray" 2>/dev/null || true
    status=0
    wait "$tray" || status=$?
    [ "$found" -eq 1 ] || fail "the tray application logged no start line in 10 s: $(cat "$work/tray.out")"
    grep -qF "$expected" "$log" ||
        fail "the installed program did not find its Info.ini; expected \"$expected\" in: $(grep -F "Avvio" "$log")"
    [ "$status" -eq 0 ] || fail "the tray application exited with $status after SIGTERM"

    printf 'seconds=%s callbacks=%s micPeakRMS=%s systemPeakRMS=%s duration=%s mean=%sdB size=%s\n' \
        "$seconds" "$callbacks" "$mic" "$system" "$duration" "$mean" "$(stat -c %s "$out")" >"$work/figures"
}

if [ "${1:-}" = --inside-sandbox ]; then
    inside_sandbox "$2" "$3"
    exit
fi

# ----- outside: build, install, check, remove -----
build=${1:-build}
[[ $build = /* ]] || build=$root/$build
SUDO=()
if [ "$(id -u)" -ne 0 ]; then
    SUDO=(sudo)
fi
apt_get() {
    "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=120 "$@"
}
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q ' installed$'; }

if installed quillora; then
    fail "a quillora package is already installed; remove it first (this test leaves the machine as it found it)"
fi

mkdir -p "$build"
log=$build/test-package.log
started=$(now)
note "building the package in $build"
make -C "$root" --no-print-directory package BUILD="$build" >"$log" 2>&1 || fail "make package failed; see $log"
build_seconds=$(since "$started")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
deb_name=quillora_${version}_${arch}.deb
deb=$build/$deb_name
[ -f "$deb" ] || fail "make package did not make $deb"

# The control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = quillora ] || fail "package name $(field Package)"
[ "$(field Version)" = "$version" ] || fail "package version $(field Version), project version $version"
[ "$(field Section)" = sound ] || fail "section $(field Section)"
depends=$(field Depends)
for library in libpipewire-0.3-0 libavformat59 libavcodec59 libavutil57 libswresample4 libqt6core6 \
    libqt6gui6 libqt6widgets6 libqt6network6 libqt6dbus6 libqt6svg6 qt6-qpa-plugins libcanberra0 libsystemd0; do
    grep -qE "(^|, )$library( |,|\$)" <<<"$depends" || fail "Depends lacks $library: $depends"
done
for package in pipewire wireplumber; do
    grep -qE "(^|, )$package(,|\$)" <<<"$(field Recommends)" || fail "Recommends lacks $package"
done

# What apt is going to add besides quillora (recommended packages, missing libraries): exactly those go again
# at the end. Upgrades of packages already present ("Inst name [old] (new …)") are not counted.
pulled_in=$(cd "$build" && apt_get install -s "./$deb_name" | awk '$1 == "Inst" && $3 !~ /^\[/ && $2 != "quillora" { print $2 }')

cleanup() {
    local status=$?
    if installed quillora; then
        note "removing the package"
        apt_get remove -y quillora >/dev/null || status=1
    fi
    if [ -n "$pulled_in" ]; then
        # shellcheck disable=SC2086 # one package name per word
        apt_get purge -y $pulled_in >/dev/null || status=1
    fi
    [ -n "${work:-}" ] && rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT

note "installing $deb_name${pulled_in:+ (apt adds: ${pulled_in//$'\n'/ })}"
started=$(now)
(cd "$build" && apt_get install -y "./$deb_name") >>"$log" 2>&1 || fail "apt-get install failed; see $log"
install_seconds=$(since "$started")
installed quillora || fail "apt-get install left quillora uninstalled; see $log"

# The files, exactly.
expected_files=(
    /usr/bin/quillora
    /usr/share/quillora/Info.ini
    /usr/share/applications/com.tandrevel.Quillora.desktop
    /usr/share/icons/hicolor/scalable/apps/com.tandrevel.Quillora.svg
    /usr/share/man/man1/quillora.1.gz
)
for size in 16 22 24 32 48 64 128 256; do
    expected_files+=("/usr/share/icons/hicolor/${size}x${size}/apps/com.tandrevel.Quillora.png")
done
listed=$(dpkg -L quillora | while read -r path; do [ -d "$path" ] || echo "$path"; done | sort)
[ "$listed" = "$(printf '%s\n' "${expected_files[@]}" | sort)" ] ||
    fail "the package's files differ from the expected layout:
$(diff <(printf '%s\n' "${expected_files[@]}" | sort) <(echo "$listed") || true)"
if ldd /usr/bin/quillora | grep -q "not found"; then
    fail "unresolved libraries: $(ldd /usr/bin/quillora | grep 'not found')"
fi
grep -qx "CFBundleShortVersionString=$version" /usr/share/quillora/Info.ini || fail "Info.ini does not say $version"
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate /usr/share/applications/com.tandrevel.Quillora.desktop ||
        fail "the desktop entry does not validate"
fi
zcat /usr/share/man/man1/quillora.1.gz | grep -qF "Quillora $version" || fail "the manual page is not for $version"

# The command line.
[ "$(/usr/bin/quillora --version)" = "quillora $version" ] || fail "--version says: $(/usr/bin/quillora --version)"
help=$(/usr/bin/quillora --help) || fail "--help exited with $?"
for text in "--record [SECONDS]" "--probe REPORT.txt" "QUILLORA_AUDIO_BACKEND" "/usr/share/quillora/Info.ini"; do
    grep -qF -- "$text" <<<"$help" || fail "--help does not mention $text"
done

# A recording with the installed program, and the Info.ini it finds.
work=$(mktemp -d)
note "recording 3 s with /usr/bin/quillora in a private PipeWire sandbox"
started=$(now)
"$here/audio-sandbox.sh" run -- "$here/test-package.sh" --inside-sandbox "$version" "$work" ||
    fail "the recording check failed (summary: $(cat "$work/summary.json" 2>/dev/null || echo none))"
record_seconds=$(since "$started")

deb_bytes=$(stat -c %s "$deb")
installed_kib=$(field Installed-Size)
note "package: $deb_name, $deb_bytes bytes, installed size $installed_kib KiB"
note "times: build+package ${build_seconds} s, apt-get install ${install_seconds} s, sandbox+recording ${record_seconds} s"
note "recording: $(cat "$work/figures")"

# Remove now (not only in the trap) so that what is left behind is checked.
trap - EXIT
apt_get remove -y quillora >/dev/null || fail "apt-get remove failed"
if [ -n "$pulled_in" ]; then
    # shellcheck disable=SC2086
    apt_get purge -y $pulled_in >/dev/null || fail "could not remove $pulled_in"
fi
rm -rf "$work"
for package in quillora $pulled_in; do
    if installed "$package"; then
        fail "$package is still installed"
    fi
done
if [ -e /usr/bin/quillora ] || [ -e /usr/share/quillora ]; then
    fail "files are left behind after removal"
fi
note "PASS"
