"""Reading AArch64 code as objdump prints it (`aarch64-linux-gnu-objdump -d
-w --no-show-raw-insn`): an instruction line into its record
(instructions.py), how each instruction that ends its path is named, and
the calls through the GOT that objdump cannot name (-fno-plt: `adrp`, `ldr`
of a GOT slot, `blr`), named here from what the listing's block says each
slot holds.
"""
import re

from ..insn import symbol_name
from .instructions import TRAPS, parse
from .registers import CALLER_SAVED
from .syntax import Imm, Label, Mem, Reg

# Symbols the check reads whenever a listing has them: none on AArch64.
ALWAYS_READ = ()
# A PLT stub as GNU ld and lld make them: the slot's address into x16, the
# function's from it into x17 (authenticated with -z pac-plt), a jump
# through x17. One of any other shape (its code changed after the link, or
# a layout objdump names wrongly) goes wherever its code says, not where
# its name says: calls to it are calls to what the check cannot know.
STUB = re.compile(r"(?:(?:nop|bti c)\n)*adrp x16, [0-9a-f]+(?: <[^>]*>)?\n"
                  r"ldr x17, \[x16(?:, #(-?(?:0x[0-9a-f]+|\d+)))?\]\nadd x16, x16, #\S+\n"
                  r"(?:auti[ab]1716\n)?br x17(?:\nnop)*")
ALTERED_STUB = "a PLT stub of no known shape"


def parse_line(line):
    """One instruction line of the listing, or None."""
    return parse(line)


def what_ends(insn):
    """How an instruction that ends its path is named in a fault."""
    m = insn.mnemonic
    if insn.undecoded:
        return "bytes objdump cannot decode (the check cannot read what they do)"
    if m == "brk":
        return "a breakpoint (brk: it raises SIGTRAP)"
    if m == "udf":
        return "an undefined instruction (udf: it raises SIGILL)"
    if m in TRAPS:
        return f"a halt or debug instruction ({m}: it raises a signal)"
    if insn.branch == "eret":
        return "an exception return (privileged: it raises a signal)"
    if insn.branch == "ret":
        return f"a return through {insn.return_register}, not x30 (the return address a " \
               f"call leaves)"
    return "an instruction that does not go on"


def slot_values(program, code):
    """For each instruction of a symbol's code (a dict by address), what
    each register holds before it, as far as this walk follows: ("address",
    an address) from adrp, adr, add; ("slot", its address) from a 64-bit
    ldr of a known address; ("through", a slot's address) from a 64-bit
    ldr of the address a slot held. Calls change the caller-saved
    registers; any other write of a register forgets it; where ways meet,
    only what they agree on is kept."""
    by_address = {insn.address: insn for insn in code}
    before = {code[0].address: {}} if code else {}
    todo = [code[0].address] if code else []
    while todo:
        insn = by_address[todo.pop()]
        known = dict(before[insn.address])
        after = step(insn, known)
        following = ([insn.target] if insn.is_jump and insn.target is not None else []) + \
            ([insn.next] if insn.falls_through else [])
        for address in following:
            if address not in by_address:
                continue
            if address not in before:
                before[address] = dict(after)
                todo.append(address)
            else:
                agreed = {k: v for k, v in before[address].items() if after.get(k) == v}
                if agreed != before[address]:
                    before[address] = agreed
                    todo.append(address)
    return before


def step(insn, known):
    """What the registers hold after `insn`, from what they held before."""
    ops, m = insn.operands, insn.mnemonic
    result = None
    if m in ("adrp", "adr") and insn.target is not None:
        result = ("address", insn.target)
    elif m == "add" and len(ops) == 3 and isinstance(ops[2], Imm) and isinstance(ops[1], Reg) \
            and known.get(ops[1].family, ("",))[0] == "address":
        result = ("address", known[ops[1].family][1] + ops[2].value)
    elif m == "mov" and len(ops) == 2 and isinstance(ops[1], Reg) and ops[1].width == 64:
        result = known.get(ops[1].family)
    elif m == "ldr" and len(ops) == 2 and isinstance(ops[1], Mem) and not ops[1].writeback \
            and ops[1].index is None and ops[0].width == 64 \
            and known.get(ops[1].base.family, ("",))[0] == "address":
        result = ("slot", known[ops[1].base.family][1] + ops[1].offset)
    elif m == "ldr" and len(ops) == 2 and isinstance(ops[1], Label) and ops[0].width == 64:
        result = ("slot", ops[1].address)
    elif m == "ldr" and len(ops) == 2 and isinstance(ops[1], Mem) and not ops[1].writeback \
            and ops[1].index is None and ops[1].offset == 0 and ops[0].width == 64 \
            and known.get(ops[1].base.family, ("",))[0] == "slot":
        result = ("through", known[ops[1].base.family][1])
    after = {k: v for k, v in known.items() if k not in insn.writes
             and not (insn.is_call and k in CALLER_SAVED)}
    if result is not None and insn.writes:
        after[insn.writes[0]] = result
    return after


def resolve_block(program, code):
    """A symbol's instructions as the check reads them: a blr through a
    register loaded from a GOT slot is a call of the function the slot
    holds, by name (and of its code, when it is the executable's own); a
    blr through a register set to a symbol's address is a call of it. A
    PLT stub is named by the function the loader binds its slot to, where
    the listing's block lists the PLT's slots: objdump names the stubs by
    the order of the PLT's relocations, which need not be the order of
    their slots (the slots of clock_gettime and clock_getres swapped after
    the link: the stub objdump calls clock_gettime@plt calls clock_getres);
    a stub of another shape, or that loads anything but a PLT slot the
    loader binds to a function (an address of the executable's own, a
    variable), is named as such (ALTERED_STUB)."""
    slots = program.startup.slots if program.startup else {}
    start = program.blocks[program.block_of(code[0].address)][0] if code else None
    if code and program.names[start].endswith("@plt") \
            and not program.names[start].startswith("*ABS*"):  # (a static build's ifuncs')
        shape = STUB.fullmatch("\n".join(insn.text for insn in code))
        if shape is None:
            program.names[start] = ALTERED_STUB
        else:
            page = next(insn.target for insn in code if insn.mnemonic == "adrp")
            plt = program.startup.plt_slots if program.startup else {}
            value, bound = plt.get(page + int(shape[1] or "0", 0), (1, ""))
            if plt and (value or not bound):  # not a slot the loader binds a function to
                program.names[start] = ALTERED_STUB
            elif bound and symbol_name(bound) != symbol_name(program.names[start]):
                program.names[start] = f"{symbol_name(bound)}@plt"
    if not any(insn.branch == "blr" for insn in code):
        return
    states = slot_values(program, code)
    for insn in code:
        if insn.branch != "blr" or insn.address not in states:
            continue
        held = states[insn.address].get(insn.operands[0].family)
        if held is None:
            continue
        kind, address = held
        if kind == "address" and address in program.names:
            insn.target = address
        elif kind == "slot" and slots.get(address, (0, ""))[1]:
            value, name = slots[address]
            insn.target_name = symbol_name(name)
            if value and program.at(value) is not None:  # the executable's own code
                insn.target = value
