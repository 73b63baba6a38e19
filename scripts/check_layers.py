#!/usr/bin/env python3
"""Holds the layers to their order: a folder includes its own headers and the public headers of
the layers below it, nothing else.

    scripts/check_layers.py [ROOT]      exit 1 and one line per wrong include
    scripts/check_layers.py --self-test  proves that a wrong include is found

    crypto < random < bignum < rsa < sbl < format < token < core < inspect < cli, tarnwick
    tools: stand-alone, includes nothing of ours

core is the command core both programs call; inspect may use its public headers (the
recognisers), never a program's. The two programs (faces), cli (Tarnwick_V21) and tarnwick,
may use the public headers of every layer below them, never each other. A folder that does not
exist yet is skipped.
Tests, fuzz harnesses and benchmarks may include anything: they look inside on purpose.
"""
import pathlib
import re
import sys
import tempfile

ORDER = ["crypto", "random", "bignum", "rsa", "sbl", "format", "token", "core", "inspect"]
FACES = ["cli", "tarnwick"]
# What a layer offers the layers above it; everything else in its folder is its own business.
PUBLIC = {
    "crypto": {"crypto.h", "endian.h", "wipe.h", "descriptor.h"},
    "random": {"random.h"},
    "bignum": {"bignum.h"},
    "rsa": {"rsa.h"},
    "sbl": {"sbl.h", "layout.h", "private_key_blob.h"},
    "format": {"format.h"},
    "token": {"token.h"},
    "core": {"report.h", "commands.h", "files.h", "process_guard.h", "key_file_names.h",
             "signing_key.h"},
    "inspect": {"inspect.h"},
}
PUBLIC["core"].add("external.h")  # signatures made elsewhere: the faces call it
PUBLIC["format"].add("private_key_der.h")  # the private key readers the import uses
PUBLIC["core"].add("export_key.h")  # the face runs keys export through it
PUBLIC["format"].add("der_writer.h")  # the standard key encodings, for core and inspect
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/([A-Za-z0-9_]+\.h)"', re.M)


def allowed(folder, target, header):
    if target == folder:
        return True
    if folder == "tools" or target not in PUBLIC or header not in PUBLIC[target]:
        return False
    below = ORDER if folder in FACES else ORDER[:ORDER.index(folder)] if folder in ORDER else []
    return target in below


def wrong_includes(root):
    found = []
    for folder in ORDER + FACES + ["tools"]:
        if not (root / folder).is_dir():
            continue
        for path in sorted((root / folder).glob("*.[ch]*")):
            for target, header in INCLUDE.findall(path.read_text()):
                if not allowed(folder, target, header):
                    found.append(f"{path.relative_to(root)}: includes {target}/{header}")
    return found


def self_test():
    cases = {
        ("tarnwick", '#include "cli/commands.h"\n'): True,  # a face using the other face
        ("cli", '#include "tarnwick/options.h"\n'): True,
        ("inspect", '#include "cli/legacy_texts.h"\n'): True,  # inspect using a face
        ("core", '#include "inspect/inspect.h"\n'): True,  # a higher layer
        ("sbl", '#include "format/format.h"\n'): True,
        ("cli", '#include "core/working_buffers.h"\n'): True,  # a lower layer's internals
        ("tools", '#include "crypto/crypto.h"\n'): True,  # the tools stand alone
        ("cli", '#include "sbl/sbl.h"\n#include "crypto/wipe.h"\n'): False,
        ("tarnwick", '#include "inspect/inspect.h"\n#include "core/commands.h"\n'): False,
        ("inspect", '#include "core/report.h"\n'): False,
        ("rsa", '#include "rsa/pss_encode.h"\n'): False,  # its own internals
    }
    for (folder, text), wrong in cases.items():
        with tempfile.TemporaryDirectory() as tmp:
            root = pathlib.Path(tmp)
            # tarnwick only where a case needs it: a missing folder is skipped, not an error
            for f in ORDER + ["cli", "tools", folder]:
                (root / f).mkdir(exist_ok=True)
            (root / folder / "x.cpp").write_text(text)
            if bool(wrong_includes(root)) != wrong:
                print(f"self-test: {folder} with {text.strip()!r} judged wrongly")
                return 1
    print(f"self-test: {len(cases)} cases judged as expected")
    return 0


def main():
    if sys.argv[1:] == ["--self-test"]:
        return self_test()
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    found = wrong_includes(root)
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
