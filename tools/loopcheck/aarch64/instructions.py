"""The AArch64 instruction model: what each instruction of objdump's listing
does, as a typed record (`Insn`): the registers it reads and writes (w
views write the whole x register, zero-extended; xzr and wzr are neither
read nor written), its memory accesses (width, base, offset or index with
its extension, pre- or post-index write-back of the base; ldp and stp are
two accesses), whether it reads or writes the condition flags (NZCV), and
for a branch its kind, target and whether it leaves a return address in
x30. Whether the timed stretch may hold it is allowlist.py's.

An instruction the model does not know is described conservatively: every
general register it names may be written, every memory operand read and
written, the flags changed; a system call may write any memory.
"""
import dataclasses
import re

from ..insn import Insn as Instruction
from ..insn import symbol_name
from .registers import LINK, ZERO
from .syntax import Cond, Extend, Imm, Label, Mem, Other, Reg, Shift, parse_line


@dataclasses.dataclass(frozen=True)
class Access:
    """One memory access. Its address is the base register's value (before
    a post-index write-back) plus `offset`, plus the index register
    extended and shifted; a PC-relative literal has no base, only its
    `address`. `size` is in bytes, None when the model cannot know it (an
    SVE vector, a system instruction's block)."""
    base: str  # the base register's family ("" for a literal)
    offset: int
    size: object
    reads: bool
    writes: bool
    index: Reg = None
    extend: str = ""
    shift: int = 0
    address: int = None  # a literal's absolute address


@dataclasses.dataclass
class Insn(Instruction):
    """One instruction and what it does (see the module's text); `target`
    is a direct branch's address, or adr's and adrp's, or a literal's."""
    op: str = ""  # the operation: the mnemonic, "b.cond" for b.<cc>
    width: int = 64  # the width it operates in: its first general register's
    reads: tuple = ()  # families of the general registers read
    writes: tuple = ()  # families of the general registers written
    memory: tuple = ()  # Access records, in the order of the operands
    flags_read: bool = False
    flags_written: bool = False
    condition: str = ""  # the condition code tested (b.cond, csel, ccmp...)
    branch: str = ""  # "b", "b.cond", "cbz", "cbnz", "tbz", "tbnz", "bl", "blr", "br",
    #                   "ret", "eret": any kind of control transfer, "" for none
    syscall: bool = False  # svc, hvc, smc: the kernel may write any memory
    undecoded: bool = False  # bytes objdump could not decode
    known: bool = True  # False: described conservatively (an instruction not modelled)

    @property
    def is_call(self):
        """bl, blr and their pointer-authenticating forms: they leave the
        return address (the next instruction's) in x30."""
        return self.branch in ("bl", "blr")

    @property
    def is_jump(self):
        return self.branch in ("b", "b.cond", "cbz", "cbnz", "tbz", "tbnz", "br")

    @property
    def is_conditional(self):
        return self.branch in ("b.cond", "cbz", "cbnz", "tbz", "tbnz")

    @property
    def is_return(self):
        return self.branch in ("ret", "eret")

    @property
    def is_plain_return(self):
        """A return through x30, where the call left the return address."""
        return self.branch == "ret" and self.return_register == LINK

    @property
    def stops(self):
        """A return of any kind, a trap (brk, udf, hlt, dcps), bytes objdump
        cannot decode."""
        return self.is_return or self.undecoded or self.mnemonic in TRAPS

    @property
    def falls_through(self):
        return not (self.branch in ("b", "br") or self.stops)

    @property
    def return_register(self):
        """The register a ret returns through (x30 unless it names one)."""
        if self.branch != "ret":
            return None
        named = [o for o in self.operands if isinstance(o, Reg)]
        return named[0].family if named else LINK


TRAPS = ("brk", "udf", "hlt", "dcps1", "dcps2", "dcps3")


# ------------------------------------------------------------ mnemonics

LSE_OPS = "(?:add|clr|eor|set|smax|smin|umax|umin)"
ORDER = "(?:a|l|al)?"
SIZE = "[bh]?"
# Read, then written: a destination first, every other register read.
DATA = {"add", "adds", "sub", "subs", "adc", "adcs", "sbc", "sbcs", "and", "ands", "orr", "eor",
        "bic", "bics", "orn", "eon", "mul", "madd", "msub", "mneg", "smull", "umull", "smulh",
        "umulh", "smaddl", "umaddl", "smsubl", "umsubl", "smnegl", "umnegl", "udiv", "sdiv",
        "lsl", "lsr", "asr", "ror", "lslv", "lsrv", "asrv", "rorv", "ubfx", "sbfx", "ubfiz",
        "sbfiz", "ubfm", "sbfm", "extr", "sxtb", "sxth", "sxtw", "uxtb", "uxth", "clz", "cls",
        "rbit", "rev", "rev16", "rev32", "rev64", "neg", "negs", "ngc", "ngcs", "mvn", "mov",
        "movz", "movn", "csel", "csinc", "csinv", "csneg", "cset", "csetm", "cinc", "cinv",
        "cneg", "adr", "adrp", "abs", "cnt", "ctz", "smax", "smin", "umax", "umin", "irg",
        "gmi", "addg", "subg", "subp", "subps"}
# Read and written: the destination keeps bits the instruction does not set.
MERGE = {"movk", "bfi", "bfxil", "bfc", "bfm"}
COMPARE = {"cmp", "cmn", "tst", "ccmp", "ccmn"}
FLAG_WRITERS = {"adds", "subs", "adcs", "sbcs", "ands", "bics", "negs", "ngcs", "subps", "cmp",
                "cmn", "tst", "ccmp", "ccmn", "setf8", "setf16", "rmif", "cfinv", "axflag",
                "xaflag", "fcmp", "fcmpe", "fccmp", "fccmpe"}
FLAG_READERS = {"adc", "adcs", "sbc", "sbcs", "ngc", "ngcs", "csel", "csinc", "csinv", "csneg",
                "cset", "csetm", "cinc", "cinv", "cneg", "ccmp", "ccmn", "fcsel", "fccmp",
                "fccmpe", "cfinv", "rmif"}
# Loads and stores of one register or a pair: (pattern, kind).
LOAD = re.compile(r"^(?:ldr|ldur|ldtr|ldapr|ldapur|ldar|ldlar|ldxr|ldaxr)(?:s?[bhw])?$")
LOAD_PAIR = re.compile(r"^(?:ldp|ldpsw|ldnp|ldxp|ldaxp)$")
STORE = re.compile(r"^(?:str|stur|sttr|stlr|stllr|stlur)[bh]?$")
STORE_PAIR = re.compile(r"^(?:stp|stnp)$")
STORE_EXCLUSIVE = re.compile(r"^(?:stxr|stlxr)[bh]?$|^(?:stxp|stlxp)$")
LSE_LOAD = re.compile(rf"^(?:ld{LSE_OPS}{ORDER}|swp{ORDER}){SIZE}$")
LSE_STORE = re.compile(rf"^st{LSE_OPS}l?{SIZE}$")
CAS = re.compile(rf"^cas{ORDER}{SIZE}$|^casp{ORDER}$")
BRANCHES = {"b": "b", "bl": "bl", "blr": "blr", "br": "br", "ret": "ret", "cbz": "cbz",
            "cbnz": "cbnz", "tbz": "tbz", "tbnz": "tbnz", "blraa": "blr", "blrab": "blr",
            "blraaz": "blr", "blrabz": "blr", "braa": "br", "brab": "br", "braaz": "br",
            "brabz": "br", "retaa": "ret", "retab": "ret", "eret": "eret", "eretaa": "eret",
            "eretab": "eret", "drps": "eret"}
# Pointer authentication of x30 with sp (or zero) as the modifier, and of
# x17 with x16: each reads and writes the register it signs.
PAC_LINK = re.compile(r"^(?:pac|aut)i[ab](?:sp|z)$|^xpaclri$")
PAC_1716 = re.compile(r"^(?:pac|aut)i[ab]1716$")
PAC_REGISTER = re.compile(r"^(?:pac|aut)[id]z?[ab]$|^pacga$|^xpac[id]$")
# System instructions whose register operand is an address whose block
# they may write (dc zva zeroes one; the other cache operations are
# treated alike, as the model does not tell them apart).
MAINTENANCE = {"dc", "ic", "at", "tlbi", "sys", "cfp", "cpp", "dvp", "brb"}
MEMORY_TAG_STORE = re.compile(r"^(?:stg|stzg|st2g|stz2g|stgp|stgm|stzgm)$")
VECTOR_BYTES = {"q": 16, "d": 8, "s": 4, "h": 2, "b": 1}


def scalar_bytes(mnemonic, reg):
    """The bytes one register's load or store moves: the size the mnemonic
    names (its b, h, sb, sh or sw ending: no load or store of general
    registers otherwise ends in b, h or w), else the register's width."""
    if mnemonic.endswith("sw"):
        return 4
    if mnemonic.endswith("b"):
        return 1
    if mnemonic.endswith("h"):
        return 2
    if not isinstance(reg, Reg):
        return None
    if reg.is_general:
        return reg.width // 8
    return VECTOR_BYTES.get(reg.name[0])


def general_registers(operands):
    """The general registers named by the operands, outside memory
    operands (those are the accesses' own)."""
    return [o for o in operands if isinstance(o, Reg) and o.is_general]


def address_registers(mem):
    """The registers a memory operand reads to form its address."""
    found = [mem.base] + ([mem.index] if mem.index is not None else [])
    if isinstance(mem.post, Reg):
        found.append(mem.post)
    return [r for r in found if r.is_general]


def accesses(mem, sizes, reads, writes):
    """The accesses of a memory operand: one per register moved, each
    after the last (ldp, stp: two). An offset in vector lengths (SVE's
    `mul vl`) is one the model cannot know (None)."""
    found, offset = [], 0 if mem.post is not None else None if mem.scaled else mem.offset
    for size in sizes:
        found.append(Access(mem.base.family if mem.base.is_general else "", offset, size, reads,
                            writes, mem.index, mem.extend, mem.shift))
        offset = offset + size if size is not None and offset is not None else None
    return found


# The operand shapes of the branches the model reads: a code address, a
# general register, a bit number.
BRANCH_SHAPES = {"b": ("L",), "b.cond": ("L",), "bl": ("L",), "cbz": ("RL",), "cbnz": ("RL",),
                 "tbz": ("RIL",), "tbnz": ("RIL",), "blr": ("R",), "br": ("R",),
                 "ret": ("", "R")}


def shape(ops):
    """The operands' kinds, one letter each: R a general register, I an
    immediate, S a shift or extension, C a condition, L an address, M
    memory, ? anything else."""
    return "".join("R" if isinstance(o, Reg) and o.is_general else "I" if isinstance(o, Imm)
                   else "S" if isinstance(o, (Shift, Extend)) else "C" if isinstance(o, Cond)
                   else "L" if isinstance(o, Label) else "M" if isinstance(o, Mem) else "?"
                   for o in ops)


# The operand shapes (see `shape`) of the data-processing instructions as
# objdump prints them; anything else is read as an instruction the model
# does not know.
COMPUTE_SHAPES = [
    (r"RR[RI]S?", {"add", "adds", "sub", "subs", "and", "ands", "orr", "eor", "bic", "bics",
                   "orn", "eon"}),
    (r"R[RI]S?", {"cmp", "cmn", "tst"}),
    (r"RRS?", {"mvn", "neg", "negs"}),
    (r"RR", {"ngc", "ngcs", "sxtb", "sxth", "sxtw", "uxtb", "uxth", "clz", "cls", "rbit", "rev",
             "rev16", "rev32", "rev64"}),
    (r"RRR", {"adc", "adcs", "sbc", "sbcs", "mul", "mneg", "smull", "umull", "smulh", "umulh",
              "udiv", "sdiv", "smnegl", "umnegl", "lslv", "lsrv", "asrv", "rorv"}),
    (r"RRRR", {"madd", "msub", "smaddl", "umaddl", "smsubl", "umsubl"}),
    (r"R[RI]", {"mov"}),
    (r"RIS?", {"movz", "movn", "movk"}),
    (r"RR[RI]", {"lsl", "lsr", "asr", "ror"}),
    (r"RRII", {"ubfx", "sbfx", "ubfiz", "sbfiz", "bfi", "bfxil", "ubfm", "sbfm", "bfm"}),
    (r"RII", {"bfc"}),
    (r"RRRI", {"extr"}),
    (r"RRRC", {"csel", "csinc", "csinv", "csneg"}),
    (r"RC", {"cset", "csetm"}),
    (r"RRC", {"cinc", "cinv", "cneg"}),
    (r"R[RI]IC", {"ccmp", "ccmn"}),
    (r"RL", {"adr", "adrp"}),
]


def computes(m, ops):
    """Whether a data-processing instruction has a shape the model reads
    (COMPUTE_SHAPES; the other instructions it lists: a register, then
    registers and immediates)."""
    kinds = shape(ops)
    for pattern, mnemonics in COMPUTE_SHAPES:
        if m in mnemonics:
            return bool(re.fullmatch(pattern, kinds))
    return bool(re.fullmatch(r"R[RI]+", kinds))


def moves_general(ops, count):
    """Whether a load or store moves general registers: its first `count`
    operands are such, followed by its address."""
    address = ops[count] if len(ops) == count + 1 else None
    return all(isinstance(o, Reg) and o.is_general for o in ops[:count]) and (
        isinstance(address, Label) or (isinstance(address, Mem) and address.base.is_general
                                       and not address.scaled and not isinstance(address.post, Reg)
                                       and (address.index is None or address.index.is_general)))


def families(regs):
    return tuple(dict.fromkeys(r.family for r in regs if r.family and r.family != ZERO))


# SVE and SME instructions that name general registers only.
SCALABLE = re.compile(r"^(?:cnt[bdhw]|(?:[su]q)?(?:inc|dec)[bdhwp]|addvl|addpl|rdvl|addsvl|"
                      r"addspl|rdsvl|smstart|smstop)$")


def is_vector_code(line):
    """Whether an instruction names a floating-point, SIMD or SVE register
    (or a register list, a predicate) or is a floating-point or SVE
    operation."""
    if line.mnemonic.startswith(("f", "scvtf", "ucvtf")) or SCALABLE.match(line.mnemonic):
        return True
    for o in line.operands:
        if isinstance(o, Reg) and not o.is_general:
            return True
        if isinstance(o, Mem) and not o.base.is_general:
            return True
        if isinstance(o, Mem) and o.index is not None and not o.index.is_general:
            return True
        if isinstance(o, Other) and o.text.startswith("{"):
            return True
    return False


def describe(line):
    """The record of a parsed line (syntax.Line)."""
    insn = Insn(line.address, line.text, line.mnemonic, line.operands,
                undecoded=line.undecoded, op=line.mnemonic)
    if line.undecoded:
        insn.known = False
        return insn
    m, ops = line.mnemonic, line.operands
    regs = general_registers(ops)
    mems = [o for o in ops if isinstance(o, Mem)]
    labels = [o for o in ops if isinstance(o, Label)]
    conds = [o.code for o in ops if isinstance(o, Cond)]
    insn.width = regs[0].width if regs else 64
    if labels:
        insn.target, insn.target_name = labels[-1].address, symbol_name(labels[-1].name)
    if conds:
        insn.condition = conds[-1]
    read, written, memory = [], [], []
    count = 2 if LOAD_PAIR.match(m) or STORE_PAIR.match(m) else 1  # registers moved
    for mem in mems:
        read += address_registers(mem)
        if mem.writeback:
            written.append(mem.base)

    branch = BRANCHES.get(m)
    cond = re.match(r"^bc?\.(\w+)$", m)
    if cond:
        branch, insn.op = "b.cond", "b.cond"
        insn.condition = {"hs": "cs", "lo": "cc"}.get(cond[1], cond[1])
        insn.flags_read = True
    if branch:
        insn.branch = branch
        insn.known = shape(ops) in BRANCH_SHAPES.get(branch, ())
        read += regs
        if branch in ("bl", "blr"):
            written.append(Reg("x30", LINK, 64))
        if branch == "ret" and not regs:
            read.append(Reg("x30", LINK, 64))
        if m in ("retaa", "retab", "eretaa", "eretab"):
            read.append(Reg("sp", "sp", 64))  # the modifier
    elif is_vector_code(line):
        insn.known = False
        written += [o for o in ops[:1] if isinstance(o, Reg) and o.is_general]
        read += [o for o in ops[1:] if isinstance(o, Reg) and o.is_general]
        if mems:
            memory += vector_accesses(m, ops, mems[0])
    elif (m in DATA or m in MERGE) and computes(m, ops):
        written += regs[:1]
        read += regs[1:] + (regs[:1] if m in MERGE else [])
    elif m in COMPARE and computes(m, ops):
        read += regs
    elif (LOAD.match(m) or LOAD_PAIR.match(m)) and moves_general(ops, count):
        written += [o for o in ops[:count] if isinstance(o, Reg) and o.is_general]
        if mems:
            memory += accesses(mems[0], [scalar_bytes(m, o) for o in ops[:count]], True, False)
        elif labels:  # ldr x0, <literal>: PC-relative
            memory.append(Access("", 0, scalar_bytes(m, ops[0]), True, False,
                                 address=labels[-1].address))
    elif (STORE.match(m) or STORE_PAIR.match(m)) and moves_general(ops, count):
        read += [o for o in ops[:count] if isinstance(o, Reg) and o.is_general]
        if mems:
            memory += accesses(mems[0], [scalar_bytes(m, o) for o in ops[:count]], False, True)
    elif STORE_EXCLUSIVE.match(m):
        # stxr ws, xt, [xn]: the status register is written, the rest read.
        count = 2 if m.endswith("p") else 1
        written += regs[:1]
        read += regs[1:1 + count]
        if mems:
            memory += accesses(mems[0], [scalar_bytes(m, o) for o in ops[1:1 + count]],
                               False, True)
    elif LSE_LOAD.match(m) or LSE_STORE.match(m) or CAS.match(m):
        # ldadd xs, xt, [xn] (xt gets the old value); stadd xs, [xn];
        # swp xs, xt, [xn]; cas xs, xt, [xn] (xs compared, gets the old value).
        data = regs
        if CAS.match(m):
            read += data
            written += data[:2] if m.startswith("casp") else data[:1]
        else:
            read += data[:1]
            written += data[1:2] if LSE_LOAD.match(m) else []
        size = scalar_bytes(m, data[0] if data else None)
        if mems:
            memory += accesses(mems[0], [size * (2 if m.startswith("casp") else 1)
                                         if size else None], True, True)
    elif m in ("nop", "bti", "yield", "wfe", "wfi", "sev", "sevl", "wfet", "wfit",
               "dmb", "dsb", "isb", "sb", "ssbb", "pssbb", "csdb", "esb", "psb", "tsb", "dgh",
               "clrex", "prfm", "prfum", "brk", "udf", "hlt", "dcps1", "dcps2", "dcps3"):
        read += regs  # wfet's timeout; a prefetch reads its address registers only
        # nop and bti as the stretch may hold them: bti with its target only.
        insn.known = (m != "nop" or not ops) and (m != "bti" or all(
            isinstance(o, Other) and o.text in ("c", "j", "jc") for o in ops))
    elif m in ("svc", "hvc", "smc"):
        # The system call number in x8, its arguments in x0-x5; the result
        # in x0; the kernel may write any memory an argument points to.
        insn.syscall = True
        read += [Reg(f"x{n}", f"x{n}", 64) for n in (8, 0, 1, 2, 3, 4, 5)]
        written.append(Reg("x0", "x0", 64))
    elif m == "mrs":
        written += regs[:1]
        insn.flags_read = any(isinstance(o, Other) and o.text == "nzcv" for o in ops)
    elif m == "msr":
        read += regs
        insn.flags_written = any(isinstance(o, Other) and o.text == "nzcv" for o in ops)
        insn.known = False  # its effects (fpcr, tpidr_el0, daif...) are not modelled
    elif m in MAINTENANCE or m == "sysl":
        if m == "sysl":
            written += regs[:1]
        else:
            read += regs
            if regs:  # the register holds an address whose block may be written
                memory.append(Access(regs[-1].family, 0, None, False, True))
        insn.known = False
    elif PAC_LINK.match(m):
        read.append(Reg("x30", LINK, 64))
        written.append(Reg("x30", LINK, 64))
        if m.endswith("sp"):
            read.append(Reg("sp", "sp", 64))
    elif PAC_1716.match(m):
        read += [Reg("x17", "x17", 64), Reg("x16", "x16", 64)]
        written.append(Reg("x17", "x17", 64))
    elif PAC_REGISTER.match(m):
        written += regs[:1]
        read += regs
    elif m == "ldg":
        written += regs[:1]
        read += regs[:1]
        memory += accesses(mems[0], [16], True, False) if mems else []
    elif MEMORY_TAG_STORE.match(m):
        # Tags and (stzg, stgp) data of 16-byte granules: stores.
        read += regs
        memory += accesses(mems[0], [32 if "2g" in m else 16], False, True) if mems else []
    else:
        # Not modelled: it may write any general register, not only those it
        # names (ld64b loads eight from the one named; a memory copy's
        # `x2!` counts down; a hint objdump cannot name, chkfeat, writes x16).
        insn.known = False
        written += regs + [Reg(f"x{n}", f"x{n}", 64) for n in range(31)]
        read += regs
        memory += [a for mem in mems for a in accesses(mem, [None], True, True)]
    if not insn.known and not insn.branch:
        insn.flags_written = True
    insn.flags_read = insn.flags_read or m in FLAG_READERS
    insn.flags_written = insn.flags_written or m in FLAG_WRITERS
    insn.reads, insn.writes, insn.memory = families(read), families(written), tuple(memory)
    return insn


def vector_accesses(mnemonic, ops, mem):
    """The memory a floating-point, SIMD or SVE load or store moves: a
    register's or a pair's bytes, a register list's; None when the model
    cannot size it (lanes, SVE)."""
    loads = mnemonic.startswith("ld")
    stores = mnemonic.startswith("st")
    if not (loads or stores):
        return []
    regs = [o for o in ops if isinstance(o, Reg) and not o.is_general]
    lists = [o for o in ops if isinstance(o, Other) and o.text.startswith("{")]
    sizes = [None]
    if mnemonic in ("ldr", "str", "ldur", "stur", "ldp", "stp", "ldnp", "stnp") and regs:
        sizes = [VECTOR_BYTES.get(r.name[0]) for r in regs[:2]]
    elif lists and re.fullmatch(r"\{(v\d+\.(8b|16b|4h|8h|2s|4s|1d|2d)(, )?)+\}",
                                lists[0].text):
        arrangements = re.findall(r"\.(\w+)", lists[0].text)
        sizes = [sum(8 if a in ("8b", "4h", "2s", "1d") else 16 for a in arrangements)]
    return accesses(mem, sizes, loads, stores)


def parse(line):
    """The record of one listing line, None for a line that is no
    instruction."""
    parsed = parse_line(line)
    return describe(parsed) if parsed else None
