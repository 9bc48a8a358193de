#!/usr/bin/env python3
"""The real-time matrix: the real tonelark.exe under Wine and Xvfb, on the virtual endpoints'
real-time clock, in one set-up after another (never two at once: timing must not compete).

Each set-up plays a steady sine through the monitoring and is judged by what reached the
speakers: the pitch of each second against the tone the devices' clocks imply (sub-sample zero
crossings, seconds counted from the first audible output sample) and the discontinuities in the
recording; by "status" (asked about a second in and near the end: the glitch counters' growth
after the first second, "latencyMs", the periods and share modes); and by the debugger output's
`period raised` lines. The goals each set-up's record names are asserted; one table line per
set-up is printed and kept in a file.

A set-up marked "new" uses virtual audio lines (times with jitter, stepped or late-starting
positions, slow opens) that a virtual audio without them reports as not understood: the set-up
then fails with that line rather than pass without the feature.

Usage: run_matrix.py --app <build>/app [--prefix DIR] [--only NAME ...] [--repeat N]
                     [--table FILE] [--keep]
"""

import argparse
import bisect
import math
import os
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts", "demo-tools"))
import analyse  # noqa: E402
import run_e2e  # noqa: E402
import wavio  # noqa: E402
from run_e2e import Failure, Interrupted, winpath  # noqa: E402

TONE_HZ = 997.0
TONE_AMPLITUDE = 0.25
VOLUME = 0.25  # a monitoring gain of 4 x 0.25 = 1: the speakers play 0.25 of full scale
START_MS = 100  # the scenario's "start"
FIRST_STATUS_MS = START_MS + 1000
TAIL_S = 1.6  # from "start" to the first audible sample, and the last part second, with room
RUN_TIMEOUT_S = 120
# Lines of the virtual audio that the driver-like times brought; a virtual audio without them
# reports them as not understood.
NEW_LINES = ("time-jitter", "position", "initialize-delay")
NOT_UNDERSTOOD = "not understood"
SHARED_MARGIN_MS = 2  # guitar/render_monitor.cpp: queued beyond one period in shared mode
LATENCY_SLACK_MS = 0.6
PERIOD_128_MS = 128 / 48.0
# Limits of the pitch goals, ppm.
EXACT_PPM = 50.0  # clocks that agree and exact times: every second from the second on
EARLY_PPM = 400.0  # jitter or drift: seconds 2 to 5
SETTLED_PPM = 50.0  # jitter or drift: from the sixth second on
# A grown cushion shrinks no faster. Late wakes leave the times exact, so with clocks that agree
# nothing else moves the pitch from the second second on.
DRAIN_PPM = 20.0
# Discontinuities: a pure sine obeys x[n] = 2 cos(w) x[n-1] - x[n-2]; a gap, a cut or a repeat
# breaks it by a sizeable part of the amplitude, a 16-bit recording by a few LSB and a steered
# ratio (300 ppm off the nominal tone) by far less.
BREAK_FRACTION = 0.02
ONSET_S = 0.002  # the converter's own fade-in at the first sample
BREAK_MERGE_S = 0.030  # the two edges of one silence are one break
# The virtual device's clock thread notes when the host held it up (<recording>.stalls): a break
# within HOST_WINDOW_S of such a stall of at least HOST_STALL_MS is the machine's, as a driver's
# interrupt held up that long would break the tone on a real one.
HOST_STALL_MS = 2.0
HOST_WINDOW_S = 0.020
AUDIBLE_FRACTION = 0.01


# ---- Set-ups ----

class Device:
    """One endpoint of a set-up: rate, share mode, clock and any further configuration lines."""

    def __init__(self, rate, shared=False, ppm=0, lines=()):
        self.rate = rate
        self.shared = shared
        self.ppm = ppm
        self.lines = list(lines)


class Setup:
    """One line of the matrix and the goals it is held to.

    pitch: "exact" (clocks that agree, exact times: seconds 2 on within 50 ppm), "settle" (jitter
    or drift: seconds 2 to 5 within 400, from the sixth within 50 ppm) or None.
    clean: after the first second no discontinuity, under-run frame or lost capture frame. A
    set-up whose lateness is scripted to break the output (False) has its pitch judged on the
    seconds without a break.
    periods: the smallest (capture, render) periods in ms that low latency must keep, with
    "latencyMs" within the lab's bound; None for a set-up that asks for no low latency.
    raised: how many `period raised` lines are expected.
    late_wakes: seeded late wakes: no sample cut, and the cushion drains within 20 ppm.
    headphones: (clock time in ms, further lines): headphones arrive then and become the default;
    the pitch is measured on them.
    poll_ms: the user interface asks for "status" this often.
    short: the goals the engine does not meet yet on this set-up, and what is known of why. Its
    problems are reported (verdict SHORT) without failing the run; a harness failure (the program's
    exit code, a configuration line not understood, no status) still fails it.
    breaks_short: the same for the clean-output goal alone: breaks and counters after the first
    second are reported, and the pitch is judged on the seconds without a break.
    """

    def __init__(self, name, capture, speakers, seconds, options=(), pitch="exact", clean=True,
                 periods=None, raised=0, late_wakes=False, headphones=None, poll_ms=None,
                 why="", short="", breaks_short=""):
        self.name = name
        self.capture = capture
        self.speakers = speakers
        self.seconds = seconds
        self.options = list(options)
        self.pitch = pitch
        self.clean = clean
        self.periods = periods
        self.raised = raised
        self.late_wakes = late_wakes
        self.headphones = headphones
        self.poll_ms = poll_ms
        self.why = why
        self.short = short
        self.breaks_short = breaks_short

    def needs_new_lines(self):
        lines = self.capture.lines + self.speakers.lines
        if self.headphones is not None:
            lines = lines + list(self.headphones[1])
        return any(line.split()[0] in NEW_LINES for line in lines)

    def breaks_allowed(self):
        """Breaks scripted or known short: the pitch is judged on the seconds without one."""
        return bool(self.breaks_short) or not self.clean

    def implied_hz(self):
        """The tone in the recording: the adapter's clock speeds it up, the speakers' slows
        their reading of it."""
        return TONE_HZ * (1 + self.capture.ppm * 1e-6) / (1 + self.speakers.ppm * 1e-6)


LL = "lowLatency"
SHARED_CAPTURE = "sharedCapture"
SHARE_SPEAKERS = "shareSpeakers"
SMALL = ["period 100000 26667"]  # 10 ms default, 128 frames at 48 kHz the least
JITTER = "time-jitter 10000 seed %d"  # +-1 ms on packet times and clock readings
SPEAKER_LATE_BY_MS = 3.5  # scripted render lateness: beyond 2.67 ms, within a raised 5.33 ms

# What the engine does not reach yet, measured on this 2-core machine under Wine 8.
LOW_PERIOD_SHORT = ("this virtual machine holds the engine's thread and the device's clock up "
                    "together for 2-45 ms several times in a run, even at real-time priority, "
                    "mostly inside calls into the wineserver (the device's clock notes them); at "
                    "a 2.67 ms period such a hold-up breaks the output, and low latency keeps the "
                    "smallest period in about half the runs")
JITTER_SHORT = ("with +-1 ms jitter on both sides the fit of the delay's trend is sure of the "
                "clocks' ratio to about 25 ppm (one standard deviation) after five seconds, and "
                "host stalls scatter the readings further: the sixth second came 51 ppm off once "
                "in eleven runs, the others within 42")
LATE_CAPTURE_SHORT = ("under Wine, the engine's thread is now and then held up for 15-45 ms, "
                      "beyond an exclusive capture's two packets and a shared render's 2 ms "
                      "margin, and the tone breaks once in 0 to 2 of the 10 ms set-ups of a run; "
                      "the device's clock, held up in the wineserver at the same moments, notes "
                      "nearly all of these (verdict HOST); in three runs one came without: the "
                      "first steps of a move outlasted the exclusive speakers' last period")

SETUPS = [
    Setup("ex48-ex48", Device(48000), Device(48000), 6,
          breaks_short=LATE_CAPTURE_SHORT,
          why="exclusive 10 ms both ways, clocks that agree"),
    Setup("ex48-sh48", Device(48000), Device(48000), 6, options=[SHARE_SPEAKERS],
          breaks_short=LATE_CAPTURE_SHORT,
          why="48 kHz exclusive capture into shared speakers"),
    Setup("ex44-sh48-drift", Device(44100, ppm=250), Device(48000, shared=True, ppm=-50), 14,
          pitch="settle", breaks_short=LATE_CAPTURE_SHORT,
          why="a 44.1 kHz cable 300 ppm apart from shared 48 kHz speakers"),
    # The engine takes exclusive capture at 48 and 44.1 kHz only: 96 kHz comes shared, below.
    Setup("ex44-ex44", Device(44100), Device(44100), 6,
          breaks_short=LATE_CAPTURE_SHORT,
          why="44.1 kHz exclusive both ways"),
    Setup("sh48-ex48", Device(48000, shared=True), Device(48000), 6, options=[SHARED_CAPTURE],
          breaks_short=LATE_CAPTURE_SHORT,
          why="shared float capture at 48 kHz"),
    Setup("sh44-sh44", Device(44100, shared=True), Device(44100, shared=True), 6,
          options=[SHARED_CAPTURE], breaks_short=LATE_CAPTURE_SHORT,
          why="shared both ways at 44.1 kHz"),
    Setup("sh96-sh48-drift", Device(96000, shared=True, ppm=-150),
          Device(48000, shared=True, ppm=150), 12, options=[SHARED_CAPTURE], pitch="settle",
          breaks_short=LATE_CAPTURE_SHORT,
          why="shared float 96 kHz capture, clocks 300 ppm apart the other way"),
    Setup("ll128-ex-align64", Device(48000, lines=SMALL),
          Device(48000, lines=SMALL + ["alignment 64"]), 6, options=[LL],
          periods=(PERIOD_128_MS, PERIOD_128_MS),
          short=LOW_PERIOD_SHORT,
          why="exclusive 128 frames, speakers that need 64-frame alignment"),
    Setup("ll128-ac3", Device(48000, lines=SMALL),
          Device(48000, lines=SMALL + ["engine-periods 32 128 0"]), 6,
          options=[LL, SHARE_SPEAKERS], periods=(PERIOD_128_MS, PERIOD_128_MS),
          short=LOW_PERIOD_SHORT,
          why="shared speakers at the smallest engine period (IAudioClient3)"),
    Setup("ll-held240", Device(48000, lines=SMALL),
          Device(48000, lines=SMALL + ["engine-period-held 240"]), 6,
          options=[LL, SHARE_SPEAKERS], periods=(PERIOD_128_MS, 5.0),
          short=LOW_PERIOD_SHORT,
          why="shared speakers at an engine period another program holds"),
    Setup("ll128-late-wakes", Device(48000, lines=SMALL + ["late-wakes 13333 seed 7"]),
          Device(48000, lines=SMALL + ["late-wakes 13333 seed 11"]), 25, options=[LL],
          periods=(PERIOD_128_MS, PERIOD_128_MS), late_wakes=True,
          short=LOW_PERIOD_SHORT,
          why="wakes up to half a period late on both sides, long enough to drain"),
    Setup("ll128-step-back", Device(48000, lines=SMALL),
          Device(48000, lines=SMALL + ["late-wake %d %d" % (n, SPEAKER_LATE_BY_MS * 1e4)
                                       for n in range(150, 1501, 150)]), 8,
          options=[LL], pitch="settle", clean=False, periods=(2 * PERIOD_128_MS,) * 2, raised=1,
          short=LOW_PERIOD_SHORT,
          why="render wakes later than a period: the period rises once"),
    Setup("move-headphones", Device(48000), Device(48000), 6,
          headphones=(3000, ["initialize-delay 30"]),
          breaks_short=LATE_CAPTURE_SHORT,
          why="a move to headphones whose open takes 30 ms, under 2-packet capture"),
    Setup("jitter-ex48-sh48", Device(48000, lines=[JITTER % 3]),
          Device(48000, shared=True, lines=[JITTER % 5, "position stepped",
                                            "position late-start", "initialize-delay 20"]), 12,
          pitch="settle", short=JITTER_SHORT,
          why="driver-like times: jitter, stepped late-starting positions"),
    Setup("jitter-sh44-sh48-drift", Device(44100, shared=True, ppm=250, lines=[JITTER % 13]),
          Device(48000, shared=True, ppm=-50, lines=[JITTER % 17, "position stepped"]), 12,
          options=[SHARED_CAPTURE], pitch="settle", short=JITTER_SHORT,
          why="shared float capture 300 ppm apart, with driver-like times"),
    Setup("poll-status-sh44", Device(48000), Device(44100, shared=True), 6, poll_ms=2,
          breaks_short=LATE_CAPTURE_SHORT,
          why="a user interface asking for \"status\" 500 times a second"),
]


def device_lines(device, flow, name, wav=None):
    guid = "{0.0.%d.00000000}.{matrix-%s}" % (1 if flow == "capture" else 0,
                                             name.lower().replace(" ", "-"))
    lines = ["device " + guid, "flow " + flow, "name " + name,
             "description " + ("USB Audio Device" if flow == "capture" else "Virtual Audio Device")]
    if device.shared:
        # Exclusive control turned off (capture), or no exclusive format at all (speakers).
        if flow == "capture":
            lines.append("exclusive-not-allowed")
        lines.append("mix %d 2 32 float" % device.rate)
    else:
        lines.append("format %d %d 16" % (device.rate, 1 if flow == "capture" else 2))
        lines.append("mix %d 2" % device.rate)
    if flow == "capture":
        lines.append("source sine %g %g" % (TONE_HZ, TONE_AMPLITUDE))
    else:
        lines.append("output " + winpath(wav))
    if device.ppm:
        lines.append("clock-ppm %d" % device.ppm)
    return lines + device.lines


def audio_config(setup):
    def config(speakers_wav):
        lines = device_lines(setup.capture, "capture", run_e2e.DEVICE_NAME) + ["default", ""]
        lines += device_lines(setup.speakers, "render", "Speakers", speakers_wav) + ["default", ""]
        if setup.headphones is not None:
            at_ms, extra = setup.headphones
            headphones = Device(setup.speakers.rate, lines=extra)
            lines += device_lines(headphones, "render", "Headphones",
                                  os.path.join(os.path.dirname(speakers_wav), "headphones.wav"))
            lines += ["arrive at-ms %d" % at_ms, "default at-ms %d" % at_ms, ""]
        return "\n".join(lines)
    return config


def scenario(setup):
    """The user interface's side: volume, listen, start, "status" about a second in and near
    the end (or every poll_ms), stop, close."""
    start = "%d call tonelark/guitar start" % START_MS
    if setup.options:
        start += " map " + " ".join("%s=bool:true" % key for key in setup.options)
    played_from_ms = START_MS + (setup.headphones[0] if setup.headphones else 0)
    end_ms = int(played_from_ms + 1000 * (setup.seconds + TAIL_S))
    lines = ["0 call tonelark/guitar setVolume double %g" % VOLUME,
             "0 listen tonelark/guitar_pcm", start]
    if setup.poll_ms:
        lines += ["%d call tonelark/guitar status" % t
                  for t in range(FIRST_STATUS_MS, end_ms + 1, setup.poll_ms)]
    else:
        lines += ["%d call tonelark/guitar status" % t for t in (FIRST_STATUS_MS, end_ms)]
    lines += ["%d call tonelark/guitar stop" % (end_ms + 100),
              "%d cancel tonelark/guitar_pcm" % (end_ms + 200), "%d close" % (end_ms + 400)]
    return "\n".join(lines) + "\n"


# ---- The speakers' recording ----

def first_audible(samples, threshold):
    for i, x in enumerate(samples):
        if abs(x) >= threshold:
            return i
    return None


def last_audible(samples, threshold):
    for i in range(len(samples) - 1, -1, -1):
        if abs(samples[i]) >= threshold:
            return i
    return None


def rising_crossings(samples, start, end):
    """Sub-sample positions where the signal rises through zero, by linear interpolation (at
    48 samples a cycle the sine is straight there to far below a millionth of a sample)."""
    found = []
    previous = samples[start]
    for i in range(start + 1, end):
        current = samples[i]
        if previous < 0.0 <= current:
            found.append(i - 1 + previous / (previous - current))
        previous = current
    return found


def second_pitches(crossings, rate, onset, end, expected_hz):
    """ppm of each whole second from the onset against expected_hz: cycles between its first
    and last rising crossing over the time between them."""
    ppm = []
    second = 0
    while onset + (second + 1) * rate <= end:
        lo = bisect.bisect_left(crossings, onset + second * rate)
        hi = bisect.bisect_left(crossings, onset + (second + 1) * rate)
        if hi - lo < 3:
            ppm.append(None)  # a second of silence
        else:
            hz = (hi - lo - 1) * rate / (crossings[hi - 1] - crossings[lo])
            ppm.append((hz / expected_hz - 1.0) * 1e6)
        second += 1
    return ppm


def breaks(samples, rate, hz, start, end, amplitude):
    """Seconds (from `start`) where the sine's recurrence breaks: gaps, cuts, repeats, the
    edges of silences; the two edges of one silence count once."""
    coefficient = 2.0 * math.cos(2.0 * math.pi * hz / rate)
    limit = BREAK_FRACTION * amplitude
    merge = BREAK_MERGE_S * rate
    found = []
    last = None
    for n in range(start + 2, end):
        if abs(samples[n] - coefficient * samples[n - 1] + samples[n - 2]) > limit:
            if last is None or n - last > merge:
                found.append((n - start) / rate)
            last = n
        elif last is not None and n - last <= merge and abs(samples[n]) < limit and \
                abs(samples[n - 1]) < limit:
            # Still silent (a sounding sine never has two samples this small in a row): the
            # silence's far edge is the same break.
            last = n
    return found


class Recording:
    """One output's analysis: onset (s into the file), the per-second ppm, and the breaks in
    seconds from the onset."""

    def __init__(self, samples, rate, expected_hz):
        x = samples
        self.rate = rate
        self.seconds = len(x) / rate if rate else 0.0
        self.onset = None
        self.ppm = []
        self.breaks = []
        if not x or max(abs(v) for v in x) <= 0.0:
            return
        # The tone's amplitude: the peak of the middle second (a glitch's overshoot is rare).
        middle = len(x) // 2
        amplitude = max(abs(v) for v in x[max(0, middle - rate // 2):middle + rate // 2])
        threshold = AUDIBLE_FRACTION * amplitude
        onset = first_audible(x, threshold)
        end = last_audible(x, threshold) + 1
        self.onset = onset / rate
        self.ppm = second_pitches(rising_crossings(x, onset, end), rate, onset, end, expected_hz)
        skip = int(ONSET_S * rate)
        self.breaks = [t + ONSET_S for t in
                       breaks(x, rate, expected_hz, onset + skip, end, amplitude)]


def read_recording(path, expected_hz):
    wav = wavio.read_wav(path)
    return Recording(wav.samples, wav.rate, expected_hz)


def self_check():
    """The measurement on a synthetic 16-bit recording: a known onset, a tone 137 ppm sharp, a
    2 ms silence in its second second and a one-sample cut in its fourth; raises Failure when it
    reads them wrong."""
    rate, onset, ppm = 48000, 14399, 137.0
    w = 2.0 * math.pi * TONE_HZ * (1 + ppm * 1e-6) / rate
    tone = [TONE_AMPLITUDE * math.sin(w * i + 0.3) for i in range(int(5.5 * rate))]
    silence_at, cut_at = int(1.5 * rate), int(3.5 * rate)
    tone = tone[:silence_at] + [0.0] * 96 + tone[silence_at:cut_at] + tone[cut_at + 1:]
    heard = Recording([0.0] * onset + [round(v * 32767) / 32768.0 for v in tone], rate, TONE_HZ)
    made = (onset / rate, [1.5, 3.502])
    if heard.onset is None or abs(heard.onset - made[0]) > 1.5 / rate or \
            any(abs(heard.ppm[i] - ppm) > 1.0 for i in (0, 2, 4)) or \
            len(heard.breaks) != 2 or \
            any(abs(a - b) > 0.001 for a, b in zip(heard.breaks, made[1])):
        raise Failure("the measurement misreads a synthetic recording: onset %s s (made %.4f), "
                      "ppm %s (made %.0f; seconds 2 and 4 hold the breaks), breaks %s s (made "
                      "1.500 and 3.502)" % (heard.onset, made[0],
                                             ["%.1f" % p for p in heard.ppm], ppm,
                                             ["%.4f" % b for b in heard.breaks]))


# ---- The lab's latency bound ----

def sinc_half(input_rate, output_rate):
    """SincFilter::half() (guitar/sinc_filter.cpp): the converter's lookahead, input samples."""
    lower = min(input_rate, output_rate)
    pass_hz = min(12000.0, 12000.0 * lower / 44100.0)
    transition = (lower - 2.0 * pass_hz) / input_rate
    samples_per_db = 1.0 / (2.285 * 2.0 * math.pi * transition)
    return max(1, int(math.ceil((105.0 - 7.95) * samples_per_db / 2.0)))


def latency_bound_ms(status, wake_offset_ms=None):
    """tests/audio/latency_test.cpp's bound: the packet, its cushion and the render period (three
    periods), the wait for the render wake (at one period, the offset between the two sides'
    wakes: `wake_offset_ms` as the virtual audio noted it, or none where both wake together; up
    to a render period where their phases walk), the converter, and the margin a shared render
    stream keeps."""
    capture_ms = status.get("capturePeriodMs") or 0.0
    render_ms = status.get("renderPeriodMs") or 0.0
    capture_rate = status.get("sampleRate") or 0
    render_rate = status.get("renderSampleRate") or 0
    if not capture_rate or not render_rate:
        return None
    offset = (wake_offset_ms or 0.0) if abs(capture_ms - render_ms) < 1e-3 else render_ms
    converter = 1000.0 * sinc_half(capture_rate, render_rate) / capture_rate
    margin = 0.0
    if status.get("renderExclusive") is False:
        period_frames = int(round(render_ms * render_rate / 1000.0))
        margin = 1000.0 * min(render_rate * SHARED_MARGIN_MS // 1000, period_frames // 2) / \
            render_rate
    return 2 * capture_ms + render_ms + offset + converter + margin


# ---- One set-up ----

COUNTERS = (("captureDiscontinuities", "gaps"), ("captureSamplesLost", "lost"),
            ("renderUnderrunFrames", "underrun"), ("ringDroppedSamples", "cut"))


class Result:
    def __init__(self, setup):
        self.setup = setup
        self.problems = []
        self.goals = []  # of each problem: "clean" for the clean-output goal
        self.fatal = False  # a problem of the run itself, not of a goal
        self.ppm = []
        self.breaks_after = self.breaks_all = None
        self.growth = {}
        self.totals = {}
        self.latency = self.bound = None
        self.periods = (None, None)
        self.shares = ""
        self.raised = []
        self.break_times = []
        self.broken_seconds = set()  # from 0: seconds of the pitch's recording with a break
        self.host_breaks = 0  # breaks after the first second that came with a host stall
        self.host_stalls = []  # ms of each host stall of HOST_STALL_MS or more after 1 s
        self.retried = ""  # why the set-up was started a second time
        self.seconds = 0.0

    def fail(self, text, fatal=False, goal=None):
        self.problems.append(text)
        self.goals.append(goal)
        self.fatal = self.fatal or fatal

    def failed(self):
        if self.fatal:
            return True
        if self.setup.short or self.host_explained():
            return False
        return any(goal != "clean" or not self.setup.breaks_short for goal in self.goals)

    def verdict(self):
        if not self.problems:
            return "PASS"
        if self.host_explained():
            return "HOST"
        return "SHORT" if not self.failed() else "FAIL"

    def host_explained(self):
        """Every break after the first second came with the host holding the device's clock up,
        and nothing failed but what such breaks bring: the counters, the pitch of the broken
        seconds, and a period raised by them."""
        if self.fatal or not self.breaks_after or self.host_breaks < self.breaks_after:
            return False
        if any(goal not in ("clean", "pitch", "period") for goal in self.goals):
            return False
        if "pitch" not in self.goals:
            return True
        if self.setup.pitch == "exact":
            worst = self.worst(2, skip_broken=True)
            return worst is not None and worst <= EXACT_PPM
        worst = self.worst(6, skip_broken=True)
        return worst is not None and worst <= SETTLED_PPM and \
            settling_worst(self.ppm, self.broken_seconds) <= EARLY_PPM

    def worst(self, first_second, skip_broken=False):
        skip = self.broken_seconds if self.setup.breaks_allowed() or skip_broken else set()
        kept = [p for i, p in enumerate(self.ppm) if i >= first_second - 1 and i not in skip]
        values = [abs(p) for p in kept if p is not None]
        missing = any(p is None for p in kept)
        return float("inf") if missing else (max(values) if values else None)


def pick_statuses(run):
    """The reply nearest a second after the start's reply, and the last one."""
    pairs = analyse.pair_replies(analyse.parse_traffic(run.path("traffic.log")))
    started = next((reply["time"] for request, reply in pairs
                    if request and request["text"].startswith("start(")), None)
    statuses = analyse.status_replies(pairs)
    if started is None or len(statuses) < 2:
        return None, None
    early = min(statuses, key=lambda item: abs(item[0] - started - 1000.0))
    return early[1], statuses[-1][1]


def measure(session, app, setup, tag):
    result = Result(setup)
    started = time.monotonic()
    try:
        for attempt in (1, 2):
            run = run_e2e.run_program(session, app, "%s-%s%s" % (
                setup.name, tag, "" if attempt == 1 else "-again"), scenario=scenario(setup),
                                      audio=audio_config(setup), timeout=RUN_TIMEOUT_S)
            if attempt == 1 and run.exit_code != 0 and run.text("traffic.log") is None:
                # The window never came up, so nothing was measured: once in a few hundred
                # starts under Wine and Xvfb. Tried once more, and said so in the table.
                result.retried = "the first try exited %d before its window ran (%s)" % (
                    run.exit_code, (run.stderr.strip().splitlines() or ["no output"])[-1])
                continue
            judge(result, run)
            break
    except (Failure, OSError) as error:
        # A run that left no files is this set-up's failure; the next set-ups still run.
        result.fail(str(error))
    result.seconds = time.monotonic() - started
    return result


def judge(result, run):
    setup = result.setup
    for line in run.stderr.splitlines():
        if NOT_UNDERSTOOD in line:
            result.fail("the virtual audio lacks a line: %s" % line.strip(), fatal=True)
    if run.exit_code != 0:
        result.fail("exit code %d (%s)" % (run.exit_code, (run.stderr.strip().splitlines() or
                                                           ["no output"])[-1]), fatal=True)
    early, late = pick_statuses(run)
    if early is None:
        result.fail("fewer than two \"status\" replies after a start", fatal=True)
    else:
        for key, short in COUNTERS:
            result.totals[short] = late.get(key)
            if isinstance(late.get(key), int) and isinstance(early.get(key), int):
                result.growth[short] = late[key] - early[key]
        result.latency = late.get("latencyMs")
        result.bound = latency_bound_ms(late)
        result.periods = (late.get("capturePeriodMs"), late.get("renderPeriodMs"))
        result.shares = "%s/%s" % tuple({True: "ex", False: "sh"}.get(late.get(k), "?")
                                        for k in ("captureExclusive", "renderExclusive"))
    debug = [text for _, text in run.debug_lines()]
    result.raised = [text[len("Tonelark period raised to "):] for text in debug
                     if text.startswith("Tonelark period raised to ")]

    output = "headphones.wav" if setup.headphones else "speakers.wav"
    recordings = []
    for name in ("speakers.wav", "headphones.wav") if setup.headphones else ("speakers.wav",):
        try:
            recordings.append((name, read_recording(run.path(name), setup.implied_hz())))
        except (OSError, wavio.WavError) as error:
            result.fail("%s: %s" % (name, error))
    heard = dict(recordings).get(output)
    if heard is None or heard.onset is None:
        result.fail("nothing audible in %s" % output)
    else:
        result.ppm = heard.ppm
        result.broken_seconds = {int(t) for t in heard.breaks}
        # The speakers play only up to a move: every break of a later output counts.
        counted = [t for n, r in recordings for t in r.breaks
                   if t >= (0.0 if setup.headphones and n == output else 1.0)]
        result.breaks_after = len(counted)
        # Real-time streams start apart, and a packet waits that long for the render wake.
        wakes = read_stalls(run.path(output) + ".wakes", heard.rate, heard.onset)
        if wakes and early is not None:
            result.bound = latency_bound_ms(late, wakes[-1][1])
        stalls = read_stalls(run.path(output) + ".stalls", heard.rate, heard.onset)
        stalls = [(t, ms) for t, ms in stalls if ms >= HOST_STALL_MS]
        result.host_stalls = [ms for t, ms in stalls if 1.0 <= t <= len(heard.ppm)]
        result.host_breaks = sum(1 for b in counted
                                 if any(abs(t - b) <= HOST_WINDOW_S for t, _ in stalls))
        result.breaks_all = sum(len(r.breaks) for _, r in recordings)
        result.break_times = counted[:6]
    assert_goals(result, setup, early, late, debug)


def settling_worst(ppm, skip):
    """The worst of seconds 2 to 5, skipping `skip`; 0 when none is left."""
    early = [abs(p) if p is not None else float("inf")
             for i, p in enumerate(ppm) if 1 <= i < 5 and i not in skip]
    return max(early) if early else 0.0


def read_stalls(path, rate, onset):
    """The host stalls (or wake offsets) beside a recording, as (seconds from the onset, ms); none
    when the virtual audio wrote no such file."""
    try:
        with open(path) as f:
            rows = [line.split() for line in f if line.strip()]
    except OSError:
        return []
    return [(int(frame) / rate - onset, float(ms)) for frame, ms in rows]


def assert_goals(result, setup, early, late, debug):
    fail = result.fail
    ppm = result.ppm
    if len(ppm) < setup.seconds:
        fail("%d whole seconds heard, %d wanted" % (len(ppm), setup.seconds))
    if setup.pitch == "exact":
        worst = result.worst(2)
        if worst is not None and worst > EXACT_PPM:
            fail("pitch: a second from the second on is %.0f ppm off (limit %.0f)"
                 % (worst, EXACT_PPM), goal="pitch")
    elif setup.pitch == "settle":
        early_worst = settling_worst(ppm,
                                     result.broken_seconds if setup.breaks_allowed() else set())
        if early_worst > EARLY_PPM:
            fail("pitch: seconds 2 to 5 reach %.0f ppm (limit %.0f)" % (early_worst, EARLY_PPM),
                 goal="pitch")
        worst = result.worst(6)
        if worst is not None and worst > SETTLED_PPM:
            fail("pitch: a second from the sixth on is %.0f ppm off (limit %.0f)"
                 % (worst, SETTLED_PPM), goal="pitch")
    if setup.late_wakes:
        drain = [abs(p) for p in ppm[1:] if p is not None]
        if drain and max(drain) > DRAIN_PPM:
            fail("the cushion drains at %.0f ppm (limit %.0f)" % (max(drain), DRAIN_PPM))
        if result.totals.get("cut"):
            fail("%s samples cut from the ring" % result.totals["cut"])
    if setup.clean:
        if result.breaks_after:
            fail("%d discontinuities after the first second (at %s s)" % (
                result.breaks_after, ", ".join("%.2f" % t for t in result.break_times)),
                 goal="clean")
        grown = ["%s +%d" % (k, v) for k, v in sorted(result.growth.items()) if v]
        if grown:
            fail("counters grew after the first second: " + ", ".join(grown), goal="clean")
    if len(result.raised) != setup.raised:
        fail("%d `period raised` lines (%s), %d expected"
             % (len(result.raised), "; ".join(result.raised) or "none", setup.raised),
             goal="period")
    if setup.periods is not None and late:
        got = result.periods
        if any(g is None or abs(g - w) > 0.01 for g, w in zip(got, setup.periods)):
            fail("periods %s ms, the smallest are %.2f/%.2f ms" % (
                "/".join("%.2f" % g if g else "?" for g in got), setup.periods[0],
                setup.periods[1]), goal="period")
        if setup.raised == 0 and (result.latency is None or result.bound is None or \
                                  result.latency > result.bound + LATENCY_SLACK_MS):
            fail("latencyMs %s beyond the bound %s + %.1f ms" % (
                "%.2f" % result.latency if result.latency is not None else "?",
                "%.2f" % result.bound if result.bound is not None else "?", LATENCY_SLACK_MS),
                goal="period")
    if setup.headphones and "Tonelark speakers now Headphones" not in debug:
        fail("no move to the headphones in the debugger output")
    if setup.headphones and late and result.totals.get("lost"):
        fail("%s capture frames lost over the move" % result.totals["lost"], goal="clean")


# ---- The table ----

# "new": the set-up needs the virtual audio's driver-like times; "!": the second holds a break.
COLUMNS = ("set-up", "new", "worst s2+", "worst s6+", "ppm per second",
           "breaks >1s/all (at host stalls)", "host stalls >1s (largest ms)",
           "growth after 1 s (gaps/lost/underrun/cut)", "latencyMs/bound", "periods ms",
           "raised", "verdict")


def fmt_ppm(value):
    if value is None:
        return "-"
    return "inf" if value == float("inf") else "%.0f" % value


def table_line(result):
    setup = result.setup
    growth = "/".join(str(result.growth.get(short, "?")) for _, short in COUNTERS)
    latency = "%s/%s" % ("%.2f" % result.latency if result.latency is not None else "?",
                         "%.2f" % result.bound if result.bound is not None else "?")
    periods = "%s %s" % ("/".join("%.2f" % p if p else "?" for p in result.periods),
                         result.shares)
    cells = (setup.name, "yes" if setup.needs_new_lines() else "", fmt_ppm(result.worst(2)),
             fmt_ppm(result.worst(6)),
             " ".join(("%+.0f" % p if p is not None else "silent") +
                      ("!" if i in result.broken_seconds else "")
                      for i, p in enumerate(result.ppm)),
             "%s/%s (%d)" % (result.breaks_after, result.breaks_all, result.host_breaks),
             "%d (%s)" % (len(result.host_stalls),
                          "%.1f" % max(result.host_stalls) if result.host_stalls else "-"),
             growth, latency, periods,
             "; ".join(result.raised) or "-", result.verdict())
    return "| " + " | ".join(cells) + " |"


def table(results, heading):
    lines = [heading, "", "| " + " | ".join(COLUMNS) + " |",
             "|" + "---|" * len(COLUMNS)]
    lines += [table_line(result) for result in results]
    failed = [result for result in results if result.problems]
    if failed or any(result.retried for result in results):
        lines.append("")
    for result in results:
        if result.retried:
            lines.append("%s: %s" % (result.setup.name, result.retried))
    for result in failed:
        lines.append("%s (%s): %s" % (result.setup.name, result.setup.why, result.verdict()))
        if result.setup.short and not result.fatal:
            lines.append("  known short: " + result.setup.short)
        elif result.setup.breaks_short and not result.failed():
            lines.append("  known short of clean output: " + result.setup.breaks_short)
        lines += ["  - " + problem for problem in result.problems]
    return lines


# ---- Main ----

def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--app", required=True, help="the staged application (<build>/app)")
    parser.add_argument("--prefix", help="Wine prefix (default: <app>/../wineprefix-e2e)")
    parser.add_argument("--only", nargs="*", help="run only these set-ups")
    parser.add_argument("--repeat", type=int, default=1, help="run the matrix N times")
    parser.add_argument("--table", help="also write the tables to this file")
    parser.add_argument("--keep", action="store_true", help="keep the run folders")
    options = parser.parse_args()
    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, run_e2e.on_signal)

    priority, booster = run_e2e.audio_priority(run_e2e.DEVICE_AND_AUDIO_THREADS)
    staged = os.path.abspath(options.app)
    build = os.path.dirname(staged)
    prefix = options.prefix or os.path.join(build, "wineprefix-e2e")
    setups = [s for s in SETUPS if not options.only or s.name in options.only]
    unknown = set(options.only or ()) - {s.name for s in SETUPS}
    if unknown or not setups:
        print("matrix: no set-up named %s; the set-ups: %s" % (
            ", ".join(sorted(unknown)) or "-", ", ".join(s.name for s in SETUPS)))
        return 1
    outputs = [os.path.join(build, "realtime-matrix.txt")] + ([options.table]
                                                            if options.table else [])
    lines = []
    verdicts = []
    session = run_e2e.Session(prefix, options.keep)
    try:
        self_check()
        session.start_xvfb()
        session.start_wine()
        app = run_e2e.prepare_app(session, staged)
        for round_number in range(1, options.repeat + 1):
            started = time.monotonic()
            results = []
            for setup in setups:
                result = measure(session, app, setup, round_number)
                results.append(result)
                print("%-5s %s (%.1f s)" % (result.verdict(), setup.name, result.seconds),
                      flush=True)
            heading = "Real-time matrix, run %d of %d (%.0f s of wall time, %s), %s" % (
                round_number, options.repeat, time.monotonic() - started, priority,
                time.strftime("%Y-%m-%d %H:%M:%S"))
            lines += table(results, heading) + [""]
            print("\n".join(table(results, heading)), flush=True)
            verdicts += [not result.failed() for result in results]
    except (Failure, Interrupted, subprocess.TimeoutExpired, OSError) as error:
        print("matrix: %s" % error)
        verdicts.append(False)
    finally:
        if booster is not None:
            booster.stop()
        session.close()
        for path in outputs:
            with open(path, "w") as f:
                f.write("\n".join(lines) + "\n")
    passed = sum(verdicts)
    print("%d passed, %d failed; tables in %s" % (passed, len(verdicts) - passed,
                                                  " and ".join(outputs)))
    return 0 if verdicts and all(verdicts) else 1


if __name__ == "__main__":
    sys.exit(main())
