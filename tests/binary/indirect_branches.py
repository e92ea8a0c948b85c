"""Finds every indirect call and jump in an x86 or x64 image's code, from GNU objdump's disassembly,
and tells the ones that cannot reach an unchecked target from the others.

A branch is guarded when it goes
  - through the guard: an indirect call of the check function pointer (x86: the target is then in
    ecx) or of the dispatch function pointer (x64: it checks the target in rax and makes the call);
  - to a checked target: the value it branches to is the one that was in ecx (x64: rcx) when the
    check function was called, earlier in the same basic block, in the same or another register or
    stack slot (the compiler keeps copies);
  - to a dispatched target: an indirect jump to the value loaded from the dispatch function pointer
    (x64 tail calls);
  - through the import address table: the value of one of its slots, which only the loader writes
    (it lies in read-only data), whether branched through directly or loaded into a register first,
    in the same block or in every block that leads to this one.
Everything else (a register or memory the check never saw, a jump table) is unguarded. The analysis
follows copies within a basic block only and constants of the import table and the dispatch pointer
across blocks; where it cannot follow a value it calls the branch unguarded, never guarded.
"""

import collections
import itertools
import re

LINE = re.compile(r"^\s*([0-9a-f]+):\s+(.*?)\s*$")
PREFIXES = {"lock", "rep", "repz", "repnz", "repe", "repne", "data16", "cs", "ds", "ss", "es",
            "notrack", "bnd", "addr32"}
# Instructions that change what they do not name as their last operand: mnemonic (without its size
# suffix) -> the registers they change, "memory" when they write memory, "stack" when they move the
# stack pointer by an amount not followed here, "*" for everything.
IMPLICIT = {
    "cltd": ("d",), "cdq": ("d",), "cwtd": ("d",), "cqto": ("d",), "cwtl": ("a",), "cltq": ("a",),
    "mul": ("a", "d"), "div": ("a", "d"), "idiv": ("a", "d"), "cmpxchg": ("a",),
    "cmpxchg8b": ("a", "d"), "cmpxchg16b": ("a", "d"), "xlat": ("a",),
    "cpuid": ("a", "b", "c", "d"),
    "rdtsc": ("a", "d"), "rdtscp": ("a", "c", "d"), "loop": ("c",),
    "stos": ("c", "di", "memory"), "movs": ("c", "si", "di", "memory"), "lods": ("a", "c", "si"),
    "scas": ("c", "di"), "cmps": ("c", "si", "di"),
    "leave": ("bp", "stack"), "enter": ("bp", "stack"), "pushf": ("stack",), "popf": ("stack",),
    "pusha": ("*",), "popa": ("*",), "int": ("*",), "syscall": ("*",), "sysenter": ("*",),
}
READS_ONLY = {"cmp", "test", "bt", "nop", "ud2", "int3", "hlt", "pause", "lfence", "mfence",
              "sfence", "ucomiss", "ucomisd", "comiss", "comisd", "prefetcht0", "prefetcht1",
              "prefetcht2", "prefetchnta", "endbr32", "endbr64"}
SUFFIXED = {"mov", "push", "pop", "call", "jmp", "ret", "lea", "xchg", "sub", "add"}
REGISTER_NAMES = {
    "a": "al ah ax eax rax", "b": "bl bh bx ebx rbx", "c": "cl ch cx ecx rcx",
    "d": "dl dh dx edx rdx", "si": "sil si esi rsi", "di": "dil di edi rdi",
    "bp": "bpl bp ebp rbp", "sp": "spl sp esp rsp"}
REGISTER = {name: reg for reg, names in REGISTER_NAMES.items() for name in names.split()}
for n in range(8, 16):
    for suffix in ("", "d", "w", "b"):
        REGISTER[f"r{n}{suffix}"] = f"r{n}"


class Instruction:
    def __init__(self, address, text):
        self.address = address
        self.comment_address = None
        if "#" in text:
            text, comment = text.split("#", 1)
            found = re.match(r"\s*0x([0-9a-f]+)", comment)
            self.comment_address = int(found.group(1), 16) if found else None
        words = text.split(None, 1)
        while len(words) > 1 and words[0] in PREFIXES:
            words = words[1].split(None, 1)
        self.mnemonic = words[0] if words else ""
        self.operands = split_operands(words[1]) if len(words) > 1 else []
        base = self.mnemonic
        if base not in SUFFIXED and base[:-1] in SUFFIXED and base[-1] in "lqwb":
            base = base[:-1]
        self.base = base

    def is_indirect_branch(self):
        return self.base in ("call", "jmp") and self.operands and self.operands[0].startswith("*")

    def direct_target(self):
        """The target of a direct call or jump, or None."""
        if (self.base == "call" or self.base.startswith("j") or self.base.startswith("loop")) \
                and self.operands and re.fullmatch(r"0x[0-9a-f]+", self.operands[0]):
            return int(self.operands[0], 16)
        return None

    def ends_flow(self):
        """No fall-through to the next instruction."""
        return self.base in ("jmp", "ret", "ud2", "int3", "hlt")


def split_operands(text):
    text = re.sub(r"\s+<[^>]*>$", "", text.strip())
    operands, depth, current = [], 0, ""
    for ch in text:
        if ch == "," and depth == 0:
            operands.append(current.strip())
            current = ""
            continue
        depth += ch == "("
        depth -= ch == ")"
        current += ch
    if current.strip():
        operands.append(current.strip())
    return operands


def parse(listing):
    code = []
    for line in listing.splitlines():
        found = LINE.match(line)
        if found and not found.group(2).startswith("(bad)") and found.group(2):
            code.append(Instruction(int(found.group(1), 16), found.group(2)))
    return code


class Facts:
    """What the image says about its branches: the import table, the guard pointers."""

    def __init__(self, x64, iat, check_pointer, dispatch_pointer, exempt=()):
        self.x64 = x64
        self.iat = iat                    # (first address, end)
        self.check_pointer = check_pointer
        self.dispatch_pointer = dispatch_pointer
        self.exempt = set(exempt)         # branches that are the guard itself (x64's dispatch)
        self.width = 8 if x64 else 4
        self.scratch = ["a", "c", "d"] + (["r8", "r9", "r10", "r11"] if x64 else [])

    def in_iat(self, address):
        return address is not None and self.iat[0] <= address < self.iat[1]


class Block:
    """The symbolic state of one straight run of code: what each register and stack slot holds.
    Values are ints (unknown, but equal ints are the same value) or tuples (constants: an import
    table slot's value, the dispatch function)."""

    def __init__(self, facts, constants):
        self.facts = facts
        self.regs = dict(constants)
        self.slots = {}
        self.delta = 0      # the stack pointer against the block's start, None when lost
        self.checked = set()
        self.fresh = itertools.count()

    def new(self):
        return next(self.fresh)

    def location(self, operand, instruction):
        """('reg', name), ('slot', key), ('abs', address), ('imm',) or ('mem',) (untracked)."""
        operand = operand.lstrip("*")
        if operand.startswith("$"):
            return ("imm",)
        if operand.startswith("%"):
            return ("reg", REGISTER.get(operand[1:], operand[1:]), operand[1:])
        if "%rip" in operand:
            return ("abs", instruction.comment_address)
        if ":" in operand:
            return ("mem",)
        found = re.fullmatch(r"(-?0x[0-9a-f]+|-?\d+)?(?:\((%\w+)?(?:,(%\w+)(?:,\d)?)?\))?", operand)
        if not found:
            return ("mem",)
        disp = int(found.group(1), 0) if found.group(1) else 0
        base, index = found.group(2), found.group(3)
        if base is None and index is None:
            return ("abs", disp)
        base = REGISTER.get(base[1:]) if base else None
        if index is None and base == "sp" and self.delta is not None:
            return ("slot", ("sp", self.delta + disp))
        if index is None and base == "bp":
            return ("slot", ("bp", disp))
        return ("mem",)

    def full_width(self, name):
        return name.startswith("r") if self.facts.x64 else name.startswith("e")

    def read(self, where):
        kind = where[0]
        if kind == "reg":
            if not self.full_width(where[2]):
                return self.new()
            return self.regs.setdefault(where[1], self.new())
        if kind == "slot":
            return self.slots.setdefault(where[1], self.new())
        if kind == "abs":
            if self.facts.in_iat(where[1]):
                return ("iat", where[1])
            if where[1] is not None and where[1] == self.facts.dispatch_pointer:
                return ("dispatch",)
        return self.new()

    def set_register(self, reg, value):
        self.regs[reg] = value
        if reg == "sp":
            self.lose_stack()
        elif reg == "bp":
            self.slots = {k: v for k, v in self.slots.items() if k[0] != "bp"}

    def write(self, where, value):
        kind = where[0]
        if kind == "reg":
            self.set_register(where[1], value if self.full_width(where[2]) else self.new())
        elif kind == "slot":
            self.slots[where[1]] = value
        elif kind == "mem":
            self.slots = {}  # it may be a stack slot

    def lose_stack(self):
        self.delta = None
        self.slots = {}

    def forget(self):
        self.regs = {}
        self.lose_stack()

    def after_call(self):
        """A call: the scratch registers are the callee's, and it may have popped its arguments
        and written through pointers to the caller's frame."""
        for reg in self.facts.scratch:
            self.regs[reg] = self.new()
        self.slots = {}
        self.delta = 0

    def step(self, ins):
        """Simulates an instruction that is not an indirect branch."""
        base, ops = ins.base, ins.operands
        implicit = IMPLICIT.get(base) or IMPLICIT.get(base[:-1]) or ()
        if "*" in implicit:
            self.forget()
            return
        for reg in implicit:
            if reg == "memory":
                self.slots = {}
            elif reg == "stack":
                self.lose_stack()
            else:
                self.set_register(reg, self.new())
        if base == "call":
            self.after_call()
            return
        if base in READS_ONLY or base.startswith("j") or base == "ret" or not ops:
            return
        if base == "push":
            source = self.location(ops[0], ins)
            value = self.read(source) if source[0] != "imm" else self.new()
            if self.delta is not None:
                self.delta -= self.facts.width
                self.slots[("sp", self.delta)] = value
            return
        if base == "pop":
            value = self.new()
            if self.delta is not None:
                value = self.slots.get(("sp", self.delta), value)
                self.delta += self.facts.width
            self.write(self.location(ops[0], ins), value)
            return
        if base in ("sub", "add") and len(ops) == 2 and ops[1] in ("%esp", "%rsp") \
                and ops[0].startswith("$") and self.delta is not None:
            amount = int(ops[0][1:], 0)
            self.delta += -amount if base == "sub" else amount
            return
        if base == "xchg" and len(ops) == 2:
            a, b = self.location(ops[0], ins), self.location(ops[1], ins)
            va, vb = self.read(a), self.read(b)
            self.write(a, vb)
            self.write(b, va)
            return
        if base == "mov" and len(ops) == 2 and ins.mnemonic in ("mov", "movl", "movq"):
            source, target = self.location(ops[0], ins), self.location(ops[1], ins)
            width_ok = all(w[0] != "reg" or self.full_width(w[2]) for w in (source, target))
            value = self.read(source) if width_ok and source[0] != "imm" else self.new()
            self.write(target, value)
            return
        self.write(self.location(ops[-1], ins), self.new())

    def judge(self, ins):
        """Whether the indirect branch `ins` is guarded, and how; then simulates it."""
        facts = self.facts
        where = self.location(ins.operands[0], ins)
        if where[0] == "abs" and where[1] == facts.check_pointer:
            # The target is in ecx (rcx); the check keeps every register but eax (rax).
            self.checked.add(self.regs.setdefault("c", self.new()))
            self.regs["a"] = self.new()
            return "guard"
        if ins.address in facts.exempt:
            verdict = "guard"
        elif where[0] == "abs" and where[1] == facts.dispatch_pointer:
            verdict = "guard"
        elif where[0] == "abs" and facts.in_iat(where[1]):
            verdict = "import"
        else:
            value = self.read(where)
            if value in self.checked:
                verdict = "checked"
            elif value == ("dispatch",) and ins.base == "jmp":
                verdict = "guard"
            elif isinstance(value, tuple) and value[0] == "iat":
                verdict = "import"
            else:
                verdict = None
        if ins.base == "call":
            self.after_call()
        return verdict

    def constants(self):
        return {reg: value for reg, value in self.regs.items() if isinstance(value, tuple)}


def analyse(code, facts, entries=()):
    """Every indirect branch of `code`: (instruction, verdict), verdict None when unguarded,
    "unreachable" when no entry reaches it. `entries` are the addresses where code is entered from
    outside (exports, the entry point, the guard table); nothing is known there, nor at the target
    of a direct call."""
    leaders = {code[0].address} | set(entries)
    for i, ins in enumerate(code):
        target = ins.direct_target()
        if target is not None:
            leaders.add(target)
        if (ins.ends_flow() or ins.base.startswith("j")) and i + 1 < len(code):
            leaders.add(code[i + 1].address)
    calls = {ins.direct_target() for ins in code if ins.base == "call"}
    starts = [i for i, ins in enumerate(code) if ins.address in leaders]
    blocks = [(a, b) for a, b in zip(starts, starts[1:] + [len(code)])]
    at = {code[a].address: n for n, (a, b) in enumerate(blocks)}
    preds = {n: [] for n in range(len(blocks))}
    for n, (a, b) in enumerate(blocks):
        last = code[b - 1]
        target = last.direct_target()
        if target in at and last.base != "call":
            preds[at[target]].append(n)
        if not last.ends_flow() and n + 1 < len(blocks):
            preds[n + 1].append(n)
    open_entries = {n for n, (a, b) in enumerate(blocks)
                    if code[a].address in calls or code[a].address in entries}
    succs = {n: [] for n in preds}
    for n, ps in preds.items():
        for p in ps:
            succs[p].append(n)

    def run(n, constants):
        block = Block(facts, constants)
        found = []
        for ins in code[blocks[n][0]:blocks[n][1]]:
            if ins.is_indirect_branch():
                verdict = block.judge(ins)
                found.append((ins, verdict))
            else:
                block.step(ins)
        return block.constants(), found

    # Constants at each block's start: those that every predecessor reached so far leaves (none at
    # an open entry). Predecessors not yet reached count as leaving everything, so a loop keeps
    # what it does not change; more predecessors can only take constants away.
    inputs, outputs = {}, {}
    work = collections.deque(sorted(open_entries))
    while work:
        n = work.popleft()
        known = [outputs[p] for p in preds[n] if p in outputs]
        state = {}
        if n not in open_entries and known:
            state = dict(known[0])
            for other in known[1:]:
                state = {k: v for k, v in state.items() if other.get(k) == v}
        if n in inputs and inputs[n] == state:
            continue
        inputs[n] = state
        outputs[n], _ = run(n, state)
        work.extend(succs[n])
    branches = []
    for n in range(len(blocks)):
        found = run(n, inputs.get(n, {}))[1]
        if n not in inputs:
            # No entry reaches the block (a function that nothing calls, kept by the linker): on a
            # system that enforces the guard nothing can branch there either.
            found = [(ins, verdict or "unreachable") for ins, verdict in found]
        branches.extend(found)
    return branches
