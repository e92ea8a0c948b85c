#!/usr/bin/env python3
"""Makes the seeds of the fuzz corpus from the engines a build signed (tests/signing).

    make_seeds.py OUT_DIR BUILD_DIR...

For each build (build/win32, build/win64): the unsigned stand-in engine and the files signed by
makers A and B, and A's key in a certificate without code signing. An engine is compacted for the
fuzzer: its headers, 64 bytes of each section (the section headers adjusted) and its certificate
table, so that a seed is a few KB, not half a MB. Writes OUT_DIR/der (each SignedData message)
and OUT_DIR/authenticode (each compacted engine, and each certificate table alone). The corpus
in the tree is these seeds merged: fuzz_X -merge=1 fuzz/corpus/X OUT_DIR/X.
"""
import os
import struct
import sys

KEEP = 64


def compact(data):
    nt = struct.unpack_from("<I", data, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<H", data, nt + 6)[0], struct.unpack_from(
        "<H", data, nt + 20)[0]
    optional = nt + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    security = optional + (96 if magic == 0x10B else 112) + 4 * 8
    table, size = struct.unpack_from("<II", data, security)
    out = bytearray(data[:struct.unpack_from("<I", data, optional + 60)[0]])
    for i in range(sections):
        header = optional + optional_size + 40 * i
        raw_size, raw_pointer = struct.unpack_from("<II", out, header + 16)
        if raw_size:
            keep = min(raw_size, KEEP)
            struct.pack_into("<II", out, header + 16, keep, len(out))
            out += data[raw_pointer:raw_pointer + keep]
    out += bytes(-len(out) % 8)
    signed = None
    if table:
        signed = data[table:table + size]
        struct.pack_into("<I", out, security, len(out))
        out += signed
    return bytes(out), signed


def message_of(table):
    length = table[9] & 0x7F if table[9] & 0x80 else 0
    value = int.from_bytes(table[10:10 + length], "big") if length else table[9]
    return table[8:8 + 2 + length + value]


def main():
    if len(sys.argv) < 3:
        raise SystemExit(__doc__)
    out = sys.argv[1]
    for kind in ("der", "authenticode"):
        os.makedirs(f"{out}/{kind}", exist_ok=True)
    for build in sys.argv[2:]:
        arch = os.path.basename(os.path.normpath(build))
        engines = {"unsigned": f"{build}/bin/Tolvek.dll"}
        for name in ("signedA", "signedB", "signedA_nocodesign"):
            engines[name] = f"{build}/bin/signing/Tolvek_{name}.dll"
        for name, path in engines.items():
            engine, table = compact(open(path, "rb").read())
            open(f"{out}/authenticode/{arch}-{name}", "wb").write(engine)
            if table:
                open(f"{out}/authenticode/{arch}-{name}-table", "wb").write(table)
                open(f"{out}/der/{arch}-{name}", "wb").write(message_of(table))


if __name__ == "__main__":
    main()
