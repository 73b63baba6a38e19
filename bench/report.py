#!/usr/bin/env python3
"""Turns the benchmark results into docs/PERFORMANCE.md: tables, ratios, the targets with PASS
or MISS, the machine and how to rerun.

    bench/report.py --micro micro.json --masked masked.json --e2e e2e.json \
                    --machine machine.json --notes bench/profile_notes.md --out docs/PERFORMANCE.md

--micro and --masked are Google Benchmark JSON files of the same binary (the second run with
OpenSSL's AES and SHA instructions masked off); --e2e is the output of scripts/bench_e2e.py.
Every ratio is ours over OpenSSL's time: below 1 we are faster, above 1 slower.
Exits with 1 when a benchmark reported an error (an implementation disagreeing with OpenSSL).
"""

import argparse
import json
import statistics
import sys
from pathlib import Path

UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
MiB = 1 << 20

# Rows of the micro table: (operation key, label, sizes, how the size reads).
MICRO_ROWS = [
    ("sha1", "SHA-1", [64, 1024, MiB], "bytes"),
    ("aes128cbc_encrypt", "AES-128-CBC encrypt", [1024, MiB], "bytes"),
    ("aes128cbc_decrypt", "AES-128-CBC decrypt", [1024, MiB], "bytes"),
    ("bn_modmul", "qiv_bn_ModMul", [32, 64], "digits"),
    ("bn_binary", "qiv_bn_Binary (full-length exponent)", [32, 64], "digits"),
    ("pss_sign_crt", "PSS sign, CRT, e = 3", [2048], "bits"),
    ("pss_sign_plain", "PSS sign, plain, e = 65537", [1024], "bits"),
    ("pss_verify", "PSS verify (2048: e = 3, 1024: e = 65537)", [2048, 1024], "bits"),
    ("keygen", "key generation (2048: e = 3, 1024: e = 65537)", [1024, 2048], "bits"),
]
MASKED_OPS = {"sha1", "aes128cbc_encrypt", "aes128cbc_decrypt"}
LINEAR_SLACK = 1.10  # timing noise allowed on top of strictly linear growth


class Micro:
    """Median CPU time (ns) per (operation, implementation, size) of one benchmark run."""

    def __init__(self, doc):
        self.context = doc.get("context", {})
        self.samples, self.errors = {}, {}
        for b in doc.get("benchmarks", []):
            parts = b["run_name"].split("/")
            if len(parts) < 3:
                continue
            key = (parts[0], parts[1], int(parts[2]))
            if b.get("error_occurred"):
                self.errors[key] = b.get("error_message", "error")
                continue
            if b.get("run_type", "iteration") != "iteration":
                continue
            self.samples.setdefault(key, []).append(b["cpu_time"] * UNIT_NS[b["time_unit"]])

    def median(self, op, impl, size):
        s = self.samples.get((op, impl, size))
        return statistics.median(s) if s else None


def ratio(ours, theirs):
    return ours / theirs if ours is not None and theirs else None


def fmt_time(ns):
    if ns is None:
        return "n/a"
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}"
    return f"{ns:.3g} ns"


def fmt_ratio(r):
    return "n/a" if r is None else f"{r:.2f}×"


def fmt_size(n):
    if n >= MiB:
        return f"{n // MiB} MiB"
    if n >= 1024:
        return f"{n // 1024} KiB"
    return f"{n} B"


def fmt_rate(size, ns):
    return "" if ns is None else f" ({size / ns * 1e9 / MiB:.0f} MiB/s)"


def verdict(ok):
    return "n/a" if ok is None else ("**PASS**" if ok else "**MISS**")


def micro_table(micro, masked):
    out = ["| operation | size | ours | OpenSSL | ratio "
           "| OpenSSL, no AES/SHA instructions | ratio |",
           "|---|---|---:|---:|---:|---:|---:|"]
    for op, label, sizes, kind in MICRO_ROWS:
        for size in sizes:
            ours = micro.median(op, "ours", size)
            theirs = micro.median(op, "openssl", size)
            plain = masked.median(op, "openssl", size) if op in MASKED_OPS else None
            size_text = fmt_size(size) if kind == "bytes" else f"{size} {kind}"
            rate = (lambda ns: fmt_rate(size, ns)) if kind == "bytes" else (lambda ns: "")
            err = micro.errors.get((op, "ours", size))
            ours_text = f"ERROR: {err}" if err else fmt_time(ours) + rate(ours)
            masked_cells = (f"{fmt_time(plain)}{rate(plain)} | {fmt_ratio(ratio(ours, plain))}"
                            if op in MASKED_OPS else "— | —")
            out.append(f"| {label} | {size_text} | {ours_text} | {fmt_time(theirs)}{rate(theirs)}"
                       f" | {fmt_ratio(ratio(ours, theirs))} | {masked_cells} |")
    return "\n".join(out)


def e2e_rows(e2e):
    return e2e.get("rows", []) if e2e else []


def find(e2e, set_, command, size=None):
    for row in e2e_rows(e2e):
        if row["set"] == set_ and row["command"] == command and row["size"] == size:
            return row
    return None


def e2e_table(e2e):
    out = ["| set | command | image | ours (wall) | OpenSSL (wall) | ratio | ours (CPU) | "
           "OpenSSL (CPU) | ratio | peak RSS ours | peak RSS OpenSSL |",
           "|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for row in e2e_rows(e2e):
        o, s = row["ours"], row["openssl"]
        size = "—" if row["size"] is None else fmt_size(row["size"])
        peak = lambda k: "n/a" if k is None else f"{k / 1024:.1f} MiB"
        out.append(
            f"| {row['set']} | {row['command']} | {size} | {fmt_time(o['wall_median'] * 1e9)} | "
            f"{fmt_time(s['wall_median'] * 1e9)} | "
            f"{fmt_ratio(ratio(o['wall_median'], s['wall_median']))} | "
            f"{fmt_time(o['cpu_median'] * 1e9)} | {fmt_time(s['cpu_median'] * 1e9)} | "
            f"{fmt_ratio(ratio(o['cpu_median'], s['cpu_median']))} | {peak(o['peak_kib'])} | "
            f"{peak(s['peak_kib'])} |")
    return "\n".join(out)


def linearity(e2e):
    """Per image command: (set, command, times by size, marginal ms/MiB, ok).

    Linear growth t = a + b*L never lets t(64 MiB) exceed 64*t(1 MiB) nor t(1 MiB) exceed
    16*t(64 KiB) (a >= 0); a step beyond that, past the noise allowance, is superlinear."""
    sizes = [64 << 10, MiB, 64 * MiB]
    result = []
    seen = []
    for row in e2e_rows(e2e):
        if row["size"] is not None and (row["set"], row["command"]) not in seen:
            seen.append((row["set"], row["command"]))
    for set_, command in seen:
        t = [find(e2e, set_, command, s) for s in sizes]
        if any(r is None for r in t):
            continue
        w = [r["ours"]["wall_median"] for r in t]
        ok = all(w[i + 1] <= LINEAR_SLACK * (sizes[i + 1] / sizes[i]) * w[i] for i in range(2))
        marginal = (w[2] - w[1]) / 63 * 1e3
        result.append((set_, command, w, marginal, ok))
    return result


# Every command that reads an image, per set: the memory target covers each at every size.
IMAGE_COMMANDS = (
    [("v2.1", c) for c in ("-STAGE1", "-P", "-VERIFY", "-STAGE2", "-STAGE2_VERIFY")]
    + [("v1.1", c) for c in ("-STAGE1", "-VERIFY", "-STAGE2", "-STAGE2_VERIFY")])
IMAGE_SIZES = [64 << 10, MiB, 64 * MiB]
MEMORY_SLACK = 4 * MiB  # peak RSS may exceed the image by this much
KEYGEN_RUNS = 15  # the key-pair target is a comparison of medians of this many runs
TOLERANCE = 1e-9  # a figure exactly at its limit passes, whatever the rounding of its ratio

# The targets, in the table's order: (key, what, previous figure, limit, kind). "at most": our
# time over OpenSSL's; "at least": our throughput over OpenSSL's (OpenSSL's time over ours).
TARGETS = [
    ("sign_crt", "RSA-2048 CRT signature / OpenSSL (CPU time)", "13.5×", 4.0, "at most"),
    ("sign_plain", "RSA-1024 plain signature / OpenSSL (CPU time)", "8.3×", 4.0, "at most"),
    ("keygen", f"`-v2.1 -KEYGEN` / `openssl genrsa -3 2048`, medians of {KEYGEN_RUNS} (wall)",
     "2.5×", 1.0, "at most"),
    ("sha1", "SHA-1 1 MiB throughput / OpenSSL's (SHA instructions on)", "0.43×", 0.9,
     "at least"),
    ("aes_encrypt", "AES-128-CBC encrypt 1 MiB throughput / OpenSSL's (AES-NI on)", "0.19×", 0.9,
     "at least"),
    ("aes_decrypt", "AES-128-CBC decrypt 1 MiB throughput / OpenSSL's (AES-NI on)", "0.02×", 0.6,
     "at least"),
    ("stage2", "`-STAGE2` 64 MiB, either set / `openssl dgst -sha1 -sign` (PSS), wall time",
     "3.8×", 1.1, "at most"),
    ("stage1", "v2.1 `-STAGE1` 64 MiB / `openssl enc` + `openssl dgst -sign`, wall time", "4.2×",
     1.0, "at most"),
    ("memory", "Peak RSS of every image command, both sets, every image size", "3 × image",
     None, "memory"),
]


def within(r, limit, kind):
    if kind == "at most":
        return r <= limit * (1 + TOLERANCE)
    return r >= limit * (1 - TOLERANCE)


def memory_checks(e2e):
    """Peak RSS of every image command at every size against 1 x image + 4 MiB:
    (set, command, size, peak KiB, limit bytes, ok)."""
    out = []
    for row in e2e_rows(e2e):
        if row["size"] is not None:
            peak = row["ours"]["peak_kib"]
            limit = row["size"] + MEMORY_SLACK
            ok = None if peak is None else peak * 1024 <= limit
            out.append((row["set"], row["command"], row["size"], peak, limit, ok))
    return out


def memory_target(e2e):
    """(measured text, ok): a MISS as soon as one command is over; a PASS only when every image
    command of both sets was measured at every size."""
    checks = memory_checks(e2e)
    over = [f"{s} {c} at {fmt_size(n)}: {p / 1024:.1f} MiB > {lim / MiB:.1f} MiB"
            for s, c, n, p, lim, ok in checks if ok is False]
    measured = {(s, c, n) for s, c, n, _, _, ok in checks if ok is not None}
    missing = [f"{s} {c} at {fmt_size(n)}" for s, c in IMAGE_COMMANDS for n in IMAGE_SIZES
               if (s, c, n) not in measured]
    base = e2e.get("baseline_peak_kib") if e2e else None
    if over:
        if base:
            over.append(f"of each, {base / 1024:.1f} MiB is the program before it reads a file")
        return "; ".join(over), False
    if missing:
        return (("not measured" if not measured else
                 f"incomplete, {len(measured)} measured, no peak for: " + ", ".join(missing)),
                None)
    s, c, n, p, lim, _ = max((m for m in checks if m[5] is not None),
                             key=lambda m: m[3] * 1024 - m[4])
    return (f"all {len(measured)} within; closest: {s} {c} at {fmt_size(n)}, {p / 1024:.1f} MiB "
            f"of {lim / MiB:.1f} MiB", True)


def targets(micro, e2e):
    """(key, what, previous, measured text, target text, ok) per target, in TARGETS order."""
    t = []
    for key, name, previous, limit, kind in TARGETS:
        sign = "≤" if kind == "at most" else "≥"
        target = ("≤ 1 × image + 4 MiB" if kind == "memory" else
                  f"{sign} {limit:.2g}×".replace(" 1×", " 1.0×"))
        if kind == "memory":
            measured, ok = memory_target(e2e)
        else:
            r, measured = MEASURES[key](micro, e2e)
            ok = None if r is None else within(r, limit, kind)
        t.append((key, name, previous, measured, target, ok))
    return t


def _micro_time_ratio(op, size):
    def measure(micro, e2e):
        ours, theirs = micro.median(op, "ours", size), micro.median(op, "openssl", size)
        r = ratio(ours, theirs)
        if r is None:
            return None, "not measured"
        return r, f"{fmt_ratio(r)} ({fmt_time(ours)} against {fmt_time(theirs)})"
    return measure


def _micro_throughput(op):
    def measure(micro, e2e):
        ours, theirs = micro.median(op, "ours", MiB), micro.median(op, "openssl", MiB)
        r = ratio(theirs, ours)
        if r is None:
            return None, "not measured"
        return r, (f"{fmt_ratio(r)} ({fmt_rate(MiB, ours).strip(' ()')} against "
                   f"{fmt_rate(MiB, theirs).strip(' ()')})")
    return measure


def _wall(row):
    r = ratio(row["ours"]["wall_median"], row["openssl"]["wall_median"])
    return r, (f"{fmt_ratio(r)} ({fmt_time(row['ours']['wall_median'] * 1e9)} against "
               f"{fmt_time(row['openssl']['wall_median'] * 1e9)})")


def _keygen(micro, e2e):
    row = find(e2e, "v2.1", "-KEYGEN")
    if not row:
        return None, "not measured"
    r, text = _wall(row)
    runs = min(len(row["ours"]["wall"]), len(row["openssl"]["wall"]))
    if runs < KEYGEN_RUNS:
        return None, f"{text}, but medians of only {runs} runs (the target needs {KEYGEN_RUNS})"
    return r, f"{text[:-1]}, medians of {runs})"


def _stage2(micro, e2e):
    """Both sets' -STAGE2 count; the worse decides."""
    rows = [(s, find(e2e, s, "-STAGE2", 64 * MiB)) for s in ("v2.1", "v1.1")]
    if any(row is None for _, row in rows):
        return None, "not measured" + "".join(f"; {s}: {_wall(row)[1]}" for s, row in rows if row)
    measured = [(_wall(row), s) for s, row in rows]
    worst = max(r for (r, _), _ in measured)
    return worst, "; ".join(f"{s}: {text}" for (_, text), s in measured)


def _stage1(micro, e2e):
    row = find(e2e, "v2.1", "-STAGE1", 64 * MiB)
    return _wall(row) if row else (None, "not measured")


MEASURES = {
    "sign_crt": _micro_time_ratio("pss_sign_crt", 2048),
    "sign_plain": _micro_time_ratio("pss_sign_plain", 1024),
    "keygen": _keygen,
    "sha1": _micro_throughput("sha1"),
    "aes_encrypt": _micro_throughput("aes128cbc_encrypt"),
    "aes_decrypt": _micro_throughput("aes128cbc_decrypt"),
    "stage2": _stage2,
    "stage1": _stage1,
}

# bench/profile_notes.md carries, under this heading, one "### key" section per target: what
# measurably limits it. The report prints the section under the table when the target is missed.
LIMITS_HEADING = "## What limits a missed target"
PLACEHOLDER = "(no measured explanation yet)"


def split_notes(notes):
    """(explanations by target key, the notes without that section)."""
    explanations, rest, key, inside = {}, [], None, False
    for line in notes.splitlines():
        if line.startswith("## "):
            inside, key = line.strip() == LIMITS_HEADING, None
            if inside:
                continue
        if not inside:
            rest.append(line)
        elif line.startswith("### "):
            key = line[4:].split()[0].strip("`:") if line[4:].split() else None
            explanations[key] = []
        elif key:
            explanations[key].append(line)
    return ({k: "\n".join(v).strip() for k, v in explanations.items()},
            "\n".join(rest).strip())


def explained(explanations, key):
    """The measured explanation of a target, or None while there is none."""
    text = explanations.get(key, "")
    return None if not text or PLACEHOLDER in text else text


def miss_notes(rows, explanations):
    out = []
    for key, name, _, measured, _, ok in rows:
        if ok is False:
            text = explained(explanations, key)
            out += ["", f"**{name}** ({measured}): " + (
                text if text else f"**⚠ {PLACEHOLDER}**: measure what limits it and write "
                f"that under `### {key}` in bench/profile_notes.md.")]
    return out


def linearity_table(e2e):
    out = ["| set | command | 64 KiB | 1 MiB | 64 MiB | marginal cost 1 → 64 MiB | linear |",
           "|---|---|---:|---:|---:|---:|---|"]
    for set_, command, w, marginal, ok in linearity(e2e):
        out.append(f"| {set_} | {command} | {fmt_time(w[0] * 1e9)} | {fmt_time(w[1] * 1e9)} | "
                   f"{fmt_time(w[2] * 1e9)} | {marginal:.1f} ms/MiB | {verdict(ok)} |")
    return "\n".join(out)


def memory_table(e2e):
    base = e2e.get("baseline_peak_kib") if e2e else None
    out = ["| set | command | image | peak RSS | above the idle program, in images | "
           "limit (1 × image + 4 MiB) | within |",
           "|---|---|---|---:|---:|---:|---|"]
    for set_, command, size, peak, limit, ok in memory_checks(e2e):
        peak_text = "n/a" if peak is None else f"{peak / 1024:.1f} MiB"
        above = "n/a" if peak is None or not base else f"{(peak - base) * 1024 / size:.2f}"
        out.append(f"| {set_} | {command} | {fmt_size(size)} | {peak_text} | {above} | "
                   f"{limit / MiB:.1f} MiB | {verdict(ok)} |")
    if base:
        out += ["", f"The idle program (`Tarnwick_V21 -v2.1 -v`) peaks at {base / 1024:.1f} MiB: "
                "the runtime every process carries before it reads a file."]
    return "\n".join(out)


def machine_block(machine, micro, e2e):
    lines = [f"- Date: {machine.get('date', 'unknown')}",
             f"- CPU: {machine.get('cpu', 'unknown')}, {machine.get('cores', '?')} cores "
             f"(flags used by OpenSSL here: {machine.get('flags', 'unknown')})",
             f"- Compilers: {machine.get('gxx', 'unknown')}; {machine.get('clang', 'unknown')}; "
             f"the benchmarks and the program are built with `{machine.get('build', 'unknown')}`",
             f"- OpenSSL: {e2e.get('openssl_version', machine.get('openssl', 'unknown'))}",
             f"- Load average before / after: {machine.get('load_before', '?')} / "
             f"{machine.get('load_after', '?')}",
             f"- Google Benchmark library build: {micro.context.get('library_build_type', '?')}"
             " (Debian's package; it does not affect the timed code)"]
    return "\n".join(lines)


def scalar_note(micro, scalar):
    """One line on OpenSSL's integer-only SHA-1, when it was measured."""
    theirs, ours = scalar.median("sha1", "openssl", MiB), micro.median("sha1", "ours", MiB)
    if theirs is None or ours is None:
        return ""
    return (f"Reference point: OpenSSL's integer-only SHA-1 (SSSE3, AVX and AVX2 masked as well) "
            f"hashes 1 MiB in {fmt_time(theirs)}{fmt_rate(MiB, theirs)}; ours reaches "
            f"{theirs / ours:.2f}× its throughput.")


def render(micro, masked, e2e, machine, notes, scalar=None):
    runs, kruns = e2e.get("runs", "?"), e2e.get("keygen_runs", "?")
    explanations, notes = split_notes(notes)
    rows = targets(micro, e2e)
    target_rows = "\n".join(f"| {name} | {previous} | {measured} | {target} | {verdict(ok)} |"
                            for _, name, previous, measured, target, ok in rows)
    misses = miss_notes(rows, explanations)
    errors = "".join(f"\n- **{'/'.join(map(str, k))}**: {m}" for k, m in micro.errors.items())
    parts = [
        "# Performance against OpenSSL",
        "",
        "Generated by `make bench` (scripts/bench.sh); do not edit by hand. Every ratio is our "
        "time over OpenSSL's: below 1 we are faster, above 1 slower. Throughput targets are "
        "stated as throughput ratios (OpenSSL's time over ours).",
        "",
        "## Machine",
        "",
        machine_block(machine, micro, e2e),
        "",
        "The machine has 2 cores shared with other work (builds and test runs of other "
        "engineers). The micro-benchmarks report CPU time, which such load disturbs far less "
        "than wall time; the end-to-end table gives both. Ratios come from one run in which "
        "both sides met the same load; absolute figures are noisier than the ratios.",
        "",
        "## Targets",
        "",
        "Ratios are our time over OpenSSL's, except the throughput rows (OpenSSL's time over "
        "ours, higher is better). The signatures and the primitives are CPU times of the "
        "micro-benchmarks against OpenSSL as it runs by default (with its AES and SHA "
        "instructions); the commands are whole processes, wall time. `-STAGE2` counts in both "
        "sets, the slower decides.",
        "",
        "| what | previous | measured | target | verdict |",
        "|---|---|---|---|---|",
        target_rows,
        "",
    ]
    if misses:
        parts += ["### What limits each missed target"] + misses + [""]
    if errors:
        parts += ["## Errors", "", "These rows did not agree with OpenSSL and were not timed:"
                  + errors, ""]
    parts += [
        "## Primitives (one binary, CPU time, median of repetitions)",
        "",
        "Each of our rows is timed only after its result matched OpenSSL's on the same input "
        "(digest, ciphertext, residue; for RSA, OpenSSL accepts our signature and we accept "
        "OpenSSL's and reject it altered; OpenSSL's key check accepts our last generated key). "
        "The masked column is a second process of the same binary with "
        "`OPENSSL_ia32cap` clearing AES-NI and the SHA extensions, for reference: the targets "
        "compare with the default run. RSA keys are the same on both sides; plain signing gives "
        "OpenSSL no CRT values. Key generation: one key per repetition, median of the repetitions.",
        "",
        micro_table(micro, masked),
        "",
        scalar_note(micro, scalar or Micro({})),
        "",
        f"## Commands end to end (whole processes, median of {runs} runs; key pairs {kruns})",
        "",
        "Counterparts: key pairs against `openssl genrsa -3 2048` (v2.1) and `openssl genrsa "
        "1024` (v1.1); v2.1 `-STAGE1` and `-P` against `openssl enc -aes-128-cbc` followed by "
        "`openssl dgst -sha1 -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:20 -sign` of "
        "the ciphertext; v1.1 `-STAGE1` and both `-STAGE2` against the same `openssl dgst` "
        "signing; the verifications against `openssl dgst ... -verify`. Our commands do more "
        "than their counterparts (the stage-1 commands also check the customer key's "
        "self-signature and verify what they made; the key-pair commands also sign and protect "
        "the key files). Peak RSS is from `/usr/bin/time -v`; for two OpenSSL processes, the "
        "larger.",
        "",
        e2e_table(e2e),
        "",
        "### Growth with image size (ours, wall time)",
        "",
        "Linear growth means t(64 MiB) ≤ 64 · t(1 MiB) and t(1 MiB) ≤ 16 · t(64 KiB) "
        f"(with {round((LINEAR_SLACK - 1) * 100)} % allowance for noise); the marginal cost is "
        "the slope between 1 MiB and 64 MiB.",
        "",
        linearity_table(e2e),
        "",
        "### Peak memory of the image commands",
        "",
        memory_table(e2e),
        "",
    ]
    if notes:
        parts += [notes.rstrip(), ""]
    parts += [
        "## Rerun",
        "",
        "```sh",
        "make bench   # release build in build-bench, both benchmark runs, end to end, this file",
        "```",
        "",
        "Knobs for a quicker look: `BENCH_RUNS` (end-to-end runs, default 5), "
        "`BENCH_KEYGEN_RUNS` (default 15), `BENCH_SIZES` (e.g. `\"64 KiB,1 MiB\"`), "
        "`BENCH_REPETITIONS` (micro repetitions, default 3). `bench/profile.sh FILTER` "
        "profiles one benchmark with callgrind.",
        "",
    ]
    return "\n".join(parts)


def load(path):
    return json.loads(Path(path).read_text()) if path else {}


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--micro", required=True)
    ap.add_argument("--masked")
    ap.add_argument("--scalar", help="OpenSSL's SHA-1 with every SIMD path masked too")
    ap.add_argument("--e2e")
    ap.add_argument("--machine")
    ap.add_argument("--notes")
    ap.add_argument("--out", required=True)
    args = ap.parse_args(argv)
    micro, masked = Micro(load(args.micro)), Micro(load(args.masked))
    notes = Path(args.notes).read_text() if args.notes else ""
    Path(args.out).write_text(render(micro, masked, load(args.e2e), load(args.machine), notes,
                                     Micro(load(args.scalar))))
    explanations, _ = split_notes(notes)
    for key, name, _, measured, target, ok in targets(micro, load(args.e2e)):
        print(f"{verdict(ok).strip('*'):4}  {name} {target}: {measured}")
        if ok is False and not explained(explanations, key):
            print(f"warning: {key} is missed and bench/profile_notes.md has no measured "
                  "explanation for it yet", file=sys.stderr)
    return 1 if micro.errors or masked.errors else 0


if __name__ == "__main__":
    sys.exit(main())
