#!/usr/bin/env python3
"""Checks the demo's signal analysis on signals with known clicks, guitar and PCM traffic."""

import math
import os
import random
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "demo-tools"))

import analyse  # noqa: E402
import make_guitar  # noqa: E402
import make_scenario  # noqa: E402
import real_audio  # noqa: E402
import wavio  # noqa: E402

RATE = 48000


def add_click(signal, onset_s, frequency):
    """The engine's click: 30 ms of sine from phase 0 under a squared decaying envelope."""
    length = int(RATE * 0.03)
    start = int(onset_s * RATE)
    step = frequency * 2.0 * math.pi / RATE
    for i in range(length):
        g = (length - i) / length
        if start + i < len(signal):
            signal[start + i] += math.sin(i * step) * 0.35 * g * g


class ClickFinderTest(unittest.TestCase):
    def test_finds_onsets_and_pitches_under_the_guitar(self):
        guitar = make_guitar.synthesise(RATE, seed=3)
        # Monitoring at volume 0.5 doubles the guitar, as the engine does.
        signal = [2.0 * v for v in guitar[: 5 * RATE]]
        expected = [(0.5 + 0.5 * i, 1568.0 if i % 4 == 0 else 1046.5) for i in range(8)]
        for onset, frequency in expected:
            add_click(signal, onset, frequency)
        clicks = analyse.find_clicks(signal, RATE)
        self.assertEqual(len(clicks), len(expected))
        for click, (onset, frequency) in zip(clicks, expected):
            self.assertAlmostEqual(click["onset"], onset, delta=0.002)
            self.assertAlmostEqual(click["pitch"], frequency, delta=4.0)
            self.assertEqual(click["accent"], frequency == 1568.0)

    def test_a_guitar_harmonic_on_a_click_pitch_is_no_click(self):
        # A G string's harmonic sits exactly on the accent pitch and sounds on for a second.
        signal = [0.1 * math.sin(2.0 * math.pi * 1568.0 * i / RATE) * (1.0 - i / RATE) for i in range(RATE)]
        signal += [0.0] * RATE
        add_click(signal, 0.5, 1046.5)
        add_click(signal, 1.5, 1568.0)
        clicks = analyse.find_clicks(signal, RATE)
        self.assertEqual([(round(c["onset"], 2), c["accent"]) for c in clicks], [(0.5, False), (1.5, True)])

    def test_a_jump_in_the_signal_is_no_click(self):
        signal = [0.0] * RATE + [0.45 * (0.995 ** i) for i in range(RATE)]
        add_click(signal, 0.4, 1568.0)
        clicks = analyse.find_clicks(signal, RATE)
        self.assertEqual([round(c["onset"], 2) for c in clicks], [0.4])

    def test_guitar_alone_has_no_clicks(self):
        guitar = make_guitar.synthesise(RATE, seed=11)
        self.assertEqual(analyse.find_clicks([4.0 * v for v in guitar[: 4 * RATE]], RATE), [])


class RoundTripTest(unittest.TestCase):
    """The impulse pairs of the guitar, found again in what the speakers played."""

    def speakers(self, reference, delay, gain, muted=()):
        """The reference delayed, at a gain, clamped, silent over the `muted` (start, end)
        seconds, with a click every half second on top."""
        out = [0.0] * delay + [max(-1.0, min(1.0, gain * v)) for v in reference[:-delay]]
        for start, end in muted:
            out[int(start * RATE):int(end * RATE)] = [0.0] * (int(end * RATE) - int(start * RATE))
        for k in range(len(out) // (RATE // 2)):
            add_click(out, 0.25 + 0.5 * k, 1568.0 if k % 4 == 0 else 1046.5)
        return out

    def test_delays_through_gain_clamp_and_clicks_and_none_while_muted(self):
        guitar = make_guitar.add_impulses(make_guitar.synthesise(RATE, seed=5)[: 6 * RATE], RATE, 1.0)
        self.assertEqual(real_audio.impulse_times(guitar), [RATE // 2 + 1 + RATE * k for k in range(6)])
        out = self.speakers(guitar, int(0.05 * RATE), 4.0, muted=[(2.0, 3.2)])
        delays = real_audio.impulse_delays(guitar, out, RATE)
        self.assertEqual([round(t, 3) for t, _ in delays], [0.5, 1.5, 2.5, 3.5, 4.5, 5.5])
        self.assertEqual([None if d is None else round(d, 2) for _, d in delays],
                         [50.0, 50.0, None, 50.0, 50.0, 50.0])
        figures = real_audio.describe_delays(delays)
        self.assertEqual((figures["arrived"], figures["median_ms"]), (5, 50.0))

    def test_a_pair_spread_by_a_resampler_and_weakened_still_arrives(self):
        guitar = make_guitar.add_impulses([0.3 * math.sin(0.02 * i) for i in range(3 * RATE)], RATE, 1.0)
        smooth = [0.0, 0.0] + [(guitar[i - 2] + 2 * guitar[i - 1] + guitar[i]) / 4.0
                               for i in range(2, len(guitar))]
        out = self.speakers(smooth, int(0.0123 * RATE), 0.5)
        delays = [d for _, d in real_audio.impulse_delays(guitar, out, RATE)]
        self.assertEqual(len(delays), 3)
        for delay in delays:
            self.assertAlmostEqual(delay, 12.3, delta=0.1)
        # Clicks alone never pass for an impulse.
        self.assertIsNone(real_audio.arrival(self.speakers([0.0] * RATE, 10, 1.0), 0, RATE))


class DemoScenarioTest(unittest.TestCase):
    def test_shared_capture_start_and_three_status_calls(self):
        lines = make_scenario.scenario_lines(120.0, 4, shared_capture=True)
        calls = [line.split("#")[0].split()[3:] for line in lines if " call " in line]
        self.assertIn(["start", "map", "sharedCapture=bool:true"], calls)
        self.assertEqual(calls.count(["status"]), 3)
        self.assertNotIn(["start"], calls)


    def test_clicks_at_120_bpm_with_an_accent_on_each_bar(self):
        actions = []
        for line in make_scenario.scenario_lines(120.0, 4):
            text = line.split("#")[0].split()
            if text:
                actions.append((int(text[0]), text[1:]))
        self.assertEqual(actions, sorted(actions, key=lambda a: a[0]))
        clicks = [(at, words[-1]) for at, words in actions if words[:3] == ["call", "tonelark/guitar", "click"]]
        self.assertEqual(len(clicks), 16)
        self.assertEqual({b[0] - a[0] for a, b in zip(clicks, clicks[1:])}, {500})
        self.assertEqual([value for _, value in clicks], (["true"] + ["false"] * 3) * 4)
        verbs = [words[0] if words[0] != "call" else words[2] for _, words in actions]
        self.assertEqual(verbs[:2], ["listen", "start"])
        self.assertEqual(verbs[-3:], ["stop", "cancel", "close"])
        self.assertIn("setSpeaker", verbs)


class StatusTest(unittest.TestCase):
    def test_reads_every_entry_of_a_status_reply_as_the_traffic_log_shows_it(self):
        request = {"text": "status(null)"}
        reply = {"time": 1500.0, "text": 'success {"capturePeriodMs": 1e+01, "latencyMs": 32.5, '
                 '"name": "Monitor of \\"A, B\\"", "renderUnderrunFrames": 480L, "running": true}'}
        other = ({"text": "stop(null)"}, {"time": 1600.0, "text": "success null"})
        self.assertEqual(analyse.status_replies([(request, reply), other]), [(1500.0, {
            "capturePeriodMs": "1e+01", "latencyMs": "32.5", "name": 'Monitor of \\"A, B\\',
            "renderUnderrunFrames": "480L", "running": "true"})])


class FilesTest(unittest.TestCase):
    def test_float_stereo_speakers_and_traffic_summary(self):
        with tempfile.TemporaryDirectory() as out:
            # A 32-bit float stereo extensible file, as the virtual speakers may write it.
            frames = [0.0] * RATE
            add_click(frames, 0.25, 1046.5)
            payload = b"".join(wavio.struct.pack("<ff", v, v) for v in frames)
            fmt = wavio.struct.pack("<HHIIHHHHI16s", 0xFFFE, 2, RATE, RATE * 8, 8, 32, 22, 32, 3,
                                    bytes([3, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71]))
            with open(os.path.join(out, "speakers.wav"), "wb") as f:
                f.write(b"RIFF" + wavio.struct.pack("<I", 4 + 8 + len(fmt) + 8 + len(payload)) + b"WAVE")
                f.write(b"fmt " + wavio.struct.pack("<I", len(fmt)) + fmt)
                f.write(b"data" + wavio.struct.pack("<I", len(payload)) + payload)
            rng = random.Random(1)
            wavio.write_wav_mono16(os.path.join(out, "pcm.wav"), RATE,
                                   [rng.uniform(-0.1, 0.1) for _ in range(RATE)])
            with open(os.path.join(out, "traffic.log"), "w") as f:
                f.write("   600.000 ui->app tonelark/guitar message start(null) | hex 07 05\n")
                f.write("   612.500 app->ui tonelark/guitar reply success {\"ok\": true} | hex 00\n")
                for i in range(11):
                    f.write("%10.3f app->ui tonelark/guitar_pcm event success bytes[512]\n" % (700 + i * 5.0))
                f.write("   800.000 ui->app tonelark/guitar message tune(null) | hex 07\n")
                f.write("   800.100 app->ui tonelark/guitar reply empty (not implemented) | hex \n")
            lines, facts = analyse.summarise(out, 0, os.path.join(out, "speakers.wav"))
        text = "\n".join(lines)
        self.assertEqual(facts["replies"], 2)
        self.assertIn("start(null)", text)
        self.assertIn("tune(null)", text)
        self.assertEqual(facts["pcm_events"], 11)
        self.assertAlmostEqual(facts["pcm_events_per_second"], 200.0, delta=0.01)
        self.assertLess(facts["pcm_rms_dbfs"], -20.0)
        self.assertEqual(len(facts["clicks"]), 1)
        self.assertAlmostEqual(facts["clicks"][0]["onset"], 0.25, delta=0.002)


if __name__ == "__main__":
    unittest.main()
