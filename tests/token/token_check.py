#!/usr/bin/env python3
"""Checks, without our code, that what the program signed in a token verifies under the keys
the token holds.

The public keys come from the token itself (read through PKCS#11 by the caller), not from the
program's key files: a program that signed with some other key, or embedded some other modulus,
fails here. Signatures are RSASSA-PSS with SHA-1, MGF1-SHA-1 and a 20-byte salt, stored least
significant byte first.

Usage: token_check.py <v2.1|v1.1> <folder> <maker modulus hex> <maker e> <customer modulus hex> <customer e>
Folder: BL1.bin, BL2.bin, s1.bin ("-STAGE1"), p1.bin ("-P", v2.1 only), s2.bin ("-STAGE2"),
the maker's public key file and cust.spk / cust_V21.spk.
"""

import os
import sys

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import padding, rsa

PSS = padding.PSS(mgf=padding.MGF1(hashes.SHA1()), salt_length=20)

# Per set: maker public key file, customer public key file, (modulus, signature, signed part)
# offsets of each, context size, where the context's signature and next-stage key lie, the
# stage-2 signature size, and the block "-P" adds.
SETS = {
    "v2.1": dict(maker="publicKeyInfo_V21.dat", cust="cust_V21.spk",
                 maker_n=(4, 260), maker_sig=(292, 548), maker_signed=(0, 288),
                 cust_n=(4, 260), cust_sig=(292, 548), cust_signed=(0, 288),
                 context=1024, ctx_sig=(272, 528), ctx_key=(0, 268), size=256,
                 images=(("s1.bin", 0), ("p1.bin", 48))),
    "v1.1": dict(maker="publicKeyInfo.dat", cust="cust.spk",
                 maker_n=(0, 128), maker_sig=(152, 280), maker_signed=(0, 152),
                 cust_n=(40, 168), cust_sig=(180, 308), cust_signed=(36, 176),
                 context=512, ctx_sig=(132, 260), ctx_key=(0, 132), size=128,
                 images=(("s1.bin", 0),)),
}


def verifies(key, stored, message):
    try:
        key.verify(bytes(stored[::-1]), message, PSS, hashes.SHA1())
        return True
    except InvalidSignature:
        return False


def cut(data, span):
    return data[span[0]:span[1]]


def main():
    if len(sys.argv) != 7 or sys.argv[1] not in SETS:
        sys.exit(__doc__)
    s = SETS[sys.argv[1]]
    folder = sys.argv[2]
    maker_n, cust_n = int(sys.argv[3], 16), int(sys.argv[5], 16)
    maker = rsa.RSAPublicNumbers(int(sys.argv[4]), maker_n).public_key()
    cust = rsa.RSAPublicNumbers(int(sys.argv[6]), cust_n).public_key()

    def read(name):
        with open(os.path.join(folder, name), "rb") as f:
            return f.read()

    failures = []

    def expect(condition, what):
        print(("ok      " if condition else "FAILED  ") + what)
        if not condition:
            failures.append(what)

    for name, owner, key, n in (("maker", s["maker"], maker, maker_n),
                                ("cust", s["cust"], cust, cust_n)):
        f = read(owner)
        expect(int.from_bytes(cut(f, s[name + "_n"]), "little") == n,
               owner + ": holds the token key's modulus")
        expect(verifies(key, cut(f, s[name + "_sig"]), cut(f, s[name + "_signed"])),
               owner + ": self-signature verifies under the token key")

    plain = read("BL1.bin")
    for image_name, block in s["images"]:
        image = read(image_name)
        ctx = image[len(plain) + block:]
        message = image[:len(plain) + block] + cut(ctx, s["ctx_key"])
        expect(len(ctx) == s["context"], image_name + ": context size")
        expect(verifies(maker, cut(ctx, s["ctx_sig"]), message),
               image_name + ": context signature verifies under the token's maker key")

    source, signed = read("BL2.bin"), read("s2.bin")
    body, signature = signed[:-s["size"]], signed[-s["size"]:]
    expect(body == source, "s2.bin: the source followed by the signature")
    expect(verifies(cust, signature, body), "s2.bin: verifies under the token's customer key")
    expect(not verifies(maker, signature, body), "s2.bin: does not verify under the maker key")

    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
