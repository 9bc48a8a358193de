#!/usr/bin/env python3
"""Writes the demo scenario the engine stand-in plays as the user interface.

Times are milliseconds after the program's first frame. The story: open the PCM stream, start
the engine, bring the volume down, play four bars of clicks at 120 bpm with an accent on each
bar's first beat, turn monitoring off and on again while the clicks go on, ask for the engine's
"status" before, while and after the guitar adapter is unplugged for 1.5 s in the middle of the
clicks (the virtual audio configuration unplugs it: see --unplug), plug headphones in that become
the default output a little after the adapter is back (see --headphones; monitoring follows
them, and the last "status" tells), try an unknown method and two malformed messages, stop,
close the stream and the window.

Each --start-option NAME sets that "start" option to true: through Wine's own audio drivers, which
refuse exclusive capture, "sharedCapture" at least (nothing unplugs the adapter there, and "status"
is asked at the same moments).

Usage: make_scenario.py OUT.txt [--bpm 120] [--bars 4] [--start-option NAME]...
       make_scenario.py --unplug [--bpm 120] [--bars 4]
       make_scenario.py --headphones [--bpm 120] [--bars 4]
--unplug prints the virtual audio lines for the guitar adapter that unplug it at that moment;
--headphones the lines that make the headphones arrive and become the default output.
"""

import argparse

GUITAR = "tonelark/guitar"
PCM = "tonelark/guitar_pcm"
START_MS = 600
AWAY_MS = 1500
DEVICE_PERIOD_MS = 10  # the virtual devices' default period


def unplug_ms(bpm, bars):
    """When the adapter leaves: a quarter beat before the middle click."""
    beat_ms = 60000.0 / bpm
    return 2000 + int(round((bars * 2 - 0.25) * beat_ms))


def unplug_lines(bpm, bars):
    """The guitar adapter's removal for the virtual audio configuration. It counts the periods
    its capture stream played since "start", so it leaves a little after unplug_ms."""
    return ["remove after-periods %d" % ((unplug_ms(bpm, bars) - START_MS) // DEVICE_PERIOD_MS),
            "return after-ms %d" % AWAY_MS]


def headphones_ms(bpm, bars):
    """When the headphones are plugged in: after the adapter is back, before the last "status"."""
    return unplug_ms(bpm, bars) + AWAY_MS + 1000


def headphones_lines(bpm, bars):
    """The headphones' arrival for the virtual audio configuration, whose clock starts with the
    first "start" (the engine creates the audio system then)."""
    at = headphones_ms(bpm, bars) - START_MS
    return ["arrive at-ms %d" % at, "default at-ms %d" % at]


def scenario_lines(bpm, bars, start_options=()):
    beat_ms = 60000.0 / bpm
    first_click = 2000
    clicks = bars * 4
    end_of_clicks = first_click + int(round(clicks * beat_ms))

    def beat(n):
        return first_click + int(round(n * beat_ms))

    unplug = unplug_ms(bpm, bars)
    start = "call %s start" % GUITAR
    if start_options:
        start += " map " + " ".join("%s=bool:true" % name for name in start_options)
    actions = [
        (300, "listen %s" % PCM),
        (START_MS, start),
        (1600, "call %s setVolume double 0.5" % GUITAR),
        # Monitoring off for the middle bars: only the clicks sound; then the guitar comes back.
        (beat(4.5), "call %s setSpeaker bool false   # monitoring off" % GUITAR),
        (beat(10.5), "call %s setSpeaker bool true    # monitoring on" % GUITAR),
        (beat(12.5), "call %s setVolume int 1" % GUITAR),
        # The adapter is away from `unplug` for AWAY_MS; it is found again within half a second.
        # Where nothing unplugs it (real audio), these are three looks while streaming.
        (unplug - 700, "call %s status   # before the guitar adapter is unplugged" % GUITAR),
        (unplug + 800, "call %s status   # while it is away" % GUITAR),
        (unplug + AWAY_MS + 1500,
         "call %s status   # after it is back, on the headphones" % GUITAR),
        # Things a user interface should never send: each is answered and the program goes on.
        (end_of_clicks + 200, "call %s tune string E standard   # unknown method" % GUITAR),
        (end_of_clicks + 400, "raw %s 03 07 00 00 00   # not a method call" % GUITAR),
        (end_of_clicks + 600, "raw %s 07 05 73 74   # cut short" % GUITAR),
        (end_of_clicks + 1000, "call %s stop" % GUITAR),
        (end_of_clicks + 1300, "cancel %s" % PCM),
        (end_of_clicks + 2300, "close"),
    ]
    for i in range(clicks):
        accent = i % 4 == 0
        text = "call %s click bool %s" % (GUITAR, "true" if accent else "false")
        if accent:
            text += "    # accent: bar %d" % (i // 4 + 1)
        actions.append((beat(i), text))
    actions.sort(key=lambda action: action[0])
    lines = [
        "# Tonelark demo: the user interface, played by the engine stand-in.",
        "# <ms after the first frame> <action> ...",
    ]
    lines += ["%d %s" % (at, text) for at, text in actions]
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", nargs="?")
    parser.add_argument("--bpm", type=float, default=120.0)
    parser.add_argument("--bars", type=int, default=4)
    parser.add_argument("--start-option", action="append", default=[], metavar="NAME",
                        help='a "start" option set to true (again for each option)')
    parser.add_argument("--unplug", action="store_true",
                        help="print the guitar adapter's removal lines instead")
    parser.add_argument("--headphones", action="store_true",
                        help="print the headphones' arrival lines instead")
    args = parser.parse_args()
    if args.unplug:
        print("\n".join(unplug_lines(args.bpm, args.bars)))
        return
    if args.headphones:
        print("\n".join(headphones_lines(args.bpm, args.bars)))
        return
    if not args.out:
        parser.error("OUT.txt is needed")
    with open(args.out, "w") as f:
        f.write("\n".join(scenario_lines(args.bpm, args.bars, args.start_option)) + "\n")


if __name__ == "__main__":
    main()
