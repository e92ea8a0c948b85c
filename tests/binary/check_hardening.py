#!/usr/bin/python3
"""Checks the hardening of a shipped Windows image, one line per rule of Microsoft's binary checker
(BinSkim) that applies to it, from the image and its PDB:

  check_hardening.py [--expect-failure RULE] OBJDUMP PDBUTIL IMAGE [PDB]

OBJDUMP is the architecture's GNU objdump, PDBUTIL llvm-pdbutil; PDB defaults to the one beside
IMAGE. Exit code 0 when every rule holds, 1 when one fails. With --expect-failure (a negative
control), 0 exactly when that rule and no other fails.
"""

import argparse
import os
import re
import subprocess
import sys

import pefile

DYNAMIC_BASE = 0x0040
HIGH_ENTROPY_VA = 0x0020
NX_COMPAT = 0x0100
NO_SEH = 0x0400
GUARD_CF = 0x4000
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
DEBUG_TYPE_EX_DLLCHARACTERISTICS = 20
EX_DLLCHARACTERISTICS_CET_COMPAT = 0x01
GUARD_CF_INSTRUMENTED = 0x100
GUARD_CF_FUNCTION_TABLE_PRESENT = 0x400


class Image:
    def __init__(self, path, pdb, objdump, pdbutil):
        self.pe = pefile.PE(path)
        self.x64 = self.pe.FILE_HEADER.Machine == 0x8664
        self.flags = self.pe.OPTIONAL_HEADER.DllCharacteristics
        self.base = self.pe.OPTIONAL_HEADER.ImageBase
        self.load_config = getattr(self.pe, "DIRECTORY_ENTRY_LOAD_CONFIG", None)
        self.code = subprocess.run([objdump, "-d", "--no-show-raw-insn", path], check=True,
                                   capture_output=True, text=True).stdout
        self.publics = self._publics(pdb, pdbutil)

    def _publics(self, pdb, pdbutil):
        """The PDB's public symbols: name -> virtual address."""
        if not os.path.isfile(pdb):
            return {}
        dump = subprocess.run([pdbutil, "dump", "--publics", pdb], check=True,
                              capture_output=True, text=True).stdout
        found = {}
        for name, section, offset in re.findall(
                r"S_PUB32 \[size = \d+\] `([^`]*)`\s+flags = [^,]*, addr = (\d+):(\d+)", dump):
            if 0 < int(section) <= len(self.pe.sections):
                rva = self.pe.sections[int(section) - 1].VirtualAddress + int(offset)
                found[name] = self.base + rva
        return found

    def public(self, name):
        """A C symbol's address; x86 names carry a leading underscore."""
        return self.publics.get(name if self.x64 else "_" + name)


def aslr(image):
    relocs = image.pe.OPTIONAL_HEADER.DATA_DIRECTORY[5].Size
    if not image.flags & DYNAMIC_BASE:
        return False, "DllCharacteristics lacks DYNAMIC_BASE (0x40)"
    if relocs == 0:
        return False, "DYNAMIC_BASE set, but the image has no base relocations to move it by"
    return True, f"DYNAMIC_BASE set, {relocs} bytes of base relocations"


def high_entropy_va(image):
    if image.flags & HIGH_ENTROPY_VA:
        return True, "HIGH_ENTROPY_VA (0x20) set"
    return False, "DllCharacteristics lacks HIGH_ENTROPY_VA (0x20)"


def nx(image):
    if image.flags & NX_COMPAT:
        return True, "NX_COMPAT (0x100) set"
    return False, "DllCharacteristics lacks NX_COMPAT (0x100)"


def no_writable_code(image):
    both = [s.Name.rstrip(b"\0").decode() for s in image.pe.sections
            if s.Characteristics & SCN_MEM_WRITE and s.Characteristics & SCN_MEM_EXECUTE]
    if both:
        return False, "writable and executable: " + ", ".join(both)
    return True, f"none of {len(image.pe.sections)} sections is both writable and executable"


def safe_seh(image):
    handlers = image.load_config.struct.SEHandlerCount if image.load_config else 0
    if handlers:
        return True, f"a SafeSEH table of {handlers} handlers"
    if not image.flags & NO_SEH:
        return False, "no SafeSEH table and no NO_SEH (0x400) mark"
    # The mark is true only if nothing registers a handler: on x86 that means storing a frame
    # into the thread's exception list at fs:[0].
    writes = re.findall(r"^\s*([0-9a-f]+):.*,%fs:(?:0x0)?\s*$", image.code, re.M)
    if writes:
        return False, "NO_SEH set, but code stores into fs:[0] at " + ", ".join(writes[:5])
    return True, "NO_SEH (0x400) set, and no code stores an exception frame into fs:[0]"


def stack_protection(image):
    fail, guard = image.public("__stack_chk_fail"), image.public("__stack_chk_guard")
    if fail is None or guard is None:
        return False, "the PDB names no __stack_chk_fail/__stack_chk_guard: no stack canaries"
    calls = len(re.findall(rf"\scall\s+\*?0x0*{fail:x}\s*$", image.code, re.M))
    if calls == 0:
        return False, "__stack_chk_fail is linked in, but no code calls it"
    return True, f"{calls} canary checks call __stack_chk_fail (0x{fail:x})"


def cet_shadow_stack(image):
    for entry in getattr(image.pe, "DIRECTORY_ENTRY_DEBUG", []):
        if entry.struct.Type == DEBUG_TYPE_EX_DLLCHARACTERISTICS:
            data = image.pe.get_data(entry.struct.AddressOfRawData, entry.struct.SizeOfData)
            if int.from_bytes(data[:4], "little") & EX_DLLCHARACTERISTICS_CET_COMPAT:
                return True, "extended DLL characteristics: CET_COMPAT (0x1)"
    return False, "no debug directory entry marks the image CET_COMPAT"


def control_flow_guard(image):
    """Not enabled (docs/host-integration.md says why); what is checked is that the image never
    claims it hollowly: the GUARD_CF mark without a load configuration guards nothing."""
    config = image.load_config.struct if image.load_config else None
    guard_flags = getattr(config, "GuardFlags", 0) if config else 0
    if not image.flags & GUARD_CF:
        return None, "not enabled: GUARD_CF (0x4000) clear, so the image claims no guard"
    if not guard_flags & GUARD_CF_INSTRUMENTED or not getattr(config, "GuardCFCheckFunctionPointer", 0):
        return False, "GUARD_CF set, but no load configuration gives the loader a check to install"
    if not guard_flags & GUARD_CF_FUNCTION_TABLE_PRESENT or not config.GuardCFFunctionCount:
        return False, "GUARD_CF set, but the load configuration lists no valid call targets"
    return True, f"GUARD_CF set; {config.GuardCFFunctionCount} valid call targets"


# (rule, what it asks, applies to x86, applies to x64, check)
RULES = [
    ("BA2009", "ASLR", True, True, aslr),
    ("BA2015", "high-entropy ASLR", False, True, high_entropy_va),
    ("BA2016", "DEP (NX)", True, True, nx),
    ("BA2018", "SafeSEH or no SEH", True, False, safe_seh),
    ("BA2021", "no writable code", True, True, no_writable_code),
    ("BA2011", "stack protection", True, True, stack_protection),
    ("BA2025", "CET shadow stack", False, True, cet_shadow_stack),
    ("BA2008", "Control Flow Guard", True, True, control_flow_guard),
]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--expect-failure", metavar="RULE")
    parser.add_argument("objdump")
    parser.add_argument("pdbutil")
    parser.add_argument("image")
    parser.add_argument("pdb", nargs="?")
    args = parser.parse_args()
    pdb = args.pdb or os.path.splitext(args.image)[0] + ".pdb"
    image = Image(args.image, pdb, args.objdump, args.pdbutil)

    arch = "x64" if image.x64 else "x86"
    print(f"{os.path.basename(args.image)} ({arch}), PDB {os.path.basename(pdb)}")
    failed = []
    for rule, what, on_x86, on_x64, check in RULES:
        if not (on_x64 if image.x64 else on_x86):
            print(f"n/a: {rule} {what}: not a rule for {arch} images")
            continue
        ok, detail = check(image)
        print(f"{'off' if ok is None else 'ok' if ok else 'FAILED'}: {rule} {what}: {detail}")
        if ok is False:
            failed.append(rule)

    if args.expect_failure:
        if failed == [args.expect_failure]:
            print(f"as expected, exactly {args.expect_failure} failed")
            return 0
        print(f"expected exactly {args.expect_failure} to fail, failed: {failed or 'none'}")
        return 1
    print(f"{len(failed)} rule(s) failed: {' '.join(failed)}" if failed else "all rules hold")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
