#!/usr/bin/env python3
"""Sums up a demo run from the files it left: the replies the user interface received, the PCM
events (count, rate, level, pauses), the engine's "status" replies, the program's debugger
output, the clicks found in the speaker output (onset and pitch), the round trips when a real
audio run measured them (round-trip.json) and the program's exit code.

Usage: analyse.py OUT_DIR [--exit-code N] [--speakers speakers.wav] [--json]
"""

import argparse
import json
import math
import os
import re
import sys

from real_audio import engine_delay_check, engine_figures, round_trip_lines
from wavio import WavError, read_wav

PCM_CHANNEL = "tonelark/guitar_pcm"
CLICK_NORMAL_HZ = 1046.5
CLICK_ACCENT_HZ = 1568.0
CLICK_SECONDS = 0.030
# PCM events come every 5.3 ms at 48 kHz, a few together when the user interface's thread was
# busy; a wait this long means the stream paused.
PCM_PAUSE_MS = 250.0
# A value in the traffic log's decoded map: a string, true/false/null or a number (doubles may
# be nan or inf).
MAP_ENTRY = re.compile(
    r'"([^"\\]*)": ("(?:[^"\\]|\\.)*"|true|false|null|nan|-?inf|-?[0-9][0-9.e+-]*L?)')
# The counters of a "status" reply that tell of lost or patched audio.
GLITCH_COUNTERS = ("captureDiscontinuities", "captureSamplesLost", "renderUnderrunFrames",
                   "ringDroppedSamples", "pcmChunksDropped")
# A click starts at amplitude 0.35 and decays with the square of the remaining fraction; over
# the analysis window it averages about 0.15. Guitar harmonics that close to the click pitches
# stay far below this.
CLICK_THRESHOLD = 0.04
# The debugger line of a stream opened at the smallest shared engine period (IAudioClient3).
ENGINE_PERIOD_LINE = "Tonelark shared engine period"


# ---- traffic.log ----

def parse_traffic(path):
    """Lines as dicts: time (ms), direction, channel, kind, text (decoded content), hex."""
    entries = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            parts = line.rstrip("\n").split(None, 4)
            if len(parts) < 4:
                continue
            try:
                time_ms = float(parts[0])
            except ValueError:
                continue
            rest = parts[4] if len(parts) > 4 else ""
            text, _, hex_part = rest.partition(" | hex ")
            entries.append({"time": time_ms, "direction": parts[1], "channel": parts[2],
                            "kind": parts[3], "text": text, "hex": hex_part})
    return entries


def pair_replies(entries):
    """Each reply with the message it answers (replies on one channel come in order)."""
    waiting = {}
    pairs = []
    for entry in entries:
        if entry["kind"] == "message":
            waiting.setdefault(entry["channel"], []).append(entry)
        elif entry["kind"] == "reply":
            queue = waiting.get(entry["channel"], [])
            request = queue.pop(0) if queue else None
            pairs.append((request, entry))
    return pairs


def streaming_seconds(pairs):
    """Seconds from the reply to the first "start" to the reply to the next "stop"."""
    started = None
    for request, reply in pairs:
        text = request["text"] if request else ""
        if text.startswith("start(") and started is None:
            started = reply["time"]
        elif text.startswith("stop(") and started is not None:
            return (reply["time"] - started) / 1000.0
    return None


def pcm_event_stats(entries):
    times = [e["time"] for e in entries
             if e["kind"] == "event" and e["channel"] == PCM_CHANNEL and e["text"].startswith("success bytes[")]
    sizes = sorted({e["text"][len("success bytes["):].split("]")[0] for e in entries
                    if e["kind"] == "event" and e["channel"] == PCM_CHANNEL and e["text"].startswith("success bytes[")})
    rate = 0.0
    span = 0.0
    if len(times) > 1 and times[-1] > times[0]:
        span = (times[-1] - times[0]) / 1000.0
        rate = (len(times) - 1) / span
    return len(times), sizes, rate, span


def pcm_pauses(entries, longer_than_ms=PCM_PAUSE_MS):
    """Waits between two PCM events longer than longer_than_ms: [(from ms, to ms)]."""
    times = [e["time"] for e in entries
             if e["kind"] == "event" and e["channel"] == PCM_CHANNEL and e["text"].startswith("success bytes[")]
    return [(a, b) for a, b in zip(times, times[1:]) if b - a > longer_than_ms]


def decoded_map(text):
    """The entries of a decoded map ("success {...}" in traffic.log) as a dict of Python values;
    strings keep their escapes."""
    entries = {}
    for key, value in MAP_ENTRY.findall(text):
        if value.startswith('"'):
            entries[key] = value[1:-1]
        elif value in ("true", "false"):
            entries[key] = value == "true"
        elif value == "null":
            entries[key] = None
        elif value in ("nan", "inf", "-inf") or "." in value or "e" in value:
            entries[key] = float(value)
        else:
            entries[key] = int(value.rstrip("L"))
    return entries


def status_replies(pairs):
    """[(reply time ms, decoded map)] of the replies to "status"."""
    return [(reply["time"], decoded_map(reply["text"])) for request, reply in pairs
            if request and request["text"].startswith("status(") and reply["text"].startswith("success {")]


def read_debug_output(path):
    """debug.log as [(time ms, text)]."""
    lines = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            when, _, text = line.strip().partition(" ")
            try:
                lines.append((float(when), text))
            except ValueError:
                continue
    return lines


def describe_status(entries):
    """One "status" reply for the summary: the engine's state, then its streams (the second
    line only while streams are open)."""
    def yes_no(key):
        return {True: "yes", False: "no"}.get(entries.get(key), "?")

    def ms(key):
        value = entries.get(key)
        return "%g" % value if isinstance(value, (int, float)) else "?"

    text = "deviceLost %s, running %s" % (str(entries.get("deviceLost", "?")).lower(),
                                          str(entries.get("running", "?")).lower())
    if not entries.get("sampleRate"):
        return [text + "; no streams"]
    latency = entries.get("latencyMs")
    added = ""
    if "engineDelayMs" in entries:
        added = " (cushion %s ms; the engine adds %s ms)" % (ms("cushionMs"), ms("engineDelayMs"))
    return [text + "; %s, %s Hz, capture exclusive %s, latency %s ms%s" % (
                entries.get("name", "?"), entries.get("sampleRate"), yes_no("captureExclusive"),
                "%.1f" % latency if isinstance(latency, (int, float)) else "?", added),
            "capture period %s ms; render on %s, %s Hz, exclusive %s, period %s ms; asked for"
            " lowLatency %s, sharedCapture %s, shareSpeakers %s" % (
                ms("capturePeriodMs"), entries.get("renderName", "?"),
                entries.get("renderSampleRate", "?"), yes_no("renderExclusive"),
                ms("renderPeriodMs"), yes_no("lowLatency"), yes_no("sharedCapture"),
                yes_no("shareSpeakers"))]


def engine_period_verdict(statuses, debug):
    """Whether a low-latency start got its shared streams the smallest engine period
    (IAudioClient3) or the ordinary shared mode, from the "status" replies (decoded maps) and the
    debugger output's texts; None when no start asked for it with a stream shared."""
    asked = [s for s in statuses if s.get("lowLatency") and s.get("sampleRate") and
             (s.get("captureExclusive") is False or s.get("renderExclusive") is False)]
    if not asked:
        return None
    periods = [text for text in debug if text.startswith(ENGINE_PERIOD_LINE)]
    if periods:
        return "IAudioClient3 took the smallest engine period: " + "; ".join(periods)
    return ("IAudioClient3 refused by the driver: ordinary shared mode (no \"%s\" line)"
            % ENGINE_PERIOD_LINE)


def pcm_chunk_samples(rate):
    """The engine cuts the capture into chunks of about 5 ms, never below 256 samples."""
    return max(256, rate // 200)


# ---- signal analysis ----

def db(value):
    return 20.0 * math.log10(value) if value > 0 else float("-inf")


def level(samples):
    if not samples:
        return float("-inf"), float("-inf")
    peak = max(abs(s) for s in samples)
    rms = math.sqrt(sum(s * s for s in samples) / len(samples))
    return db(rms), db(peak)


def tone_amplitude(x, start, n, frequency, rate):
    """Amplitude of one sinusoid over x[start:start+n] (Goertzel), 0 outside the signal."""
    if start < 0 or start + n > len(x) or n <= 0:
        return 0.0
    w = 2.0 * math.pi * frequency / rate
    cos_w = math.cos(w)
    coeff = 2.0 * cos_w
    s1 = s2 = 0.0
    for value in x[start:start + n]:
        s1, s2 = value + coeff * s1 - s2, s1
    real = s1 - s2 * cos_w
    imag = s2 * math.sin(w)
    return 2.0 * math.sqrt(real * real + imag * imag) / n


def find_clicks(x, rate):
    """Click bursts in x: onset (s), pitch (Hz), kind and peak amplitude, in time order."""
    window = int(0.020 * rate)
    hop = int(0.010 * rate)
    hits = []
    for start in range(0, max(0, len(x) - window), hop):
        for frequency in (CLICK_NORMAL_HZ, CLICK_ACCENT_HZ):
            if tone_amplitude(x, start, window, frequency, rate) > CLICK_THRESHOLD:
                hits.append((start, frequency))
    clicks = []
    last_onset = {}  # per pitch: a long tone on one must not hide clicks on the other
    burst = int(CLICK_SECONDS * rate)
    for start, frequency in hits:
        if start - last_onset.get(frequency, -rate) < burst * 3:
            continue
        onset = locate_onset(x, start - window, start + hop, frequency, rate)
        # Only a click taken covers the hits after it: one turned down (cut short by the next
        # click, or a tone that sounds on) must leave the next hit its own look.
        if not is_burst(x, onset, burst, frequency, rate):
            continue
        last_onset[frequency] = onset
        pitch = refine_pitch(x, onset, burst, frequency, rate)
        clicks.append({"onset": onset / rate, "pitch": pitch,
                       "accent": abs(pitch - CLICK_ACCENT_HZ) < abs(pitch - CLICK_NORMAL_HZ),
                       "peak": max(abs(v) for v in x[onset:onset + burst])})
    clicks.sort(key=lambda click: click["onset"])
    return clicks


def is_burst(x, onset, burst, frequency, rate):
    """A click is a burst of one pitch: its tone is far weaker just before it and just after its
    30 ms (a guitar harmonic on a click pitch sounds on), and far stronger than its neighbours
    150 Hz away (a crackle or a jump in the signal spreads over every pitch)."""
    gap = int(0.005 * rate)
    during = tone_amplitude(x, onset, burst, frequency, rate)
    before = tone_amplitude(x, onset - gap - burst, burst, frequency, rate)
    after = tone_amplitude(x, onset + burst + gap, burst, frequency, rate)
    beside = max(tone_amplitude(x, onset, burst, frequency - 150.0, rate),
                 tone_amplitude(x, onset, burst, frequency + 150.0, rate))
    return before < 0.5 * during and after < 0.5 * during and beside < during / 3.0


def click_template(frequency, rate):
    """The engine's click without its amplitude: envelope-weighted cosine and sine."""
    length = int(CLICK_SECONDS * rate)
    w = 2.0 * math.pi * frequency / rate
    envelope = [((length - i) / length) ** 2 for i in range(length)]
    return ([e * math.cos(w * i) for i, e in enumerate(envelope)],
            [e * math.sin(w * i) for i, e in enumerate(envelope)])


def match(x, start, template):
    cosines, sines = template
    if start < 0 or start + len(cosines) > len(x):
        return 0.0
    segment = x[start:start + len(cosines)]
    real = sum(a * b for a, b in zip(segment, cosines))
    imag = sum(a * b for a, b in zip(segment, sines))
    return real * real + imag * imag


def locate_onset(x, first, last, frequency, rate):
    """Where the click template fits best: coarse 0.5 ms steps, then sample by sample."""
    template = click_template(frequency, rate)
    coarse = max(1, int(0.0005 * rate))
    best = max(range(max(0, first), max(first, last) + 1, coarse), key=lambda s: match(x, s, template))
    return max(range(max(0, best - coarse), best + coarse + 1), key=lambda s: match(x, s, template))


def refine_pitch(x, onset, n, around, rate):
    """The frequency of the strongest sinusoid within 60 Hz of `around`, to about 1 Hz.

    The samples are weighted by the click's own decay, faded in over its first 4 ms: cut off
    hard at the window's edges, a louder steady tone hundreds of Hz away (the guitar) pulls the
    pitch by several Hz with its phase, and the decay keeps near guitar harmonics weaker than
    the click."""
    if onset < 0 or n <= 0:
        return around
    segment = x[onset:onset + n]
    fade_in = max(1, int(0.004 * rate))
    weighted = [v * ((n - i) / n) ** 2
                * math.sin(0.5 * math.pi * min(1.0, (i + 0.5) / fade_in)) ** 2
                for i, v in enumerate(segment)]
    step = 2.0
    frequencies = [around - 60.0 + step * i for i in range(61)]
    amplitudes = [tone_amplitude(weighted, 0, len(weighted), f, rate) for f in frequencies]
    i = max(range(len(amplitudes)), key=amplitudes.__getitem__)
    if 0 < i < len(amplitudes) - 1:
        a, b, c = amplitudes[i - 1], amplitudes[i], amplitudes[i + 1]
        denominator = a - 2.0 * b + c
        if denominator != 0.0:
            return frequencies[i] + step * 0.5 * (a - c) / denominator
    return frequencies[i]


# ---- report ----

def read_report(path):
    report = {}
    if os.path.exists(path):
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                key, sep, value = line.rstrip("\n").partition("=")
                if sep:
                    report[key] = value
    return report


def summarise(out_dir, exit_code, speakers_path):
    lines = []
    add = lines.append
    facts = {"exit_code": exit_code}
    add("Tonelark demo summary")
    add("  program exit code: %s" % ("unknown" if exit_code is None else exit_code))

    traffic_path = os.path.join(out_dir, "traffic.log")
    entries = parse_traffic(traffic_path) if os.path.exists(traffic_path) else []
    pairs = pair_replies(entries)
    facts["replies"] = len(pairs)
    add("")
    add("  replies received by the user interface: %d" % len(pairs))
    for request, reply in pairs:
        asked = request["text"] if request else "?"
        add("    %8.3f s  %-20s %-34s -> %s" % (reply["time"] / 1000.0, reply["channel"],
                                               shorten(asked, 34), shorten(reply["text"], 90)))

    count, sizes, rate, span = pcm_event_stats(entries)
    facts.update({"pcm_events": count, "pcm_events_per_second": round(rate, 2)})
    add("")
    add("  PCM events: %d of %s bytes, %.1f events/s over %.2f s of streaming"
        % (count, "/".join(sizes) or "-", rate, span))
    pcm_path = os.path.join(out_dir, "pcm.wav")
    if os.path.exists(pcm_path):
        try:
            pcm = read_wav(pcm_path)
            rms, peak = level(pcm.samples)
            facts.update({"pcm_rms_dbfs": round(rms, 1), "pcm_peak_dbfs": round(peak, 1)})
            chunk = pcm_chunk_samples(pcm.rate)
            add("  PCM received: pcm.wav, %s; level RMS %.1f dBFS, peak %.1f dBFS"
                % (pcm.describe(), rms, peak))
            add("  (at %d Hz one %d-sample event every %.2f ms: %.1f events/s expected)"
                % (pcm.rate, chunk, 1000.0 * chunk / pcm.rate, pcm.rate / float(chunk)))
        except WavError as error:
            add("  PCM received: %s" % error)
    else:
        add("  PCM received: no pcm.wav (no PCM event arrived)")
    pauses = pcm_pauses(entries)
    facts["pcm_pauses"] = [{"from": round(a / 1000.0, 3), "to": round(b / 1000.0, 3)} for a, b in pauses]
    if pauses:
        for a, b in pauses:
            add("  PCM paused for %.2f s: no event from %.3f s to %.3f s" % ((b - a) / 1000.0, a / 1000.0, b / 1000.0))
    elif count > 1:
        add("  PCM never paused for more than %.0f ms" % PCM_PAUSE_MS)

    statuses = status_replies(pairs)
    facts["status"] = [dict(entries_map, time=round(t / 1000.0, 3)) for t, entries_map in statuses]
    if statuses:
        add("")
        add("  engine status (replies to \"status\"):")
        for when, entries_map in statuses:
            first, *rest = describe_status(entries_map)
            add("    %8.3f s  %s" % (when / 1000.0, first))
            for line in rest:
                add("               %s" % line)
            counters = [key for key in GLITCH_COUNTERS if key in entries_map]
            if counters:
                add("               glitches so far: %s" % (", ".join(
                    "%s %s" % (key, entries_map[key]) for key in counters if entries_map[key])
                    or "none"))

    debug_path = os.path.join(out_dir, "debug.log")
    if os.path.exists(debug_path):
        debug = read_debug_output(debug_path)
        facts["debug_output"] = [{"time": round(t / 1000.0, 3), "text": text} for t, text in debug]
        add("")
        add("  program's debugger output (debug.log): %d line%s"
            % (len(debug), "" if len(debug) == 1 else "s"))
        for when, text in debug:
            add("    %8.3f s  %s" % (when / 1000.0, shorten(text, 100)))
        verdict = engine_period_verdict([entries_map for _, entries_map in statuses],
                                        [text for _, text in debug])
        if verdict:
            facts["engine_period"] = verdict
            add("  " + verdict)

    # Headphones plugged in during the run take the monitoring over: their recording follows.
    headphones_path = os.path.join(out_dir, "headphones.wav")
    outputs = [(speakers_path, "speaker output", "clicks")]
    if os.path.exists(headphones_path):
        outputs.append((headphones_path, "headphones output", "clicks_headphones"))
    for path, what, key in outputs:
        add("")
        if not path or not os.path.exists(path):
            add("  %s: none written" % what)
            continue
        try:
            output = read_wav(path)
        except WavError as error:
            add("  %s: %s" % (what, error))
            continue
        rms, peak = level(output.samples)
        add("  %s: %s, %s; RMS %.1f dBFS, peak %.1f dBFS"
            % (what, os.path.basename(path), output.describe(), rms, peak))
        streaming = streaming_seconds(pairs)
        if len(outputs) == 1 and streaming and output.seconds < 0.95 * streaming:
            why = ("periods the speakers did not receive, as on a loaded machine, are not in the"
                   " file")
            if pauses:
                why = ("the speakers got nothing while the streams were closed (the PCM pause"
                       " above), and " + why)
            add("  (it holds %.2f s of the %.2f s between \"start\" and \"stop\": %s, so the"
                " gaps below can be shorter than they were)" % (output.seconds, streaming, why))
        clicks = find_clicks(output.samples, output.rate)
        facts[key] = [{"onset": round(c["onset"], 4), "pitch": round(c["pitch"], 1),
                       "accent": c["accent"]} for c in clicks]
        accents = sum(1 for c in clicks if c["accent"])
        add("  clicks found: %d (%d accented at ~1568 Hz, %d normal at ~1046.5 Hz)"
            % (len(clicks), accents, len(clicks) - accents))
        previous = None
        for click in clicks:
            gap = ""
            if previous is not None:
                interval = click["onset"] - previous
                gap = "  +%4.0f ms (%.0f bpm)" % (interval * 1000.0,
                                                 60.0 / interval if interval else 0)
            add("    %8.3f s  %7.1f Hz  %-6s peak %.2f%s" % (
                click["onset"], click["pitch"], "accent" if click["accent"] else "normal",
                click["peak"], gap))
            previous = click["onset"]

    round_trip_path = os.path.join(out_dir, "round-trip.json")
    if os.path.exists(round_trip_path):
        with open(round_trip_path) as f:
            round_trip = json.load(f)
        facts["round_trip"] = round_trip
        status_maps = [entries_map for _, entries_map in statuses]
        facts["engine_delay_check"] = engine_delay_check(round_trip, engine_figures(status_maps))
        add("")
        add("  round trip of the impulses in the guitar to the speakers (real audio):")
        lines.extend(round_trip_lines(round_trip, status_maps))

    report = read_report(os.path.join(out_dir, "report.txt"))
    if report:
        add("")
        add("  engine stand-in: window %s, visible before/after the first frame %s/%s"
            % (report.get("window_rect", "?"), report.get("visible_before_first_frame", "?"),
               report.get("visible_after_first_frame", "?")))
        add("  engine ended by %s; guitar channels cleared before: %s; misuse after the end: %s"
            % (report.get("engine_destroyed_by", "?"),
               "yes" if report.get("channels_cleared_before_engine_end") == "1" else "no",
               report.get("misuse_count", "?")))
        add("  scenario: %s of %s actions played, %s lines rejected"
            % (report.get("scenario_played", "?"), report.get("scenario_actions", "?"),
               report.get("scenario_errors", "?")))
    return lines, facts


def shorten(text, width):
    return text if len(text) <= width else text[: width - 3] + "..."


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out_dir")
    parser.add_argument("--exit-code", type=int, default=None)
    parser.add_argument("--speakers", default=None, help="speaker WAV (default OUT_DIR/speakers.wav)")
    parser.add_argument("--json", action="store_true", help="also print the facts as JSON")
    args = parser.parse_args()
    speakers = args.speakers or os.path.join(args.out_dir, "speakers.wav")
    lines, facts = summarise(args.out_dir, args.exit_code, speakers)
    print("\n".join(lines))
    if args.json:
        print(json.dumps(facts))
    return 0


if __name__ == "__main__":
    sys.exit(main())
