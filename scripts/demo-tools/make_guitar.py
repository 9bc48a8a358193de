#!/usr/bin/env python3
"""Synthesises a short guitar phrase (Karplus-Strong plucked strings) as a 16-bit mono WAV, or
converts a recording of the user's own into the form the virtual guitar adapter plays.

Usage: make_guitar.py OUT.wav [--rate 48000] [--seed 7] [--impulses SECONDS]
       make_guitar.py OUT.wav --convert IN.wav [--impulses SECONDS]
A converted file keeps channel 0 and a rate of 44100 or 48000 Hz (other rates are resampled
linearly to 48000 Hz). --impulses marks the file every SECONDS (the first mark half-way into the
first interval) with an impulse pair, +0.9 then -0.9, whose fall real_audio.py finds again in the
speaker output.
"""

import argparse
import os
import random
import sys

from wavio import WavError, read_wav, write_wav_mono16

# A riff in E minor pentatonic: (start in beats, MIDI note, length in beats). 100 bpm.
PHRASE = [
    (0.0, 40, 1.0), (1.0, 43, 0.5), (1.5, 45, 0.5), (2.0, 47, 1.0), (3.0, 45, 0.5),
    (3.5, 43, 0.5), (4.0, 40, 1.0), (5.0, 50, 0.5), (5.5, 52, 0.5), (6.0, 55, 1.0),
    (7.0, 52, 1.0), (8.0, 40, 2.0), (8.0, 47, 2.0), (8.0, 52, 2.0), (10.0, 43, 0.5),
    (10.5, 45, 0.5), (11.0, 47, 0.5), (11.5, 50, 0.5), (12.0, 52, 2.0), (12.0, 45, 2.0),
]
BPM = 100.0
PEAK = 0.2  # the engine multiplies by up to 4: leave room for the volume


def midi_to_hz(note):
    return 440.0 * 2.0 ** ((note - 69) / 12.0)


def pluck(rate, frequency, seconds, rng, decay=0.996):
    """One plucked string: a noise burst circulating through a delay line with an averaging filter."""
    period = max(2, int(round(rate / frequency)))
    line = [rng.uniform(-1.0, 1.0) for _ in range(period)]
    # A softer pick: smooth the initial burst once.
    line = [(line[i] + line[i - 1]) * 0.5 for i in range(period)]
    out = []
    index = 0
    count = int(seconds * rate)
    for _ in range(count):
        current = line[index]
        following = line[(index + 1) % period]
        line[index] = decay * 0.5 * (current + following)
        out.append(current)
        index = (index + 1) % period
    # Fade the last 20 ms so a cut note does not click.
    fade = min(count, int(0.02 * rate))
    for i in range(fade):
        out[count - fade + i] *= (fade - i) / fade
    return out


def synthesise(rate, seed):
    rng = random.Random(seed)
    beat = 60.0 / BPM
    total_beats = max(start + length for start, _, length in PHRASE) + 1.0
    mix = [0.0] * int(total_beats * beat * rate)
    for start, note, length in PHRASE:
        offset = int(start * beat * rate)
        tone = pluck(rate, midi_to_hz(note), length * beat * 1.2, rng)
        for i, value in enumerate(tone):
            if offset + i < len(mix):
                mix[offset + i] += value
    peak = max(abs(v) for v in mix) or 1.0
    return [v * PEAK / peak for v in mix]


def convert(path):
    """Channel 0 of any readable WAV at a rate the adapter offers: (rate, samples)."""
    wav = read_wav(path)
    if wav.rate in (44100, 48000):
        return wav.rate, wav.samples
    rate = 48000
    ratio = wav.rate / rate
    count = int(len(wav.samples) / ratio)
    source = wav.samples
    out = []
    for i in range(count):
        position = i * ratio
        j = int(position)
        fraction = position - j
        following = source[j + 1] if j + 1 < len(source) else source[j]
        out.append(source[j] * (1.0 - fraction) + following * fraction)
    return rate, out


def add_impulses(samples, rate, every_s):
    """Replaces two samples every `every_s` seconds by +0.9 and -0.9: a fall of 1.8 that stands
    out from any guitar, whatever it plays at that moment."""
    step = max(2, int(every_s * rate))
    for at in range(step // 2, len(samples) - 1, step):
        samples[at], samples[at + 1] = 0.9, -0.9
    return samples


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("--rate", type=int, default=48000)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--convert", metavar="IN.wav", help="convert this recording instead")
    parser.add_argument("--impulses", type=float, metavar="SECONDS",
                        help="mark the guitar with an impulse pair every SECONDS")
    args = parser.parse_args()
    if args.convert:
        try:
            rate, samples = convert(args.convert)
        except (OSError, WavError) as error:
            print("cannot use %s as the guitar: %s" % (args.convert, error), file=sys.stderr)
            return 1
        what = "your recording " + os.path.basename(args.convert)
    else:
        rate, samples = args.rate, synthesise(args.rate, args.seed)
        what = "synthesised guitar phrase"
    if not samples:
        print("the guitar recording holds no samples", file=sys.stderr)
        return 1
    if args.impulses:
        add_impulses(samples, rate, args.impulses)
        what += ", an impulse pair every %g s" % args.impulses
    write_wav_mono16(args.out, rate, samples)
    print("%s: %.1f s at %d Hz -> %s" % (what, len(samples) / rate, rate, args.out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
