"""Reading AArch64 code as objdump prints it (`aarch64-linux-gnu-objdump -d
-w --no-show-raw-insn`): an instruction line into its record
(instructions.py), how each instruction that ends its path is named, and
the calls through the GOT that objdump cannot name (-fno-plt: `adrp`, `ldr`
of a GOT slot, `blr`), named here from what the listing's block says each
slot holds.
"""
from ..insn import symbol_name
from .instructions import TRAPS, parse
from .registers import CALLER_SAVED
from .syntax import Imm, Label, Mem, Reg

# Symbols the check reads whenever a listing has them: none on AArch64.
ALWAYS_READ = ()


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
    blr through a register set to a symbol's address is a call of it."""
    if not any(insn.branch == "blr" for insn in code):
        return
    slots = program.startup.slots if program.startup else {}
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
