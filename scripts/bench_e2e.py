#!/usr/bin/env python3
"""Times every Tarnwick_V21 command against the OpenSSL command line doing the same
cryptographic work on the same image files, as whole processes, and writes the figures as JSON.

    scripts/bench_e2e.py --program build-bench/cli/Tarnwick_V21 --out e2e.json

Counterparts (OpenSSL keys of the same size and exponent, generated once):
  key pairs            openssl genrsa -3 2048 (v2.1) / openssl genrsa 1024 (v1.1)
  v2.1 -STAGE1, -P     openssl enc -aes-128-cbc, then openssl dgst -sha1 -sign with PSS
  v1.1 -STAGE1         openssl dgst -sha1 -sign with PSS (the code stays in clear)
  -STAGE2              openssl dgst -sha1 -sign with PSS, salt 20
  -VERIFY, -STAGE2_VERIFY   openssl dgst -sha1 -verify with PSS

Each command runs once untimed under /usr/bin/time -v (warming the page cache and giving the
peak resident set), then `runs` timed times, ours and OpenSSL's alternating so that a burst of
load on the machine hits both. Every run must exit with 0 and leave the expected output, or the
script stops: a time for a failed command means nothing.
"""

import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

SIZES = {"64 KiB": 64 << 10, "1 MiB": 1 << 20, "64 MiB": 64 << 20}
PSS = ["-sigopt", "rsa_padding_mode:pss", "-sigopt", "rsa_pss_saltlen:20"]
TIME_BIN = "/usr/bin/time"
# A fixed AES key and IV for the OpenSSL side: the cipher does the same work for any key.
AES = ["-aes-128-cbc", "-nopad", "-K", "000102030405060708090a0b0c0d0e0f",
       "-iv", "f0e0d0c0b0a090807060504030201000"]


class CommandFailed(RuntimeError):
    pass


def run_timed(argvs, cwd):
    """Runs the processes one after another; returns (wall seconds, user+system seconds)."""
    wall = cpu = 0.0
    for argv in argvs:
        with open(cwd / ".stdout", "wb") as out:
            start = time.perf_counter()
            proc = subprocess.Popen(argv, cwd=cwd, stdout=out, stderr=subprocess.STDOUT)
            _, status, usage = os.wait4(proc.pid, 0)
            wall += time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        cpu += usage.ru_utime + usage.ru_stime
        if proc.returncode != 0:
            text = (cwd / ".stdout").read_text(errors="replace")
            raise CommandFailed(f"{' '.join(map(str, argv))} exited {proc.returncode}:\n{text}")
    return wall, cpu


def peak_kib(argvs, cwd):
    """Largest maximum resident set (KiB) over the processes, from /usr/bin/time -v."""
    if not os.access(TIME_BIN, os.X_OK):
        return None
    peak = 0
    for argv in argvs:
        report = cwd / ".time"
        run_timed([[TIME_BIN, "-v", "-o", str(report), *map(str, argv)]], cwd)
        found = re.search(r"Maximum resident set size \(kbytes\): (\d+)", report.read_text())
        if not found:
            raise CommandFailed(f"no peak memory in the report of {argv}")
        peak = max(peak, int(found.group(1)))
    return peak


def short(arg):
    """A file argument as the reader of the report needs it: its name without the folder."""
    return arg.name if isinstance(arg, Path) else str(arg)


def stdout_of(cwd):
    return (cwd / ".stdout").read_text(errors="replace")


class Bench:
    def __init__(self, program, work, runs, keygen_runs):
        self.program = program
        self.work = work
        self.runs = runs
        self.keygen_runs = keygen_runs
        self.rows = []
        self.ours_dir = work / "ours"  # the fixed-name key files the signing commands read
        self.ossl_dir = work / "openssl"
        self.keygen_dir = work / "keygen"
        for d in (self.ours_dir, self.ossl_dir, self.keygen_dir):
            d.mkdir(parents=True, exist_ok=True)

    def ours(self, *args):
        return [str(self.program), *map(str, args)]

    def measure(self, label, ours, ossl, cwd_ours, cwd_ossl, runs, check, size=None):
        """ours and ossl are lists of argv lists; check(cwd) validates our output."""
        row = {"set": label[0], "command": label[1], "size": size,
               "openssl_cmd": " ; ".join(" ".join(short(x) for x in a) for a in ossl)}
        sides = {"ours": (ours, cwd_ours), "openssl": (ossl, cwd_ossl)}
        for side, (argvs, cwd) in sides.items():
            row[side] = {"peak_kib": peak_kib(argvs, cwd), "wall": [], "cpu": []}
            if side == "ours":
                check(cwd)
        for i in range(runs):
            order = ("ours", "openssl") if i % 2 == 0 else ("openssl", "ours")
            for side in order:
                argvs, cwd = sides[side]
                wall, cpu = run_timed(argvs, cwd)
                if side == "ours":
                    check(cwd)
                row[side]["wall"].append(wall)
                row[side]["cpu"].append(cpu)
        for side in sides:
            row[side]["wall_median"] = statistics.median(row[side]["wall"])
            row[side]["cpu_median"] = statistics.median(row[side]["cpu"])
        self.rows.append(row)
        size_text = "" if size is None else f" {size} B"
        print(f"  {label[0]} {label[1]}{size_text}: ours {row['ours']['wall_median']*1e3:.1f} ms,"
              f" openssl {row['openssl']['wall_median']*1e3:.1f} ms", flush=True)

    # --- set-up -------------------------------------------------------------------------------

    def make_keys(self):
        o, s = self.ours_dir, self.ossl_dir
        for cmd in (["-v2.1", "-KEYGEN"], ["-v2.1", "stage2Key", "-STAGE2_KEYGEN"],
                    ["-v1.1", "-KEYGEN"], ["-v1.1", "stage2Key", "-STAGE2_KEYGEN"]):
            run_timed([self.ours(*cmd)], o)
        # The stage-1 commands read the customer's public key under fixed names.
        shutil.copyfile(o / "stage2Key_V21.spk", o / "publicKeyInfo_V21_stage2.dat")
        shutil.copyfile(o / "stage2Key.spk", o / "stage2_key.spk")
        for name, args in (("maker2048", ["-3"]), ("cust2048", ["-3"]), ("maker1024", []),
                           ("cust1024", [])):
            bits = name[-4:]
            run_timed([["openssl", "genrsa", *args, "-out", f"{name}.pem", bits],
                       ["openssl", "rsa", "-in", f"{name}.pem", "-pubout", "-out",
                        f"{name}.pub"]], s)

    # --- the commands -------------------------------------------------------------------------

    def keygen(self):
        def files_written(*names):
            def check(cwd):
                missing = [n for n in names if not (cwd / n).is_file()]
                if missing or "generating" not in stdout_of(cwd):
                    raise CommandFailed(f"key-pair command left no {missing}")
                for n in names:
                    (cwd / n).unlink()
            return check

        k = self.keygen_dir
        v21 = [["openssl", "genrsa", "-3", "-out", "k.pem", "2048"]]
        v11 = [["openssl", "genrsa", "-out", "k.pem", "1024"]]
        cases = [
            (("v2.1", "-KEYGEN"), ["-v2.1", "-KEYGEN"], v21,
             files_written("eFuseData_V21.dat", "publicKeyInfo_V21.dat", "privateKey_V21.dat")),
            (("v2.1", "-STAGE2_KEYGEN"), ["-v2.1", "c", "-STAGE2_KEYGEN"], v21,
             files_written("c_V21.spk", "c_V21.prv")),
            (("v1.1", "-KEYGEN"), ["-v1.1", "-KEYGEN"], v11,
             files_written("publicKeyInfo.dat", "eFuseData.dat", "privateKey.dat")),
            (("v1.1", "-STAGE2_KEYGEN"), ["-v1.1", "c", "-STAGE2_KEYGEN"], v11,
             files_written("c.spk", "c.prv")),
        ]
        for label, args, ossl, check in cases:
            self.measure(label, [self.ours(*args)], ossl, k, k, self.keygen_runs, check)

    def images(self, label, size):
        o, s = self.ours_dir, self.ossl_dir
        image = self.work / f"image-{label.replace(' ', '')}.bin"
        with open(image, "wb") as f:
            f.write(os.urandom(size))

        def output(name, length, line):
            def check(cwd):
                if line not in stdout_of(cwd):
                    raise CommandFailed(f"missing '{line}' in:\n{stdout_of(cwd)}")
                if (cwd / name).stat().st_size != length:
                    raise CommandFailed(f"{name} is not {length} bytes")
            return check

        def printed(line):
            def check(cwd):
                if line not in stdout_of(cwd):
                    raise CommandFailed(f"missing '{line}' in:\n{stdout_of(cwd)}")
            return check

        enc, sig1, sig2 = f"enc-{size}.bin", f"s1-{size}.sig", f"s2-{size}.sig"
        sign = ["openssl", "dgst", "-sha1", *PSS, "-sign"]
        verify = ["openssl", "dgst", "-sha1", *PSS, "-verify"]
        s1_ok = "Stage 1: Signature generation is successful."
        s1_vok = "Stage 1: Signature verification is successful."
        s2_ok = "Stage 2: Signature generation is successful."
        s2_vok = "Stage 2: Signature verification is successful."
        cases = [
            # v2.1: encrypt the code, then one PSS signature (2048 bits, e = 3) over it.
            (("v2.1", "-STAGE1"), ["-v2.1", image, "s1_21.bin", "-STAGE1"],
             [["openssl", "enc", *AES, "-in", image, "-out", enc],
              [*sign, "maker2048.pem", "-out", sig1, enc]],
             output("s1_21.bin", size + 1024, s1_ok)),
            (("v2.1", "-P"), ["-v2.1", image, "p_21.bin", "unused", "-P"],
             [["openssl", "enc", *AES, "-in", image, "-out", enc],
              [*sign, "maker2048.pem", "-out", sig1, enc]],
             output("p_21.bin", size + 1072, s1_ok)),
            (("v2.1", "-VERIFY"), ["-v2.1", "s1_21.bin", "eFuseData_V21.dat", "-VERIFY"],
             [[*verify, "maker2048.pub", "-signature", sig1, enc]], printed(s1_vok)),
            (("v2.1", "-STAGE2"), ["-v2.1", image, "s2_21.bin", "stage2Key_V21.prv", "-STAGE2"],
             [[*sign, "cust2048.pem", "-out", sig2, image]],
             output("s2_21.bin", size + 256, s2_ok)),
            (("v2.1", "-STAGE2_VERIFY"),
             ["-v2.1", "s2_21.bin", "stage2Key_V21.spk", "-STAGE2_VERIFY"],
             [[*verify, "cust2048.pub", "-signature", sig2, image]], printed(s2_vok)),
            # v1.1: the code stays in clear; PSS signatures with 1024-bit keys, e = 65537.
            (("v1.1", "-STAGE1"), ["-v1.1", image, "s1_11.bin", "-STAGE1"],
             [[*sign, "maker1024.pem", "-out", "v11" + sig1, image]],
             output("s1_11.bin", size + 512, s1_ok)),
            (("v1.1", "-VERIFY"), ["-v1.1", "s1_11.bin", "eFuseData.dat", "-VERIFY"],
             [[*verify, "maker1024.pub", "-signature", "v11" + sig1, image]], printed(s1_vok)),
            (("v1.1", "-STAGE2"), ["-v1.1", image, "s2_11.bin", "stage2Key.prv", "-STAGE2"],
             [[*sign, "cust1024.pem", "-out", "v11" + sig2, image]],
             output("s2_11.bin", size + 128, s2_ok)),
            (("v1.1", "-STAGE2_VERIFY"), ["-v1.1", "s2_11.bin", "stage2Key.spk", "-STAGE2_VERIFY"],
             [[*verify, "cust1024.pub", "-signature", "v11" + sig2, image]], printed(s2_vok)),
        ]
        for cmd_label, args, ossl, check in cases:
            self.measure(cmd_label, [self.ours(*args)], ossl, o, s, self.runs, check, size)
        # The outputs of this size are no longer needed; 64 MiB ones add up.
        for d in (o, s):
            for f in list(d.glob("*.bin")) + list(d.glob("*.sig")):
                f.unlink()
        image.unlink()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--program", required=True, type=Path)
    ap.add_argument("--out", required=True, type=Path)
    ap.add_argument("--work", type=Path, help="scratch folder (default: next to --out)")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--keygen-runs", type=int, default=15)
    ap.add_argument("--sizes", default=",".join(SIZES), help="comma-separated, of: "
                    + ", ".join(SIZES))
    ap.add_argument("--skip-keygen", action="store_true")
    args = ap.parse_args()
    if args.runs < 1 or args.keygen_runs < 1:
        ap.error("at least one run")
    sizes = [s.strip() for s in args.sizes.split(",") if s.strip()]
    unknown = [s for s in sizes if s not in SIZES]
    if unknown:
        ap.error(f"unknown size {unknown}")

    program = args.program.resolve()
    work = (args.work or args.out.parent / "e2e-work").resolve()
    if work.exists():
        shutil.rmtree(work)
    bench = Bench(program, work, args.runs, args.keygen_runs)
    if not os.access(TIME_BIN, os.X_OK):
        print(f"warning: {TIME_BIN} missing, no peak memory figures", file=sys.stderr)
    try:
        # What the program occupies before it touches any file: the share of every peak below
        # that is not the command's own working memory.
        baseline = peak_kib([bench.ours("-v2.1", "-v")], bench.ours_dir)
        bench.make_keys()
        if not args.skip_keygen:
            print("key pairs:", flush=True)
            bench.keygen()
        for label in sizes:
            print(f"images of {label}:", flush=True)
            bench.images(label, SIZES[label])
    except CommandFailed as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    openssl = subprocess.run(["openssl", "version"], capture_output=True, text=True).stdout
    result = {"runs": args.runs, "keygen_runs": args.keygen_runs,
              "openssl_version": openssl.strip(), "baseline_peak_kib": baseline,
              "rows": bench.rows}
    args.out.write_text(json.dumps(result, indent=1) + "\n")
    shutil.rmtree(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
