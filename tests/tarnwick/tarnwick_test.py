#!/usr/bin/env python3
"""tarnwick against its contract: a table of command lines and what each must give (status,
the one error line naming the file, success lines, --json fields), the folders each program
makes used by the other, SOURCE_DATE_EPOCH, and a key reference whose set the token names.

usage: tarnwick_test.py <tarnwick> <Tarnwick_V21> [<libsofthsm2.so> <softhsm2-util>]"""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile

from soft_token import soft_token

TARNWICK, LEGACY = sys.argv[1], sys.argv[2]
failures = []


def run(args, cwd, env=None, program=None):
    done = subprocess.run([program or TARNWICK] + args, cwd=cwd, capture_output=True,
                          env=dict(os.environ, **(env or {})), timeout=300)
    return done.returncode, done.stdout.decode(), done.stderr.decode()


def expect(name, ok, detail=""):
    if not ok:
        failures.append(f"{name}: {detail}")


def main():
    work = tempfile.mkdtemp(prefix="tarnwick-test-")
    try:
        cases(work)
    finally:
        shutil.rmtree(work)
    for failure in failures:
        print("FAIL", failure)
    return 1 if failures else 0


def cases(w):
    with open(os.path.join(w, "bl1.bin"), "wb") as f:
        f.write(os.urandom(4096))
    with open(os.path.join(w, "odd.bin"), "wb") as f:
        f.write(os.urandom(4095))
    with open(os.path.join(w, "bl2.bin"), "wb") as f:
        f.write(os.urandom(3000))
    for s in ("v2.1", "v1.1"):
        for args in (["keys", "maker", "--set", s, "--dir", f"k{s}"],
                     ["keys", "customer", "alice", "--set", s, "--dir", f"k{s}"]):
            status, out, err = run(args, w)
            expect(" ".join(args), status == 0 and err == "" and " bytes" in out, out + err)
    spk21, prv21, spk11, prv11 = ("kv2.1/alice_V21.spk", "kv2.1/alice_V21.prv",
                                  "kv1.1/alice.spk", "kv1.1/alice.prv")
    expect("private key file is the owner's", os.stat(os.path.join(w, prv21)).st_mode & 0o077 == 0)

    # A next-stage key whose exponent is 1 (its PSS encoding is its own signature), and a maker
    # folder whose eFuse value is the other set's size.
    with open(os.path.join(w, spk21), "rb") as f:
        forged = bytearray(f.read())
    forged[264:268] = (1).to_bytes(4, "little")
    with open(os.path.join(w, "e1.spk"), "wb") as f:
        f.write(forged)
    shutil.copytree(os.path.join(w, "kv2.1"), os.path.join(w, "short"))
    os.truncate(os.path.join(w, "short/eFuseData_V21.dat"), 16)

    # (args, status, text that must be in stdout, or in the one stderr line)
    table = [
        (["secure", "bl1.bin", "-o", "s21.bin", "--maker", "kv2.1", "--next-key", spk21], 0,
         "s21.bin: v2.1 secured BL1, 5120 bytes, maker "),
        (["secure", "bl1.bin", "-o", "s11.bin", "--maker", "kv1.1", "--next-key", spk11], 0,
         "s11.bin: v1.1 secured BL1"),
        (["sign", "bl2.bin", "-o", "b21.bin", "--key", prv21], 0, "b21.bin: v2.1 signed BL2, 3256"),
        (["sign", "bl2.bin", "-o", "b11.bin", "--key", prv11], 0, "b11.bin: v1.1 signed BL2, 3128"),
        (["verify", "s21.bin", "--efuse", "kv2.1/eFuseData_V21.dat", "--next-key", spk21], 0,
         "s21.bin: verified, v2.1 secured BL1"),
        (["verify", "s11.bin", "--efuse", "kv1.1/eFuseData.dat"], 0, "verified, v1.1 secured BL1"),
        (["verify", "b21.bin", "--key", spk21], 0, "b21.bin: verified, v2.1 signed BL2"),
        (["verify", "b11.bin", "--key", spk11], 0, "verified, v1.1 signed BL2"),
        # --pad, --force, --quiet
        (["secure", "odd.bin", "-o", "p.bin", "--maker", "kv2.1", "--next-key", spk21], 66,
         "tarnwick: odd.bin: 4095 bytes, not a multiple of 16"),
        (["secure", "odd.bin", "-o", "p.bin", "--maker", "kv2.1", "--next-key", spk21, "--pad"], 0,
         "odd.bin: padded 4095 bytes to 4096"),
        (["sign", "bl2.bin", "-o", "b21.bin", "--key", prv21], 73,
         "tarnwick: b21.bin: exists already"),
        (["--quiet", "sign", "bl2.bin", "-o", "b21.bin", "--key", prv21, "--force"], 0, ""),
        # each class of refusal
        (["sign", "bl2.bin", "--key", prv21], 2, "tarnwick: -o OUT is missing"),
        (["verify", "b21.bin", "--key", spk21, "--pad"], 2, "--pad does not apply to verify"),
        (["frobnicate"], 2, "unknown command frobnicate"),
        (["verify", "b21.bin", "--key", spk11], 1, "tarnwick: b21.bin: "),
        (["verify", "s21.bin", "--efuse", "kv2.1/eFuseData_V21.dat", "--next-key", "kv2.1/publicKeyInfo_V21.dat"],
         1, "next-stage key is the --key key"),
        (["sign", "bl2.bin", "-o", "x.bin", "--key", prv21, "--set", "v1.1"], 65,
         f"tarnwick: {prv21}: a v2.1 file, but --set is v1.1"),
        (["verify", "s21.bin", "--efuse", "kv2.1/eFuseData_V21.dat", "--next-key", spk11], 65,
         f"tarnwick: {spk11}: a v1.1 file, but kv2.1/eFuseData_V21.dat is v2.1"),
        (["secure", "bl1.bin", "-o", "x.bin", "--maker", "kv2.1", "--next-key",
          "kv2.1/publicKeyInfo_V21.dat", "--set", "v1.1"], 65, "a v2.1 file, but --set is v1.1"),
        (["secure", "bl1.bin", "-o", "x.bin", "--maker", "kv2.1", "--next-key", "e1.spk"], 65,
         "tarnwick: e1.spk: exponent 1 proves no private key"),
        (["secure", "bl1.bin", "-o", "x.bin", "--maker", "short", "--next-key", spk21], 65,
         "tarnwick: short/eFuseData_V21.dat: 16 bytes; a v2.1 eFuse value has 20"),
        (["sign", "missing.bin", "-o", "x.bin", "--key", prv21], 66,
         "tarnwick: missing.bin: no such file or directory"),
        (["keys", "maker", "--dir", "kv2.1"], 73,
         "tarnwick: kv2.1/privateKey_V21.dat: exists already"),
        (["keys", "maker", "--dir", "kv2.1", "--force"], 2, "--force does not apply to keys maker"),
        (["sign", "bl2.bin", "-o", prv21, "--key", prv21, "--force"], 73, f"tarnwick: {prv21}: is a key file"),
        (["sign", "bl2.bin", "-o", "./bl2.bin", "--key", prv21, "--force"], 73,
         "tarnwick: ./bl2.bin: is the input bl2.bin"),
        (["keys", "customer", "bob", "--dir", "kt", "--token", "pkcs11:token=x?module-path=/nonexistent.so"],
         69, "tarnwick: kt/bob_V21.prv: "),
    ]
    for args, status, text in table:
        got, out, err = run(args, w)
        name = " ".join(args)
        if status == 0:
            expect(name, got == 0 and err == "" and text in out and (text or out == ""),
                   f"status {got}, out {out!r}, err {err!r}")
        else:
            expect(name, got == status and out == "" and err.count("\n") == 1 and
                   err.startswith("tarnwick: ") and text in err, f"status {got}, err {err!r}")

    # --json: one object for every run, its fields as documented.
    status, out, _ = run(["--json", "secure", "bl1.bin", "-o", "j.bin", "--maker", "kv2.1",
                          "--next-key", spk21, "--build-info"], w)
    doc = json.loads(out)
    with open(os.path.join(w, "j.bin"), "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    expect("json secure", status == 0 and doc["ok"] and doc["command"] == "secure" and
           doc["set"] == "v2.1" and doc["error"] is None and
           doc["outputs"] == [{"path": "j.bin", "size": 4096 + 48 + 1024, "sha256": digest}] and
           [k["role"] for k in doc["keys"]] == ["maker", "next-stage"] and
           all(len(k["fingerprint"]) == 16 for k in doc["keys"]), out)
    status, out, _ = run(["verify", "j.bin", "--json", "--efuse", "kv2.1/eFuseData_V21.dat"], w)
    doc = json.loads(out)
    expect("json verify checks", status == 0 and {c["name"] for c in doc["checks"]} >= {
        "record tag against eFuse value", "context signature", "code decrypts"} and
        all(c["pass"] for c in doc["checks"]), out)
    with open(os.path.join(w, "j.bin"), "r+b") as f:
        f.seek(100)
        f.write(b"\x00" * 4)
    status, out, _ = run(["--json", "verify", "j.bin", "--efuse", "kv2.1/eFuseData_V21.dat"], w)
    doc = json.loads(out)
    expect("json tampered", status == 1 and not doc["ok"] and doc["error"]["class"] == "verify" and
           doc["error"]["status"] == 1 and doc["error"]["file"] == "j.bin", out)
    status, out, _ = run(["--json", "sign", "--bogus"], w)
    doc = json.loads(out)
    expect("json usage", status == 2 and out.count("\n") == 1 and doc["error"]["class"] == "usage"
           and doc["outputs"] == [] and doc["checks"] == [], out)

    # SOURCE_DATE_EPOCH: the block after the code is the same on two runs, in both programs.
    blocks = []
    for i, program in enumerate((TARNWICK, TARNWICK, LEGACY)):
        env = {"SOURCE_DATE_EPOCH": "1700000000"}
        if program == LEGACY:
            shutil.copy(os.path.join(w, spk21), os.path.join(w, "kv2.1/publicKeyInfo_V21_stage2.dat"))
            run(["-v2.1", "../bl1.bin", "../e2.bin", "x", "-P"], os.path.join(w, "kv2.1"), env, LEGACY)
            path = "e2.bin"
        else:
            path = f"e{i}.bin"
            run(["secure", "bl1.bin", "-o", path, "--maker", "kv2.1", "--next-key", spk21,
                 "--build-info"], w, env)
        with open(os.path.join(w, path), "rb") as f:
            blocks.append(f.read()[4096:4096 + 48])
    expect("SOURCE_DATE_EPOCH", len(set(blocks)) == 1 and
           int.from_bytes(blocks[0][4:8], "little") == 1700000000, repr(blocks))
    status, _, err = run(["secure", "bl1.bin", "-o", "e9.bin", "--maker", "kv2.1", "--next-key",
                          spk21, "--build-info"], w, {"SOURCE_DATE_EPOCH": "soon"})
    expect("SOURCE_DATE_EPOCH refused", status == 2 and "SOURCE_DATE_EPOCH" in err, err)

    # Folders made by each program, used by the other.
    legacy = os.path.join(w, "legacy")
    os.mkdir(legacy)
    for args in (["-v2.1", "-KEYGEN"], ["-v2.1", "carol", "-STAGE2_KEYGEN"]):
        run(args, legacy, program=LEGACY)
    status, out, err = run(["secure", "bl1.bin", "-o", "x1.bin", "--maker", "legacy",
                            "--next-key", "legacy/carol_V21.spk"], w)
    expect("tarnwick on Tarnwick_V21's folder", status == 0, err)
    status, out, _ = run(["-v2.1", "../x1.bin", "eFuseData_V21.dat", "-VERIFY"], legacy,
                         program=LEGACY)
    expect("Tarnwick_V21 on tarnwick's image", status == 0 and "verification is successful" in out,
           out)
    status, out, _ = run(["-v2.1", "../bl2.bin", "../x2.bin", "alice_V21.prv", "-STAGE2"],
                         os.path.join(w, "kv2.1"), program=LEGACY)
    status2, _, err = run(["verify", "x2.bin", "--key", spk21], w)
    expect("Tarnwick_V21 with tarnwick's key", status == 0 and status2 == 0, out + err)

    if len(sys.argv) > 4:
        token_row(w, sys.argv[3], sys.argv[4])


def token_row(w, module, util):
    """A key reference made by tarnwick signs without --set: the token key's size names it."""
    env, uri = soft_token(w, module, util, "dave")
    status, out, err = run(["keys", "customer", "dave", "--set", "v1.1", "--dir", "kt",
                            "--token", uri], w, env)
    expect("token keys", status == 0 and "v1.1 customer key reference" in out, out + err)
    status, out, err = run(["sign", "bl2.bin", "-o", "t.bin", "--key", "kt/dave.prv"], w, env)
    expect("token sign, set from the key", status == 0 and "t.bin: v1.1 signed BL2" in out, err)
    status, _, err = run(["verify", "t.bin", "--key", "kt/dave.spk"], w)
    expect("token verify", status == 0, err)


if __name__ == "__main__":
    sys.exit(main())
