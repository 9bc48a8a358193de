#!/usr/bin/env python3
"""End-to-end tests of the real tonelark.exe under Wine and Xvfb.

Each case copies the staged application to a temporary folder, writes a scenario for the engine
stand-in (which plays the user interface) and a virtual audio configuration (a guitar adapter
playing a sine, and speakers that record to a WAV file), runs `wine tonelark.exe` with a time
limit and checks what the stand-ins recorded: report.txt, traffic.log, plugins.log, the received
PCM (pcm.wav), the speaker output, the program's debugger output (debug.log) and its handle
count over time (resources.log).

The harness starts its own Xvfb (a screen large enough for a 1920 x 1080 window) and uses its own
Wine prefix, and stops both (Xvfb by its process id, the prefix's wineserver with -k) on every
way out, including failures, time-outs and signals.

Usage: run_e2e.py --app <build>/app [--prefix DIR] [--keep] [--only CASE ...]
"""

import argparse
import glob
import math
import os
import pwd
import re
import select
import shutil
import signal
import subprocess
import sys
import threading
import tempfile
import time
import wave

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
REGISTER_VIRTUAL_AUDIO = os.path.join(REPO, "scripts", "register-virtual-audio")
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(REPO, "scripts", "demo-tools"))
import analyse  # noqa: E402  (the decoded replies of traffic.log)
import soak_tools  # noqa: E402  (the soak's scenario and resources.log reader)
import tone_lines  # noqa: E402  (lines beside a tone)
import wavio  # noqa: E402  (float WAV files)

SCREEN = "2560x1600x24"
# Time limits, in seconds, that keep the whole run well inside CTest's 900 s.
RUN_TIMEOUT_S = 90  # one run of the program, scenario included
PREFIX_TIMEOUT_S = 240  # creating a new Wine prefix
WINE_START_TIMEOUT_S = 120  # starting the prefix's services
GUITAR_HZ = 220.0
GUITAR_AMPLITUDE = 0.5
CAPTURE_RATE = 48000
COMMAND_CHANNEL = "tonelark/guitar"
PCM_CHANNEL = "tonelark/guitar_pcm"
DEVICE_NAME = "Rocksmith Guitar Adapter"


class Failure(Exception):
    pass


class Interrupted(Exception):
    pass


# ---- Priorities ----

# On Windows a device's interrupt comes before the engine's audio thread, which has the multimedia
# class scheduler's "Pro Audio" priority, and that thread before the rest; Wine's avrt gives it
# nothing. These threads are found by the names they give themselves (Wine hands
# SetThreadDescription on to the host thread) and put above real-time priority 1. Under Wine,
# every wait for an event and every SetEvent is a request to the wineserver, which stands in for
# the Windows kernel here: it goes beside the audio thread, or an audio thread's wake waits for
# whatever else runs at priority 1 (Xvfb, the engine's threads) to yield.
WINESERVER = {"wineserver64": 2, "wineserver": 2}  # as Debian's 64-bit and other builds name it
DEVICE_AND_AUDIO_THREADS = dict({"vaudio clock": 3, "vaudio watch": 3, "Tonelark audio": 2},
                                **WINESERVER)
AUDIO_THREAD = dict({"Tonelark audio": 2}, **WINESERVER)


class PriorityBooster(threading.Thread):
    """Gives threads named in `priorities` their SCHED_FIFO priority as soon as they appear.

    It looks every 20 ms, so it runs at normal priority itself and reads only the threads of
    Wine's processes (and of processes named in `priorities`): reading every thread of the machine
    at real-time priority took a quarter of a core, which the wineserver then waited for."""

    def __init__(self, priorities):
        super().__init__(daemon=True)
        self.priorities = priorities
        self.done = threading.Event()
        self.boosted = set()

    def run(self):
        try:
            os.sched_setscheduler(0, os.SCHED_OTHER, os.sched_param(0))  # this thread only
        except OSError:
            pass
        while not self.done.wait(0.02):
            for pid in self.watched_processes():
                for comm in glob.glob("/proc/%s/task/[0-9]*/comm" % pid):
                    tid = int(comm.split("/")[4])
                    if tid not in self.boosted:
                        self.boost(tid, comm)

    def watched_processes(self):
        for comm in glob.glob("/proc/[0-9]*/comm"):
            try:
                with open(comm) as f:
                    name = f.read().strip()
            except OSError:
                continue  # gone meanwhile
            if name.endswith(".exe") or name in self.priorities:
                yield comm.split("/")[2]

    def boost(self, tid, comm):
        try:
            # Wine names a thread after it starts: a name is read again until it matches.
            with open(comm) as f:
                priority = self.priorities.get(f.read().strip())
            if priority is not None:
                os.sched_setscheduler(tid, os.SCHED_FIFO, os.sched_param(priority))
                self.boosted.add(tid)
        except OSError:
            pass  # gone meanwhile

    def stop(self):
        self.done.set()


def audio_priority(priorities):
    """Runs this process, and with it what it starts (Xvfb, the wineserver, the program, a sound
    server), at the lowest real-time priority where the machine allows, and the threads named in
    `priorities` above it, so that the timing judged is the program's and not the Linux
    scheduler's. Returns what it got, for the report, and the booster to stop (or None)."""
    try:
        os.sched_setscheduler(0, os.SCHED_RR, os.sched_param(1))
    except (AttributeError, OSError):
        return "normal priority (no real-time scheduling allowed)", None
    booster = PriorityBooster(priorities)
    booster.start()
    return "real-time priority (SCHED_RR 1; %s)" % ", ".join(
        "\"%s\" SCHED_FIFO %d" % item for item in sorted(priorities.items())), booster


def on_signal(signum, _frame):
    raise Interrupted("stopped by signal %d" % signum)


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


# ---- The standard message codec, for the expected replies ----

def enc_size(n):
    if n < 254:
        return bytes([n])
    if n <= 0xFFFF:
        return bytes([254]) + n.to_bytes(2, "little")
    return bytes([255]) + n.to_bytes(4, "little")


def enc_string(text):
    data = text.encode("utf-8")
    return b"\x07" + enc_size(len(data)) + data


def enc_bool(value):
    return b"\x01" if value else b"\x02"


def enc_int32(value):
    return b"\x03" + value.to_bytes(4, "little", signed=True)


def enc_map(entries):
    """entries: (encoded key, encoded value) pairs, already in the map's key order."""
    return b"\x0d" + enc_size(len(entries)) + b"".join(k + v for k, v in entries)


SUCCESS_NULL = b"\x00\x00"
NOT_IMPLEMENTED = b""


def start_reply(ok, name, sample_rate, render_exclusive):
    # A map's entries go out in key order: name, ok, renderExclusive, sampleRate.
    return b"\x00" + enc_map([
        (enc_string("name"), enc_string(name)),
        (enc_string("ok"), enc_bool(ok)),
        (enc_string("renderExclusive"), enc_bool(render_exclusive)),
        (enc_string("sampleRate"), enc_int32(sample_rate)),
    ])


def error_reply(code, message):
    return b"\x01" + enc_string(code) + enc_string(message) + b"\x00"


# ---- Processes we own ----

class Session:
    """Xvfb, the Wine prefix's wineserver and the temporary folder, all released by close()."""

    def __init__(self, prefix, keep):
        self.prefix = os.path.abspath(prefix)
        self.keep = keep
        self.xvfb = None
        self.display = None
        self.wine_started = False
        self.tmp = tempfile.mkdtemp(prefix="tonelark-e2e-")

    def env(self, extra=None):
        env = dict(os.environ)
        env.update({
            "WINEPREFIX": self.prefix,
            "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
            "DISPLAY": self.display or "",
            # Wine reads the command line's bytes in the locale's character set.
            "LANG": "C.UTF-8",
            "LC_ALL": "C.UTF-8",
        })
        for key in ("TONELARK_STANDIN_OUT", "TONELARK_SCENARIO", "TONELARK_STANDIN_DPI",
                    "TONELARK_STANDIN_FAIL_VIEW", "TONELARK_VIRTUAL_AUDIO_CONFIG"):
            env.pop(key, None)
        env.update(extra or {})
        return env

    def start_xvfb(self):
        if shutil.which("Xvfb") is None:
            raise Failure("Xvfb is not installed (scripts/setup installs it)")
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", SCREEN, "-nolisten", "tcp"],
            pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + 20
        try:
            while not number.endswith(b"\n"):
                remaining = deadline - time.monotonic()
                if remaining <= 0 or self.xvfb.poll() is not None:
                    raise Failure("Xvfb did not start")
                ready, _, _ = select.select([read_end], [], [], remaining)
                if ready:
                    chunk = os.read(read_end, 16)
                    if not chunk:
                        raise Failure("Xvfb did not report its display")
                    number += chunk
        finally:
            os.close(read_end)
        self.display = ":" + number.decode().strip()

    def start_wine(self):
        if shutil.which("wine") is None or shutil.which("wineserver") is None:
            raise Failure("Wine is not installed (scripts/setup installs it)")
        os.makedirs(os.path.dirname(self.prefix), exist_ok=True)
        self.wine_started = True
        if not os.path.exists(os.path.join(self.prefix, "system.reg")):
            print("e2e: preparing the Wine prefix %s (first time only) ..." % self.prefix,
                  flush=True)
            # With the display, so that the prefix learns this screen's size: a prefix made
            # without one keeps a 1024 x 768 screen, too small for the windows under test.
            subprocess.run(["wineboot", "-i"], env=self.env(),
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=PREFIX_TIMEOUT_S)
        subprocess.run(["wineserver", "-p"], env=self.env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        # Starts the prefix's services now, with no handles of ours to inherit.
        subprocess.run(["wine", "wineboot"], env=self.env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=WINE_START_TIMEOUT_S)

    def run(self, args, timeout, log_base, cwd=None, extra_env=None):
        """Runs a command with its output in files (Wine's helper processes inherit the
        handles and can hold a pipe open long after the command ended); returns (exit code,
        stdout, stderr)."""
        with open(log_base + ".stdout", "wb") as out, open(log_base + ".stderr", "wb") as err:
            proc = subprocess.Popen(args, cwd=cwd, env=self.env(extra_env),
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=err)
            try:
                proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                raise Failure("%s did not end within %d s" % (" ".join(args), timeout))
            except BaseException:
                proc.kill()
                proc.wait()
                raise
        with open(log_base + ".stdout", "rb") as out, open(log_base + ".stderr", "rb") as err:
            return (proc.returncode, out.read().decode("utf-8", "replace"),
                    err.read().decode("utf-8", "replace"))

    def close(self):
        if self.wine_started:
            env = self.env()
            for args in (["wineserver", "-k"], ["wineserver", "-w"]):
                try:
                    subprocess.run(args, env=env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   timeout=60)
                except (OSError, subprocess.TimeoutExpired):
                    pass
            self.wine_started = False
        if self.xvfb is not None:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
                self.xvfb.wait()
            self.xvfb = None
        if self.keep:
            print("e2e: kept %s" % self.tmp)
        else:
            shutil.rmtree(self.tmp, ignore_errors=True)


# ---- One run of the program ----

class Run:
    def __init__(self, folder, exit_code, stdout, stderr):
        self.folder = folder
        self.out = os.path.join(folder, "out")
        self.exit_code = exit_code
        self.stdout = stdout
        self.stderr = stderr

    def path(self, name):
        return os.path.join(self.out, name)

    def text(self, name):
        try:
            with open(self.path(name), encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def report(self):
        text = self.text("report.txt")
        if text is None:
            raise Failure("no report.txt was written")
        report = {}
        for line in text.splitlines():
            key, sep, value = line.partition("=")
            if sep:
                report[key.strip()] = value.strip()
        return report

    def plugin_calls(self):
        text = self.text("plugins.log") or ""
        return [line.split()[0] for line in text.splitlines() if line.strip()]

    def traffic(self):
        """[(time ms, direction, channel, kind, rest of line, hex bytes or None)]"""
        text = self.text("traffic.log")
        if text is None:
            raise Failure("no traffic.log was written")
        lines = []
        for raw in text.splitlines():
            parts = raw.split(None, 4)
            if len(parts) < 4:
                continue
            try:
                when = float(parts[0])
            except ValueError:
                continue
            rest = parts[4] if len(parts) > 4 else ""
            data = None
            marker = rest.rfind("| hex")
            if marker >= 0:
                digits = "".join(rest[marker + 5:].split())
                data = bytes.fromhex(digits)
                rest = rest[:marker].rstrip()
            lines.append((when, parts[1], parts[2], parts[3], rest, data))
        return lines

    def answered_messages(self):
        """The user interface's messages in order, each with the program's reply (bytes, and
        the log's decoded text; None when there was none), paired per channel in order."""
        messages = []
        waiting = {}
        for when, direction, channel, kind, rest, data in self.traffic():
            if direction == "ui->app" and kind == "message":
                entry = {"time": when, "channel": channel, "what": rest, "reply": None,
                         "reply_text": None}
                messages.append(entry)
                waiting.setdefault(channel, []).append(entry)
            elif direction == "app->ui" and kind == "reply" and waiting.get(channel):
                entry = waiting[channel].pop(0)
                entry["reply"] = data if data is not None else b""
                entry["reply_text"] = rest
        return messages

    def events(self, channel):
        return [(when, rest) for when, direction, ch, kind, rest, _ in self.traffic()
                if direction == "app->ui" and kind == "event" and ch == channel]

    def debug_lines(self):
        """debug.log as [(time ms, text)]."""
        text = self.text("debug.log")
        if text is None:
            raise Failure("no debug.log was written")
        lines = []
        for raw in text.splitlines():
            when, _, rest = raw.strip().partition(" ")
            try:
                lines.append((float(when), rest))
            except ValueError:
                continue
        return lines



LOG_LINE = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (.*)")


def check_log(c, session, run):
    """This run's part of the log file, in the prefix's %LOCALAPPDATA% (Wine sets the variable):
    after its run line, the program's "Tonelark" debugger lines in their order, each with a time."""
    path = os.path.join(session.prefix, "drive_c", "users", pwd.getpwuid(os.getuid()).pw_name,
                        "AppData", "Local", "Tonelark", "logs", "tonelark.log")
    lines = open(path, errors="replace").read().splitlines() if os.path.isfile(path) else []
    runs = [i for i, line in enumerate(lines) if LOG_LINE.fullmatch(line) and " ---- " in line]
    lines = [LOG_LINE.fullmatch(line) for line in lines[runs[-1] + 1 if runs else len(lines):]]
    c.equal([m and m.group(1) for m in lines],
            [text for _, text in run.debug_lines() if text.startswith("Tonelark")],
            "lines of %s after its run line" % path)


def audio_config(speakers_wav, guitar_lines=(), speakers_lines=None):
    """The guitar adapter (with guitar_lines added) and speakers that record to speakers_wav
    (speakers_lines in place of the output line, when given)."""
    if speakers_lines is None:
        speakers_lines = ["output " + winpath(speakers_wav)]
    return "\n".join([
        "device {0.0.1.00000000}.{e2e-guitar}",
        "flow capture",
        "name " + DEVICE_NAME,
        "description USB Audio Device",
        "format %d 1 16" % CAPTURE_RATE,
        "format %d 2 16" % CAPTURE_RATE,
        "source sine %g %g" % (GUITAR_HZ, GUITAR_AMPLITUDE),
        "default",
    ] + list(guitar_lines) + [
        "",
        "device {0.0.0.00000000}.{e2e-speakers}",
        "flow render",
        "name Speakers",
        "description Virtual Audio Device",
        "format %d 2 16" % CAPTURE_RATE,
        "mix %d 2" % CAPTURE_RATE,
    ] + list(speakers_lines) + [
        "default",
        "",
    ])


def run_program(session, app, name, args=(), dpi=96, scenario=None, extra_env=None, audio=None,
                timeout=RUN_TIMEOUT_S):
    """audio: the virtual audio configuration, given the speakers' WAV path (default:
    audio_config)."""
    folder = os.path.join(session.tmp, name)
    out = os.path.join(folder, "out")
    os.makedirs(out)
    env = {
        "TONELARK_STANDIN_OUT": winpath(out),
        "TONELARK_STANDIN_DPI": str(dpi),
        "TONELARK_VIRTUAL_AUDIO_CONFIG": winpath(os.path.join(folder, "virtual-audio.cfg")),
    }
    with open(os.path.join(folder, "virtual-audio.cfg"), "w") as f:
        f.write((audio or audio_config)(os.path.join(out, "speakers.wav")))
    if scenario is not None:
        with open(os.path.join(folder, "scenario.txt"), "w") as f:
            f.write(scenario)
        env["TONELARK_SCENARIO"] = winpath(os.path.join(folder, "scenario.txt"))
    env.update(extra_env or {})
    code, stdout, stderr = session.run(["wine", "tonelark.exe"] + list(args), timeout,
                                       os.path.join(folder, "program"), cwd=app, extra_env=env)
    return Run(folder, code, stdout, stderr)


# ---- Signal analysis ----

def read_wav(path):
    """(rate, channel 0 as floats in -1..1)"""
    with wave.open(path, "rb") as w:
        rate, channels, width = w.getframerate(), w.getnchannels(), w.getsampwidth()
        frames = w.readframes(w.getnframes())
    if width != 2:
        raise Failure("%s: %d-byte samples, expected 16-bit" % (os.path.basename(path), width))
    step = 2 * channels
    samples = [int.from_bytes(frames[i:i + 2], "little", signed=True) / 32768.0
               for i in range(0, len(frames) - step + 1, step)]
    return rate, samples


def frequency(samples, rate):
    """Frequency from the first and last rising zero crossings, interpolated between samples."""
    crossings = []
    for i in range(1, len(samples)):
        a, b = samples[i - 1], samples[i]
        if a < 0.0 <= b:
            crossings.append(i - 1 + (-a) / (b - a))
    if len(crossings) < 3:
        return 0.0
    return (len(crossings) - 1) * rate / (crossings[-1] - crossings[0])


def magnitude_at(samples, rate, f):
    """Goertzel magnitude of samples at frequency f."""
    coefficient = 2.0 * math.cos(2.0 * math.pi * f / rate)
    s1 = s2 = 0.0
    for x in samples:
        s1, s2 = x + coefficient * s1 - s2, s1
    return math.sqrt(max(0.0, s1 * s1 + s2 * s2 - coefficient * s1 * s2))


def peak_frequency(samples, rate, low, high):
    """The strongest frequency between low and high, refined from 5 Hz down to 0.05 Hz steps;
    other tones (the monitored guitar) far from it barely move it."""
    best = low
    step = 5.0
    while step >= 0.05:
        candidates = [best + k * step for k in range(-20, 21)] if step < 5.0 else \
            [low + k * step for k in range(int((high - low) / step) + 1)]
        best = max((f for f in candidates if low <= f <= high),
                   key=lambda f: magnitude_at(samples, rate, f))
        step /= 10.0
    return best


def bursts(samples, rate, threshold=0.02, gap_s=0.004):
    """(start, end) sample ranges where the signal stands above threshold, with short gaps (the
    zero crossings) closed."""
    gap = int(gap_s * rate)
    found = []
    start = last = None
    for i, x in enumerate(samples):
        if abs(x) >= threshold:
            if start is None:
                start = i
            elif i - last > gap:
                found.append((start, last + 1))
                start = i
            last = i
    if start is not None:
        found.append((start, last + 1))
    return found


# ---- Checks ----

class Checks:
    def __init__(self):
        self.problems = []

    def expect(self, condition, message):
        if not condition:
            self.problems.append(message)
        return condition

    def equal(self, actual, expected, what):
        return self.expect(actual == expected, "%s: got %r, expected %r" % (what, actual, expected))


def check_plugins(c, run):
    c.equal(run.plugin_calls(), ["RecordWindowsPluginCApiRegisterWithRegistrar",
                                 "WebviewWindowsPluginRegisterWithRegistrar"],
            "plugins.log (registrations in order)")


def check_clean_end(c, run, report):
    c.equal(run.exit_code, 0, "exit code after the window closed")
    c.equal(report.get("visible_before_first_frame"), "0", "visible before the first frame")
    c.equal(report.get("visible_after_first_frame"), "1", "visible after the first frame")
    c.equal(report.get("channels_cleared_before_engine_end"), "1",
            "both channels removed before the engine ended")
    c.equal(report.get("misuse_count"), "0", "messenger uses after the engine ended")
    c.expect("ViewController" in report.get("engine_destroyed_by", ""),
             "engine ended by %r, expected the view controller's destruction"
             % report.get("engine_destroyed_by"))


# Times are generous: the stand-in's timer runs late on a busy machine, and each click must stand
# apart from the monitoring switch.
MAIN_SCENARIO = """\
# The user interface's side of a session with the guitar engine.
0 call tonelark/guitar setVolume double 0.02
0 listen tonelark/guitar_pcm
100 call tonelark/guitar start
700 call tonelark/guitar setSpeaker bool false
1300 call tonelark/guitar click
1900 call tonelark/guitar click bool true
2500 call tonelark/guitar setSpeaker bool true
2600 call tonelark/guitar tune
2700 raw tonelark/guitar 03 07 00 00 00
2900 call tonelark/guitar stop
3000 cancel tonelark/guitar_pcm
3100 cancel tonelark/guitar_pcm
3300 close
"""

MAIN_REPLIES = [
    (COMMAND_CHANNEL, "setVolume 0.02", SUCCESS_NULL),
    (PCM_CHANNEL, "listen", SUCCESS_NULL),
    (COMMAND_CHANNEL, "start", start_reply(True, DEVICE_NAME, CAPTURE_RATE, True)),
    (COMMAND_CHANNEL, "setSpeaker false", SUCCESS_NULL),
    (COMMAND_CHANNEL, "click", SUCCESS_NULL),
    (COMMAND_CHANNEL, "click true", SUCCESS_NULL),
    (COMMAND_CHANNEL, "setSpeaker true", SUCCESS_NULL),
    (COMMAND_CHANNEL, "unknown method", NOT_IMPLEMENTED),
    (COMMAND_CHANNEL, "malformed call", NOT_IMPLEMENTED),
    (COMMAND_CHANNEL, "stop", SUCCESS_NULL),
    (PCM_CHANNEL, "cancel", SUCCESS_NULL),
    (PCM_CHANNEL, "cancel while idle", error_reply("error", "No active stream to cancel")),
]


def case_session(session, app):
    """Commands, replies, PCM stream, clicks, arguments, window at 144 DPI, clean shut-down."""
    run = run_program(session, app, "session", args=["a", "", "\u00e9"], dpi=144,
                      scenario=MAIN_SCENARIO)
    c = Checks()
    report = run.report()
    check_clean_end(c, run, report)
    check_plugins(c, run)

    c.equal(report.get("window_rect"), "15,15,1920,1080", "window rectangle at 144 DPI")
    c.equal([report.get("arg_count")] + [report.get("arg%d" % i, "").lower() for i in range(3)],
            ["3", "61", "", "c3a9"], "arguments (count, then each in hex)")
    c.expect("arg3" not in report, "a fourth argument arrived: %r" % report.get("arg3"))

    # Replies, byte for byte, in the order of the scenario.
    messages = run.answered_messages()
    c.equal(len(messages), len(MAIN_REPLIES), "messages delivered by the scenario")
    for (channel, what, expected), got in zip(MAIN_REPLIES, messages):
        if c.equal(got["channel"], channel, "channel of the %r message" % what):
            c.expect(got["reply"] == expected, "reply to %r: got %s, expected %s" % (
                what, "none" if got["reply"] is None else got["reply"].hex(" ") or "(empty)",
                expected.hex(" ") or "(empty)"))
    c.expect("Unable to construct method call from message on channel tonelark/guitar"
             in run.stderr, "no line for the malformed call on standard error; got: %r"
             % run.stderr[-500:])

    # PCM: 512-byte events at about 187.5 per second, carrying the guitar's sine.
    events = run.events(PCM_CHANNEL)
    c.equal(report.get("pcm_event_bytes"), "512", "sizes of the PCM events")
    c.expect(len(events) > 100, "only %d PCM events" % len(events))
    if len(events) > 100:
        span_s = (events[-1][0] - events[0][0]) / 1000.0
        rate = (len(events) - 1) / span_s if span_s > 0 else 0.0
        c.expect(170.0 <= rate <= 205.0,
                 "PCM events arrived at %.1f per second, expected about 187.5" % rate)
    if c.expect(os.path.exists(run.path("pcm.wav")), "no pcm.wav"):
        pcm_rate, pcm = read_wav(run.path("pcm.wav"))
        c.equal(pcm_rate, CAPTURE_RATE, "PCM sample rate")
        c.equal(len(pcm), 256 * len(events), "PCM samples (256 per event)")
        if len(pcm) > 4800:
            middle = pcm[len(pcm) // 2 - 2400:len(pcm) // 2 + 2400]
            # A loaded machine may make the audio thread miss a packet, which the adapter's
            # two-period buffer then loses (counted as a capture gap): the pitch is read from the
            # five 20 ms windows of the middle and their median taken.
            f = sorted(frequency(middle[i:i + 960], CAPTURE_RATE)
                       for i in range(0, 4800, 960))[2]
            c.expect(abs(f - GUITAR_HZ) < 1.0, "PCM carries %.1f Hz, the guitar plays %.1f Hz"
                     % (f, GUITAR_HZ))
            peak = max(abs(x) for x in middle)
            c.expect(abs(peak - GUITAR_AMPLITUDE) < 0.02,
                     "PCM peak %.3f, the guitar's is %.3f" % (peak, GUITAR_AMPLITUDE))

    # Speakers: the guitar at a fiftieth of the volume stays below the clicks' peaks, and is muted
    # while they sound: a normal click, then an accented one.
    if c.expect(os.path.exists(run.path("speakers.wav")), "no speaker output (speakers.wav)"):
        out_rate, speaker = read_wav(run.path("speakers.wav"))
        guitar_peak = 4 * 0.02 * GUITAR_AMPLITUDE
        clicks = [s for s, e in bursts(speaker, out_rate, threshold=guitar_peak + 0.06)
                  if 0.005 * out_rate <= e - s <= 0.040 * out_rate]
        click_frames = int(0.030 * out_rate)
        pitches = [peak_frequency(speaker[s:s + click_frames], out_rate, 500.0, 3000.0)
                   for s in clicks]
        if c.equal(len(clicks), 2, "clicks found in the speaker output"):
            c.expect(abs(pitches[0] - 1046.5) < 2.0,
                     "first click at %.1f Hz, expected 1046.5 Hz" % pitches[0])
            c.expect(abs(pitches[1] - 1568.0) < 2.0,
                     "second click at %.1f Hz, expected 1568 Hz" % pitches[1])
    return run, c.problems


def case_quick_close(session, app):
    """No arguments, window at 120 DPI, closed right after the first frame."""
    run = run_program(session, app, "quick-close", dpi=120, scenario="200 close\n")
    c = Checks()
    report = run.report()
    check_clean_end(c, run, report)
    check_plugins(c, run)
    c.equal(report.get("window_rect"), "12,12,1600,900", "window rectangle at 120 DPI")
    c.equal(report.get("arg_count"), "0", "argument count without arguments")
    return run, c.problems


def case_view_failure(session, app):
    """A failing view controller ends the program with exit code 1 before anything starts."""
    run = run_program(session, app, "view-failure", scenario="200 close\n",
                      extra_env={"TONELARK_STANDIN_FAIL_VIEW": "1"})
    c = Checks()
    c.equal(run.exit_code, 1, "exit code when the view controller cannot be created")
    c.expect("Failed to create view controller.\n" in run.stderr.replace("\r\n", "\n"),
             "standard error lacks the failure line; got: %r" % run.stderr[-500:])
    c.equal(run.plugin_calls(), [], "plugins registered without a view")
    report_text = run.text("report.txt") or ""
    c.expect("visible_after_first_frame=1" not in report_text, "the window was shown")
    return run, c.problems


# The guitar adapter leaves after 100 of its 10 ms periods (about 1 s after "start") and comes
# back 2.5 s later. Each "status" stands well apart from both moments.
REMOVAL_PERIODS = 100
RETURN_AFTER_MS = 2500
DEVICE_LOSS_SCENARIO = """\
# The guitar adapter is unplugged while streaming and plugged in again.
0 listen tonelark/guitar_pcm
100 call tonelark/guitar start
600 call tonelark/guitar status     # before the removal
2300 call tonelark/guitar status    # while the adapter is away
6000 call tonelark/guitar status    # after its return
6200 call tonelark/guitar stop
6300 cancel tonelark/guitar_pcm
6500 close
"""


def case_device_loss(session, app):
    """The guitar adapter is removed while streaming and comes back: PCM pauses and resumes by
    itself, "status" tells, the debugger output says lost and back, and the program ends well."""
    run = run_program(session, app, "device-loss", scenario=DEVICE_LOSS_SCENARIO,
                      audio=lambda speakers: audio_config(speakers, guitar_lines=[
                          "remove after-periods %d" % REMOVAL_PERIODS,
                          "return after-ms %d" % RETURN_AFTER_MS]))
    c = Checks()
    report = run.report()
    check_clean_end(c, run, report)

    statuses = [m for m in run.answered_messages() if m["what"].startswith("status(")]
    status = []
    for message in statuses:
        text = message["reply_text"] or ""
        c.expect(text.startswith("success {"), "reply to status at %.0f ms: %r"
                 % (message["time"], text))
        status.append(analyse.decoded_map(text))
    if c.equal(len(status), 3, "status replies"):
        for what, entries, lost in zip(("before the removal", "while away", "after the return"),
                                       status, (False, True, False)):
            c.equal(entries.get("deviceLost"), lost, "deviceLost %s" % what)
            c.equal(entries.get("running"), True, "running %s" % what)
        for what, entries in (("before the removal", status[0]), ("after the return", status[2])):
            c.equal(entries.get("name"), DEVICE_NAME, "device name %s" % what)
            c.equal(entries.get("sampleRate"), CAPTURE_RATE, "sample rate %s" % what)
            c.equal(entries.get("captureExclusive"), True, "exclusive capture %s" % what)

    # The debugger output: the start, the loss (an invalidated device), the re-opening and the
    # return, and no failure lines from the silent searches in between.
    debug = [(when, text) for when, text in run.debug_lines() if text.startswith("Tonelark")]
    opened = "Tonelark exclusive %d Hz capture, render exclusive %d Hz" % (CAPTURE_RATE,
                                                                            CAPTURE_RATE)
    c.equal([text for _, text in debug],
            [opened, "Tonelark device lost 0x88890004", opened, "Tonelark device back"],
            "debugger output")
    check_log(c, session, run)

    # PCM stops for about the time the adapter was away, then comes back without a command.
    times = [when for when, rest in run.events(PCM_CHANNEL) if rest.startswith("success bytes[")]
    long_gaps = [(b - a, a, b) for a, b in zip(times, times[1:]) if b - a > 1000.0]
    if not c.equal(len(long_gaps), 1, "pauses of the PCM events longer than 1 s"):
        return run, c.problems
    gap, gap_start, gap_end = long_gaps[0]
    # The pause lasts the absence plus up to one 500 ms search and the re-opening.
    c.expect(RETURN_AFTER_MS - 300 <= gap <= RETURN_AFTER_MS + 2000,
             "PCM paused for %.0f ms, the adapter was away for %d ms" % (gap, RETURN_AFTER_MS))
    if len(statuses) == 3:
        c.expect(statuses[0]["time"] < gap_start and gap_end < statuses[2]["time"],
                 "the pause (%.0f to %.0f ms) is not between the first and the last status"
                 % (gap_start, gap_end))
    before = sum(1 for t in times if t <= gap_start)
    after = sum(1 for t in times if t >= gap_end)
    c.expect(before > 50 and after > 100,
             "PCM events before / after the pause: %d / %d" % (before, after))
    if len(debug) == 4:
        lost_at, back_at = debug[1][0], debug[3][0]
        # The events reach the user interface's thread a little after the audio thread made them.
        c.expect(gap_start - 500 <= lost_at <= gap_start + 1500,
                 "device lost at %.0f ms, the last PCM event before the pause at %.0f ms"
                 % (lost_at, gap_start))
        c.expect(abs(back_at - gap_end) <= 1000,
                 "device back at %.0f ms, PCM resumed at %.0f ms" % (back_at, gap_end))
    return run, c.problems


HEADPHONES_AT_MS = 2000
HEADPHONES_SCENARIO = """\
# Headphones are plugged in while the guitar is monitored, and become the default output.
0 listen tonelark/guitar_pcm
100 call tonelark/guitar start
1200 call tonelark/guitar status    # on the speakers
4000 call tonelark/guitar status    # on the headphones
4300 call tonelark/guitar stop
4400 cancel tonelark/guitar_pcm
4600 close
"""


def case_headphones(session, app):
    """Headphones arrive mid-scenario and become the default: monitoring moves to them, the old
    speakers fall silent, and the PCM events run on without a pause."""
    def audio(speakers_wav):
        headphones_wav = os.path.join(os.path.dirname(speakers_wav), "headphones.wav")
        return audio_config(speakers_wav) + "\n".join([
            "device {0.0.0.00000000}.{e2e-headphones}",
            "flow render",
            "name Headphones",
            "description USB Headset",
            "format %d 2 16" % CAPTURE_RATE,
            "output " + winpath(headphones_wav),
            "arrive at-ms %d" % HEADPHONES_AT_MS,
            "default at-ms %d" % HEADPHONES_AT_MS,
            "",
        ])
    run = run_program(session, app, "headphones", scenario=HEADPHONES_SCENARIO, audio=audio)
    c = Checks()
    check_clean_end(c, run, run.report())
    statuses = [analyse.decoded_map(m["reply_text"] or "") for m in run.answered_messages()
                if m["what"].startswith("status(")]
    if c.equal(len(statuses), 2, "status replies"):
        c.equal(statuses[0].get("renderName"), "Speakers", "renderName before")
        c.equal(statuses[1].get("renderName"), "Headphones", "renderName after")
        c.equal(statuses[1].get("deviceLost"), False, "deviceLost after")
        c.equal(statuses[1].get("captureDiscontinuities"), 0, "capture gaps")
    debug = [text for _, text in run.debug_lines() if text.startswith("Tonelark")]
    c.expect("Tonelark speakers now Headphones" in debug and
             not any(t.startswith("Tonelark device lost") for t in debug),
             "debugger output %r" % debug)
    check_log(c, session, run)
    # PCM events every few milliseconds throughout: none of their gaps is a pause.
    times = [when for when, rest in run.events(PCM_CHANNEL) if rest.startswith("success bytes[")]
    gaps = [b - a for a, b in zip(times, times[1:])]
    c.expect(len(times) > 300 and max(gaps) < 150.0,
             "%d PCM events, longest gap %.0f ms" % (len(times), max(gaps) if gaps else 0.0))
    speakers = wavio.read_wav(run.path("speakers.wav"))
    headphones = wavio.read_wav(run.path("headphones.wav"))
    # The speakers' recording ends near the change, the headphones' holds the guitar after it.
    c.expect(speakers.seconds < 4.0, "the speakers played %.2f s" % speakers.seconds)
    tail = headphones.samples[-CAPTURE_RATE // 2:]
    level = max(abs(x) for x in tail) if tail else 0.0
    c.expect(headphones.seconds > 1.0 and level > 0.5,
             "the headphones played %.2f s, peak %.2f at the end" % (headphones.seconds, level))
    return run, c.problems


FIDELITY_HZ = 3000.0
FIDELITY_AMPLITUDE = 0.1  # a quiet guitar: x4 volume, 0.4 at the speakers
FIDELITY_SCENARIO = """\
# A quiet tone monitored through shared speakers whose mixer runs in float at 48 kHz.
0 listen tonelark/guitar_pcm
100 call tonelark/guitar start
4600 call tonelark/guitar status
4700 call tonelark/guitar stop
4800 cancel tonelark/guitar_pcm
5000 close
"""


def fidelity_audio(capture_rate):
    """A guitar adapter at capture_rate whose clock runs 200 ppm fast (the rate control steers),
    and speakers that take only their 48 kHz float mix format."""
    def config(speakers_wav):
        return "\n".join([
            "device {0.0.1.00000000}.{e2e-guitar}",
            "flow capture",
            "name " + DEVICE_NAME,
            "description USB Audio Device",
            "format %d 1 16" % capture_rate,
            "source sine %g %g" % (FIDELITY_HZ, FIDELITY_AMPLITUDE),
            "clock-ppm 200",
            "default",
            "",
            "device {0.0.0.00000000}.{e2e-speakers}",
            "flow render",
            "name Speakers",
            "description Virtual Audio Device",
            "mix 48000 2 32 float",
            "output " + winpath(speakers_wav),
            "default",
            "",
        ])
    return config


def case_fidelity(session, app):
    """A 3 kHz tone from a 44.1 kHz adapter into 48 kHz float speakers, beside a 48 kHz adapter
    as the reference (the 16-bit capture has a floor of its own): the lines the rate conversion
    and its steering put beside the tone in the speakers' recording."""
    c = Checks()
    found = {}
    for rate in (44100, 48000):
        run = run_program(session, app, "fidelity-%d" % rate, scenario=FIDELITY_SCENARIO,
                          audio=fidelity_audio(rate))
        check_clean_end(c, run, run.report())
        statuses = [m for m in run.answered_messages() if m["what"].startswith("status(")]
        if c.equal(len(statuses), 1, "status replies at %d Hz" % rate):
            status = analyse.decoded_map(statuses[0]["reply_text"] or "")
            c.equal(status.get("sampleRate"), rate, "capture rate")
            c.equal(status.get("renderSampleRate"), 48000, "render rate")
            c.equal(status.get("renderExclusive"), False, "shared render")
            c.equal(status.get("ringDroppedSamples"), 0, "samples cut from the ring at %d Hz" % rate)
        wav = wavio.read_wav(run.path("speakers.wav"))
        # From a second in (the steering has settled its first correction) to the stop.
        lines = tone_lines.clearest_lines(wav.samples, wav.rate, FIDELITY_HZ, first=wav.rate)
        if lines is None:
            c.expect(False, "%.2f s recorded at %d Hz, too short to analyse" % (wav.seconds, rate))
            continue
        found[rate] = lines
        around = ", ".join("%d-%d Hz %.0f" % (f, f + 250, lines.band_db(f, f + 250))
                           for f in range(2000, 4000, 250))
        print("  %d -> 48000 Hz: tone %.1f Hz; worst line %.1f dB at %.0f Hz; around the tone "
              "(dB, strongest bin of each band, tone's own lobe left out): %s"
              % (rate, lines.tone_hz, lines.worst_db, lines.worst_hz, around))
    if 44100 in found:
        c.expect(found[44100].worst_db <= -80.0,
                 "a line %.1f dB beside the tone at %.0f Hz (44.1 -> 48 kHz)"
                 % (found[44100].worst_db, found[44100].worst_hz))
    return None, c.problems


SMOKE_CYCLES = 20
SMOKE_SECONDS = 10
HANDLE_SLACK = 10


def case_soak_smoke(session, app):
    """A short soak: start/stop cycles and streaming with clicks leave no handles behind."""
    scenario = "\n".join(soak_tools.scenario_lines(SMOKE_CYCLES, SMOKE_SECONDS)) + "\n"
    run = run_program(session, app, "soak-smoke", scenario=scenario,
                      audio=lambda speakers: "call-log off\n" +
                      audio_config(speakers, speakers_lines=["record off"]))
    c = Checks()
    report = run.report()
    check_clean_end(c, run, report)
    messages = run.answered_messages()
    starts = [m for m in messages if m["what"].startswith("start(")]
    c.equal(len(starts), SMOKE_CYCLES + 1, "starts answered")
    c.expect(all(m["reply"] is not None and m["reply"][:1] == b"\x00" and
                 enc_string("ok") + enc_bool(True) in m["reply"] for m in starts),
             "a start did not succeed")
    c.expect(int(report.get("pcm_events", "0")) > 150 * SMOKE_SECONDS,
             "only %s PCM events" % report.get("pcm_events"))
    samples = soak_tools.read_resources(run.path("resources.log"))
    plan = soak_tools.Plan(SMOKE_CYCLES, SMOKE_SECONDS, 120.0)
    if c.expect(len(samples) > 20 and samples[-1]["time"] > plan.stream_end,
                "resources.log: %d samples, the last at %.0f ms" % (
                    len(samples), samples[-1]["time"] if samples else 0)):
        c.expect(all(s["handles"] > 0 and s["private_bytes"] > 0 and s["working_set"] > 0
                     for s in samples), "resources.log holds a zero figure")
        early = soak_tools.sample_at(samples, plan.after_cycles(soak_tools.EARLY_CYCLES))
        for label, at in (("after %d cycles" % SMOKE_CYCLES, plan.stream_start - 20),
                          ("at the end of streaming", plan.stream_end)):
            later = soak_tools.sample_at(samples, at)
            c.expect(later["handles"] <= early["handles"] + HANDLE_SLACK,
                     "handles %s: %d, after %d cycles: %d" % (
                         label, later["handles"], soak_tools.EARLY_CYCLES, early["handles"]))
    return run, c.problems


CASES = [
    ("session", case_session),
    ("quick-close", case_quick_close),
    ("view-failure", case_view_failure),
    ("device-loss", case_device_loss),
    ("soak-smoke", case_soak_smoke),
    ("fidelity", case_fidelity),
    ("headphones", case_headphones),
]


def prepare_app(session, staged):
    for name in ("tonelark.exe", "flutter_windows.dll", "record_windows_plugin.dll",
                 "webview_windows_plugin.dll", "virtual_audio.dll"):
        if not os.path.isfile(os.path.join(staged, name)):
            raise Failure("%s is missing from %s (build the tonelark_app target)" % (name, staged))
    app = os.path.join(session.tmp, "app")
    shutil.copytree(staged, app)
    code, _, stderr = session.run([REGISTER_VIRTUAL_AUDIO, os.path.join(app, "virtual_audio.dll")],
                                  WINE_START_TIMEOUT_S, os.path.join(session.tmp, "register"))
    if code != 0:
        raise Failure("registering the virtual audio failed: %s" % stderr[-300:])
    return app


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--app", required=True, help="the staged application (<build>/app)")
    parser.add_argument("--prefix", help="Wine prefix (default: <app>/../wineprefix-e2e)")
    parser.add_argument("--keep", action="store_true", help="keep the run folders")
    parser.add_argument("--only", nargs="*", help="run only these cases")
    options = parser.parse_args()

    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, on_signal)

    staged = os.path.abspath(options.app)
    prefix = options.prefix or os.path.join(os.path.dirname(staged), "wineprefix-e2e")
    cases = [(n, f) for n, f in CASES if not options.only or n in options.only]
    passed = failed = 0
    session = Session(prefix, options.keep)
    try:
        session.start_xvfb()
        session.start_wine()
        app = prepare_app(session, staged)
        for name, case in cases:
            started = time.monotonic()
            try:
                run, problems = case(session, app)
            except Failure as e:
                run, problems = None, [str(e)]
            seconds = time.monotonic() - started
            if problems:
                failed += 1
                print("FAIL %s (%.1f s)" % (name, seconds))
                for problem in problems:
                    print("  - " + problem)
                if run is not None and run.stderr.strip():
                    tail = run.stderr.strip().splitlines()[-8:]
                    print("  program's standard error (last lines):")
                    for line in tail:
                        print("    " + line)
            else:
                passed += 1
                print("ok   %s (%.1f s)" % (name, seconds))
            sys.stdout.flush()
    except (Failure, Interrupted, subprocess.TimeoutExpired, OSError) as e:
        print("e2e: %s" % e)
        failed += len(cases) - passed - failed
    finally:
        session.close()
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
