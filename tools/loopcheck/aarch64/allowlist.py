"""The allowlist of the timed stretch on AArch64: which instructions it may
hold (`decode`), and the words naming why anything else is refused.

Allowed: plain integer code on general registers: moves (mov, movz, movn,
movk), add, sub, adc, sbc, neg, ngc, the logic operations, multiplies and
divides, shifts, bit-field moves and extensions, bit counts and reversals,
conditional selects and compares, adr and adrp; loads and stores of one
general register or a pair (ldr, str, ldur, stur, ldp, stp and their
byte, half-word and sign-extending forms; write-back included); direct
branches (b, b.cond, cbz, cbnz, tbz, tbnz); nop and bti, the landing pad
of branch protection. Everything else is refused, named: exclusive and
acquire/release loads and stores, atomics, calls (an outlined atomic named
as one), indirect branches and returns, barriers, hints, prefetches,
system registers, system calls, traps, cache and system maintenance,
pointer authentication, memory tagging, non-temporal and unprivileged
accesses, floating-point, SIMD and SVE, and bytes objdump cannot decode.
"""
import re

from ..insn import Decoded, refuse
from .instructions import is_vector_code
from .syntax import Other

ALLOWED = {
    "mov", "movz", "movn", "movk", "add", "adds", "sub", "subs", "adc", "adcs", "sbc", "sbcs",
    "neg", "negs", "ngc", "ngcs", "cmp", "cmn", "and", "ands", "orr", "eor", "bic", "bics",
    "orn", "eon", "mvn", "tst", "mul", "madd", "msub", "mneg", "smull", "umull", "smulh",
    "umulh", "smaddl", "umaddl", "smsubl", "umsubl", "smnegl", "umnegl", "udiv", "sdiv", "lsl",
    "lsr", "asr", "ror", "lslv", "lsrv", "asrv", "rorv", "ubfx", "sbfx", "ubfiz", "sbfiz",
    "ubfm", "sbfm", "bfi", "bfxil", "bfc", "bfm", "extr", "sxtb", "sxth", "sxtw", "uxtb",
    "uxth", "clz", "cls", "rbit", "rev", "rev16", "rev32", "rev64", "csel", "csinc", "csinv",
    "csneg", "cset", "csetm", "cinc", "cinv", "cneg", "ccmp", "ccmn", "adr", "adrp",
    "ldr", "ldrb", "ldrh", "ldrsb", "ldrsh", "ldrsw", "ldur", "ldurb", "ldurh", "ldursb",
    "ldursh", "ldursw", "ldp", "ldpsw", "str", "strb", "strh", "stur", "sturb", "sturh", "stp",
    "b", "b.cond", "cbz", "cbnz", "tbz", "tbnz", "nop", "bti",
}

# Why an instruction outside the allowed set is refused, by its mnemonic;
# the first that matches names it.
REFUSALS = [
    (re.compile(r"^(?:ld|st)(?:a|l)?x[rp][bh]?$|^clrex$"),
     "exclusive load or store (an atomic sequence)"),
    (re.compile(r"^(?:ldar|ldapr|ldapur|ldlar|stlr|stllr|stlur)(?:s?[bhw])?$"),
     "acquire or release load or store (ordered like a barrier)"),
    (re.compile(r"^(?:ld|st)(?:add|clr|eor|set|smax|smin|umax|umin)(?:a|l|al)?[bh]?$|"
                r"^swp(?:a|l|al)?[bh]?$|^casp?(?:a|l|al)?[bh]?$"),
     "atomic read-modify-write (LSE)"),
    (re.compile(r"^(?:dmb|dsb|isb|sb|ssbb|pssbb|csdb|esb|psb|tsb|dgh)$"), "barrier"),
    (re.compile(r"^(?:yield|wfe|wfi|sev|sevl|wfet|wfit)$"), "spin-wait or event hint"),
    (re.compile(r"^prfu?m$"), "prefetch"),
    (re.compile(r"^mrs$"), "read of a system register"),
    (re.compile(r"^msr$"), "write to a system register"),
    (re.compile(r"^(?:svc|hvc|smc)$"), "system call"),
    (re.compile(r"^(?:brk|udf|hlt|dcps[123])$"), "trap (brk, udf, hlt)"),
    (re.compile(r"^(?:dc|ic|at|tlbi|sys|sysl|cfp|cpp|dvp|brb)$"),
     "cache or system maintenance instruction"),
    (re.compile(r"^(?:pac|aut|xpac)"), "pointer authentication"),
    (re.compile(r"^(?:irg|gmi|addg|subg|subps?|ldg|ldgm|stg|stzg|st2g|stz2g|stgp|stgm|stzgm)$"),
     "memory tagging instruction"),
    (re.compile(r"^(?:ldnp|stnp)$"), "non-temporal load or store (a cache hint)"),
    (re.compile(r"^(?:ldtr|sttr)"), "unprivileged load or store"),
    (re.compile(r"^hint$"), "hint"),
]


# The system registers that count time, by what they are.
COUNTERS = {"cntvct_el0": "the virtual counter, a timer",
            "cntpct_el0": "the physical counter, a timer",
            "cntvctss_el0": "the virtual counter, a timer",
            "cntpctss_el0": "the physical counter, a timer",
            "pmccntr_el0": "the cycle counter"}


def system_register(insn):
    """The system register an mrs reads or an msr writes, in words."""
    named = [o.text for o in insn.operands if isinstance(o, Other)]
    if not named:
        return "unnamed"
    return f"{named[0]}: {COUNTERS[named[0]]}" if named[0] in COUNTERS else named[0]



def decode(insn):
    """The allowlist: an allowed instruction's operation and width, or why
    the instruction is not allowed (an instructions.Insn)."""
    m = insn.mnemonic
    if insn.undecoded:
        return refuse("bytes objdump cannot decode")
    if insn.is_call:
        if insn.target_name.startswith("__aarch64_"):
            return refuse(f"outlined atomic (a call to {insn.target_name})")
        return refuse("call")
    if insn.branch == "br":
        return refuse("indirect branch")
    if insn.is_return:
        return refuse("return" if insn.branch == "ret" else "exception return")
    if is_vector_code(insn):
        return refuse("floating-point or SIMD instruction")
    if insn.op in ALLOWED and insn.known:
        return Decoded(insn.op, insn.width, condition=insn.condition)
    for pattern, why in REFUSALS:
        if pattern.search(m):
            if m in ("mrs", "msr"):
                return refuse(f"{why} ({system_register(insn)})")
            return refuse(why)
    return refuse("instruction outside the allowed set")


def timestamp_copy(insn, state, timespec, copied):
    """No exception for the clock's timespec on AArch64: the builds keep
    the start time in general registers (ldp), which the rules let read it
    outside a loop."""
    return None
