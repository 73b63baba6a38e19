#!/usr/bin/env python3
"""tarnwick keys export against independent readers: every kind of key file of both sets (and a
key reference, with SoftHSM2) exported in each form is read by openssl and by Python
cryptography (which must write the very same bytes), verifies a signature our tool made with
`openssl pkeyutl -verify`, and shows in sbinspect the fingerprint of its key file; refusals
with their exit statuses.

usage: export_test.py <tarnwick> <sbinspect> [<libsofthsm2.so> <softhsm2-util>]"""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile

from soft_token import soft_token

from cryptography.hazmat.primitives import serialization as ser

TARNWICK, SBINSPECT = sys.argv[1], sys.argv[2]
failures = []
FORMS = [("pem", False), ("der", True), ("der", False), ("pem", True)]  # (format, --pkcs1)


def run(args, cwd, env=None, program=None, data=None):
    done = subprocess.run([program or TARNWICK] + args, cwd=cwd, capture_output=True,
                          env=dict(os.environ, **(env or {})), timeout=300, input=data)
    return done.returncode, done.stdout.decode(errors="replace"), done.stderr.decode()


def expect(name, ok, detail=""):
    if not ok:
        failures.append(f"{name}: {detail}")


def read(w, path):
    with open(os.path.join(w, path), "rb") as f:
        return f.read()


def fingerprint_in_sbinspect(w, path):
    """The first "key fingerprint" sbinspect shows for the file."""
    _, out, _ = run(["--json", path], w, program=SBINSPECT)
    doc = json.loads(out)
    return next((f["value"] for s in doc["sections"] for f in s["fields"]
                 if f["name"] == "key fingerprint"), None)


def main():
    w = tempfile.mkdtemp(prefix="export-test-")
    try:
        cases(w)
    finally:
        shutil.rmtree(w)
    for failure in failures:
        print("FAIL", failure)
    return 1 if failures else 0


def cases(w):
    with open(os.path.join(w, "bl2.bin"), "wb") as f:
        f.write(os.urandom(3000))
    for s in ("v2.1", "v1.1"):
        run(["keys", "maker", "--set", s, "--dir", s], w)
        run(["keys", "customer", "c", "--set", s, "--dir", s], w)
    run(["sign", "bl2.bin", "-o", "b21", "--key", "v2.1/c_V21.prv"], w)
    run(["sign", "bl2.bin", "-o", "b11", "--key", "v1.1/c.prv"], w)
    bl2, b21, b11 = read(w, "bl2.bin"), read(w, "b21"), read(w, "b11")
    m21, m11 = read(w, "v2.1/publicKeyInfo_V21.dat"), read(w, "v1.1/publicKeyInfo.dat")
    # (key file, its public file, signed message, signature least significant byte first):
    # customers sign a BL2, the maker key file carries its record's self-signature.
    rows = [
        ("v2.1/c_V21.spk", "v2.1/c_V21.spk", bl2, b21[3000:]),
        ("v2.1/c_V21.prv", "v2.1/c_V21.spk", bl2, b21[3000:]),
        ("v2.1/publicKeyInfo_V21.dat", "v2.1/publicKeyInfo_V21.dat", m21[:288], m21[292:]),
        ("v2.1/privateKey_V21.dat", "v2.1/publicKeyInfo_V21.dat", m21[:288], m21[292:]),
        ("v1.1/c.spk", "v1.1/c.spk", bl2, b11[3000:]),
        ("v1.1/c.prv", "v1.1/c.spk", bl2, b11[3000:]),
        ("v1.1/publicKeyInfo.dat", "v1.1/publicKeyInfo.dat", m11[:152], m11[152:]),
        ("v1.1/privateKey.dat", "v1.1/publicKeyInfo.dat", m11[:152], m11[152:]),
    ]
    env = token(w) if len(sys.argv) > 4 else None
    if env:
        run(["sign", "bl2.bin", "-o", "bt", "--key", "kt/t_V21.prv"], w, env)
        rows.append(("kt/t_V21.prv", "kt/t_V21.spk", bl2, read(w, "bt")[3000:]))
    for i, (key, public, message, signature) in enumerate(rows):
        fmt, pkcs1 = FORMS[i % len(FORMS)]
        out = f"out{i}.{fmt}"
        status, text, err = run(["--json", "keys", "export", key, "-o", out, "--format", fmt] +
                                (["--pkcs1"] if pkcs1 else []), w, env)
        name = f"{key} as {fmt}{' pkcs1' if pkcs1 else ''}"
        if status != 0:
            expect(name, False, err)
            continue
        data, doc = read(w, out), json.loads(text)
        # Python cryptography reads it and writes the same bytes; n is the key file's.
        load = ser.load_der_public_key if fmt == "der" else ser.load_pem_public_key
        pub = load(data)
        encoding = ser.Encoding.DER if fmt == "der" else ser.Encoding.PEM
        form = ser.PublicFormat.PKCS1 if pkcs1 else ser.PublicFormat.SubjectPublicKeyInfo
        spk = read(w, public)
        v21 = public.startswith("v2.1") or public.startswith("kt")
        n = int.from_bytes(spk[4:260] if v21 else spk[40:168] if len(spk) == 308 else spk[:128],
                           "little")
        numbers = pub.public_numbers()
        expect(name + ": cryptography", pub.public_bytes(encoding, form) == data and
               numbers.n == n and numbers.e == (3 if v21 else 65537), repr(data[:40]))
        # openssl reads the same modulus, and verifies our signature with the exported key.
        kind = ["-RSAPublicKey_in"] if pkcs1 else ["-pubin"]
        got = subprocess.run(["openssl", "rsa"] + kind + ["-inform", fmt, "-in", out, "-noout",
                              "-modulus"], cwd=w, capture_output=True, text=True)
        expect(name + ": openssl rsa", got.stdout.strip() == f"Modulus={n:X}", got.stderr)
        with open(os.path.join(w, "sig"), "wb") as f:
            f.write(signature[::-1])
        with open(os.path.join(w, "digest"), "wb") as f:
            f.write(hashlib.sha1(message).digest())
        got = subprocess.run(["openssl", "pkeyutl", "-verify", "-pubin", "-inkey", out,
                              "-keyform", fmt, "-in", "digest", "-sigfile", "sig",
                              "-pkeyopt", "rsa_padding_mode:pss", "-pkeyopt", "rsa_pss_saltlen:20",
                              "-pkeyopt", "digest:sha1", "-pkeyopt", "rsa_mgf1_md:sha1"],
                             cwd=w, capture_output=True, text=True)
        expect(name + ": pkeyutl -verify", got.returncode == 0, got.stdout + got.stderr)
        # One fingerprint everywhere: tarnwick's report, sbinspect on the export and the file.
        fp = fingerprint_in_sbinspect(w, public)
        expect(name + ": fingerprint", fp is not None and doc["keys"] == [
            {"role": "exported", "set": doc["set"], "fingerprint": fp}] and
            fingerprint_in_sbinspect(w, out) == fp and doc["outputs"][0]["sha256"] ==
            hashlib.sha256(data).hexdigest(), f"{fp} {text}")

    # A next-stage key with exponent 1 in a file of the right shape is no key of the set.
    forged = bytearray(read(w, "v2.1/c_V21.spk"))
    forged[264:268] = (1).to_bytes(4, "little")
    with open(os.path.join(w, "e1.spk"), "wb") as f:
        f.write(forged)
    refusals = [
        (["v2.1/eFuseData_V21.dat", "-o", "x"], 65, "20 bytes: no key file of either set"),
        (["e1.spk", "-o", "x"], 65, "e1.spk: not a v2.1 key (2048 bits, exponent 3)"),
        (["missing.spk", "-o", "x"], 66, "missing.spk: "),
        (["v2.1/c_V21.spk", "-o", "out0.pem"], 73, "out0.pem: exists already"),
        (["v2.1/c_V21.prv", "-o", "v2.1/c_V21.prv", "--force"], 73, "is a key file"),
        (["v2.1/c_V21.spk", "-o", "x", "--format", "ssh"], 2, "--format is pem or der, not ssh"),
        (["v2.1/c_V21.spk"], 2, "-o OUT is missing"),
    ]
    for args, status, text in refusals:
        got, out, err = run(["keys", "export"] + args, w)
        expect(" ".join(args), got == status and out == "" and err.count("\n") == 1 and
               text in err, f"status {got}, err {err!r}")
    got, out, _ = run(["--quiet", "keys", "export", "v1.1/c.spk", "-o", "out0.pem", "--force"], w)
    expect("--force", got == 0 and out == "" and b"BEGIN PUBLIC KEY" in read(w, "out0.pem"))


def token(w):
    """A v2.1 customer key made in SoftHSM2: its key reference exports the token's key."""
    module, util = sys.argv[3], sys.argv[4]
    env, uri = soft_token(w, module, util, "t")
    status, _, err = run(["keys", "customer", "t", "--dir", "kt", "--token", uri], w, env)
    expect("token keys", status == 0, err)
    return env


if __name__ == "__main__":
    sys.exit(main())
