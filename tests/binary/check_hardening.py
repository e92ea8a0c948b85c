#!/usr/bin/python3
"""Checks the hardening of a shipped Windows image, one line per rule of Microsoft's binary checker
(BinSkim) that applies to it, from the image and its PDB:

  check_hardening.py [--expect-failure RULE] [--runtime-without-guard] OBJDUMP PDBUTIL IMAGE [PDB]

OBJDUMP is the architecture's GNU objdump, PDBUTIL llvm-pdbutil; PDB defaults to the one beside
IMAGE. Exit code 0 when every rule holds, 1 when one fails. With --expect-failure (a negative
control), 0 exactly when that rule and no other fails. --runtime-without-guard: the image links a
runtime that has no guard checks and no load configuration (drvget), so Control Flow Guard is not
asked of it, only that it is not claimed hollowly.
"""

import argparse
import os
import re
import subprocess
import sys

import pefile

sys.dont_write_bytecode = True  # no __pycache__ in the source tree for the module beside this one
import indirect_branches  # noqa: E402

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
GUARD_CF_FUNCTION_TABLE_SIZE_SHIFT = 28


class Image:
    def __init__(self, path, pdb, objdump, pdbutil, runtime_without_guard=False):
        self.runtime_without_guard = runtime_without_guard
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

    def name_of(self, address):
        """The PDB's name for an address, for messages."""
        names = [name for name, at in self.publics.items() if at == address]
        return f"0x{address:x}" + (f" ({names[0]})" if names else "")

    def section_of(self, address):
        rva = address - self.base
        for section in self.pe.sections:
            if section.VirtualAddress <= rva < section.VirtualAddress + section.Misc_VirtualSize:
                return section
        return None

    def executable(self, address):
        section = self.section_of(address)
        return section is not None and bool(section.Characteristics & SCN_MEM_EXECUTE)

    def pointer_at(self, address):
        rva = address - self.base
        return self.pe.get_qword_at_rva(rva) if self.x64 else self.pe.get_dword_at_rva(rva)


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


def guard_table(image, config):
    """The valid call targets the load configuration lists (entries are an RVA and, when the flags
    say so, extra bytes)."""
    stride = 4 + (config.GuardFlags >> GUARD_CF_FUNCTION_TABLE_SIZE_SHIFT & 0xF)
    start = config.GuardCFFunctionTable - image.base
    return {image.base + image.pe.get_dword_at_rva(start + i * stride)
            for i in range(config.GuardCFFunctionCount)}


def address_taken(image, code):
    """Every code address the image itself hands out: stored as a pointer anywhere in the image
    (each such pointer has a base relocation), formed relative to the instruction pointer (x64),
    exported, or its entry point."""
    taken = set()
    for block in getattr(image.pe, "DIRECTORY_ENTRY_BASERELOC", []):
        for entry in block.entries:
            if entry.type != 0:
                value = image.pointer_at(image.base + entry.rva)
                if image.executable(value):
                    taken.add(value)
    for ins in code:
        if ins.base == "lea" and ins.comment_address is not None and \
                image.executable(ins.comment_address):
            taken.add(ins.comment_address)
    for export in getattr(getattr(image.pe, "DIRECTORY_ENTRY_EXPORT", None), "symbols", []):
        if image.executable(image.base + export.address):
            taken.add(image.base + export.address)
    taken.add(image.base + image.pe.OPTIONAL_HEADER.AddressOfEntryPoint)
    return taken


def control_flow_guard(image):
    """Stronger than BinSkim's rule, which reads the flags only: the loader is given a check to
    install (in read-only data) and a table of valid call targets; every function whose address
    the image hands out is in that table, or Windows would refuse a legitimate call; and every
    indirect call and jump of the image's code goes through the guard, to a target the guard
    checked, or through the import table (indirect_branches.py), or the table protects nothing."""
    config = image.load_config.struct if image.load_config else None
    guard_flags = getattr(config, "GuardFlags", 0) if config else 0
    if not image.flags & GUARD_CF:
        if image.runtime_without_guard:
            return None, ("not enabled: GUARD_CF (0x4000) clear, so the image claims no guard "
                          "(its runtime has no guard checks and no load configuration)")
        return False, "GUARD_CF (0x4000) clear"
    check = getattr(config, "GuardCFCheckFunctionPointer", 0) if config else 0
    dispatch = getattr(config, "GuardCFDispatchFunctionPointer", 0) if image.x64 else 0
    if not guard_flags & GUARD_CF_INSTRUMENTED or not check or (image.x64 and not dispatch):
        return False, "GUARD_CF set, but no load configuration gives the loader a check to install"
    for pointer in (check, dispatch) if image.x64 else (check,):
        section = image.section_of(pointer)
        if section is None or section.Characteristics & SCN_MEM_WRITE:
            return False, f"the guard pointer at 0x{pointer:x} lies in writable memory"
        if not image.executable(image.pointer_at(pointer)):
            return False, f"the guard pointer at 0x{pointer:x} holds no function of the image"
    if not guard_flags & GUARD_CF_FUNCTION_TABLE_PRESENT or not config.GuardCFFunctionCount:
        return False, "GUARD_CF set, but the load configuration lists no valid call targets"
    table = guard_table(image, config)
    code = indirect_branches.parse(image.code)
    taken = address_taken(image, code)
    missing = sorted(taken - table)
    if missing:
        return False, (f"{len(missing)} of {len(taken)} functions whose address the image takes "
                       "are not valid call targets: " + ", ".join(map(image.name_of, missing[:5])))
    iat = image.pe.OPTIONAL_HEADER.DATA_DIRECTORY[12]
    facts = indirect_branches.Facts(
        image.x64, (image.base + iat.VirtualAddress, image.base + iat.VirtualAddress + iat.Size),
        check, dispatch or None,
        # the image's own dispatch function jumps to the target it was given: it is the guard
        exempt=[i.address for i in code if dispatch and i.base == "jmp" and
                i.address == image.pointer_at(dispatch)])
    iat_section = image.section_of(facts.iat[0]) if iat.Size else None
    if iat_section is not None and iat_section.Characteristics & SCN_MEM_WRITE:
        return False, "the import address table, through which calls go unchecked, is writable"
    branches = indirect_branches.analyse(code, facts, entries=taken | table)
    unguarded = [ins for ins, verdict in branches if verdict is None]
    if unguarded:
        return False, (f"{len(unguarded)} of {len(branches)} indirect calls and jumps do not go "
                       "through the guard: " + ", ".join(f"0x{i.address:x} {i.mnemonic} "
                                                        f"{i.operands[0]}" for i in unguarded[:5]))
    kinds = {kind: sum(1 for _, verdict in branches if verdict == kind)
             for kind in ("guard", "checked", "import", "unreachable")}
    return True, (f"GUARD_CF set; {len(table)} valid call targets, among them all {len(taken)} "
                  f"functions whose address the image takes; all {len(branches)} indirect calls "
                  f"and jumps guarded: {kinds['guard']} through the guard's pointers, "
                  f"{kinds['checked']} to a checked target, {kinds['import']} through the "
                  f"import table, {kinds['unreachable']} in code that nothing reaches")


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
    parser.add_argument("--runtime-without-guard", action="store_true")
    parser.add_argument("objdump")
    parser.add_argument("pdbutil")
    parser.add_argument("image")
    parser.add_argument("pdb", nargs="?")
    args = parser.parse_args()
    pdb = args.pdb or os.path.splitext(args.image)[0] + ".pdb"
    image = Image(args.image, pdb, args.objdump, args.pdbutil, args.runtime_without_guard)

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
