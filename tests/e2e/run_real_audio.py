#!/usr/bin/env python3
"""End-to-end run of the real tonelark.exe through a real audio stack: Wine's own PulseAudio
driver against a private PulseAudio server (scripts/demo-tools/real_audio.py), in a Wine prefix
without the virtual audio endpoints.

The guitar adapter plays a 220 Hz sine at half scale, marked every second with an impulse pair.
First a bare pass-through (passthrough.exe) copies it to the speakers for a few seconds; then the
scenario starts the engine with {"lowLatency": true, "sharedCapture": true, "shareSpeakers": true},
asks for "status" three times and plays two clicks. The run must show the start with the adapter's
name, both streams in the ordinary shared mode (Wine's driver refuses IAudioClient3, so no engine
period is reported), PCM events at the rate the capture's chunks give (within 3%), carrying the
sine, no under-run frames after the first "status" (about a second in), the sine and the clicks
in what the speakers played, and the impulses arriving there through the program, the
pass-through and PulseAudio's own module-loopback. The round-trip delays, and whether the
program's exceeds the pass-through's by the "engineDelayMs" it reports, are printed, never
asserted: a loaded machine moves them.

Exits 77 (skipped) when no PulseAudio server can be started here.

Usage: run_real_audio.py --app <build>/app [--prefix DIR] [--keep]
"""

import argparse
import math
import os
import shutil
import signal
import statistics
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts", "demo-tools"))

import analyse  # noqa: E402
import make_guitar  # noqa: E402
import real_audio  # noqa: E402
import run_e2e  # noqa: E402
from run_e2e import Checks, Failure, Interrupted, read_wav, winpath  # noqa: E402
from wavio import write_wav_mono16  # noqa: E402

RATE = real_audio.RATE
GUITAR_HZ = 220.0
GUITAR_AMPLITUDE = 0.5
IMPULSE_EVERY_S = 1.0
RUN_TIMEOUT_S = 120
DEVICE_NAME = "Monitor of " + real_audio.GUITAR_DESCRIPTION
SUCCESS_LINE = "Tonelark shared %d Hz capture, render shared %d Hz" % (RATE, RATE)
ENGINE_PERIOD_LINE = "Tonelark shared engine period"
PASSTHROUGH_SECONDS = 6
PCM_RATE_TOLERANCE = 0.03  # of the capture rate over the chunk size
SERVER_KEY = (r"HKLM\Software\Classes\CLSID\{BCDE0395-E52F-467C-8E3D-C4579291692E}"
              r"\InprocServer32")

# Volume 0.25 is a gain of 1: the speakers play the guitar at its own level.
SCENARIO = """\
0 call tonelark/guitar setVolume double 0.25
0 listen tonelark/guitar_pcm
100 call tonelark/guitar start map lowLatency=bool:true sharedCapture=bool:true shareSpeakers=bool:true
1200 call tonelark/guitar status
2000 call tonelark/guitar click bool true
3000 call tonelark/guitar click
3600 call tonelark/guitar status
6000 call tonelark/guitar status
6100 call tonelark/guitar stop
6200 cancel tonelark/guitar_pcm
6500 close
"""


def guitar_samples(seconds=20):
    sine = [GUITAR_AMPLITUDE * math.sin(2.0 * math.pi * GUITAR_HZ * i / RATE)
            for i in range(int(seconds * RATE))]
    return make_guitar.add_impulses(sine, RATE, IMPULSE_EVERY_S)


def tone_amplitude(samples, start, n):
    return analyse.tone_amplitude(samples, start, n, GUITAR_HZ, RATE)


def quiet_windows(samples, n, hop):
    """Starts of n-sample windows without an impulse pair (no step above 0.5)."""
    marks = [i for i in range(1, len(samples)) if abs(samples[i] - samples[i - 1]) > 0.5]
    starts = []
    for start in range(0, len(samples) - n, hop):
        if not any(start - 4 <= m < start + n + 4 for m in marks):
            starts.append(start)
    return starts


def figure(text):
    print("  figure: " + text)


def check_replies(c, run):
    messages = run.answered_messages()
    replies = {m["what"].split("(")[0]: m["reply"] for m in messages}
    expected_start = run_e2e.start_reply(True, DEVICE_NAME, RATE, False)
    got = replies.get("start")
    c.expect(got == expected_start, "reply to start: got %s, expected %s" % (
        "none" if got is None else got.hex(" "), expected_start.hex(" ")))
    figure("start -> %s" % next((m["what"] for m in messages if m["what"].startswith("start")),
                                "?"))
    pairs = analyse.pair_replies(analyse.parse_traffic(run.path("traffic.log")))
    statuses = analyse.status_replies(pairs)
    c.equal(len(statuses), 3, "status replies")
    for time_ms, status in statuses:
        figure("status at %.1f s: %s" % (time_ms / 1000.0, ", ".join(
            "%s=%s" % item for item in sorted(status.items()) if item[0] != "name")))
        c.equal((status.get("running"), status.get("name"), status.get("sampleRate"),
                 status.get("captureExclusive"), status.get("renderExclusive"),
                 status.get("lowLatency"), status.get("sharedCapture"),
                 status.get("shareSpeakers"), status.get("deviceLost")),
                (True, DEVICE_NAME, RATE, False, False, True, True, True, False),
                "status (running, name, sampleRate, captureExclusive, renderExclusive, "
                "lowLatency, sharedCapture, shareSpeakers, deviceLost)")
    if len(statuses) >= 2:
        first, last = statuses[0][1], statuses[-1][1]
        grown = last.get("renderUnderrunFrames", 0) - first.get("renderUnderrunFrames", 0)
        figure("under-run frames after the status at %.1f s: %d" % (statuses[0][0] / 1000.0, grown))
        c.expect(grown == 0, "%d under-run frames between the status at %.1f s and at %.1f s"
                 % (grown, statuses[0][0] / 1000.0, statuses[-1][0] / 1000.0))
    return [status for _, status in statuses]


def check_pcm(c, run, report):
    events = run.events(run_e2e.PCM_CHANNEL)
    chunk = analyse.pcm_chunk_samples(RATE)
    c.equal(report.get("pcm_event_bytes"), str(2 * chunk), "sizes of the PCM events")
    if not c.expect(len(events) > 200, "only %d PCM events" % len(events)):
        return
    span_s = (events[-1][0] - events[0][0]) / 1000.0
    rate = (len(events) - 1) / span_s if span_s > 0 else 0.0
    expected = RATE / float(chunk)
    figure("PCM events: %d over %.2f s, %.1f per second (expected %.1f)"
           % (len(events), span_s, rate, expected))
    c.expect(abs(rate / expected - 1.0) <= PCM_RATE_TOLERANCE,
             "PCM events arrived at %.1f per second, expected %.1f within %.0f%%"
             % (rate, expected, 100 * PCM_RATE_TOLERANCE))
    if not c.expect(os.path.exists(run.path("pcm.wav")), "no pcm.wav"):
        return
    pcm_rate, pcm = read_wav(run.path("pcm.wav"))
    c.equal(pcm_rate, RATE, "PCM sample rate")
    c.equal(len(pcm), chunk * len(events), "PCM samples (%d per event)" % chunk)
    n = RATE // 10
    windows = quiet_windows(pcm, n, n)
    if not c.expect(len(windows) >= 5, "the PCM holds no stretch of guitar without an impulse"):
        return
    middle = pcm[windows[len(windows) // 2]:windows[len(windows) // 2] + n]
    # The median over every window: paplay, which feeds the adapter, falls behind now and then
    # on a loaded machine, and the few milliseconds of silence it leaves in the adapter's own
    # signal throw one window's zero crossings off by several percent.
    pitches = [run_e2e.frequency(pcm[start:start + n], RATE) for start in windows]
    pitch = statistics.median(pitches)
    amplitudes = [tone_amplitude(pcm, start, n) for start in windows]
    rms, peak = analyse.level(middle)
    figure("PCM: %.2f Hz, amplitude %.3f (medians of %d windows; %d off by 1 Hz or more), "
           "RMS %.1f dBFS, peak %.1f dBFS"
           % (pitch, statistics.median(amplitudes), len(windows),
              sum(abs(p - GUITAR_HZ) >= 1.0 for p in pitches), rms, peak))
    c.expect(abs(pitch - GUITAR_HZ) < 1.0, "PCM carries %.2f Hz, the guitar plays %.1f Hz"
             % (pitch, GUITAR_HZ))
    c.expect(abs(statistics.median(amplitudes) - GUITAR_AMPLITUDE) < 0.02,
             "PCM amplitude %.3f, the guitar's is %.3f"
             % (statistics.median(amplitudes), GUITAR_AMPLITUDE))


def check_speakers(c, out_dir):
    _, speakers = read_wav(os.path.join(out_dir, "speakers.wav"))
    n = RATE // 10
    # Monitoring runs from the start to the stop: the windows where the guitar sounds.
    amplitudes = [tone_amplitude(speakers, start, n) for start in quiet_windows(speakers, n, n)]
    sounding = [a for a in amplitudes if a > 0.1]
    figure("speakers: the guitar in %d windows of 100 ms, amplitude %.3f (median)"
           % (len(sounding), statistics.median(sounding) if sounding else 0.0))
    if c.expect(len(sounding) >= 20, "the guitar sounds in only %d windows of 100 ms in the "
                "speaker recording" % len(sounding)):
        c.expect(abs(statistics.median(sounding) - GUITAR_AMPLITUDE) < 0.05,
                 "guitar amplitude %.3f in the speaker recording, expected %.3f at a gain of 1"
                 % (statistics.median(sounding), GUITAR_AMPLITUDE))
    clicks = analyse.find_clicks(speakers, RATE)
    for click in clicks:
        figure("click at %.3f s, %.1f Hz, peak %.2f" % (click["onset"], click["pitch"],
                                                         click["peak"]))
    if c.equal(len(clicks), 2, "clicks found in the speaker recording"):
        c.expect(abs(clicks[0]["pitch"] - 1568.0) < 3.0,
                 "first click at %.1f Hz, expected the accent at 1568 Hz" % clicks[0]["pitch"])
        c.expect(abs(clicks[1]["pitch"] - 1046.5) < 3.0,
                 "second click at %.1f Hz, expected 1046.5 Hz" % clicks[1]["pitch"])
        interval = clicks[1]["onset"] - clicks[0]["onset"]
        c.expect(0.8 < interval < 1.2, "clicks %.3f s apart, the scenario sends them 1 s apart"
                 % interval)


def check_round_trip(c, result, statuses):
    for line in real_audio.round_trip_lines(result, statuses):
        figure(line.strip())
    figure("program delay of each impulse (ms): %s" % result["program"].get("each_ms"))
    for key, name in (("program", "the program"), ("passthrough", "the pass-through"),
                      ("loopback", "module-loopback")):
        figures = result.get(key, {})
        c.expect(figures.get("arrived", 0) >= 3, "only %d of %d impulses reached the speakers "
                 "through %s" % (figures.get("arrived", 0), figures.get("impulses", 0), name))


def run_passthrough(session, app, pulse, folder):
    os.makedirs(folder)
    with pulse.passthrough():
        code, stdout, stderr = session.run(
            ["wine", "passthrough.exe", str(PASSTHROUGH_SECONDS)], RUN_TIMEOUT_S,
            os.path.join(folder, "passthrough"), cwd=app, extra_env=pulse.env({}))
    figure("pass-through: exit code %d, %s" % (code, (stdout.strip() or "no output")))
    if code != 0:
        raise Failure("passthrough.exe ended with code %d: %r" % (code, stderr.strip()[-300:]))


def run_case(session, app, pulse, folder):
    out = os.path.join(folder, "out")
    os.makedirs(out)
    scenario = os.path.join(folder, "scenario.txt")
    with open(scenario, "w") as f:
        f.write(SCENARIO)
    env = pulse.env({})
    env.update({"TONELARK_STANDIN_OUT": winpath(out), "TONELARK_SCENARIO": winpath(scenario),
                "WINEDEBUG": "warn+debugstr"})
    code, stdout, stderr = session.run(["wine", "tonelark.exe"], RUN_TIMEOUT_S,
                                       os.path.join(folder, "program"), cwd=app, extra_env=env)
    return run_e2e.Run(folder, code, stdout, stderr)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--app", required=True, help="the staged application (<build>/app)")
    parser.add_argument("--prefix", help="Wine prefix (default: <app>/../wineprefix-real-audio)")
    parser.add_argument("--keep", action="store_true", help="keep the run folder")
    options = parser.parse_args()
    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, run_e2e.on_signal)

    priority, booster = run_e2e.audio_priority(run_e2e.AUDIO_THREAD)
    print("real audio: %s" % priority)
    staged = os.path.abspath(options.app)
    if not os.path.isfile(os.path.join(staged, "tonelark.exe")):
        print("real audio: tonelark.exe is missing from %s (build tonelark_app)" % staged)
        return 1
    prefix = options.prefix or os.path.join(os.path.dirname(staged), "wineprefix-real-audio")
    session = run_e2e.Session(prefix, options.keep)
    problems = []
    started = time.monotonic()
    try:
        guitar = os.path.join(session.tmp, "guitar.wav")
        write_wav_mono16(guitar, RATE, guitar_samples())
        try:
            pulse = real_audio.RealAudioSession(os.path.join(session.tmp, "pulse"), guitar).start()
        except real_audio.Unavailable as error:
            print("real audio: SKIP: no PulseAudio server could be started: %s" % error)
            return real_audio.SKIP_EXIT_CODE
        try:
            session.start_xvfb()
            session.start_wine()
            # Wine's own driver only: the device enumerator must be Wine's, not the virtual one.
            _, server, _ = session.run(["wine", "reg", "query", SERVER_KEY, "/ve"], 60,
                                       os.path.join(session.tmp, "enumerator"))
            if "virtual_audio" in server.lower():
                raise Failure("the prefix %s has the virtual audio endpoints registered: %s"
                              % (prefix, server.strip()))
            app = os.path.join(session.tmp, "app")
            shutil.copytree(staged, app)
            run_passthrough(session, app, pulse, os.path.join(session.tmp, "passthrough"))
            run = run_case(session, app, pulse, os.path.join(session.tmp, "real-audio"))
        finally:
            pulse.close()
        result = pulse.results(run.out)
        c = Checks()
        report = run.report()
        run_e2e.check_clean_end(c, run, report)
        c.expect(SUCCESS_LINE in run.stderr, "no debugger line %r; the program's debugger "
                 "output: %r" % (SUCCESS_LINE, [line for line in run.stderr.splitlines()
                                                if "Tonelark" in line][-5:]))
        # Wine's driver refuses IAudioClient3: the low-latency start falls back to the ordinary
        # shared mode without a word about an engine period.
        c.expect(ENGINE_PERIOD_LINE not in run.stderr, "Wine's driver gave an engine period: %r"
                 % [line for line in run.stderr.splitlines() if ENGINE_PERIOD_LINE in line])
        statuses = check_replies(c, run)
        check_pcm(c, run, report)
        check_speakers(c, run.out)
        check_round_trip(c, result, statuses)
        problems = c.problems
    except (Failure, Interrupted, subprocess.TimeoutExpired, OSError) as error:
        problems = [str(error)]
    finally:
        session.close()
        if booster is not None:
            booster.stop()
    seconds = time.monotonic() - started
    if problems:
        print("FAIL real-audio (%.1f s)" % seconds)
        for problem in problems:
            print("  - " + problem)
        print("0 passed, 1 failed")
        return 1
    print("ok   real-audio (%.1f s)" % seconds)
    print("1 passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
