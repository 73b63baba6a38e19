#!/usr/bin/env python3
"""tarnwick keys import with keys openssl made, in every form it writes: each imported key
secures a BL1 or signs a BL2 that verifies, and the same key shows the same fingerprint in every
form; then the refusals, each with its status and cause.

usage: import_test.py <tarnwick> [<libsofthsm2.so> <softhsm2-util>]"""
import os
import shutil
import subprocess
import sys
import tempfile

from soft_token import soft_token

from cryptography.hazmat.primitives import serialization

TARNWICK = os.path.abspath(sys.argv[1])
failures = []


def run(args, cwd, env=None):
    # A session of its own: no controlling terminal, so a prompt cannot wait for one.
    done = subprocess.run([TARNWICK] + args, cwd=cwd, capture_output=True, timeout=300,
                          start_new_session=True, env=dict(os.environ, **(env or {})))
    return done.returncode, done.stdout.decode(), done.stderr.decode()


def openssl(w, *args):
    subprocess.run(["openssl", *args], cwd=w, check=True, capture_output=True)


def expect(name, ok, detail=""):
    if not ok:
        failures.append(f"{name}: {detail}")


def der(tag, body):
    n = len(body)
    head = bytes([n]) if n < 0x80 else bytes([0x80 | ((n.bit_length() + 7) // 8)]) + \
        n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([tag]) + head + body


def pkcs1(n, e, d, p, q, dp, dq, qi):
    ints = b"".join(der(2, v.to_bytes(v.bit_length() // 8 + 1, "big")) for v in
                    (0, n, e, d, p, q, dp, dq, qi))
    return der(0x30, ints)


def forms(w, base, key):
    """The key in six files: PKCS#1 and PKCS#8, PEM and DER, and encrypted PKCS#8."""
    openssl(w, "rsa", "-in", key, "-traditional", "-out", f"{base}.p1.pem")
    openssl(w, "rsa", "-in", key, "-traditional", "-outform", "DER", "-out", f"{base}.p1.der")
    openssl(w, "pkcs8", "-topk8", "-nocrypt", "-in", key, "-out", f"{base}.p8.pem")
    openssl(w, "pkcs8", "-topk8", "-nocrypt", "-in", key, "-outform", "DER", "-out", f"{base}.p8.der")
    openssl(w, "pkcs8", "-topk8", "-v2", "aes-256-cbc", "-passout", "pass:secret words", "-in", key,
            "-out", f"{base}.e256.pem")
    openssl(w, "pkcs8", "-topk8", "-v2", "aes-128-cbc", "-v2prf", "hmacWithSHA1", "-passout",
            "pass:secret words", "-in", key, "-outform", "DER", "-out", f"{base}.e128.der")
    return [f"{base}.{f}" for f in ("p1.pem", "p1.der", "p8.pem", "p8.der", "e256.pem", "e128.der")]


def fingerprint(out):
    return out.rsplit(" ", 1)[-1].strip()


def accepted(w):
    with open(os.path.join(w, "pass.txt"), "w") as f:
        f.write("secret words\n")
    for name in ("bl1.bin", "bl2.bin"):
        with open(os.path.join(w, name), "wb") as f:
            f.write(os.urandom(4096))
    openssl(w, "genrsa", "-3", "-out", "m21.pem", "2048")
    openssl(w, "genrsa", "-3", "-out", "c21.pem", "2048")
    openssl(w, "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024", "-out", "m11.pem")
    openssl(w, "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024", "-out", "c11.pem")
    for s, tag, spk in (("v2.1", "21", "{}_V21.spk"), ("v1.1", "11", "{}.spk")):
        status, out, err = run(["keys", "import", f"m{tag}.pem", "maker", "--set", s, "--dir",
                                f"m{tag}"], w)
        expect(f"{s} maker import", status == 0 and err == "", out + err)
        seen = set()
        for i, key in enumerate(forms(w, f"c{tag}", f"c{tag}.pem")):
            name = f"c{i}"
            status, out, err = run(["keys", "import", key, "customer", name, "--set", s, "--dir",
                                    f"k{tag}", "--passphrase-file", "pass.txt"], w)
            expect(f"{s} import {key}", status == 0 and err == "", out + err)
            seen.add(fingerprint(out))
            keyfile = f"k{tag}/" + spk.format(name)
            prv = keyfile[:-4] + ".prv"
            steps = (["secure", "bl1.bin", "-o", f"s{tag}{i}.bin", "--maker", f"m{tag}",
                      "--next-key", keyfile],
                     ["sign", "bl2.bin", "-o", f"b{tag}{i}.bin", "--key", prv],
                     ["verify", f"s{tag}{i}.bin", "--efuse", efuse_of(w, f"m{tag}"),
                      "--next-key", keyfile],
                     ["verify", f"b{tag}{i}.bin", "--key", keyfile])
            for step in steps:
                status, out, err = run(step + ["--set", s], w)
                expect(f"{s} {key}: {' '.join(step)}", status == 0, out + err)
        expect(f"{s} one key, one fingerprint in every form", len(seen) == 1, str(seen))
    # The v1.1 public key record carries openssl's modulus (little-endian, at byte 40).
    with open(os.path.join(w, "c11.pem"), "rb") as f:
        n = serialization.load_pem_private_key(f.read(), None).private_numbers().public_numbers.n
    with open(os.path.join(w, "k11/c0.spk"), "rb") as f:
        expect("v1.1 record modulus", f.read()[40:168] == n.to_bytes(128, "little"))


def efuse_of(w, folder):
    names = [n for n in os.listdir(os.path.join(w, folder)) if n.startswith("eFuse")]
    return f"{folder}/{names[0]}"


def refused(w):
    with open(os.path.join(w, "c21.pem"), "rb") as f:
        k = serialization.load_pem_private_key(f.read(), None).private_numbers()
    pub = k.public_numbers
    bad = {
        "crt.der": pkcs1(pub.n, pub.e, k.d, k.p, k.q, k.dmp1 + 2, k.dmq1, k.iqmp),
        "d.der": pkcs1(pub.n, pub.e, k.d + 2, k.p, k.q, k.dmp1, k.dmq1, k.iqmp),
        "pq.der": pkcs1(k.p * k.p, pub.e, k.d, k.p, k.p, k.dmp1, k.dmp1, 1),
        "n.der": pkcs1(pub.n + 2, pub.e, k.d, k.p, k.q, k.dmp1, k.dmq1, k.iqmp),
        "swapped.der": pkcs1(pub.n, pub.e, k.d, k.q, k.p, k.dmq1, k.dmp1, 12345),
    }
    with open(os.path.join(w, "c21.p1.der"), "rb") as f:
        good = f.read()
    bad["short.der"] = good[:-1]
    bad["long.der"] = good + b"\0"
    bad["huge.pem"] = b"-" * 70000
    for name, body in bad.items():
        with open(os.path.join(w, name), "wb") as f:
            f.write(body)
    openssl(w, "genrsa", "-out", "e65537.pem", "2048")
    openssl(w, "pkcs8", "-topk8", "-v1", "PBE-SHA1-3DES", "-passout", "pass:secret words", "-in",
            "c21.pem", "-out", "pbes1.pem")
    with open(os.path.join(w, "wrong.txt"), "w") as f:
        f.write("other words\n")
    rows = [
        (["c11.pem"], 65, "c11.pem: the key is not of 2048 bits, as the v2.1 set's keys are"),
        (["e65537.pem"], 65, "e65537.pem: the public exponent is not 3, as the v2.1 set's is"),
        (["crt.der"], 65, "crt.der: the CRT exponents do not match d"),
        (["d.der"], 65, "d.der: e*d is not 1 modulo lcm(p-1, q-1): the private exponent does not match"),
        (["pq.der"], 65, "pq.der: the two primes are equal"),
        (["n.der"], 65, "n.der: n is not the product of the two primes"),
        (["pbes1.pem"], 66,
         "pbes1.pem: encryption PKCS#12 pbeWithSHAAnd3-KeyTripleDES-CBC is not supported"),
        (["c21.e256.pem", "--passphrase-file", "wrong.txt"], 66,
         "c21.e256.pem: wrong passphrase or damaged file"),
        (["c21.e256.pem"], 2, "c21.e256.pem: the key is encrypted: give --passphrase-file or run on a terminal"),
        (["short.der"], 66, "short.der: key: length beyond the end of its container"),
        (["long.der"], 66, "long.der: key: unexpected bytes after its last field"),
        (["huge.pem"], 66, "huge.pem: longer than any private key file"),
    ]
    for args, want_status, want in rows:
        status, out, err = run(["keys", "import", args[0], "customer", "r", "--dir", "r"] + args[1:], w)
        expect(f"refuse {args}", status == want_status and err == f"tarnwick: {want}\n" and out == "",
               f"{status} {out}{err}")
    expect("nothing written for a refused key", not os.path.exists(os.path.join(w, "r/r_V21.prv")))
    # p and q in the other order are taken (and qInv made again): the key signs as the original.
    status, out, err = run(["keys", "import", "swapped.der", "customer", "sw", "--dir", "r"], w)
    expect("p < q taken", status == 0, out + err)
    status, out, err = run(["sign", "bl2.bin", "-o", "sw.bin", "--key", "r/sw_V21.prv"], w)
    status2, out2, err2 = run(["verify", "sw.bin", "--key", "r/sw_V21.spk"], w)
    expect("p < q key signs", status == 0 and status2 == 0, out + err + out2 + err2)
    status, out, err = run(["keys", "import", "swapped.der", "customer", "sw", "--dir", "r"], w)
    expect("key files never replaced", status == 73 and "exists already" in err, err)


def token_row(w, module, util):
    """An imported key stored in a token signs through its key reference."""
    env, uri = soft_token(w, module, util, "imp")
    status, out, err = run(["keys", "import", "c21.e256.pem", "customer", "imp", "--dir", "kt",
                            "--token", uri, "--passphrase-file", "pass.txt"], w, env)
    expect("token import", status == 0 and "key reference" in out, out + err)
    status, out, err = run(["sign", "bl2.bin", "-o", "t.bin", "--key", "kt/imp_V21.prv"], w, env)
    status2, out2, err2 = run(["verify", "t.bin", "--key", "k21/c0_V21.spk"], w)
    expect("token key is the imported key", status == 0 and status2 == 0, out + err + out2 + err2)


def main():
    w = tempfile.mkdtemp(prefix="tarnwick-import-")
    try:
        accepted(w)
        refused(w)
        if len(sys.argv) == 4:
            token_row(w, sys.argv[2], sys.argv[3])
    finally:
        shutil.rmtree(w)
    for failure in failures:
        print("FAIL", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
