#!/usr/bin/env python3
"""Plants the faults of scripts/mutations.txt into the code one at a time and reports the ones
the tests miss.

    scripts/mutate.py [--build DIR] [--only TEXT] [--list FILE] [--check]

Each fault is one small edit of one line (a comparison cut short, a bound moved by one, a
check skipped). For each: the edit is applied, the tests of the fault's layer are rebuilt
incrementally (ninja's per-folder targets) and run with ctest until the first failure. A fault
that no test of its layer catches is confirmed against the whole suite; only a fault that
survives that too is a survivor. The file is restored after every fault, also on Ctrl-C.
Prints one line per fault and a score; exits 1 when a fault survives that is not listed as
kept on purpose in docs/TESTING.md ("kept: <id>").
"""
import argparse
import os
import pathlib
import re
import shutil
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent


class Fault:
    def __init__(self, ident, layer, path, what):
        self.ident, self.layer, self.path, self.what = ident, layer, path, what
        self.find, self.replace = None, None


def read_faults(list_file):
    """Blocks of: '== <id> <layer> <file>: <what>', '- <exact text>', '+ <replacement>'."""
    faults, current = [], None
    for number, line in enumerate(list_file.read_text().splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        if line.startswith("== "):
            m = re.match(r"== (\S+) (\S+) (\S+): (.*)", line)
            if not m:
                sys.exit(f"{list_file}:{number}: expected '== <id> <layer> <file>: <what>'")
            current = Fault(*m.groups())
            faults.append(current)
        elif line.startswith("- ") and current:
            current.find = line[2:]
        elif line.startswith("+ ") and current:
            current.replace = line[2:]
        else:
            sys.exit(f"{list_file}:{number}: cannot read '{line}'")
    for f in faults:
        if f.find is None or f.replace is None:
            sys.exit(f"fault {f.ident}: needs a '-' and a '+' line")
        text = (ROOT / f.path).read_text()
        if text.count(f.find) != 1:
            sys.exit(f"fault {f.ident}: '{f.find}' occurs {text.count(f.find)} times in {f.path}")
    return faults


def run(args, **kw):
    return subprocess.run(args, cwd=ROOT, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          **kw).returncode


def build(build_dir, targets):
    return run(["cmake", "--build", str(build_dir), "--", *targets]) == 0


def tests_pass(build_dir, label=None):
    args = ["ctest", "--test-dir", str(build_dir), "-j", str(os.cpu_count() or 2),
            "--stop-on-failure", "--timeout", "300"]
    if label:
        args += ["-L", f"^{label}$"]
    return run(args) == 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build-mutate")
    parser.add_argument("--only", help="run the faults whose id contains this text")
    parser.add_argument("--list", default="scripts/mutations.txt")
    parser.add_argument("--check", action="store_true", help="only check that every fault applies")
    opts = parser.parse_args()
    build_dir = ROOT / opts.build
    faults = read_faults(ROOT / opts.list)
    if opts.check:
        print(f"{len(faults)} faults, each found once in its file")
        return 0
    if opts.only:
        faults = [f for f in faults if opts.only in f.ident]

    generator = [] if (build_dir / "CMakeCache.txt").exists() else ["-G", "Ninja"]
    if run(["cmake", "-S", ".", "-B", str(build_dir), *generator,
            "-DCMAKE_BUILD_TYPE=RelWithDebInfo"]) != 0 or not build(build_dir, []):
        sys.exit("the unchanged tree does not build")
    if not tests_pass(build_dir):
        sys.exit("the unchanged tree fails its tests: nothing to measure")

    kept = set(re.findall(r"kept: (\S+)", (ROOT / "docs/TESTING.md").read_text())
               if (ROOT / "docs/TESTING.md").exists() else [])
    survivors, started = [], time.time()
    for f in faults:
        source = ROOT / f.path
        backup = source.with_name(source.name + ".mutate-orig")
        shutil.copy2(source, backup)
        try:
            source.write_text(source.read_text().replace(f.find, f.replace))
            if not build(build_dir, [f"tests/{f.layer}/all"]):
                verdict = "killed (does not build)"
            elif not tests_pass(build_dir, f.layer):
                verdict = f"killed by the {f.layer} tests"
            elif build(build_dir, []) and not tests_pass(build_dir):
                verdict = "killed by the whole suite"
            else:
                verdict = "SURVIVED" + (" (kept)" if f.ident in kept else "")
                survivors.append(f)
        finally:
            shutil.move(backup, source)
            source.touch()  # newer than the mutant's objects: the next build recompiles it
        print(f"{f.ident:<28} {verdict:<34} {f.path}: {f.what}", flush=True)

    build(build_dir, [])
    killed = len(faults) - len(survivors)
    print(f"\n{killed} of {len(faults)} faults caught, {len(survivors)} survived "
          f"({time.time() - started:.0f} s)")
    unexplained = [f.ident for f in survivors if f.ident not in kept]
    if unexplained:
        print("survivors not explained in docs/TESTING.md: " + " ".join(unexplained))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
