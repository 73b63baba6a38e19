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


def side(wall, peak=None, runs=1):
    return {"wall": [wall] * runs, "cpu": [wall] * runs, "wall_median": wall, "cpu_median": wall,
            "peak_kib": peak}


def e2e_row(set_, command, size, ours, theirs, peak=None, runs=1):
    return {"set": set_, "command": command, "size": size, "ours": side(ours, peak, runs),
            "openssl": side(theirs, runs=runs)}


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


K64, M64 = 64 << 10, 64 * MiB


def times(op, size, ours, theirs):
    return {f"{op}/ours/{size}": [ours], f"{op}/openssl/{size}": [theirs]}


def every_image_command(peak_kib):
    """Rows for every image command of both sets at every size, peak_kib(size) each."""
    return [e2e_row(s, c, n, 1.0, 1.0, peak_kib(n)) for s, c in report.IMAGE_COMMANDS
            for n in report.IMAGE_SIZES]


LIMIT_KIB = lambda n: (n + 4 * MiB) // 1024  # noqa: E731

# (target key, micro rows, e2e rows, expected verdict): each limit exactly, just past it, and
# the measurement that must not count.
CASES = [
    ("sign_crt", times("pss_sign_crt", 2048, 40, 10), [], True),        # exactly 4x
    ("sign_crt", times("pss_sign_crt", 2048, 401, 100), [], False),
    ("sign_crt", times("pss_sign_crt", 1024, 1, 10), [], None),         # wrong size
    ("sign_plain", times("pss_sign_plain", 1024, 40, 10), [], True),
    ("sign_plain", times("pss_sign_plain", 1024, 401, 100), [], False),
    ("sha1", times("sha1", MiB, 100, 90), [], True),                   # exactly 0.9 throughput
    ("sha1", times("sha1", MiB, 100, 89), [], False),
    ("sha1", times("sha1", 1024, 1, 90), [], None),                    # 1 MiB only
    ("aes_encrypt", times("aes128cbc_encrypt", MiB, 100, 90), [], True),
    ("aes_encrypt", times("aes128cbc_encrypt", MiB, 100, 89), [], False),
    ("aes_encrypt", times("aes128cbc_decrypt", MiB, 1, 90), [], None),  # not the decryption
    ("aes_decrypt", times("aes128cbc_decrypt", MiB, 100, 60), [], True),
    ("aes_decrypt", times("aes128cbc_decrypt", MiB, 100, 59), [], False),
    ("keygen", {}, [e2e_row("v2.1", "-KEYGEN", None, 1.0, 1.0, runs=15)], True),
    ("keygen", {}, [e2e_row("v2.1", "-KEYGEN", None, 1.01, 1.0, runs=15)], False),
    ("keygen", {}, [e2e_row("v2.1", "-KEYGEN", None, 0.5, 1.0, runs=14)], None),  # too few
    ("keygen", {}, [e2e_row("v1.1", "-KEYGEN", None, 0.5, 1.0, runs=15)], None),
    ("stage2", {}, [e2e_row("v2.1", "-STAGE2", M64, 110, 100),
                    e2e_row("v1.1", "-STAGE2", M64, 50, 100)], True),  # exactly 1.1x
    ("stage2", {}, [e2e_row("v2.1", "-STAGE2", M64, 50, 100),
                    e2e_row("v1.1", "-STAGE2", M64, 111, 100)], False),  # either set counts
    ("stage2", {}, [e2e_row("v2.1", "-STAGE2", M64, 50, 100)], None),   # one set only
    ("stage2", {}, [e2e_row("v2.1", "-STAGE2", MiB, 50, 100),
                    e2e_row("v1.1", "-STAGE2", MiB, 50, 100)], None),   # 64 MiB only
    ("stage1", {}, [e2e_row("v2.1", "-STAGE1", M64, 1.0, 1.0)], True),
    ("stage1", {}, [e2e_row("v2.1", "-STAGE1", M64, 1.01, 1.0)], False),
    ("stage1", {}, [e2e_row("v1.1", "-STAGE1", M64, 0.5, 1.0),
                    e2e_row("v2.1", "-P", M64, 0.5, 1.0)], None),      # v2.1 -STAGE1 only
    ("memory", {}, every_image_command(LIMIT_KIB), True),               # exactly at the limit
    ("memory", {}, every_image_command(lambda n: LIMIT_KIB(n) + (n == K64)), False),
    ("memory", {}, every_image_command(LIMIT_KIB)[1:], None),          # one missing
    ("memory", {}, every_image_command(lambda n: None if n == K64 else LIMIT_KIB(n)), None),
    ("memory", {}, every_image_command(lambda n: LIMIT_KIB(n) + 1)[5:], False),  # over wins
]


class Targets(unittest.TestCase):
    def test_each_target_at_and_past_its_limit(self):
        for key, micro, rows, expected in CASES:
            with self.subTest(key=key, micro=micro, rows=len(rows), expected=expected):
                found = {k: (ok, text) for k, _, _, text, _, ok in
                         report.targets(report.Micro(gbench(micro)), {"rows": rows})}
                self.assertIs(found[key][0], expected, found[key][1])

    def test_exactly_the_nine_targets_and_none_passes_unmeasured(self):
        rows = report.targets(report.Micro({}), {})
        self.assertEqual([r[0] for r in rows], ["sign_crt", "sign_plain", "keygen", "sha1",
                                                "aes_encrypt", "aes_decrypt", "stage2",
                                                "stage1", "memory"])
        self.assertTrue(all(r[5] is None and "not measured" in r[3] for r in rows), rows)


class MissExplanations(unittest.TestCase):
    NOTES = (f"## Intro\n\nkept\n\n{report.LIMITS_HEADING}\n\nhow to write them\n\n"
             "### sign_crt\n\nThe reduction: 69 % of the instructions.\n\n"
             f"### stage1\n\n{report.PLACEHOLDER}\n\n## Later\n\nkept too\n")

    def render(self, micro):
        return report.render(report.Micro(gbench(micro)), report.Micro({}),
                             {"rows": [e2e_row("v2.1", "-STAGE1", M64, 2.0, 1.0)]}, {},
                             self.NOTES)

    def test_a_miss_prints_its_explanation_or_flags_the_placeholder_once(self):
        text = self.render(times("pss_sign_crt", 2048, 50, 10))
        self.assertIn("The reduction: 69 % of the instructions.", text)
        self.assertIn(f"**⚠ {report.PLACEHOLDER}**", text)         # stage1: 2x
        self.assertEqual(text.count(report.PLACEHOLDER), 1)        # the section is not repeated
        self.assertIn("kept too", text)
        self.assertIn("## Intro", text)

    def test_a_pass_prints_no_explanation(self):
        text = self.render(times("pss_sign_crt", 2048, 10, 10))
        self.assertNotIn("The reduction", text)


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

    def test_memory_table_covers_every_image_command_not_the_key_pairs(self):
        rows = {"rows": every_image_command(LIMIT_KIB)
                + [e2e_row("v2.1", "-KEYGEN", None, 1.0, 1.0, 1 << 30)]}
        checks = report.memory_checks(rows)
        self.assertEqual(len(checks), 27)
        self.assertTrue(all(c[5] for c in checks))
        self.assertIn("| v1.1 | -STAGE2_VERIFY | 64 MiB | 68.0 MiB |", report.memory_table(rows))


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
