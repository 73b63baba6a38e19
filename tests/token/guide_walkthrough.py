#!/usr/bin/env python3
"""Runs the user's guide's token walk-through as a user would paste it, in a scratch home:
pasted twice (the second set-up makes a second token of the same label; the references the first
paste wrote still sign), and, in a fresh home, followed by the import example.

usage: guide_walkthrough.py <USERS_GUIDE.md> <folder of Tarnwick_V21> <folder of sbinspect>"""
import os
import re
import subprocess
import sys
import tempfile


def run(script, home, path):
    env = dict(os.environ, HOME=home, PATH=path)
    env.pop("SOFTHSM2_CONF", None)
    return subprocess.run(["bash", "-c", script], cwd=home, env=env, capture_output=True, text=True)


def main():
    guide, programs, inspect = sys.argv[1:4]
    text = open(guide, encoding="utf-8").read()
    section = text[text.index("## Keeping keys in a hardware token"):]
    setup, imported = re.findall(r"```sh\n(.*?)```", section, re.S)[:2]
    path = os.pathsep.join([programs, inspect, os.environ["PATH"]])
    failures = []
    with tempfile.TemporaryDirectory() as home:
        first = run("set -e\n" + setup, home, path)
        if first.returncode != 0:
            failures.append("first paste: " + first.stdout + first.stderr)
        again = run(setup + "\nTarnwick_V21 -v2.1 BL2.bin again.bin stage2Key_V21.prv -STAGE2\n",
                    home, path)
        if again.returncode != 0 or "exists already" not in again.stdout:
            failures.append("second paste: " + again.stdout + again.stderr)
    with tempfile.TemporaryDirectory() as home:
        both = run("set -e\n" + setup + imported + "test -s maker_V21.ref\n", home, path)
        if both.returncode != 0:
            failures.append("import after the walk-through: " + both.stdout + both.stderr)
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
