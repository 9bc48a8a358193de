#!/usr/bin/env python3
"""Runs a command against a private PulseAudio server, the one real audio stack that the program
can meet under Wine (through Wine's own PulseAudio driver), and measures the round trip beside two
others on the same devices.

The server offers two devices, both channels of one null sink, "recorder":
- "Rocksmith Guitar Adapter" (sink `guitar`, mono, the recorder's channel aux0): Wine shows its
  monitor as the capture endpoint "Monitor of Rocksmith Guitar Adapter", which the engine picks
  as the guitar adapter; paplay plays the guitar WAV into it;
- "Speakers" (sink `speakers`, stereo, the recorder's front channels), the default output.
One raw recording of the recorder's monitor thus holds the guitar as played and what the speakers
play on one clock, sample-aligned: a separate paplay and parecord have no common time origin.

Before the command runs, PulseAudio's own module-loopback copies the guitar adapter's monitor to
the speakers while a few impulses play: the baseline. Then the guitar WAV plays in a loop, first
while the pass-through runs (a bare shared-mode copy from the adapter to the speakers under Wine,
bench/passthrough: what Wine's driver alone costs), then while the command runs. Impulses in the
guitar WAV (a +0.9/-0.9 sample pair, see make_guitar.py --impulses) are found in both channels;
each one's delay is the round trip through whatever ran at the time.

Usage: real_audio.py --dir DIR --guitar guitar.wav --out OUT_DIR [--loopback-latency-msec 1]
                     [--passthrough "wine passthrough.exe 8"] -- COMMAND [ARG...]
Writes OUT_DIR/speakers.wav (what the speakers played while the command ran), OUT_DIR/guitar-played.wav
(the guitar as the adapter received it then), OUT_DIR/round-trip.json and OUT_DIR/pulseaudio.log;
exits with the command's exit code, or 77 when no PulseAudio server could be started.
"""

import argparse
import array
import contextlib
import json
import os
import shlex
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time

from wavio import write_wav_mono16

RATE = 48000
CHANNELS = ("aux0", "front-left", "front-right")  # the recorder's channels, in this order
GUITAR_DESCRIPTION = "Rocksmith Guitar Adapter"
SPEAKERS_DESCRIPTION = "Speakers"
SKIP_EXIT_CODE = 77
# An impulse pair falls by 1.8 in the guitar as played; half of that finds it among plucks.
REFERENCE_STEP = 0.9
# How long after an impulse its copy may arrive; how steep its fall must be, and how far it must
# stand above the other steps within 5 ms of it: a click is a sine whose neighbouring steps are
# as large as its largest. A resampler on the way spreads the pair over a few samples: steps that
# close to the fall belong to it.
SEARCH_SECONDS = 0.5
MIN_OUTPUT_STEP = 0.05
STANDOUT = 3.0
NEIGHBOURHOOD = 240
SPREAD = 16
# The program's round trip less the pass-through's should be what the engine says it adds.
ENGINE_DELAY_TOLERANCE_MS = 2.0


class Unavailable(Exception):
    """No PulseAudio server could be started here."""


class Stopped(Exception):
    pass


def _raise_stopped(signum, _frame):
    raise Stopped("stopped by signal %d" % signum)


class PulseServer:
    """A PulseAudio server with its socket, home and runtime folder inside `folder`; stop() ends
    it by the process id it started."""

    def __init__(self, folder):
        self.folder = os.path.abspath(folder)
        self.socket = os.path.join(self.folder, "native")
        self.process = None
        self.log_path = os.path.join(self.folder, "pulseaudio.log")
        self.client_config = os.path.join(self.folder, "client.conf")

    def client_env(self, base=None):
        env = dict(os.environ if base is None else base)
        env["PULSE_SERVER"] = "unix:" + self.socket
        # A client that cannot reach the server must fail rather than start one of its own.
        env["PULSE_CLIENTCONFIG"] = self.client_config
        return env

    def start(self):
        for tool in ("pulseaudio", "pactl", "paplay", "parecord"):
            if shutil.which(tool) is None:
                raise Unavailable("%s is not installed (scripts/setup installs pulseaudio and "
                                  "pulseaudio-utils)" % tool)
        home = os.path.join(self.folder, "home")
        runtime = os.path.join(self.folder, "runtime")
        os.makedirs(home, exist_ok=True)
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        if os.path.exists(self.socket):
            os.unlink(self.socket)
        with open(self.client_config, "w") as f:
            f.write("autospawn = no\n")
        env = dict(os.environ, HOME=home, PULSE_RUNTIME_PATH=runtime)
        env.pop("PULSE_SERVER", None)
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(
                ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "-L",
                 "module-native-protocol-unix auth-anonymous=1 socket=" + self.socket],
                env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise Unavailable("pulseaudio ended with code %d: %s"
                                  % (self.process.returncode, self.log_tail()))
            if os.path.exists(self.socket) and self._pactl_ok("info"):
                return
            time.sleep(0.1)
        raise Unavailable("pulseaudio did not answer within 15 s: %s" % self.log_tail())

    def log_tail(self):
        try:
            with open(self.log_path, encoding="utf-8", errors="replace") as f:
                lines = [line.strip() for line in f if line.startswith("E:")]
            return " / ".join(lines[-3:]) or "no error in its log"
        except OSError:
            return "no log"

    def _pactl_ok(self, *args):
        try:
            return subprocess.run(["pactl"] + list(args), env=self.client_env(),
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, timeout=10).returncode == 0
        except subprocess.TimeoutExpired:
            return False

    def pactl(self, *args):
        done = subprocess.run(["pactl"] + list(args), env=self.client_env(),
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=20)
        if done.returncode != 0:
            raise Unavailable("pactl %s failed: %s %s" % (" ".join(args), done.stderr.strip(),
                                                          self.log_tail()))
        return done.stdout.strip()

    def create_devices(self):
        self.pactl("load-module", "module-null-sink", "sink_name=recorder", "rate=%d" % RATE,
                   "channels=%d" % len(CHANNELS), "channel_map=" + ",".join(CHANNELS),
                   "sink_properties=device.description=Recorder")
        self.pactl("load-module", "module-remap-sink", "sink_name=guitar", "master=recorder",
                   "channels=1", "channel_map=mono", "master_channel_map=aux0", "remix=no",
                   "sink_properties='device.description=\"%s\"'" % GUITAR_DESCRIPTION)
        self.pactl("load-module", "module-remap-sink", "sink_name=speakers", "master=recorder",
                   "channels=2", "channel_map=front-left,front-right",
                   "master_channel_map=front-left,front-right", "remix=no",
                   "sink_properties=device.description=%s" % SPEAKERS_DESCRIPTION)
        self.pactl("set-default-sink", "speakers")

    def stop(self):
        if self.process is None:
            return
        stop_process(self.process, signal.SIGTERM)
        self.process = None


def stop_process(process, signum):
    if process.poll() is None:
        process.send_signal(signum)
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class Recorder:
    """parecord of the recorder's monitor, raw: a hole in the stream becomes silence there,
    which keeps the channels' timing, where the WAV writer gives up."""

    def __init__(self, server, path):
        self.path = path
        with open(path + ".log", "wb") as log:
            self.process = subprocess.Popen(
                ["parecord", "--device=recorder.monitor", "--raw", "--format=s16le",
                 "--rate=%d" % RATE, "--channels=%d" % len(CHANNELS),
                 "--channel-map=" + ",".join(CHANNELS), "--latency-msec=20", path],
                env=server.client_env(), stdin=subprocess.DEVNULL, stdout=log, stderr=log)

    def wait_for_data(self, timeout_s=10.0):
        """The recorder's sink renders in long blocks until a client asks for less: wait until
        the recording really runs."""
        deadline = time.monotonic() + timeout_s
        while time.monotonic() < deadline and self.process.poll() is None:
            if os.path.exists(self.path) and os.path.getsize(self.path) > RATE:
                return True
            time.sleep(0.05)
        return False

    def stop(self):
        stop_process(self.process, signal.SIGINT)

    def channels(self):
        """The recording as one list of floats per channel of CHANNELS."""
        samples = array.array("h")
        with open(self.path, "rb") as f:
            data = f.read()
        width = 2 * len(CHANNELS)
        samples.frombytes(data[: len(data) // width * width])
        if sys.byteorder != "little":
            samples.byteswap()
        return [[v / 32768.0 for v in samples[i::len(CHANNELS)]] for i in range(len(CHANNELS))]


class Player:
    """paplay of one WAV into the guitar adapter, again and again until stopped."""

    def __init__(self, server, wav, log_path, loop=True):
        self.server = server
        self.wav = wav
        self.log_path = log_path
        self.loop = loop
        self.process = None
        self.stopping = False
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        with open(self.log_path, "ab") as log:
            while True:
                with self.lock:
                    if self.stopping:
                        return
                    self.process = subprocess.Popen(
                        ["paplay", "--device=guitar", "--latency-msec=20", self.wav],
                        env=self.server.client_env(), stdin=subprocess.DEVNULL, stdout=log,
                        stderr=log)
                code = self.process.wait()
                if not self.loop or code != 0:
                    return

    def wait(self, timeout_s):
        self.thread.join(timeout_s)

    def stop(self):
        with self.lock:
            self.stopping = True
            if self.process is not None:
                stop_process(self.process, signal.SIGTERM)
        self.thread.join(15)


# ---- measurement ----

def impulse_times(reference, threshold=REFERENCE_STEP):
    """Sample indices where the played guitar falls by more than `threshold` from one sample to
    the next: the second sample of each impulse pair."""
    found = []
    for i in range(1, len(reference)):
        if reference[i - 1] - reference[i] > threshold and (not found or i - found[-1] > 100):
            found.append(i)
    return found


def arrival(output, start, end):
    """The sample in output[start:end] where the signal falls most steeply, when that fall stands
    out from the steps around it; None otherwise (the impulse did not come through)."""
    start, end = max(start, 1), min(end, len(output))
    if end - start < 8:
        return None
    steps = [output[i - 1] - output[i] for i in range(start, end)]
    best = max(range(len(steps)), key=steps.__getitem__)
    fall = steps[best]
    around = [abs(steps[j]) for j in range(max(0, best - NEIGHBOURHOOD),
                                           min(len(steps), best + NEIGHBOURHOOD + 1))
              if abs(j - best) > SPREAD]
    if fall < MIN_OUTPUT_STEP or (around and fall < STANDOUT * max(around)):
        return None
    return start + best


def impulse_delays(reference, output, rate, first=0, last=None):
    """For each impulse in reference[first:last]: (its time in s, its delay in ms or None)."""
    delays = []
    for index in impulse_times(reference):
        if index < first or (last is not None and index >= last):
            continue
        found = arrival(output, index, index + int(SEARCH_SECONDS * rate))
        delays.append((index / rate, None if found is None else 1000.0 * (found - index) / rate))
    return delays


def describe_delays(delays):
    arrived = [d for _, d in delays if d is not None]
    if not arrived:
        return {"impulses": len(delays), "arrived": 0}
    return {"impulses": len(delays), "arrived": len(arrived),
            "median_ms": round(statistics.median(arrived), 2),
            "min_ms": round(min(arrived), 2), "max_ms": round(max(arrived), 2),
            "each_ms": [None if d is None else round(d, 2) for _, d in delays]}


def write_baseline_wav(path, count=5, spacing_s=0.6):
    samples = [0.0] * int((count + 1) * spacing_s * RATE)
    for k in range(1, count + 1):
        at = int(k * spacing_s * RATE)
        samples[at], samples[at + 1] = 0.9, -0.9
    write_wav_mono16(path, RATE, samples)


# ---- one run ----

class RealAudioSession:
    """Server, devices, recording and baseline on start() (or entry); the guitar plays until
    close() (or exit), which stops everything this session started. `results()` then measures
    the recording."""

    def __init__(self, folder, guitar_wav, loopback_latency_msec=1):
        self.folder = os.path.abspath(folder)
        self.guitar_wav = guitar_wav
        self.loopback_latency_msec = loopback_latency_msec
        self.server = PulseServer(self.folder)
        self.recorder = None
        self.player = None
        self.baseline_end = 0  # frames into the recording where module-loopback's part ends
        self.passthrough_span = None  # (first, end) frames of the pass-through's part

    def __enter__(self):
        return self.start()

    def start(self):
        os.makedirs(self.folder, exist_ok=True)
        try:
            self.server.start()
            self.server.create_devices()
            self.recorder = Recorder(self.server, os.path.join(self.folder, "recording.raw"))
            if not self.recorder.wait_for_data():
                raise Unavailable("parecord recorded nothing (see %s.log)" % self.recorder.path)
            self._baseline()
            self.player = Player(self.server, self.guitar_wav,
                                 os.path.join(self.folder, "paplay.log"))
        except BaseException:
            self.close()
            raise
        return self

    def _baseline(self):
        baseline_wav = os.path.join(self.folder, "baseline.wav")
        write_baseline_wav(baseline_wav)
        module = self.server.pactl("load-module", "module-loopback", "source=guitar.monitor",
                                   "sink=speakers",
                                   "latency_msec=%d" % self.loopback_latency_msec)
        try:
            time.sleep(2.0)  # the loopback starts and settles on its latency
            player = Player(self.server, baseline_wav, os.path.join(self.folder, "paplay.log"),
                            loop=False)
            player.wait(30)
            player.stop()
            time.sleep(0.3)
        finally:
            self.server.pactl("unload-module", module)
        self.baseline_end = self.recorded_frames()

    def recorded_frames(self):
        return os.path.getsize(self.recorder.path) // (2 * len(CHANNELS))

    @contextlib.contextmanager
    def passthrough(self):
        """The part of the recording that the body of the `with` fills: the pass-through's."""
        first = self.recorded_frames()
        try:
            yield
        finally:
            self.passthrough_span = (first, self.recorded_frames())

    def env(self, base=None):
        return self.server.client_env(base)

    def close(self):
        if self.player is not None:
            self.player.stop()
            self.player = None
        if self.recorder is not None:
            time.sleep(0.3)  # the last samples reach the monitor
            self.recorder.stop()
        self.server.stop()

    def __exit__(self, *_):
        self.close()
        return False

    def results(self, out_dir):
        """Writes speakers.wav, guitar-played.wav and round-trip.json into out_dir; returns the
        round trip as a dict."""
        guitar, left, _ = self.recorder.channels()
        program_first = self.passthrough_span[1] if self.passthrough_span else self.baseline_end
        write_wav_mono16(os.path.join(out_dir, "guitar-played.wav"), RATE, guitar[program_first:])
        write_wav_mono16(os.path.join(out_dir, "speakers.wav"), RATE, left[program_first:])
        loopback = impulse_delays(guitar, left, RATE, last=self.baseline_end)
        program = impulse_delays(guitar, left, RATE, first=program_first)
        result = {"rate": RATE,
                  "loopback_latency_msec": self.loopback_latency_msec,
                  "loopback": describe_delays(loopback),
                  "program": describe_delays(program),
                  "program_impulses_s": [round(t - program_first / RATE, 3) for t, _ in program]}
        if self.passthrough_span:
            result["passthrough"] = describe_delays(
                impulse_delays(guitar, left, RATE, *self.passthrough_span))
        program_ms = result["program"].get("median_ms")
        loopback_ms = result["loopback"].get("median_ms")
        if program_ms and loopback_ms:
            result["ratio"] = round(program_ms / loopback_ms, 2)
        with open(os.path.join(out_dir, "round-trip.json"), "w") as f:
            json.dump(result, f, indent=1)
        shutil.copyfile(self.server.log_path, os.path.join(out_dir, "pulseaudio.log"))
        return result


ENGINE_FIGURES = ("latencyMs", "cushionMs", "engineDelayMs")


def engine_figures(statuses):
    """The median of each of ENGINE_FIGURES (ms) over the "status" replies (decoded maps) that
    found the streams open; {} when none did."""
    streaming = [s for s in statuses if s.get("sampleRate") and not s.get("deviceLost")]
    figures = {}
    for key in ENGINE_FIGURES:
        values = [s[key] for s in streaming
                  if isinstance(s.get(key), (int, float)) and not isinstance(s.get(key), bool)]
        if values:
            figures[key] = round(statistics.median(values), 2)
    return figures


def engine_delay_check(result, figures):
    """The program's round trip less the pass-through's (medians) beside the "engineDelayMs" it
    reported; {} when a figure is missing."""
    program = result.get("program", {}).get("median_ms")
    bare = result.get("passthrough", {}).get("median_ms")
    engine = figures.get("engineDelayMs")
    if program is None or bare is None or engine is None:
        return {}
    added = program - bare
    return {"added_ms": round(added, 2), "engine_delay_ms": engine,
            "difference_ms": round(added - engine, 2),
            "matches": abs(added - engine) <= ENGINE_DELAY_TOLERANCE_MS}


def round_trip_lines(result, statuses=()):
    """The round trips as the summary prints them; with the program's "status" replies, its own
    figures and whether the delay it adds to the pass-through's is the one it reports."""
    lines = []
    program, loopback = result.get("program", {}), result.get("loopback", {})

    def one(name, figures):
        if not figures.get("arrived"):
            return "    %-34s none of %d impulses arrived" % (name, figures.get("impulses", 0))
        return "    %-34s median %6.2f ms (min %.2f, max %.2f; %d of %d impulses)" % (
            name, figures["median_ms"], figures["min_ms"], figures["max_ms"], figures["arrived"],
            figures["impulses"])

    lines.append(one("through tonelark.exe under Wine:", program))
    if program.get("arrived"):
        # The engine's delay moves while it steers and after it primes again: each one tells how.
        lines.append("      each impulse (ms): " + " ".join(
            "-" if d is None else "%.1f" % d for d in program.get("each_ms", [])))
    if "passthrough" in result:
        lines.append(one("bare pass-through under Wine:", result["passthrough"]))
    lines.append(one("PulseAudio module-loopback (%s ms):" % result.get("loopback_latency_msec"),
                     loopback))
    if "ratio" in result:
        lines.append("    ratio program / loopback: %.2f" % result["ratio"])
    figures = engine_figures(statuses)
    if figures:
        lines.append("    tonelark.exe's own figures (median of its \"status\" replies): %s" % ", ".join(
            "%s %.2f ms" % (key, figures[key]) for key in ENGINE_FIGURES if key in figures))
    check = engine_delay_check(result, figures)
    if check:
        lines.append("    program - pass-through: %.2f ms; engineDelayMs: %.2f ms; difference %+.2f"
                     " ms: %s within %g ms" % (
                         check["added_ms"], check["engine_delay_ms"], check["difference_ms"],
                         "they match" if check["matches"] else "they do NOT match",
                         ENGINE_DELAY_TOLERANCE_MS))
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", required=True, help="private folder for the server")
    parser.add_argument("--guitar", required=True, help="the guitar WAV (48 kHz)")
    parser.add_argument("--out", required=True, help="where the recordings and figures go")
    parser.add_argument("--loopback-latency-msec", type=int, default=1,
                        help="module-loopback's latency_msec (1: as low as it goes)")
    parser.add_argument("--passthrough", metavar="COMMAND",
                        help="the pass-through to measure before the command, as one string")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no command given")
    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, _raise_stopped)

    try:
        with RealAudioSession(args.dir, args.guitar, args.loopback_latency_msec) as session:
            if args.passthrough:
                with session.passthrough():
                    bare = subprocess.Popen(shlex.split(args.passthrough), env=session.env(),
                                            stdin=subprocess.DEVNULL)
                    try:
                        bare_code = bare.wait()
                    finally:
                        stop_process(bare, signal.SIGTERM)
                if bare_code != 0:
                    print("real audio: the pass-through ended with code %d" % bare_code,
                          file=sys.stderr)
            child = subprocess.Popen(command, env=session.env(), stdin=subprocess.DEVNULL)
            try:
                code = child.wait()
            finally:
                # Before the server goes: the command must not outlive the devices it uses.
                stop_process(child, signal.SIGTERM)
        result = session.results(args.out)
    except Unavailable as error:
        print("real audio: no PulseAudio server: %s" % error, file=sys.stderr)
        return SKIP_EXIT_CODE
    except Stopped as error:
        print("real audio: %s" % error, file=sys.stderr)
        return 130
    print("real audio: round trip", file=sys.stderr)
    for line in round_trip_lines(result):
        print(line, file=sys.stderr)
    return code


if __name__ == "__main__":
    sys.exit(main())
