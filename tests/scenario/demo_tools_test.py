#!/usr/bin/env python3
"""Checks the demo's signal analysis on signals with known clicks, guitar and PCM traffic, the
round trip of impulses through real audio, the demo and soak scenarios, and the soak's resource
summary."""

import json
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
import soak_tools  # noqa: E402
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

    def test_pitch_under_a_louder_low_tone_whatever_its_phase(self):
        # Through real audio the guitar is a 220 Hz sine at half scale, louder than the click.
        for phase in (0.0, 0.8, 1.6, 2.4, 3.2, 4.0, 4.8, 5.6):
            signal = [0.5 * math.sin(2.0 * math.pi * 220.0 * i / RATE + phase) for i in range(RATE)]
            add_click(signal, 0.3, 1046.5)
            add_click(signal, 0.7, 1568.0)
            clicks = analyse.find_clicks(signal, RATE)
            self.assertEqual(len(clicks), 2)
            self.assertAlmostEqual(clicks[0]["pitch"], 1046.5, delta=0.5)
            self.assertAlmostEqual(clicks[1]["pitch"], 1568.0, delta=0.5)

    def test_a_jump_in_the_signal_is_no_click(self):
        signal = [0.0] * RATE + [0.45 * (0.995 ** i) for i in range(RATE)]
        add_click(signal, 0.4, 1568.0)
        clicks = analyse.find_clicks(signal, RATE)
        self.assertEqual([round(c["onset"], 2) for c in clicks], [0.4])

    def test_a_click_right_after_another_is_found(self):
        # A click left over from while the adapter was away sounds 50 ms before the next beat's:
        # the first is cut short by the second and not taken, but it must not hide the second.
        signal = [0.0] * (2 * RATE)
        add_click(signal, 1.0, 1046.5)
        add_click(signal, 1.05, 1046.5)
        add_click(signal, 1.5, 1046.5)
        clicks = analyse.find_clicks(signal, RATE)
        self.assertEqual([round(c["onset"], 2) for c in clicks], [1.05, 1.5])

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
    def test_start_options_and_three_status_calls(self):
        lines = make_scenario.scenario_lines(120.0, 4, ["lowLatency", "sharedCapture", "shareSpeakers"])
        calls = [line.split("#")[0].split()[3:] for line in lines if " call " in line]
        self.assertIn(["start", "map", "lowLatency=bool:true", "sharedCapture=bool:true",
                       "shareSpeakers=bool:true"], calls)
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

        # "status" before the adapter leaves, while it is away, and once it is surely back (it is
        # looked for every 500 ms); the adapter leaves among the clicks.
        unplug = make_scenario.unplug_ms(120.0, 4)
        back = unplug + make_scenario.AWAY_MS
        status = [at for at, words in actions if words[:3] == ["call", "tonelark/guitar", "status"]]
        self.assertEqual(len(status), 3)
        self.assertLess(status[0], unplug)
        self.assertTrue(unplug + 300 <= status[1] <= back - 300)
        self.assertGreater(status[2], back + 1000)
        self.assertTrue(clicks[0][0] < unplug < back < clicks[-1][0])
        # The configuration counts 10 ms periods of the capture stream from "start".
        self.assertEqual(make_scenario.unplug_lines(120.0, 4),
                         ["remove after-periods %d" % ((unplug - 600) // 10),
                          "return after-ms %d" % make_scenario.AWAY_MS])


class StatusTest(unittest.TestCase):
    def test_reads_every_entry_of_a_status_reply_as_the_traffic_log_shows_it(self):
        request = {"text": "status(null)"}
        reply = {"time": 1500.0, "text": 'success {"capturePeriodMs": 1e+01, "latencyMs": 32.5, '
                 '"name": "Monitor of \\"A, B\\"", "renderUnderrunFrames": 480L, "running": true}'}
        other = ({"text": "stop(null)"}, {"time": 1600.0, "text": "success null"})
        self.assertEqual(analyse.status_replies([(request, reply), other]), [(1500.0, {
            "capturePeriodMs": 10.0, "latencyMs": 32.5, "name": 'Monitor of \\"A, B\\"',
            "renderUnderrunFrames": 480, "running": True})])
        # Doubles that are no number still come through.
        entries = analyse.decoded_map('success {"latencyMs": nan, "a": -inf, "b": inf, "c": null}')
        self.assertTrue(math.isnan(entries["latencyMs"]))
        self.assertEqual((entries["a"], entries["b"], entries["c"]), (-math.inf, math.inf, None))


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
            with open(os.path.join(out, "debug.log"), "w") as f:
                f.write("   120.000 Tonelark exclusive 48000 Hz capture, render exclusive 48000 Hz\n")
                f.write("  1000.000 Tonelark device lost 0x88890004\n")
                f.write("  2600.000 Tonelark device back\n")
            lines, facts = analyse.summarise(out, 0, os.path.join(out, "speakers.wav"))
        text = "\n".join(lines)
        self.assertEqual(facts["replies"], 2)
        self.assertIn("start(null)", text)
        self.assertIn("tune(null)", text)
        self.assertEqual(facts["pcm_events"], 11)
        self.assertAlmostEqual(facts["pcm_events_per_second"], 200.0, delta=0.01)
        self.assertEqual(facts["pcm_pauses"], [])
        self.assertEqual([line["text"] for line in facts["debug_output"]],
                         ["Tonelark exclusive 48000 Hz capture, render exclusive 48000 Hz",
                          "Tonelark device lost 0x88890004", "Tonelark device back"])
        self.assertEqual(facts["debug_output"][1]["time"], 1.0)
        self.assertLess(facts["pcm_rms_dbfs"], -20.0)
        self.assertEqual(len(facts["clicks"]), 1)
        self.assertAlmostEqual(facts["clicks"][0]["onset"], 0.25, delta=0.002)


    def test_status_replies_a_pause_of_the_pcm_events_and_the_engine_delay_check(self):
        status = ('success {"captureExclusive": %s, "deviceLost": %s, "latencyMs": 12.5, '
                  '"name": "Guitar \\"A\\", 1", "running": true, "sampleRate": %d, '
                  '"captureSamplesLost": 3L, "pcmChunksDropped": 0L, "capturePeriodMs": 2.5, '
                  '"renderSampleRate": 48000, "renderExclusive": false, "renderPeriodMs": 1e+01, '
                  '"sharedCapture": true, "lowLatency": true, "shareSpeakers": true, "cushionMs": 1e+01, '
                  '"engineDelayMs": %s}')
        with tempfile.TemporaryDirectory() as out:
            with open(os.path.join(out, "traffic.log"), "w") as f:
                times = [100.0 + 5.0 * i for i in range(20)] + [2100.0 + 5.0 * i for i in range(20)]
                for t in times:
                    f.write("%10.3f app->ui tonelark/guitar_pcm event success bytes[512]\n" % t)
                # While the device is lost its figures are no measure of the streams.
                for t, lost, rate, delay in ((50.0, "false", 48000, "9.5"), (1000.0, "true", 0, "99.0"),
                                             (2500.0, "false", 44100, "10.5")):
                    f.write("%10.3f ui->app tonelark/guitar message status(null) | hex 07\n" % t)
                    f.write("%10.3f app->ui tonelark/guitar reply %s | hex 00\n"
                            % (t + 1.0, status % ("false" if rate == 0 else "true", lost, rate, delay)))
            with open(os.path.join(out, "debug.log"), "w") as f:
                f.write("   120.000 Tonelark exclusive 48000 Hz capture, render shared 48000 Hz\n")
            round_trip = {"program": {"arrived": 4, "impulses": 5, "median_ms": 31.5, "min_ms": 30.0,
                                      "max_ms": 33.0, "each_ms": [None, 30.0, 31.0, 32.0, 33.0]},
                          "passthrough": {"arrived": 3, "impulses": 3, "median_ms": 20.0, "min_ms": 20.0,
                                          "max_ms": 20.0},
                          "loopback": {"arrived": 5, "impulses": 5, "median_ms": 7.0, "min_ms": 7.0,
                                       "max_ms": 7.0}}
            with open(os.path.join(out, "round-trip.json"), "w") as f:
                json.dump(round_trip, f)
            lines, facts = analyse.summarise(out, 0, None)
        self.assertEqual(facts["pcm_pauses"], [{"from": 0.195, "to": 2.1}])
        self.assertEqual([(s["time"], s["deviceLost"], s["running"]) for s in facts["status"]],
                         [(0.051, False, True), (1.001, True, True), (2.501, False, True)])
        text = "\n".join(lines)
        self.assertIn("PCM paused for 1.91 s", text)
        self.assertIn("deviceLost true, running true; no streams", text)
        self.assertIn("44100 Hz, capture exclusive yes, latency 12.5 ms (cushion 10 ms; the engine adds 10.5 ms)",
                      text)
        self.assertIn("IAudioClient3 refused by the driver: ordinary shared mode", text)
        self.assertEqual(facts["engine_delay_check"], {"added_ms": 11.5, "engine_delay_ms": 10.0,
                                                       "difference_ms": 1.5, "matches": True})
        self.assertIn("bare pass-through under Wine:      median  20.00 ms", text)
        self.assertIn("each impulse (ms): - 30.0 31.0 32.0 33.0", text)
        self.assertIn("program - pass-through: 11.50 ms; engineDelayMs: 10.00 ms; difference +1.50 ms: they"
                      " match within 2 ms", text)
        self.assertIn("capture period 2.5 ms; render on ?, 48000 Hz, exclusive no, period 10 ms; asked"
                      " for lowLatency yes, sharedCapture yes, shareSpeakers yes", text)
        self.assertEqual(text.count("engine status"), 1)
        # Counters still at 0 are left out.
        self.assertIn("glitches so far: captureSamplesLost 3\n", text + "\n")
        entries = analyse.decoded_map(status % ("true", "false", 48000, "9.5"))
        self.assertEqual(entries["name"], 'Guitar \\"A\\", 1')
        self.assertEqual((entries["latencyMs"], entries["captureSamplesLost"]), (12.5, 3))


class SoakToolsTest(unittest.TestCase):
    def test_cycles_then_a_click_every_beat(self):
        actions = []
        for line in soak_tools.scenario_lines(5, 4.0, bpm=120.0):
            text = line.split("#")[0].split()
            if text:
                actions.append((int(text[0]), text[1] if text[1] != "call" else text[3], text[-1]))
        self.assertEqual(actions, sorted(actions, key=lambda a: a[0]))
        plan = soak_tools.Plan(5, 4.0, 120.0)
        commands = [verb for at, verb, _ in actions if at < plan.stream_start]
        self.assertEqual(commands, ["listen"] + ["start", "stop"] * 5)
        clicks = [(at, value) for at, verb, value in actions if verb == "click"]
        self.assertEqual({b[0] - a[0] for a, b in zip(clicks, clicks[1:])}, {500})
        self.assertTrue(plan.stream_start < clicks[0][0] and clicks[-1][0] <= plan.stream_end)
        self.assertEqual([value for _, value in clicks[:5]], ["true", "false", "false", "false", "true"])
        self.assertEqual([verb for _, verb, _ in actions[-4:]], ["status", "stop", "cancel", "close"])
        self.assertLess(plan.after_cycles(3), plan.cycle_start(3))
        self.assertGreater(plan.after_cycles(3), plan.cycle_start(2) + soak_tools.CYCLE_MS // 2)

    def test_summary_of_a_flat_run_and_of_a_leak(self):
        plan = soak_tools.Plan(10, 60.0, 120.0)
        with tempfile.TemporaryDirectory() as out:
            path = os.path.join(out, "resources.log")
            with open(path, "w") as f:
                f.write("garbage line\n")
                for i in range(int(plan.close / 500) + 2):
                    t = 500.0 * i
                    # After the first start 12 handles stay; while streaming one leaks every 5 s.
                    handles = 40 + (12 if t >= plan.cycle_start(0) + 100 else 0)
                    if t > plan.stream_start:
                        handles += int((t - plan.stream_start) / 5000)
                    f.write("%10.3f handles=%d private_bytes=%d working_set=%d\n"
                            % (t, handles, 8 << 20, 40 << 20))
                f.write("1.5 handles=x private_bytes=1 working_set=1\n")
            samples = soak_tools.read_resources(path)
        self.assertEqual(len(samples), int(plan.close / 500) + 2)
        self.assertEqual(soak_tools.sample_at(samples, 749.0)["time"], 500.0)
        self.assertEqual(soak_tools.sample_at(samples, -5.0)["time"], 0.0)
        lines, facts = soak_tools.summarise(samples, plan)
        labels = [p["label"] for p in facts["points"]]
        self.assertEqual(labels, ["start (first frame)", "after 3 cycles", "after 10 cycles",
                                  "end of streaming", "after the stop", "last sample (unload)"])
        self.assertEqual(facts["points"][0]["handles"], 40)
        self.assertEqual(facts["handles_change"], 12)
        self.assertAlmostEqual(facts["streaming_slope_per_minute"]["handles"], 12.0, delta=0.6)
        self.assertEqual(facts["private_bytes_change"], 0)
        self.assertIn("handles +12", "\n".join(lines))
        self.assertEqual(soak_tools.summarise([], plan)[0], ["resources.log holds no sample"])


if __name__ == "__main__":
    unittest.main()
