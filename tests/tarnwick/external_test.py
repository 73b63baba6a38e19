#!/usr/bin/env python3
"""Signatures made elsewhere, with `openssl pkeyutl` as the signer: for both sets, a BL1 and a
BL2 are prepared by tarnwick, their digests recomputed here without our code, signed by openssl
with keys openssl made, attached, and the results checked by tarnwick verify and by
Tarnwick_V21; then the refusals of attach, a table of rows.

The keys never pass through our key files: openssl makes them, and this script writes the
public files (record, integrity tag, eFuse value, self-signature) in our layouts with the
`cryptography` module. No maker private key file exists anywhere.

usage: external_test.py <tarnwick> <Tarnwick_V21>"""
import hashlib
import hmac
import json
import os
import shutil
import subprocess
import sys
import tempfile

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

TARNWICK, LEGACY = sys.argv[1], sys.argv[2]
failures = []
W = tempfile.mkdtemp(prefix="tarnwick-external-")

# set: (openssl key generation, key part size, context size, maker files, eFuse size)
SETS = {
    "v2.1": (["genrsa", "-3", "2048"], 268, 1024,
             ("publicKeyInfo_V21.dat", "eFuseData_V21.dat"), 20),
    "v1.1": (["genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024"], 132, 512,
             ("publicKeyInfo.dat", "eFuseData.dat"), 16),
}


def u32(value):
    return value.to_bytes(4, "little")


def path(name):
    return os.path.join(W, name)


def write(name, data):
    with open(path(name), "wb") as f:
        f.write(data)


def read(name):
    with open(path(name), "rb") as f:
        return f.read()


def run(args, program=None, cwd=W):
    done = subprocess.run([program or TARNWICK] + args, cwd=cwd, capture_output=True, timeout=300)
    return done.returncode, done.stdout.decode(), done.stderr.decode()


def expect(name, ok, detail=""):
    if not ok:
        failures.append(f"{name}: {detail}")


def pem_key(name, generate):
    subprocess.run(["openssl", generate[0], "-out", path(name)] + generate[1:], check=True,
                   capture_output=True)
    return serialization.load_pem_private_key(read(name), None)


def self_signed(key, message):
    """The records' self-signatures: RSASSA-PSS, SHA-1, salt 20, least significant byte first."""
    pss = padding.PSS(mgf=padding.MGF1(hashes.SHA1()), salt_length=20)
    return key.sign(message, pss, hashes.SHA1()).rjust(key.key_size // 8, b"\0")[::-1]


def key_part(s, key):
    n, e = key.public_key().public_numbers().n, key.public_key().public_numbers().e
    if s == "v2.1":
        return u32(256) + n.to_bytes(256, "little") + u32(4) + u32(e)
    return n.to_bytes(128, "little") + u32(e)


def maker_files(s, key, folder):
    """The maker's record with its tag, the eFuse value (tag XOR integrity key), the public file."""
    _, part_size, _, (public_name, efuse_name), efuse_size = SETS[s]
    part = key_part(s, key)
    integrity_key = os.urandom(efuse_size)
    record = part + hmac.new(integrity_key, part, hashlib.sha1).digest()
    os.makedirs(path(folder), exist_ok=True)
    write(f"{folder}/{efuse_name}", bytes(a ^ b for a, b in zip(record[part_size:], integrity_key)))
    length = u32(256) if s == "v2.1" else b""
    write(f"{folder}/{public_name}", record + length + self_signed(key, record))
    return record


def customer_file(s, key, name):
    if s == "v2.1":
        record = key_part(s, key) + os.urandom(20)
        write(name, record + u32(256) + self_signed(key, record))
    else:
        data = u32(128) + key_part(s, key)[:128] + u32(4) + key_part(s, key)[128:]
        header = u32(28) + b"1.0, Pub, RSA-1024".ljust(24, b"\0") + u32(0) + u32(len(data))
        write(name, header + data + u32(128) + self_signed(key, data))


def pkeyutl(pem, digest_file, out):
    """The external signer: raw digest in, big-endian PSS signature out."""
    subprocess.run(["openssl", "pkeyutl", "-sign", "-inkey", path(pem), "-pkeyopt",
                    "rsa_padding_mode:pss", "-pkeyopt", "rsa_pss_saltlen:20", "-pkeyopt",
                    "digest:sha1", "-pkeyopt", "rsa_mgf1_md:sha1", "-in", path(digest_file),
                    "-out", path(out)], check=True, capture_output=True)


def raw_digest(name, hex_form):
    data = read(name)
    if hex_form:
        expect(f"{name} is hex", data.endswith(b"\n") and data[:-1] == data[:-1].lower(), data)
        write(name + ".bin", bytes.fromhex(data.decode()))
        return name + ".bin", bytes.fromhex(data.decode())
    return name, data


def flow(s):
    _, part_size, context_size, (_, efuse_name), _ = SETS[s]
    generate = SETS[s][0]
    maker, customer = pem_key(f"m{s}.pem", generate), pem_key(f"c{s}.pem", generate)
    record = maker_files(s, maker, f"k{s}")
    customer_file(s, customer, f"c{s}.spk")
    efuse = f"k{s}/{efuse_name}"
    v21 = s == "v2.1"

    # BL1: a v2.1 one padded and with the build-information block; the v1.1 digest in hex.
    plain = os.urandom(4000 if v21 else 3001)
    write("bl1.bin", plain)
    extra = ["--pad", "--build-info"] if v21 else ["--hex"]
    status, out, err = run(["secure", "bl1.bin", "-o", f"u1{s}", "--maker", f"k{s}", "--next-key",
                            f"c{s}.spk", "--external", "--digest-out", f"d1{s}"] + extra)
    expect(f"{s} secure --external", status == 0 and f"u1{s}: {s} BL1 to be signed" in out, err)
    unsigned = read(f"u1{s}")
    image, context = unsigned[:-context_size], unsigned[-context_size:]
    signature_at, size = (272, 256) if v21 else (132, 128)
    expect(f"{s} context: record, next-stage key, zero signature",
           context[part_size + 4 * v21 + size:][:len(record)] == record and
           context[:part_size] == key_part(s, customer) and
           context[signature_at:signature_at + size] == bytes(size), context.hex())
    if v21:  # the code key is the integrity key's first 16 bytes; the IV, SHA-1 of the key part
        aes_key = bytes(a ^ b for a, b in zip(read(efuse)[:16], record[268:284]))
        decrypt = Cipher(algorithms.AES(aes_key),
                         modes.CBC(hashlib.sha1(record[:268]).digest()[:16])).decryptor()
        expect("v2.1 code decrypts to the padded BL1",
               decrypt.update(image[:4000]) + decrypt.finalize() == plain and len(image) == 4048)
    digest_file, digest = raw_digest(f"d1{s}", not v21)
    expect(f"{s} BL1 digest is SHA-1(image || next-stage key)",
           digest == hashlib.sha1(image + context[:part_size]).digest(), digest.hex())
    pkeyutl(f"m{s}.pem", digest_file, f"sig1{s}")
    status, out, err = run(["attach", f"u1{s}", "--signature", f"sig1{s}", "-o", f"s1{s}",
                            "--efuse", efuse])
    expect(f"{s} attach BL1", status == 0 and "record tag against eFuse value: passes" in out, err)
    status, _, err = run(["verify", f"s1{s}", "--efuse", efuse, "--next-key", f"c{s}.spk"])
    expect(f"{s} verify BL1", status == 0, err)
    shutil.copy(path(efuse), path("legacy_efuse"))
    status, out, _ = run([f"-{s}", f"s1{s}", "legacy_efuse", "-VERIFY"], LEGACY)
    expect(f"{s} Tarnwick_V21 -VERIFY", status == 0 and "verification is successful" in out, out)

    # BL2: the digest in hex for v2.1, binary for v1.1.
    write("bl2.bin", os.urandom(2999))
    status, out, err = run(["sign", "bl2.bin", "-o", f"u2{s}", "--key", f"c{s}.spk", "--external",
                            "--digest-out", f"d2{s}"] + (["--hex"] if v21 else []))
    expect(f"{s} sign --external", status == 0 and read(f"u2{s}") == read("bl2.bin"), err)
    digest_file, digest = raw_digest(f"d2{s}", v21)
    expect(f"{s} BL2 digest", digest == hashlib.sha1(read("bl2.bin")).digest())
    pkeyutl(f"c{s}.pem", digest_file, f"sig2{s}")
    status, out, err = run(["--json", "attach", f"u2{s}", "--signature", f"sig2{s}", "-o",
                            f"s2{s}", "--key", f"c{s}.spk"])
    doc = json.loads(out or "{}")
    expect(f"{s} attach BL2", status == 0 and doc.get("set") == s and
           [c["name"] for c in doc["checks"]] == ["BL2 signature with --key"], out + err)
    status, _, err = run(["verify", f"s2{s}", "--key", f"c{s}.spk"])
    expect(f"{s} verify BL2", status == 0, err)
    status, out, _ = run([f"-{s}", f"s2{s}", f"c{s}.spk", "-STAGE2_VERIFY"], LEGACY)
    expect(f"{s} Tarnwick_V21 -STAGE2_VERIFY", status == 0 and "successful" in out, out)

    # Another key's signature over the right digest, and a BL1 signature that is not the maker's.
    pkeyutl(f"m{s}.pem", digest_file, f"other{s}")
    pkeyutl(f"c{s}.pem", raw_digest(f"d1{s}", not v21)[0], f"cust1{s}")
    write(f"short{s}", read(f"sig2{s}")[1:])
    write(f"wrong_efuse{s}", os.urandom(len(read(efuse))))
    return [
        # (args, status, text in the one stdout or stderr line)
        (["attach", f"u2{s}", "--signature", f"other{s}", "--key", f"c{s}.spk"], 1,
         f"other{s}: does not verify over u2{s} with the key "),
        (["attach", f"u2{s}", "--signature", f"short{s}", "--key", f"c{s}.spk"], 65,
         f"short{s}: {size - 1} bytes; a {s} signature has {size}"),
        (["attach", f"u1{s}", "--signature", f"cust1{s}", "--efuse", efuse], 1,
         "does not verify over u1"),
        (["attach", f"u1{s}", "--signature", f"cust1{s}"], 1, "with the maker key "),
        (["attach", f"u1{s}", "--signature", f"sig1{s}", "--efuse", f"wrong_efuse{s}"], 1,
         f"u1{s}: its record does not validate with the eFuse value wrong_efuse{s}"),
        (["attach", f"u1{s}", "--signature", f"sig1{s}"], 0,
         "context signature: verifies with the maker key in the record; the record was not "
         "checked against an eFuse value (no --efuse)"),
    ]


def main():
    try:
        table = flow("v2.1") + flow("v1.1")
        # A maker folder whose eFuse value is another record's: nothing could verify, nothing
        # is prepared.
        shutil.copytree(path("kv2.1"), path("mixed"))
        shutil.copy(path("wrong_efusev2.1"), path("mixed/eFuseData_V21.dat"))
        write("p.prv", os.urandom(1200))  # a v2.1 private key file's size
        table += [
            (["secure", "bl1.bin", "-o", "x", "--maker", "mixed", "--next-key", "cv2.1.spk",
              "--external", "--digest-out", "dx", "--pad"], 65, "the maker files are not one set"),
            (["sign", "bl2.bin", "-o", "x", "--key", "cv2.1.spk", "--digest-out", "dx"], 2,
             "--digest-out and --hex go with --external"),
            (["sign", "bl2.bin", "-o", "x", "--key", "p.prv", "--external", "--digest-out", "dx"],
             65, "p.prv: a private key file; --external takes the public key file"),
            (["attach", "u2v2.1", "--signature", "sig2v2.1", "-o", "x", "--key", "cv2.1.spk",
              "--efuse", "kv2.1/eFuseData_V21.dat"], 2, "not both"),
        ]
        for number, (args, status, text) in enumerate(table):
            out_file = f"out{number}"
            if "-o" not in args:
                args = args + ["-o", out_file]
            got, out, err = run(args)
            written = os.path.exists(path(out_file)) or os.path.exists(path("x"))
            line = out if status == 0 else err
            expect(" ".join(args), got == status and text in line and
                   (status == 0) == written and line.count("\n") == (2 if status == 0 else 1),
                   f"status {got}, out {out!r}, err {err!r}")
    finally:
        shutil.rmtree(W)
    for failure in failures:
        print("FAIL", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
