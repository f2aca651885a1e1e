#!/usr/bin/env python3
"""CPU of a whole headless recording against the script a Linux user would write instead.

    bench/compare-with-script.py [--build BUILD] [--runs N] [--seconds S] [--silence]

Starts a private PipeWire sandbox (scripts/audio-sandbox.sh) with a speaker that plays a voice-like far
end and a microphone that captures a voice-like near end (or nothing, with --silence), then, N times,
records the same call with both at once, so that both see the same load on a shared machine:

  program  quillora --record S --out program.m4a
  script   pw-record of the microphone and of the speaker's monitor, mixed and encoded by
           ffmpeg -c:a aac -b:a 160k

CPU is user + system time of every process involved (rusage of the reaped children). Prints one line per
run, then the median, lowest and highest ratio program / script. While the program records, its threads
are sampled once, so the line also shows the real-time thread's and the writer's share of a core, and the
delay from the start of the capture to its first block as the program logs it.
"""

import argparse
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SANDBOX = os.path.join(HERE, "..", "scripts", "audio-sandbox.sh")
TICKS = os.sysconf("SC_CLK_TCK")


def rusage_seconds(usage):
    return usage.ru_utime + usage.ru_stime


def voice(pitch, syllables, silent):
    """A voice-like mono float stream on stdout: a band-limited sawtooth with syllable-rate modulation."""
    volume = "0" if silent else "0.35"
    return subprocess.Popen(
        ["sox", "-q", "-n", "-t", "raw", "-r", "48000", "-c", "1", "-e", "floating-point", "-b", "32",
         "-L", "-", "synth", "3600", "sawtooth", str(pitch), "lowpass", "1500", "tremolo", str(syllables),
         "90", "vol", volume],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)


def player(source, properties, target):
    return subprocess.Popen(
        ["pw-play", "--format", "f32", "--rate", "48000", "--channels", "1", "--target", target, "-P",
         properties, "-"],
        stdin=source.stdout, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def wait_for_node(name, seconds=10):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        listing = subprocess.run(["pw-cli", "ls", "Node"], capture_output=True, text=True).stdout
        if f'node.name = "{name}"' in listing:
            return
        time.sleep(0.05)
    sys.exit(f"node {name} did not appear")


def thread_ticks(pid):
    """Per thread name: CPU ticks so far (threads of the same name added up)."""
    ticks = {}
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/stat") as stat:
                text = stat.read()
            name = text[text.index("(") + 1:text.rindex(")")]
            fields = text[text.rindex(")") + 2:].split()
            ticks[name] = ticks.get(name, 0) + int(fields[11]) + int(fields[12])
    except (FileNotFoundError, ProcessLookupError):
        pass
    return ticks


def reap(process):
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    return rusage_seconds(usage)


def first_block_seconds():
    log = os.path.join(os.environ["XDG_STATE_HOME"], "Quillora", "quillora.log")
    try:
        with open(log) as file:
            found = re.findall(r"Primo blocco audio dopo ([0-9.]+) s", file.read())
    except FileNotFoundError:
        return None
    return float(found[-1]) if found else None


def one_run(program, folder, index, seconds):
    prefix = os.path.join(folder, f"run{index}")
    mic_fifo, system_fifo = prefix + ".mic", prefix + ".system"
    os.mkfifo(mic_fifo)
    os.mkfifo(system_fifo)

    # The script: two recorders into named pipes, one encoder reading both.
    encoder = subprocess.Popen(
        ["ffmpeg", "-nostdin", "-loglevel", "error", "-y",
         "-f", "f32le", "-ar", "48000", "-ac", "2", "-i", system_fifo,
         "-f", "f32le", "-ar", "48000", "-ac", "1", "-i", mic_fifo,
         "-filter_complex", "amix=inputs=2", "-c:a", "aac", "-b:a", "160k", prefix + ".script.m4a"])
    # Raw samples on standard output into the pipes (a named file would become a WAVE file). Opening a
    # pipe waits for ffmpeg to open it, in the order of its inputs.
    recorders = []
    for fifo, arguments in ((system_fifo, ["--target", "bench-speaker", "-P", "{ stream.capture.sink=true }",
                                           "--channels", "2"]),
                            (mic_fifo, ["--target", "bench-mic", "--channels", "1"])):
        pipe = os.open(fifo, os.O_WRONLY)
        recorders.append(subprocess.Popen(["pw-record", *arguments, "--format", "f32", "--rate", "48000", "-"],
                                          stdout=pipe, stderr=subprocess.DEVNULL))
        os.close(pipe)
    recording = subprocess.Popen([program, "--record", str(seconds), "--out", prefix + ".program.m4a"],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    started = time.monotonic()

    # The program's threads, sampled over the middle of the recording.
    time.sleep(min(2.0, seconds / 4))
    before, before_at = thread_ticks(recording.pid), time.monotonic()
    time.sleep(max(0.5, seconds - (time.monotonic() - started) - 1.0))
    after, after_at = thread_ticks(recording.pid), time.monotonic()
    span = after_at - before_at

    program_cpu = reap(recording)
    for recorder in recorders:
        recorder.send_signal(signal.SIGINT)
    script_cpu = sum(reap(recorder) for recorder in recorders) + reap(encoder)
    if recording.returncode != 0:
        sys.exit(f"run {index}: the program ended with {recording.returncode}")

    threads = {name: (after[name] - before.get(name, 0)) / TICKS / span * 100 for name in after}
    return program_cpu, script_cpu, threads


def inside(arguments):
    run = subprocess.run
    run([SANDBOX, "speaker", "bench-speaker", "Altoparlanti"], check=True, stdout=subprocess.DEVNULL)
    run(["pw-metadata", "-n", "default", "0", "default.configured.audio.sink", '{ "name": "bench-speaker" }',
         "Spa:String:JSON"], check=True, stdout=subprocess.DEVNULL)
    sources = [voice(140, 3.7, arguments.silence), voice(210, 4.4, arguments.silence)]
    players = [
        player(sources[0], "{ node.name=bench-far-end application.name=Chiamata }", "bench-speaker"),
        player(sources[1], "{ media.class=Audio/Source node.name=bench-mic node.description=Microfono }",
               "0"),
    ]
    wait_for_node("bench-mic")
    run(["pw-metadata", "-n", "default", "0", "default.configured.audio.source", '{ "name": "bench-mic" }',
         "Spa:String:JSON"], check=True, stdout=subprocess.DEVNULL)
    time.sleep(0.5)

    program = os.path.join(os.path.abspath(arguments.build), "Quillora", "quillora")
    ratios = []
    with tempfile.TemporaryDirectory() as folder:
        for index in range(1, arguments.runs + 1):
            program_cpu, script_cpu, threads = one_run(program, folder, index, arguments.seconds)
            ratio = program_cpu / script_cpu
            ratios.append(ratio)
            busiest = sorted(threads.items(), key=lambda item: -item[1])[:4]
            first = first_block_seconds()
            print(f"run {index}: program {program_cpu / arguments.seconds * 100:.2f} % of a core, "
                  f"script {script_cpu / arguments.seconds * 100:.2f} %, ratio {ratio:.2f}x; threads "
                  + ", ".join(f"{name} {share:.2f} %" for name, share in busiest)
                  + (f"; first block after {first:.3f} s" if first is not None else ""), flush=True)
    for process in players + sources:
        process.kill()
        process.wait()
    print(f"ratio program/script over {len(ratios)} runs of {arguments.seconds} s"
          f"{' (silence)' if arguments.silence else ''}: median {statistics.median(ratios):.2f}x, "
          f"lowest {min(ratios):.2f}x, highest {max(ratios):.2f}x (goal <= 0.8x)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--silence", action="store_true", help="nothing plays and no one speaks")
    parser.add_argument("--inside-sandbox", action="store_true", help=argparse.SUPPRESS)
    arguments = parser.parse_args()
    if arguments.inside_sandbox:
        inside(arguments)
        return
    forwarded = [a for a in sys.argv[1:]]
    os.execv(SANDBOX, [SANDBOX, "run", "--", sys.executable, os.path.abspath(__file__), "--inside-sandbox",
                       *forwarded])


if __name__ == "__main__":
    main()
