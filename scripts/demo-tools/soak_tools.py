#!/usr/bin/env python3
"""The soak run's scenario, and the summary of the resources the program used over it.

The scenario: open the PCM stream, start and stop the engine CYCLES times, then stream for
SECONDS with a click on every beat (an accent on each bar's first) and a "status" every 30 s,
stop, close the stream and the window. The summary reads the engine stand-in's resources.log
(handles, private bytes, working set over time) and prints them at the start, after the first
cycles, after all cycles, every minute of streaming, at the end of streaming and after the stop.

Usage: soak_tools.py scenario OUT.txt [--cycles 300] [--seconds 300] [--bpm 120]
       soak_tools.py report OUT_DIR [--cycles 300] [--seconds 300] [--bpm 120] [--json]
"""

import argparse
import json
import os
import sys

GUITAR = "tonelark/guitar"
PCM = "tonelark/guitar_pcm"

FIRST_CYCLE_MS = 300
CYCLE_MS = 300  # a start, and a stop half-way through
EARLY_CYCLES = 3  # the handles after these are the baseline: the first start loads what stays
STATUS_EVERY_MS = 30000


class Plan:
    """When each part of the soak scenario happens, in ms after the first frame."""

    def __init__(self, cycles, seconds, bpm):
        self.cycles = cycles
        self.seconds = seconds
        self.beat_ms = 60000.0 / bpm
        self.cycles_end = FIRST_CYCLE_MS + cycles * CYCLE_MS
        self.stream_start = self.cycles_end + 200
        self.stream_end = self.stream_start + int(seconds * 1000)
        self.stop = self.stream_end + 100
        self.close = self.stop + 1000

    def cycle_start(self, i):
        return FIRST_CYCLE_MS + i * CYCLE_MS

    def after_cycles(self, n):
        """Just before cycle n + 1 starts: the first n cycles are over."""
        return self.cycle_start(n) - 20


def scenario_lines(cycles, seconds, bpm=120.0):
    plan = Plan(cycles, seconds, bpm)
    actions = [(100, "listen %s" % PCM)]
    for i in range(cycles):
        at = plan.cycle_start(i)
        actions.append((at, "call %s start" % GUITAR))
        actions.append((at + CYCLE_MS // 2, "call %s stop" % GUITAR))
    actions.append((plan.stream_start, "call %s start   # streaming with clicks" % GUITAR))
    first_click = plan.stream_start + 500
    beats = int((plan.stream_end - first_click) / plan.beat_ms)
    for n in range(beats):
        accent = n % 4 == 0
        actions.append((first_click + int(round(n * plan.beat_ms)),
                        "call %s click bool %s" % (GUITAR, "true" if accent else "false")))
    for at in range(plan.stream_start + STATUS_EVERY_MS, plan.stream_end + 1, STATUS_EVERY_MS):
        actions.append((at, "call %s status" % GUITAR))
    actions.append((plan.stream_end, "call %s status" % GUITAR))
    actions.append((plan.stop, "call %s stop" % GUITAR))
    actions.append((plan.stop + 100, "cancel %s" % PCM))
    actions.append((plan.close, "close"))
    actions.sort(key=lambda action: action[0])  # stable: equal times keep their order
    lines = [
        "# Tonelark soak: %d start/stop cycles, then %g s of streaming with a click a beat." %
        (cycles, seconds),
        "# <ms after the first frame> <action> ...",
    ]
    return lines + ["%d %s" % (at, text) for at, text in actions]


def read_resources(path):
    """resources.log as [{"time": ms, "handles": n, "private_bytes": n, "working_set": n}];
    lines that cannot be read are skipped."""
    samples = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            words = line.split()
            if not words:
                continue
            try:
                sample = {"time": float(words[0])}
                for word in words[1:]:
                    key, sep, value = word.partition("=")
                    if sep:
                        sample[key] = int(value)
            except ValueError:
                continue
            if all(k in sample for k in ("handles", "private_bytes", "working_set")):
                samples.append(sample)
    return samples


def sample_at(samples, time_ms):
    """The last sample taken at or before time_ms (the first one when none was)."""
    chosen = None
    for sample in samples:
        if sample["time"] <= time_ms or chosen is None:
            chosen = sample
        if sample["time"] > time_ms:
            break
    return chosen


def marks(plan):
    """(label, ms) of the points the summary shows, in time order."""
    points = [("start (first frame)", 0)]
    if plan.cycles > EARLY_CYCLES:
        points.append(("after %d cycles" % EARLY_CYCLES, plan.after_cycles(EARLY_CYCLES)))
    if plan.cycles > 0:
        points.append(("after %d cycles" % plan.cycles, plan.stream_start - 20))
    minute = 60000
    for at in range(plan.stream_start + minute, plan.stream_end, minute):
        points.append(("streaming %d min" % ((at - plan.stream_start) // minute), at))
    points.append(("end of streaming", plan.stream_end))
    points.append(("after the stop", plan.close - 100))
    return points


def summarise(samples, plan):
    """Lines of the summary, and the facts as a dict."""
    lines = []
    facts = {"samples": len(samples), "points": []}
    if not samples:
        return ["resources.log holds no sample"], facts
    lines.append("%-22s %9s %8s %15s %15s" % ("", "time (s)", "handles", "private (MiB)",
                                                "working (MiB)"))
    rows = marks(plan) + [("last sample (unload)", samples[-1]["time"])]
    for label, at in rows:
        sample = sample_at(samples, at)
        facts["points"].append(dict(sample, label=label))
        lines.append("%-22s %9.1f %8d %15.1f %15.1f" % (
            label, sample["time"] / 1000.0, sample["handles"], sample["private_bytes"] / 1048576.0,
            sample["working_set"] / 1048576.0))
    base_label = "after %d cycles" % EARLY_CYCLES if plan.cycles > EARLY_CYCLES else "start (first frame)"
    base = next(p for p in facts["points"] if p["label"] == base_label)
    end = next(p for p in facts["points"] if p["label"] == "end of streaming")
    facts["handles_change"] = end["handles"] - base["handles"]
    facts["private_bytes_change"] = end["private_bytes"] - base["private_bytes"]
    facts["working_set_change"] = end["working_set"] - base["working_set"]
    lines.append("")
    lines.append("from %s to the end of streaming: handles %+d, private bytes %+.1f MiB, "
                 "working set %+.1f MiB" % (base_label, facts["handles_change"],
                                             facts["private_bytes_change"] / 1048576.0,
                                             facts["working_set_change"] / 1048576.0))
    # A sample may fall on either side of a start or a stop; the ranges show both.
    for phase, first, last in (("during the cycles", plan.cycle_start(0), plan.stream_start),
                               ("while streaming", plan.stream_start + 1000, plan.stream_end)):
        inside = [s for s in samples if first <= s["time"] <= last]
        if inside:
            ranges = {key: (min(s[key] for s in inside), max(s[key] for s in inside))
                      for key in ("handles", "private_bytes", "working_set")}
            facts["ranges " + phase] = ranges
            lines.append("%s: handles %d to %d, private bytes %.1f to %.1f MiB, working set %.1f to"
                         " %.1f MiB" % ((phase, ) + ranges["handles"] +
                                        tuple(v / 1048576.0 for v in ranges["private_bytes"]) +
                                        tuple(v / 1048576.0 for v in ranges["working_set"])))
    streaming = [s for s in samples if plan.stream_start + 10000 <= s["time"] <= plan.stream_end]
    if len(streaming) >= 2:
        slope = {key: per_minute(streaming, key) for key in ("handles", "private_bytes", "working_set")}
        facts["streaming_slope_per_minute"] = slope
        lines.append("trend while streaming (least squares, from its 10th second): handles %+.2f/min,"
                     " private bytes %+.1f KiB/min, working set %+.1f KiB/min"
                     % (slope["handles"], slope["private_bytes"] / 1024.0,
                        slope["working_set"] / 1024.0))
    return lines, facts


def per_minute(samples, key):
    """The least-squares slope of key over time, per minute."""
    n = len(samples)
    mean_t = sum(s["time"] for s in samples) / n
    mean_v = sum(s[key] for s in samples) / n
    spread = sum((s["time"] - mean_t) ** 2 for s in samples)
    if spread == 0:
        return 0.0
    slope_per_ms = sum((s["time"] - mean_t) * (s[key] - mean_v) for s in samples) / spread
    return slope_per_ms * 60000.0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("what", choices=("scenario", "report"))
    parser.add_argument("path", help="the scenario to write, or the stand-in's output folder")
    parser.add_argument("--cycles", type=int, default=300)
    parser.add_argument("--seconds", type=float, default=300.0)
    parser.add_argument("--bpm", type=float, default=120.0)
    parser.add_argument("--json", action="store_true", help="also print the facts as JSON")
    args = parser.parse_args()
    if args.cycles < 0 or args.seconds <= 0 or args.bpm <= 0:
        print("soak_tools: --cycles must be 0 or more, --seconds and --bpm above 0", file=sys.stderr)
        return 2
    if args.what == "scenario":
        with open(args.path, "w") as f:
            f.write("\n".join(scenario_lines(args.cycles, args.seconds, args.bpm)) + "\n")
        return 0
    try:
        samples = read_resources(os.path.join(args.path, "resources.log"))
    except OSError as error:
        print("soak_tools: %s" % error, file=sys.stderr)
        return 1
    lines, facts = summarise(samples, Plan(args.cycles, args.seconds, args.bpm))
    print("\n".join(lines))
    if args.json:
        print(json.dumps(facts))
    return 0 if samples else 1


if __name__ == "__main__":
    sys.exit(main())
