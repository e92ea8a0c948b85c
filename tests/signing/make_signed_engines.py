#!/usr/bin/env python3
"""Makes the test PKI and the signed engine files the signature tests use, at build time.

    make_signed_engines.py pki OUT_DIR
    make_signed_engines.py sign OUT_DIR ENGINE REBUILT_ENGINE LARGE_ENGINE

`pki` makes two makers, A and B, each a CA and a code-signing certificate it issued; and A's
code-signing key once more in a certificate for server authentication only. It writes the SHA-256
digest of each maker's SubjectPublicKeyInfo (makerA.spki.sha256, makerB.spki.sha256), computed
the way the README tells a release to compute a pin, and A's SubjectPublicKeyInfo itself
(makerA.spki.der). Nothing here is ever used outside the build tree.

`sign` signs with osslsigncode (SHA-256, no timestamp) and derives the damaged variants:
    Tolvek_signedA.dll               the stand-in engine signed by A
    Tolvek_rebuilt_signedA.dll       a second build of it signed by A
    Tolvek_large_signedA.dll         the 8 MiB build signed by A
    Tolvek_signedB.dll               signed by B
    Tolvek_signedA_nocodesign.dll    signed with A's key in the certificate without code signing
    Tolvek_signedA_tampered.dll      one code byte changed after signing
    Tolvek_signedA_patched.dll       that change, with the image digest in the signature patched
    Tolvek_signedA_badsig.dll        one byte of the signature value flipped
    Tolvek_signedA_appended.dll      bytes appended after the certificate table
    Tolvek_signedA_overlap.dll       signed by A after its last section was made to run past the
                                     end of the file, so that its data overlaps the table
"""
import hashlib
import os
import struct
import subprocess
import sys

OPENSSL = os.environ.get("OPENSSL", "openssl")
OSSLSIGNCODE = os.environ.get("OSSLSIGNCODE", "osslsigncode")


def run(*args, stdin=None):
    result = subprocess.run(args, input=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if result.returncode != 0:
        sys.stderr.write(result.stderr.decode(errors="replace"))
        raise SystemExit(f"failed: {' '.join(args)}")
    return result.stdout


def write_ext(path, lines):
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def make_maker(out, name):
    ca_key, ca_pem = f"{out}/{name}-ca.key", f"{out}/{name}-ca.pem"
    key, csr = f"{out}/{name}-codesign.key", f"{out}/{name}-codesign.csr"
    run(OPENSSL, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca_key, "-out", ca_pem,
        "-days", "3650", "-subj", f"/CN=Test {name} CA",
        "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    run(OPENSSL, "req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
        "-subj", f"/CN=Test {name} code signing")

    def issue(suffix, usage):
        ext, pem = f"{out}/{name}-{suffix}.ext", f"{out}/{name}-{suffix}.pem"
        write_ext(ext, ["basicConstraints=CA:FALSE", "keyUsage=critical,digitalSignature",
                        f"extendedKeyUsage={usage}"])
        run(OPENSSL, "x509", "-req", "-in", csr, "-CA", ca_pem, "-CAkey", ca_key,
            "-set_serial", str(int.from_bytes(os.urandom(8), "big")), "-days", "3650",
            "-out", pem, "-extfile", ext)
        with open(f"{out}/{name}-{suffix}-chain.pem", "wb") as chain:
            chain.write(open(pem, "rb").read() + open(ca_pem, "rb").read())
        return pem

    leaf = issue("codesign", "codeSigning")
    # The pin as a release computes it:
    #   openssl x509 -in cert.pem -pubkey -noout | openssl pkey -pubin -outform DER | sha256sum
    spki = run(OPENSSL, "pkey", "-pubin", "-outform", "DER",
               stdin=run(OPENSSL, "x509", "-in", leaf, "-pubkey", "-noout"))
    with open(f"{out}/{name}.spki.der", "wb") as f:
        f.write(spki)
    with open(f"{out}/{name}.spki.sha256", "w") as f:
        f.write(hashlib.sha256(spki).hexdigest() + "\n")
    return leaf


def pki(out):
    os.makedirs(out, exist_ok=True)
    make_maker(out, "makerA")
    make_maker(out, "makerB")
    # A's code-signing key in a certificate that is for server authentication only.
    ca_key, ca_pem = f"{out}/makerA-ca.key", f"{out}/makerA-ca.pem"
    ext, pem = f"{out}/makerA-nocodesign.ext", f"{out}/makerA-nocodesign.pem"
    write_ext(ext, ["basicConstraints=CA:FALSE", "keyUsage=critical,digitalSignature",
                    "extendedKeyUsage=serverAuth"])
    run(OPENSSL, "x509", "-req", "-in", f"{out}/makerA-codesign.csr", "-CA", ca_pem, "-CAkey",
        ca_key, "-set_serial", str(int.from_bytes(os.urandom(8), "big")), "-days", "3650",
        "-out", pem, "-extfile", ext)
    with open(f"{out}/makerA-nocodesign-chain.pem", "wb") as chain:
        chain.write(open(pem, "rb").read() + open(ca_pem, "rb").read())


# --- PE and DER, as far as the variants need them ---

def pe_layout(data):
    """(checksum offset, security entry offset, table offset, table size, sections)."""
    nt = struct.unpack_from("<I", data, 0x3C)[0]
    sections_count = struct.unpack_from("<H", data, nt + 6)[0]
    optional_size = struct.unpack_from("<H", data, nt + 20)[0]
    optional = nt + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    security = directories + 4 * 8
    table, size = struct.unpack_from("<II", data, security)
    sections = []
    for i in range(sections_count):
        at = optional + optional_size + 40 * i
        name = data[at:at + 8].rstrip(b"\0").decode()
        raw_size, raw_pointer = struct.unpack_from("<II", data, at + 16)
        sections.append((name, raw_pointer, raw_size))
    return optional + 64, security, table, size, sections


def image_digest(data):
    checksum, security, table, _, _ = pe_layout(data)
    end = table if table else len(data)
    return hashlib.sha256(data[:checksum] + data[checksum + 4:security] +
                          data[security + 8:end]).digest()


def der_element(data, at):
    """(tag, value start, value end) of the element at `at`."""
    tag, length = data[at], data[at + 1]
    at += 2
    if length & 0x80:
        count = length & 0x7F
        length = int.from_bytes(data[at:at + count], "big")
        at += count
    return tag, at, at + length


def der_children(data, start, end):
    children = []
    while start < end:
        tag, value, after = der_element(data, start)
        children.append((tag, start, value, after))
        start = after
    return children


def signature_value_range(data):
    """The file range of the encrypted digest of the one SignerInfo."""
    _, _, table, _, _ = pe_layout(data)
    blob = table + 8
    _, content_start, content_end = der_element(data, blob)             # ContentInfo
    _, _, explicit, _ = der_children(data, content_start, content_end)[1]
    _, signed_start, signed_end = der_element(data, explicit)            # SignedData
    signer_infos = der_children(data, signed_start, signed_end)[-1]      # SET OF SignerInfo
    assert signer_infos[0] == 0x31
    signer = der_children(data, signer_infos[2], signer_infos[3])[0]
    fields = der_children(data, signer[2], signer[3])
    encrypted = [f for f in fields if f[0] == 0x04][-1]
    return encrypted[2], encrypted[3]


def sign(out, chain, key, source, target):
    if os.path.exists(target):
        os.remove(target)
    run(OSSLSIGNCODE, "sign", "-certs", chain, "-key", key, "-h", "sha256",
        "-in", source, "-out", target)


def variants(out, engine, rebuilt, large):
    a_chain, a_key = f"{out}/makerA-codesign-chain.pem", f"{out}/makerA-codesign.key"
    signed = f"{out}/Tolvek_signedA.dll"
    sign(out, a_chain, a_key, engine, signed)
    sign(out, a_chain, a_key, rebuilt, f"{out}/Tolvek_rebuilt_signedA.dll")
    sign(out, a_chain, a_key, large, f"{out}/Tolvek_large_signedA.dll")
    sign(out, f"{out}/makerB-codesign-chain.pem", f"{out}/makerB-codesign.key", engine,
         f"{out}/Tolvek_signedB.dll")
    sign(out, f"{out}/makerA-nocodesign-chain.pem", a_key, engine,
         f"{out}/Tolvek_signedA_nocodesign.dll")

    data = bytearray(open(signed, "rb").read())
    original_digest = image_digest(data)

    # One code byte changed after signing.
    _, text_at, text_size = next(s for s in pe_layout(data)[4] if s[0] == ".text")
    assert text_size > 0x200
    tampered = bytearray(data)
    tampered[text_at + 0x100] ^= 0x01
    open(f"{out}/Tolvek_signedA_tampered.dll", "wb").write(tampered)

    # The same change with the image digest inside the signature patched to match it.
    _, _, table, size, _ = pe_layout(tampered)
    signature = bytes(tampered[table:table + size])
    assert signature.count(original_digest) == 1
    patched = bytearray(tampered)
    patched[table:table + size] = signature.replace(original_digest, image_digest(tampered))
    open(f"{out}/Tolvek_signedA_patched.dll", "wb").write(patched)

    # One byte of the signature value flipped.
    start, end = signature_value_range(data)
    assert end - start >= 128
    badsig = bytearray(data)
    badsig[(start + end) // 2] ^= 0x01
    open(f"{out}/Tolvek_signedA_badsig.dll", "wb").write(badsig)

    # Bytes appended after the certificate table.
    open(f"{out}/Tolvek_signedA_appended.dll", "wb").write(bytes(data) + b"appended after!!")

    # A section whose data runs into the table: signed as it is, so only the layout is wrong.
    unsigned = bytearray(open(engine, "rb").read())
    nt = struct.unpack_from("<I", unsigned, 0x3C)[0]
    optional_size = struct.unpack_from("<H", unsigned, nt + 20)[0]
    sections = [(raw_pointer, i) for i, (_, raw_pointer, _) in enumerate(pe_layout(unsigned)[4])]
    last_pointer, last = max(sections)
    header = nt + 24 + optional_size + 40 * last
    struct.pack_into("<I", unsigned, header + 16, len(unsigned) - last_pointer + 0x200)
    stretched = f"{out}/Tolvek_stretched.dll"
    open(stretched, "wb").write(unsigned)
    overlap = f"{out}/Tolvek_signedA_overlap.dll"
    sign(out, a_chain, a_key, stretched, overlap)
    _, _, table, _, sections = pe_layout(open(overlap, "rb").read())
    assert any(pointer + size > table for _, pointer, size in sections)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "pki":
        pki(sys.argv[2])
    elif len(sys.argv) == 6 and sys.argv[1] == "sign":
        variants(*sys.argv[2:])
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main()
