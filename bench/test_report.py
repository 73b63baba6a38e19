#!/usr/bin/env python3
"""Checks of the report's arithmetic on synthetic results: which way a ratio points, where a
target flips between PASS and MISS, and that missing or failed measurements never read as a
PASS."""

import contextlib
import io
import json
import sys
import tempfile
import unittest
from pathlib import Path

import report

MiB = 1 << 20


def gbench(rows, unit="ns"):
    """Google Benchmark JSON with one iteration row per sample, plus a misleading aggregate."""
    out = []
    for name, samples in rows.items():
        for s in samples:
            out.append({"run_name": name, "run_type": "iteration", "cpu_time": s,
                        "time_unit": unit})
        out.append({"run_name": name, "run_type": "aggregate", "aggregate_name": "mean",
                    "cpu_time": 1e12, "time_unit": unit})
    return {"context": {}, "benchmarks": out}


def side(wall, peak=None):
    return {"wall": [wall], "cpu": [wall], "wall_median": wall, "cpu_median": wall,
            "peak_kib": peak}


def e2e_row(set_, command, size, ours, theirs, peak=None):
    return {"set": set_, "command": command, "size": size, "ours": side(ours, peak),
            "openssl": side(theirs)}


class MicroParsing(unittest.TestCase):
    def test_median_of_iterations_in_nanoseconds_ignoring_aggregates_and_suffixes(self):
        doc = gbench({"keygen/ours/2048/iterations:1/repeats:3": [3.0, 1.0, 2.0]}, unit="ms")
        m = report.Micro(doc)
        self.assertEqual(m.median("keygen", "ours", 2048), 2e6)
        self.assertIsNone(m.median("keygen", "openssl", 2048))

    def test_error_rows_are_kept_apart_and_fail_the_run(self):
        doc = {"benchmarks": [{"run_name": "sha1/ours/64", "error_occurred": True,
                               "error_message": "SHA-1 digest differs", "cpu_time": 0,
                               "time_unit": "ns"}]}
        m = report.Micro(doc)
        self.assertIsNone(m.median("sha1", "ours", 64))
        self.assertIn("differs", m.errors[("sha1", "ours", 64)])
        with tempfile.TemporaryDirectory() as d:
            micro = Path(d) / "m.json"
            micro.write_text(json.dumps(doc))
            with contextlib.redirect_stdout(io.StringIO()):
                rc = report.main(["--micro", str(micro), "--out", str(Path(d) / "o.md")])
            self.assertEqual(rc, 1)
            self.assertIn("ERROR: SHA-1 digest differs", (Path(d) / "o.md").read_text())


class Targets(unittest.TestCase):
    def verdicts(self, micro_rows, masked_rows=None, e2e=None):
        micro = report.Micro(gbench(micro_rows))
        masked = report.Micro(gbench(masked_rows or {}))
        return {key: ok for key, _, _, ok in report.targets(micro, masked, e2e or {})}

    def test_signature_ratio_is_ours_over_openssl_with_inclusive_limits(self):
        v = self.verdicts({"pss_sign_crt/ours/2048": [50], "pss_sign_crt/openssl/2048": [10],
                           "pss_sign_plain/ours/1024": [81], "pss_sign_plain/openssl/1024": [10]})
        self.assertTrue(v["sign_crt"])   # exactly 5x
        self.assertFalse(v["sign_plain"])  # 8.1x
        v = self.verdicts({"pss_sign_crt/ours/2048": [10], "pss_sign_crt/openssl/2048": [51]})
        self.assertTrue(v["sign_crt"])   # faster than OpenSSL

    def test_throughput_targets_compare_with_the_masked_run_not_the_default(self):
        rows = {"sha1/ours/1048576": [100], "sha1/openssl/1048576": [10],
                "aes128cbc_encrypt/ours/1048576": [100],
                "aes128cbc_encrypt/openssl/1048576": [10]}
        masked = {"sha1/openssl/1048576": [60], "aes128cbc_encrypt/openssl/1048576": [59]}
        v = self.verdicts(rows, masked)
        self.assertTrue(v["sha1"])          # 60/100 = 0.6 of its throughput
        self.assertFalse(v["aes"])  # 0.59

    def test_missing_measurements_are_not_a_pass(self):
        v = self.verdicts({})
        self.assertTrue(all(ok is None for ok in v.values()), v)

    def test_end_to_end_targets(self):
        e2e = {"rows": [e2e_row("v2.1", "-KEYGEN", None, 2.0, 1.0),
                        e2e_row("v2.1", "-STAGE2", MiB, 0.101, 0.100)]}
        v = self.verdicts({}, e2e=e2e)
        self.assertTrue(v["keygen"])  # exactly 2x
        self.assertFalse(v["stage2"])        # 1 % slower than OpenSSL


class GrowthAndMemory(unittest.TestCase):
    def rows(self, times, peaks=(None, None, None), command="-STAGE1"):
        sizes = (64 << 10, MiB, 64 * MiB)
        return {"rows": [e2e_row("v2.1", command, s, t, 1.0, p)
                         for s, t, p in zip(sizes, times, peaks)]}

    def test_fixed_cost_plus_linear_part_is_linear(self):
        # 20 ms fixed + 5 ms per MiB.
        t = [0.020 + 0.005 * s / MiB for s in (64 << 10, MiB, 64 * MiB)]
        (_, _, _, marginal, ok), = report.linearity(self.rows(t))
        self.assertTrue(ok)
        self.assertAlmostEqual(marginal, 5.0)

    def test_quadratic_growth_is_caught(self):
        t = [0.001 * (s / MiB) ** 2 + 0.01 for s in (64 << 10, MiB, 64 * MiB)]
        (_, _, _, _, ok), = report.linearity(self.rows(t))
        self.assertFalse(ok)

    def test_a_command_missing_a_size_is_left_out(self):
        rows = self.rows([0.1, 0.2, 0.3])
        del rows["rows"][1]
        self.assertEqual(report.linearity(rows), [])

    def test_memory_limit_is_three_images_plus_two_mib_inclusive(self):
        limit_kib = [(3 * s + 2 * MiB) // 1024 for s in (64 << 10, MiB, 64 * MiB)]
        peaks = (limit_kib[0], limit_kib[1] + 1, None)
        checks = report.memory_checks(self.rows([1, 1, 1], peaks))
        self.assertEqual([c[5] for c in checks], [True, False, None])
        # -P is listed beside -STAGE1 but only -STAGE1 decides the target; verification is not
        # a signing command.
        p_rows = self.rows([1, 1, 1], (1 << 30,) * 3, command="-P")
        self.assertEqual(len(report.memory_checks(p_rows)), 3)
        verdicts = {k: ok for k, _, _, ok in report.targets(report.Micro({}), report.Micro({}),
                                                             p_rows)}
        self.assertIsNone(verdicts["memory"])
        self.assertEqual(report.memory_checks(self.rows([1, 1, 1], command="-VERIFY")), [])


class Rendering(unittest.TestCase):
    def test_renders_with_nothing_but_the_default_run(self):
        micro = report.Micro(gbench({"sha1/ours/64": [200], "sha1/openssl/64": [100]}))
        text = report.render(micro, report.Micro({}), {}, {}, "")
        self.assertIn("| SHA-1 | 64 B | 200 ns (305 MiB/s) | 100 ns (610 MiB/s) | 2.00× |", text)
        self.assertIn("not measured", text)
        self.assertNotIn("PASS", text)

    def test_integer_only_reference_point_is_openssl_time_over_ours(self):
        micro = report.Micro(gbench({"sha1/ours/1048576": [4e6]}))
        scalar = report.Micro(gbench({"sha1/openssl/1048576": [2e6]}))
        self.assertIn("ours reaches 0.50× its throughput", report.scalar_note(micro, scalar))
        self.assertEqual(report.scalar_note(micro, report.Micro({})), "")


if __name__ == "__main__":
    sys.path.insert(0, str(Path(__file__).parent))
    unittest.main(verbosity=1)
