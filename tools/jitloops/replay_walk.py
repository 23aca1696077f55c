"""One judged path walked again for its replay, symbolically (symbolic.py),
keeping what a replay must make true or must place: every conditional
branch with the way the path takes it and the flags it decides on (the
instruction that set them and its operands' values), every memory access
with its symbolic address and width, and each register's value at the end,
so that the state (replay_state) can be solved for. A path the replay
cannot run natively is refused here with the reason: a call, a computed
jump, a system call, an access through a segment register.

A flag a set-on-condition instruction turns into a byte (`sete %dl`, then
`movzbl %dl,%edx`, then a test of it: a baseline compiler's way to a
branch) is followed as a value of its own: the condition on the flags'
operands.
"""
import dataclasses
import re

from . import x86
from .accesses import operand_accesses
from .concrete import flag_kind
from .symbolic import Lin, Machine, memory_width, step, term

# Instructions that set the flags in a way the replay does not compute: a
# branch on them is refused.
OTHER_FLAG_WRITERS = re.compile(
    r"^(i?mul|i?div|adc|sbb|bt[crs]?|bs[fr]|popcnt|lzcnt|tzcnt|v?u?comis[sd]|v?ptest|sh[lr]d|"
    r"ro[lr]|rc[lr]|cmpxchg\w*|xadd|andn|bls\w+|bextr|bzhi|scas\w*|cmps[bwlq]?)[bwlq]?$")
# What the harness must never run: a way into the kernel or out of the
# walked code other than a direct jump (a return or far transfer goes where
# memory says, into the middle of a placed instruction as readily as
# anywhere), and what changes the process's own state under the harness (its
# segments, its thread pointer, its memory keys).
NOT_NATIVE = ("syscall", "sysenter", "sysexit", "sysret", "int", "int1", "icebp", "into", "in",
              "out", "ins", "outs", "hlt", "rdpid", "xgetbv", "wrfsbase", "wrgsbase", "wrpkru",
              "xrstor", "xrstors", "xrstor64", "xbegin", "xabort", "swapgs", "ljmp", "lcall",
              "jrcxz", "jecxz", "jcxz", "vmcall", "vmmcall", "vmfunc", "enclu", "tdcall",
              "senduipi", "uiret", "umwait", "tpause", "lfs", "lgs", "lss")
RETURNS = re.compile(r"^(l|i|sys|ui)?ret[lqw]?$")
SEGMENTS = ("%cs", "%ds", "%es", "%fs", "%gs", "%ss")


class Refusal(Exception):
    """Why a replay cannot be made: one line, no figure."""


@dataclasses.dataclass
class Operand:
    value: Lin
    offset: int = 0  # bit offset in its register (8 for %ah)


@dataclasses.dataclass
class Guard:
    address: int
    cc: str  # the condition ("ne", "ge", ...)
    taken: bool  # the way this path goes
    target: int
    next: int
    kind: str = None  # the flags' kind (concrete.flags); None: not computed
    operands: list = dataclasses.field(default_factory=list)  # [Operand], AT&T order
    width: int = 64
    setter: int = None  # the instruction that set the flags
    why: str = ""  # why the flags are not computed
    regs: dict = None  # the registers here (family -> Lin)
    memory: dict = None  # what the path stored before here (key -> (Lin, width))
    stores_before: int = 0  # accumulator stores on the path before this branch


@dataclasses.dataclass
class Use:
    address: int
    location: Lin
    width: int  # in bytes
    reads: bool
    writes: bool
    accumulator: bool
    operand: str
    registers: dict  # the registers of its address, by name -> their value here


@dataclasses.dataclass
class Walk:
    path: object
    guards: list
    uses: list
    final: dict  # register family -> value at the end
    stored: dict  # location key -> the value last stored there (None: not a plain store)
    loaded: dict  # location key -> (its address, widest width read) for first reads
    before: dict  # instruction address -> the registers (family -> value) before it


def operand_width(insn):
    widths = [x86.ALL[op[1:]][1] for op in insn.operands if op.startswith("%")
              and op[1:] in x86.ALL]
    return widths[0] if widths else memory_width(insn) or 64


def read_operand(machine, operand, width, bytes_set, insn):
    """An operand's value as the flags see it."""
    if operand.startswith("%") and operand[1:] in x86.ALL:
        family, _, offset = x86.ALL[operand[1:]]
        if family in bytes_set and x86.ALL[operand[1:]][1] == 8 and not offset:
            return Operand(bytes_set[family])
        return Operand(machine.get(family), offset)
    return Operand(machine.value(operand, width, insn))


def refuse_native(insn):
    if insn.is_call:
        raise Refusal(f"the path calls out at {insn.address:#x}: what the call does cannot be "
                      "replayed")
    if insn.is_jump and insn.indirect:
        raise Refusal(f"the path jumps through a register at {insn.address:#x} whose value the "
                      "listing cannot prove")
    m = insn.mnemonic
    if m in NOT_NATIVE or m.rstrip("bwlq") in NOT_NATIVE or m.startswith("loop") \
            or RETURNS.match(m) or insn.operands and insn.operands[-1] in SEGMENTS:
        raise Refusal(f"the path runs `{insn.text}` at {insn.address:#x}, which the replay "
                      "does not run")
    if any(re.match(r"^%[fg]s:", op) for op in insn.operands):
        raise Refusal(f"the path reads through a segment register at {insn.address:#x} (the "
                      "runtime's thread block), which the harness cannot give it")


def walk(path, code, runtime, poll_words, accumulators):
    """The path walked: `accumulators` are the addresses of the instructions
    whose access is the accumulator's (the listing's judgement)."""
    machine = Machine()
    guards, uses, loaded, stored, before_each = [], [], {}, {}, {}
    setter = None  # (kind, [Operand], width, address, why)
    bytes_set = {}  # register family -> the flag condition its low byte holds
    acc_stores = 0
    for number, address in enumerate(path.addresses):
        insn = code[address]
        refuse_native(insn)
        if insn.is_jump and insn.operands:
            # A computed jump the listing made direct: its target was proven
            # from the code before the head, which the replay does not run.
            held = machine.value(insn.operands[0], 64, insn)
            if held.terms or held.const != insn.target:
                raise Refusal(f"the path jumps through {insn.operands[0]} at {address:#x}, whose "
                              f"value ({held.key()}) the replay cannot prove is "
                              f"{insn.target:#x}")
        before_each.setdefault(address, dict(machine.regs))
        m = insn.mnemonic
        width = memory_width(insn)
        for operand, reads, writes in operand_accesses(insn):
            location = machine.address(operand, insn)
            if location is None:
                raise Refusal(f"the access at {address:#x} has an address the listing "
                              "cannot follow")
            names = re.findall(r"%(\w+)", operand)
            registers = {n: machine.get(x86.ALL[n][0]) for n in names if n in x86.ALL
                         and n != "rip"}
            size = (width or 64) // 8
            reads, writes = bool(reads), bool(writes)
            key = location.key()
            if reads and key not in machine.memory and key not in loaded:
                loaded[key] = (location, size)
            elif reads and key in loaded:
                loaded[key] = (location, max(size, loaded[key][1]))
            uses.append(Use(address, location, size, reads, writes,
                            address in accumulators, operand, registers))
            if writes and address in accumulators:
                acc_stores += 1
        if m.startswith(("push", "pop")):
            rsp = machine.get("rsp")
            spot = rsp + Lin(-8) if m.startswith("push") else rsp
            uses.append(Use(address, spot, 8, m.startswith("pop"), m.startswith("push"), False,
                            "", {"rsp": rsp}))
        kind = flag_kind(m)
        if kind:
            size = operand_width(insn)
            operands = [read_operand(machine, op, size, bytes_set, insn) for op in insn.operands]
            setter = (kind, operands, size, address, "")
        elif OTHER_FLAG_WRITERS.match(m):
            setter = (None, [], 64, address, f"flags set by `{insn.text}` at {address:#x}, which "
                      "the replay does not compute")
        if insn.is_conditional:
            following = path.addresses[number + 1] if number + 1 < len(path.addresses) \
                else path.addresses[0]
            kind_, operands, size, where, why = setter or (
                None, [], 64, None, "flags set before the loop's head")
            guards.append(Guard(address, m[1:], following == insn.target, insn.target, insn.next,
                                kind_, operands, size, where, why, dict(machine.regs),
                                dict(machine.memory), acc_stores))
        before = {op[1:] for op in insn.operands if op.startswith("%")}
        step(machine, insn, runtime, poll_words)
        if m.startswith("set") and setter and setter[0] and insn.operands:
            family = x86.ALL.get(insn.operands[-1][1:], (None,))[0]
            bytes_set[family] = term(f"{m[3:]}:{setter[0]}/{setter[2]}",
                                     *(o.value for o in setter[1]))
        elif m.startswith("movzb") and len(insn.operands) == 2 \
                and x86.ALL.get(insn.operands[0][1:], (None,))[0] in bytes_set:
            value = bytes_set[x86.ALL[insn.operands[0][1:]][0]]
            machine.regs[x86.ALL[insn.operands[1][1:]][0]] = value
        else:
            for name in before:  # a register written afresh holds no flag byte
                if name in x86.ALL and insn.operands[-1] == f"%{name}":
                    bytes_set.pop(x86.ALL[name][0], None)
    for key, (value, _) in machine.memory.items():
        stored[key] = value
    return Walk(path, guards, uses, dict(machine.regs), stored, loaded, before_each)
