#!/usr/bin/env python3
"""Checks the files Tarnwick_V21 writes the way a device checks them, without our code.

Every cryptographic check here uses the `cryptography` module (OpenSSL underneath) and the
record layouts written out below, so a fault shared by our signer and our verifier cannot hide.

Forward: key pairs, secured BL1 images ("-STAGE1", "-P") and signed BL2 images of both sets are
made by the program in a temporary folder; this script checks the eFuse/tag relation, every
self-signature, the context signatures over SHA-1(code || next-stage key), the decryption of
the v2.1 code back to the plain BL1, and the stage-2 signatures.

Backward: keys made here, in our file layouts, with signatures made here, are fed to the
program: "-STAGE2_VERIFY" must accept the images and reject altered ones, and "-STAGE1" must
accept a customer public key file whose self-signature was made here.

Usage: e2e_device_check.py <path to Tarnwick_V21>
"""

import hashlib
import hmac
import os
import subprocess
import sys
import tempfile

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import padding, rsa
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

SALT_LENGTH = 20  # every signature the program makes carries a 20-byte salt


def le(data):
    return int.from_bytes(data, "little")


def u32(value):
    return value.to_bytes(4, "little")


def pss(salt_length=SALT_LENGTH):
    return padding.PSS(mgf=padding.MGF1(hashes.SHA1()), salt_length=salt_length)


def public_key(n_bytes, e_bytes):
    return rsa.RSAPublicNumbers(le(e_bytes), le(n_bytes)).public_key()


def verifies(key, stored_signature, message):
    """Stored signatures are the RSA result least significant byte first."""
    try:
        key.verify(stored_signature[::-1], message, pss(), hashes.SHA1())
        return True
    except InvalidSignature:
        return False


def stored_signature(private_key, message, salt_length=SALT_LENGTH):
    size = private_key.key_size // 8
    signature = private_key.sign(message, pss(salt_length), hashes.SHA1())
    return signature.rjust(size, b"\0")[::-1]


class Checks:
    def __init__(self):
        self.failures = []
        self.count = 0

    def expect(self, condition, what):
        self.count += 1
        print(("ok      " if condition else "FAILED  ") + what)
        if not condition:
            self.failures.append(what)


class Program:
    def __init__(self, path, folder):
        self.path = path
        self.folder = folder

    def run(self, *args):
        result = subprocess.run([self.path, *args], cwd=self.folder, capture_output=True,
                                text=True, check=False)
        return result.returncode, result.stdout

    def file(self, name):
        with open(os.path.join(self.folder, name), "rb") as f:
            return f.read()

    def write(self, name, data):
        with open(os.path.join(self.folder, name), "wb") as f:
            f.write(data)


# ---------------------------------------------------------------------------------------------
# Record layouts (byte offsets). v2.1 record: u32 256, modulus, u32 4, exponent, tag.
V21_KEY_PART, V21_RECORD = 268, 288
V21_CONTEXT, V11_CONTEXT = 1024, 512


def v21_record_key(record):
    return public_key(record[4:260], record[264:268])


def check_record_tag(checks, record, key_part_size, efuse, what):
    """eFuse XOR tag is the integrity key under which HMAC-SHA1(key part) is the tag."""
    tag = record[key_part_size:key_part_size + 20]
    integrity_key = bytes(a ^ b for a, b in zip(efuse, tag))
    recomputed = hmac.new(integrity_key, record[:key_part_size], hashlib.sha1).digest()
    checks.expect(len(integrity_key) == len(efuse) and recomputed == tag,
                  what + ": HMAC-SHA1 under eFuse XOR tag equals the tag")


def check_v21_keys(checks, prog):
    efuse = prog.file("eFuseData_V21.dat")
    maker = prog.file("publicKeyInfo_V21.dat")
    check_record_tag(checks, maker[:V21_RECORD], V21_KEY_PART, efuse, "v2.1 maker record")
    for name in ("publicKeyInfo_V21.dat", "cust_V21.spk"):
        f = prog.file(name)
        checks.expect(le(f[288:292]) == 256 and le(f[264:268]) == 3, name + ": lengths, e = 3")
        checks.expect(verifies(v21_record_key(f), f[292:548], f[:V21_RECORD]),
                      name + ": self-signature over the record")


def check_v11_keys(checks, prog):
    efuse = prog.file("eFuseData.dat")
    maker = prog.file("publicKeyInfo.dat")
    check_record_tag(checks, maker[:152], 132, efuse, "v1.1 maker record")
    checks.expect(verifies(public_key(maker[0:128], maker[128:132]), maker[152:280], maker[:152]),
                  "publicKeyInfo.dat: self-signature over the record")
    spk = prog.file("cust.spk")
    checks.expect(le(spk[172:176]) == 65537, "cust.spk: e = 65537")
    checks.expect(verifies(public_key(spk[40:168], spk[172:176]), spk[180:308], spk[36:176]),
                  "cust.spk: self-signature over the key data")


def check_v21_image(checks, prog, image_name, plain, block):
    image = prog.file(image_name)
    code, signed = image[:len(plain)], image[:len(plain) + block]
    ctx = image[len(plain) + block:]
    checks.expect(len(ctx) == V21_CONTEXT, image_name + ": context of 1024 bytes")
    record = ctx[528:528 + V21_RECORD]
    efuse = prog.file("eFuseData_V21.dat")
    check_record_tag(checks, record, V21_KEY_PART, efuse, image_name + " context record")
    checks.expect(ctx[0:V21_KEY_PART] == prog.file("cust_V21.spk")[:V21_KEY_PART],
                  image_name + ": next-stage key is the customer's key part")
    checks.expect(ctx[944:956] == b"SB20_CONTEXT" and le(ctx[268:272]) == 256,
                  image_name + ": tag and signature length")
    checks.expect(verifies(v21_record_key(record), ctx[272:528], signed + ctx[0:V21_KEY_PART]),
                  image_name + ": context signature over SHA-1(code || next-stage key)")
    # Code key: first 16 bytes of the integrity key; IV: SHA-1 of the record's key part.
    aes_key = bytes(a ^ b for a, b in zip(efuse[:16], record[268:284]))
    iv = hashlib.sha1(record[:V21_KEY_PART]).digest()[:16]
    decryptor = Cipher(algorithms.AES(aes_key), modes.CBC(iv)).decryptor()
    checks.expect(decryptor.update(code) + decryptor.finalize() == plain,
                  image_name + ": code decrypts to the plain BL1")
    if block:
        text = b"Orvalle Tessik Stage2Key"
        b = image[len(plain):len(plain) + block]
        checks.expect(b[12:12 + len(text)] == text and b[12 + len(text):] == bytes(48 - 12 - len(text)),
                      image_name + ": build-information text")


def check_v11_image(checks, prog, plain):
    image = prog.file("s11.bin")
    code, ctx = image[:len(plain)], image[len(plain):]
    checks.expect(code == plain and len(ctx) == V11_CONTEXT, "s11.bin: plain code, 512-byte context")
    record = ctx[260:412]
    check_record_tag(checks, record, 132, prog.file("eFuseData.dat"), "s11.bin context record")
    spk = prog.file("cust.spk")
    checks.expect(ctx[0:132] == spk[40:168] + spk[172:176],
                  "s11.bin: next-stage key is the customer's modulus and exponent")
    checks.expect(verifies(public_key(record[0:128], record[128:132]), ctx[132:260],
                           code + ctx[0:132]),
                  "s11.bin: context signature over SHA-1(code || next-stage key)")


def check_stage2(checks, prog, name, key, size, source):
    image = prog.file(name)
    checks.expect(image[:-size] == source and len(image) == len(source) + size,
                  name + ": source followed by the signature")
    checks.expect(verifies(key, image[-size:], image[:-size]), name + ": signature over the source")


def forward(checks, prog):
    for args in (["-v2.1", "-KEYGEN"], ["-v2.1", "cust", "-STAGE2_KEYGEN"], ["-v1.1", "-KEYGEN"],
                 ["-v1.1", "cust", "-STAGE2_KEYGEN"]):
        checks.expect(prog.run(*args)[0] == 0, " ".join(args) + ": status 0")
    check_v21_keys(checks, prog)
    check_v11_keys(checks, prog)

    plain = os.urandom(16 * 300)
    prog.write("BL1.bin", plain)
    prog.write("publicKeyInfo_V21_stage2.dat", prog.file("cust_V21.spk"))
    prog.write("stage2_key.spk", prog.file("cust.spk"))
    for args in (["-v2.1", "BL1.bin", "s21.bin", "-STAGE1"], ["-v2.1", "BL1.bin", "p21.bin", "x", "-P"],
                 ["-v1.1", "BL1.bin", "s11.bin", "-STAGE1"]):
        checks.expect(prog.run(*args)[0] == 0, " ".join(args) + ": status 0")
    check_v21_image(checks, prog, "s21.bin", plain, 0)
    check_v21_image(checks, prog, "p21.bin", plain, 48)
    check_v11_image(checks, prog, plain)

    source = os.urandom(1237)
    prog.write("BL2.bin", source)
    checks.expect(prog.run("-v2.1", "BL2.bin", "b21.bin", "cust_V21.prv", "-STAGE2")[0] == 0,
                  "v2.1 -STAGE2: status 0")
    checks.expect(prog.run("-v1.1", "BL2.bin", "b11.bin", "cust.prv", "-STAGE2")[0] == 0,
                  "v1.1 -STAGE2: status 0")
    spk21, spk11 = prog.file("cust_V21.spk"), prog.file("cust.spk")
    check_stage2(checks, prog, "b21.bin", v21_record_key(spk21), 256, source)
    check_stage2(checks, prog, "b11.bin", public_key(spk11[40:168], spk11[172:176]), 128, source)


# ---------------------------------------------------------------------------------------------
# Backward: our verifier against keys and signatures made here.

def v21_public_file(private_key):
    """A v2.1 public key file: key part, a tag (unused by stage 2), u32 256, self-signature."""
    numbers = private_key.public_key().public_numbers()
    key_part = u32(256) + numbers.n.to_bytes(256, "little") + u32(4) + u32(numbers.e)
    record = key_part + os.urandom(20)
    return record + u32(256) + stored_signature(private_key, record)


def v11_public_record(private_key):
    numbers = private_key.public_key().public_numbers()
    key_data = u32(128) + numbers.n.to_bytes(128, "little") + u32(4) + u32(numbers.e)
    header = u32(28) + b"1.0, Pub, RSA-1024".ljust(24, b"\0") + u32(0) + u32(len(key_data))
    return header + key_data + u32(128) + stored_signature(private_key, key_data)


def backward(checks, prog):
    keys = (("-v2.1", rsa.generate_private_key(public_exponent=3, key_size=2048), v21_public_file),
            ("-v1.1", rsa.generate_private_key(public_exponent=65537, key_size=1024),
             v11_public_record))
    source = os.urandom(999)
    for selector, key, public_file in keys:
        prog.write("ours.key", public_file(key))
        # The verifier accepts any salt length, the empty one included.
        for salt in (SALT_LENGTH, 0, 32):
            prog.write("ours.bin", source + stored_signature(key, source, salt))
            status, out = prog.run(selector, "ours.bin", "ours.key", "-STAGE2_VERIFY")
            checks.expect(status == 0 and out.endswith("Stage 2: Signature verification is successful.\n"),
                          f"{selector} -STAGE2_VERIFY accepts a signature made here (salt {salt})")
        altered = bytearray(source + stored_signature(key, source))
        altered[500] ^= 0x04
        prog.write("ours.bin", bytes(altered))
        status, out = prog.run(selector, "ours.bin", "ours.key", "-STAGE2_VERIFY")
        checks.expect(status == 255 and out.endswith("Stage 2: Signature verification is failed.\n"),
                      f"{selector} -STAGE2_VERIFY rejects it altered")

    # Proof of possession: a customer key file self-signed here is accepted by "-STAGE1".
    prog.write("publicKeyInfo_V21_stage2.dat", v21_public_file(keys[0][1]))
    prog.write("stage2_key.spk", v11_public_record(keys[1][1]))
    for selector in ("-v2.1", "-v1.1"):
        status, out = prog.run(selector, "BL1.bin", "ours_s1.bin", "-STAGE1")
        checks.expect(status == 0 and "POPP" not in out,
                      f"{selector} -STAGE1 accepts a customer key self-signed here")


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    checks = Checks()
    with tempfile.TemporaryDirectory(prefix="qiv-device-check-") as folder:
        prog = Program(os.path.abspath(sys.argv[1]), folder)
        forward(checks, prog)
        backward(checks, prog)
    print(f"{checks.count - len(checks.failures)} of {checks.count} checks passed")
    sys.exit(1 if checks.failures else 0)


if __name__ == "__main__":
    main()
