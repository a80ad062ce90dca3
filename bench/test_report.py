#!/usr/bin/env python3
"""Checks of bench/report.py: the README section is replaced in place or appended, medians
are read from the right records, and ratios and targets come out of the figures."""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import report  # noqa: E402


def record(name, cpu, unit="ns", aggregate="median", **counters):
    r = {"name": name + ("_" + aggregate if aggregate else ""), "run_name": name,
         "run_type": "aggregate" if aggregate else "iteration", "cpu_time": cpu,
         "real_time": cpu, "time_unit": unit, "repetitions": 3}
    if aggregate:
        r["aggregate_name"] = aggregate
    r.update(counters)
    return r


class ReadmeSection(unittest.TestCase):
    def rewrite(self, text, section):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "README.md")
            with open(path, "w") as f:
                f.write(text)
            report.rewrite_readme(section, path)
            with open(path) as f:
                return f.read()

    def test_replaced_between_markers_and_appended_without_them(self):
        new = f"{report.BEGIN}\nnew table\n{report.END}\n"
        old = f"# Title\n\nintro\n\n{report.BEGIN}\nold table\n{report.END}\n\n## After\nkept\n"
        out = self.rewrite(old, new)
        self.assertEqual(out, f"# Title\n\nintro\n\n{report.BEGIN}\nnew table\n{report.END}"
                              "\n\n## After\nkept\n")
        # Run twice: the section stays single.
        self.assertEqual(self.rewrite(out, new), out)
        appended = self.rewrite("# Title\n\nintro\n", new)
        self.assertEqual(appended, "# Title\n\nintro\n\n" + new)
        self.assertEqual(self.rewrite(appended, new), appended)


class Figures(unittest.TestCase):
    def test_medians_ratios_and_targets(self):
        data = {"context": {"num_cpus": 2, "mhz_per_cpu": 2000, "kernel_check": "ok"},
                "benchmarks": [
                    record("Osc/BasicVoice/host/1024", 2560.0),
                    record("Osc/BasicVoice/host/1024", 9999.0, aggregate="mean"),
                    record("Osc/BasicVoice/frame/1024", 2048.0),
                    record("Osc/BasicVoice/floor/1024", 2048.0),
                    record("Osc/BasicVoice/host/64", 160.0),
                    record("Osc/BasicVoice/floor/64", 128.0),
                    record("Open/ZOR_Twin-Op/host/manual_time", 1.5, unit="us"),
                    record("Open/ZOR_Twin-Op/first/manual_time", 230.0, unit="us"),
                    record("Memory/ZOR_Twin-Op/iterations:1/repeats:1", 5.0, aggregate=None,
                           dsp_bytes=1024, shared_bytes=402052, gui_bytes=0),
                    record("Memory/ZOR_Basic_Voice/iterations:1/repeats:1", 5.0,
                           aggregate=None, dsp_bytes=21000, shared_bytes=143416, gui_bytes=0),
                    record("Patch/64_voices_48k_block64/host", 28.0, unit="us"),
                    record("Patch/1_voice_48k_block64/host", 400.0),
                    record("Host/nothing_block/host/64", 8.0),
                    record("Host/nothing_block/frame/64", 7.8),
                    record("Host/nothing_block/floor/64", 6.0),
                ]}
        m = report.medians(data)
        self.assertEqual(m["Osc/BasicVoice/host/1024"]["cpu_time"], 2560.0)
        self.assertIn("Open/ZOR_Twin-Op/host", m)
        self.assertIn("Memory/ZOR_Twin-Op", m)
        text = report.build_section(data, 3, "/nonexistent")
        # 2.5 / 2.0 ns per sample: 1.25× misses 1.15×; 2.5 / 2.0 at 64 meets 1.3×.
        self.assertIn("| ZOR Basic Voice | 1024 | 2.5 | 2 | 2 | – | 1.25 ✗ | – |", text)
        self.assertIn("| ZOR Basic Voice | 64 | 2.5 | – | 2 | – | 1.25 ✓ | – |", text)
        self.assertIn("| ZOR Twin-Op open ≤ 5 µs once its rate's tables exist | 1.5 µs | met |",
                      text)
        self.assertIn("| ZOR Twin-Op first open at a new rate ≤ 250 µs | 230 µs | met |", text)
        self.assertIn("| ZOR Twin-Op | 1.5 | – | 230 | – | 1,024 | 402,052 | – |", text)
        self.assertIn("| ZOR Twin-Op instance, without the shared tables, ≤ 8 KB | 1,024 bytes "
                      "| met |", text)
        self.assertIn("| ZOR Basic Voice instance ≤ 8 KB | 21,000 bytes | **missed** |", text)
        # 28 µs for 64 voices: 437.5 ns a voice against 400 alone, 1.09×; 47.6× real time.
        self.assertIn("per-voice cost ≤ 1.3× a lone voice | 1.09× | met |", text)
        self.assertIn("≥ 45× real time | 47.6× | met |", text)
        # The host's share is weighed against the process entry called directly.
        self.assertIn("host adds at most 5 % to a 64-sample do-nothing block | +3 % (+0.2 ns) "
                      "| met |", text)
        self.assertIn("0 of 1 cases (worst 1.25×); missed: ZOR Basic Voice | **missed** |",
                      text)
        self.assertTrue(text.startswith(report.BEGIN) and text.rstrip().endswith(report.END))

    def test_play_mode_rows_and_target(self):
        data = {"context": {}, "benchmarks": [
            record("Play/period/render/64", 4000.0),
            record("Play/period/engine/64", 4100.0),
            record("Play/period/engine_recording/64", 4150.0),
            record("Play/period/engine_check_rt/64", 4200.0),
            record("Play/jack/demo/64/iterations:1/manual_time", 5100.0, unit="ms",
                   dsp_load_percent=3.25, play_cpu_us_per_period=5.5),
            record("Play/jack/demo_check_rt/64/iterations:1/manual_time", 5100.0, unit="ms",
                   dsp_load_percent=3.5, play_cpu_us_per_period=6.25),
        ]}
        text = report.build_section(data, 3, "/nonexistent")
        self.assertIn("| one period, period 64: render / play engine / play engine recording | "
                      "4 / 4.1 / 4.15 µs (play adds +2.5 %) |", text)
        self.assertIn("| one period, period 64, play engine with `--check-rt` | 4.2 µs (play "
                      "adds +5.0 % over render) |", text)
        self.assertIn("| dummy backend, period 64: DSP load; `kvhost play`'s CPU time per "
                      "period | 3.2 %; 5.5 µs |", text)
        self.assertIn("| dummy backend, period 64: DSP load; `kvhost play` `--check-rt`'s CPU "
                      "time per period | 3.5 %; 6.25 µs |", text)
        self.assertIn("| play adds at most 5 % to a period of 64 against render | +2.5 % "
                      "(+100 ns) | met |", text)

    def test_voice_group_rows_and_target(self):
        data = {"context": {}, "benchmarks": [
            record("Poly/chords_1_voices_44k_block64/host", 0.2, unit="us"),
            record("Poly/chords_16_voices_44k_block64/host", 3.9, unit="us"),
        ]}
        text = report.build_section(data, 3, "/nonexistent")
        self.assertIn("| examples/poly_chords.json on 1 voice, 44.1 kHz, block 64: time per "
                      "block, per voice | 0.2 µs, 200 ns; real-time factor 7256.2 |", text)
        self.assertIn("| a 16-voice polyphonic patch of the chord example: ≥ 150× real time | "
                      "372.1× | met |", text)


if __name__ == "__main__":
    unittest.main()
