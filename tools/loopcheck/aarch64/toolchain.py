"""The AArch64 toolchain's own code and names in an executable: the runtime
libraries a build may load and the loader it may ask for, the names crt1,
crti, crtbegin and the linker define, and the exact shapes of the code they
put before main and at exit (_start, _init and crti's call_weak_fn,
frame_dummy, register_tm_clones, _fini, __do_global_dtors_aux,
deregister_tm_clones, libgcc's init_have_lse_atomics), and of static
glibc's clock_gettime, as clang++ 14 and g++ 12 builds have them with
glibc's start-up files (dynamic, -no-pie, -static, -static-pie; linked by
ld.bfd or lld, which turns a GOT load into `adr`). Each says why the code at
an address is not the toolchain's own ("" when it is).

A GOT slot is named by what the listing's block says it holds (objdump
names none): a shape's load of a slot must be of the symbol the toolchain's
code loads there, or of a slot that holds 0 (a weak symbol a static link
leaves undefined).
"""
import re

from ..controlflow import own_code
from .listing import slot_values

RUNTIME_LIBRARIES = {"libc.so.6", "libm.so.6", "libmvec.so.1", "libstdc++.so.6",
                     "libgcc_s.so.1", "libpthread.so.0", "libdl.so.2", "librt.so.1",
                     "ld-linux-aarch64.so.1", "libc++.so.1", "libc++abi.so.1", "libunwind.so.1"}

# What the toolchain itself may define for the shared libraries (exported
# with -rdynamic): crt1's, crti's, crtbegin's and the linker's own symbols,
# AArch64's linker adding its __bss_start__ and __bss_end__ family.
TOOLCHAIN_EXPORTS = {"_start", "main", "_init", "_fini", "_IO_stdin_used", "data_start",
                     "__data_start", "__dso_handle", "_edata", "_end", "__bss_start",
                     "__TMC_END__", "__bss_start__", "__bss_end__", "_bss_end__", "__end__"}

# The system's dynamic loader, as AArch64 executables name it.
LOADERS = {"/lib/ld-linux-aarch64.so.1", "/lib/aarch64-linux-gnu/ld-linux-aarch64.so.1"}

LABEL = r"[0-9a-f]+ <[^>]+>"
OFFSET = r"#-?(?:0x[0-9a-f]+|\d+)"
# Instructions every shape below may begin with: a nop (or the landing pad
# of branch protection) where crt files keep one, and lld's nop in place of
# an adrp it made unneeded.
PAD = [r"nop", r"bti c"]


def loaded_slot(insn, states):
    """The address a 64-bit `ldr xN, [xM, #off]` loads from when xM holds a
    known address (adrp, add), else None."""
    held = states.get(insn.address, {})
    if insn.mnemonic != "ldr" or len(insn.operands) != 2 or not hasattr(insn.operands[1], "base"):
        return None
    mem = insn.operands[1]
    base = held.get(mem.base.family)
    if base is None or base[0] != "address" or mem.index is not None or mem.writeback:
        return None
    return base[1] + mem.offset


def dynamic(program):
    return bool(program.startup) and any(kind == "needed" for kind, _ in program.startup.libraries)


def shape_why(program, address, name, wanted, shape, calls=(), slots=(), jumps=(),
              through=()):
    """Why the function at `address` is not the toolchain's `wanted`, ""
    when it is: every instruction it can reach matches one of `shape`
    (regular expressions); every call goes to one of `calls` (in a
    dynamically linked executable, to the libraries, not to code of its
    own, but for the toolchain's own functions named in `jumps`;
    __cxa_finalize only the shared C library's: a static PIE's crtbegin
    calls one only when the program defines it); every
    jump out of it goes to one of `jumps`, each checked in turn; every GOT
    slot it loads holds one of `slots`, or 0; an indirect call (blr) goes
    through a pointer loaded from one of the variables the GOT slots named
    `through` point to; a call to the very next instruction (lld's call
    of a weak function a static link leaves undefined) calls nothing. (An
    address it takes with
    adr, adrp and add, lld's form of a GOT load among them, only decides a
    branch or goes to a call named here, but where the caller checks it.)"""
    if name != wanted:
        return f"not the toolchain's own ({wanted})"
    code = list(own_code(program, address))
    if not code:
        return "its code is not in the listing"
    k = program.block_of(address)
    states = slot_values(program, program.block_code(k))
    table = program.startup.slots if program.startup else {}
    for insn in code:
        if not any(re.fullmatch(pattern, insn.text) for pattern in shape):
            return f"{insn} is not in the toolchain's {wanted}"
        callee = program.callee(insn) if insn.target is not None or insn.is_call else ""
        if insn.branch == "blr":
            held = states.get(insn.address, {}).get(insn.operands[0].family)
            if not held or held[0] != "through" or table.get(held[1], (0, ""))[1] not in through:
                return f"{insn} calls what the toolchain's {wanted} does not"
        elif insn.is_call and insn.target == insn.next:
            pass  # lld's call of a weak function left undefined: on to the next instruction
        elif insn.is_call:
            own = program.calls_own_code(insn)
            if callee not in calls or insn.target is None \
                    or (own and dynamic(program) and callee not in jumps) \
                    or (own and callee == "__cxa_finalize"):
                return f"{insn} calls what the toolchain's {wanted} does not"
            if callee in jumps:
                why = JUMPS[callee](program, insn.target)
                if why:
                    return why
        elif insn.is_jump and insn.target is not None and program.symbol_at(insn.target) != wanted:
            target = program.callee(insn)
            if target not in jumps:
                return f"{insn} goes where the toolchain's {wanted} does not"
            why = JUMPS[target](program, insn.target) if target in JUMPS else ""
            if why:
                return why
        slot = loaded_slot(insn, states)
        if slot in table:
            value, symbol = table[slot]
            if symbol.split("@")[0] not in slots and not (value == 0 and not symbol):
                return f"{insn} loads a pointer other than {' or '.join(sorted(slots))}'s"
    return ""


START = PAD + [r"mov x29, #0x0", r"mov x30, #0x0", r"mov x5, x0", r"ldr x1, \[sp\]",
               r"add x2, sp, #0x8", r"mov x6, sp", rf"adrp x0, {LABEL}",
               rf"ldr x0, \[x0, {OFFSET}\]", rf"add x0, x0, {OFFSET}", rf"adr x0, {LABEL}",
               r"mov x3, #0x0", r"mov x4, #0x0", rf"bl {LABEL}"]
WRAP_MAIN = PAD + [rf"b {LABEL}"]
# The same, in crt1's one order: each argument of __libc_start_main is set
# once, from what the kernel and the loader left (x5: the loader's
# finalizer, run at exit), before the call. Out of order, the same
# instructions could hand it code of the program's own to run at exit
# (`adr x0, f; mov x5, x0`). Main's address comes from its GOT slot
# (Scrt1), or is taken (crt1, rcrt1), or lld's adr takes it.
START_ORDER = re.compile("\n".join([
    r"(?:nop|bti c)", r"mov x29, #0x0", r"mov x30, #0x0", r"mov x5, x0", r"ldr x1, \[sp\]",
    r"add x2, sp, #0x8", r"mov x6, sp",
    rf"(?:adrp x0, {LABEL}\n(?:ldr x0, \[x0(?:, {OFFSET})?\]|add x0, x0, {OFFSET})|"
    rf"nop\nadr x0, {LABEL})",
    r"mov x3, #0x0", r"mov x4, #0x0", rf"bl {LABEL}", rf"bl {LABEL}"]) + "(?:\n|$)")


def toolchain_start(program, address, name, zero_slots=()):
    """Why the entry point is not crt1's own _start, "" when it is: it
    calls __libc_start_main with main (from its GOT slot, or crt1's
    __wrap_main, which only jumps to main), then abort."""
    why = shape_why(program, address, name, "_start", START,
                    ("__libc_start_main", "__libc_start_main_impl", "abort"), ("main",))
    if why:
        return why
    texts = [insn.text for insn in program.block_code(program.block_of(address))
             if insn.address >= address]
    if not START_ORDER.match("\n".join(texts)):
        return "its instructions are not crt1's _start's, in crt1's order"
    code = list(own_code(program, address))
    calls = [insn for insn in code if insn.is_call]
    if [program.callee(insn) for insn in calls] not in (["__libc_start_main", "abort"],
                                                       ["__libc_start_main_impl", "abort"]):
        return "it calls what crt1's _start does not"
    states = slot_values(program, program.block_code(program.block_of(address)))
    held = states.get(calls[0].address, {}).get("x0")
    table = program.startup.slots if program.startup else {}
    main = program.starts.get("main")
    if held is not None and held[0] == "slot" and table.get(held[1], (0, ""))[1] == "main":
        return ""
    if held is not None and held[0] == "address" and (
            held[1] == main or (program.names.get(held[1]) == "__wrap_main"
                                and not wrap_main_why(program, held[1]))):
        return ""
    return "it does not hand __libc_start_main main as crt1's _start does"


def wrap_main_why(program, address):
    """Why crt1's __wrap_main (of a non-PIE build) is not its own: it only
    jumps to main."""
    code = list(own_code(program, address))
    if any(not any(re.fullmatch(p, insn.text) for p in WRAP_MAIN) for insn in code) or \
            [program.callee(insn) for insn in code if insn.is_jump] != ["main"]:
        return "its __wrap_main does more than jump to main"
    return ""


INIT = PAD + [r"stp x29, x30, \[sp, #-16\]!", r"mov x29, sp", rf"bl {LABEL}",
              r"ldp x29, x30, \[sp\], #16", r"ret"]
CALL_WEAK = PAD + [rf"adrp x0, {LABEL}", rf"ldr x0, \[x0, {OFFSET}\]", rf"cbz x0, {LABEL}",
                   rf"b {LABEL}", r"ret"]
FINI = PAD + [r"stp x29, x30, \[sp, #-16\]!", r"mov x29, sp", r"ldp x29, x30, \[sp\], #16",
              r"ret"]


def call_weak_why(program, address):
    """Why crti's call_weak_fn is not its own: it loads __gmon_start__'s
    slot and jumps to its PLT stub if that is not 0, or only returns (a
    static link leaves a nop for the jump)."""
    why = shape_why(program, address, program.symbol_at(address), "call_weak_fn", CALL_WEAK,
                    (), ("__gmon_start__",), ("__gmon_start__",))
    if why:
        return why
    for insn in own_code(program, address):
        if insn.is_jump and insn.target is not None \
                and program.symbol_at(insn.target) != "call_weak_fn" \
                and program.names.get(insn.target) != "__gmon_start__@plt":
            return f"{insn} goes where crti's call_weak_fn does not"
    return ""


def toolchain_init(program, address, name, zero_slots=()):
    """Why the init function is not crti's own _init, "" when it is: it
    calls call_weak_fn (the profiler's hook __gmon_start__, if linked) and
    returns."""
    if "__gmon_start__" in program.starts:
        return "the program defines __gmon_start__, which _init calls"
    return shape_why(program, address, name, "_init", INIT, ("call_weak_fn",), (),
                     ("call_weak_fn",))


TM_CLONES = PAD + [rf"adrp x[01], {LABEL}", rf"add x[01], x[01], {OFFSET}", rf"adr x[01], {LABEL}",
                   r"sub x1, x1, x0", r"lsr x2, x1, #63", r"add x1, x2, x1, asr #3",
                   r"asr x1, x1, #1", r"cmp x1, x0", rf"b\.eq {LABEL}", rf"cbz x[12], {LABEL}",
                   rf"adrp x[12], {LABEL}", rf"ldr x([12]), \[x\1, {OFFSET}\]", r"mov x16, x[12]",
                   r"br x16", r"ret"]


def tm_clones_why(program, address, wanted):
    """Why crtbegin's register_tm_clones (or deregister_tm_clones) is not
    its own: it jumps only through x16 as loaded from the _ITM_ table's
    slot, or one that holds 0."""
    table = "_ITM_registerTMCloneTable" if wanted == "register_tm_clones" \
        else "_ITM_deregisterTMCloneTable"
    why = shape_why(program, address, program.symbol_at(address), wanted, TM_CLONES, (),
                    (table, "__TMC_END__"))
    if why:
        return why
    states = slot_values(program, program.block_code(program.block_of(address)))
    slots = program.startup.slots if program.startup else {}
    for insn in own_code(program, address):
        if insn.branch == "br":
            held = states.get(insn.address, {}).get("x16")
            value, symbol = slots.get(held[1], (None, "")) if held and held[0] == "slot" \
                else (None, "")
            if symbol.split("@")[0] != table and not (value == 0 and not symbol):
                return f"{insn} jumps through a pointer other than {table}'s"
    return ""


FRAME_DUMMY = PAD + [rf"b {LABEL}", rf"adrp x[01], {LABEL}", rf"ldr x0, \[x0, {OFFSET}\]",
                     rf"adr x0, {LABEL}", rf"cbz x0, {LABEL}", r"stp x29, x30, \[sp, #-16\]!",
                     r"mov x29, sp", rf"add x[01], x[01], {OFFSET}", rf"bl {LABEL}",
                     r"ldp x29, x30, \[sp\], #16"]


def toolchain_constructor(program, address, name, zero_slots=()):
    """Why a constructor is not the toolchain's own, "" when it is:
    crtbegin's frame_dummy (which registers the frame tables at most, in a
    static build, and goes on to register_tm_clones), crtfastmath's
    set_fast_math, or libgcc's init_have_lse_atomics (which keeps whether
    the processor has the LSE atomics, for the outlined atomics' helpers)."""
    if name == "set_fast_math":
        return shape_why(program, address, name, name, SET_FAST_MATH)
    if name == "init_have_lse_atomics":
        return shape_why(program, address, name, name, LSE_ATOMICS, ("getauxval", "__getauxval"))
    if name != "frame_dummy":
        return "not the toolchain's own (frame_dummy)"
    return shape_why(program, address, name, "frame_dummy", FRAME_DUMMY,
                     ("__register_frame_info",), ("__register_frame_info",),
                     ("register_tm_clones",))


# crtfastmath.o's constructor (linked by -ffast-math and -Ofast): it sets
# FPCR's flush-to-zero bit, and nothing else.
SET_FAST_MATH = [r"mov w0, #0x1000000", r"msr fpcr, x0", r"ret"]
LSE_ATOMICS = [r"stp x29, x30, \[sp, #-16\]!", r"mov x0, #0x10", r"mov x29, sp", rf"bl {LABEL}",
               r"ubfx w0, w0, #8, #1", rf"adrp x1, {LABEL}", r"ldp x29, x30, \[sp\], #16",
               rf"strb w0, \[x1, {OFFSET}\]", r"ret"]
DTORS_AUX = [r"stp x29, x30, \[sp, #-32\]!", r"mov x29, sp", r"str x19, \[sp, #16\]",
             rf"adrp x(?:19|0), {LABEL}", rf"ldrb w0, \[x19, {OFFSET}\]", rf"cbnz w0, {LABEL}",
             rf"ldr x0, \[x0, {OFFSET}\]", rf"cbz x0, {LABEL}", rf"add x0, x0, {OFFSET}",
             rf"adr x0, {LABEL}", rf"bl {LABEL}", r"nop", r"mov w0, #0x1",
             rf"strb w0, \[x19, {OFFSET}\]", r"ldr x19, \[sp, #16\]",
             r"ldp x29, x30, \[sp\], #32", r"ret"]


def toolchain_why(program, kind, address, name, zero_slots=()):
    """Why the code at `address` (named `name`) that runs before main or at
    exit as `kind` (the startup block's: "entry", ".init", ".preinit_array",
    ".init_array", ".fini_array", ".fini") is not the toolchain's own, ""
    when it is."""
    if kind == "entry":
        return toolchain_start(program, address, name)
    if kind == ".init":
        return toolchain_init(program, address, name)
    if kind == ".fini":
        return shape_why(program, address, name, "_fini", FINI)
    if kind == ".fini_array":
        return shape_why(program, address, name, "__do_global_dtors_aux", DTORS_AUX,
                         ("__cxa_finalize", "deregister_tm_clones", "__deregister_frame_info"),
                         ("__cxa_finalize", "__deregister_frame_info", "__dso_handle"),
                         ("deregister_tm_clones",))
    return toolchain_constructor(program, address, name)


JUMPS = {"call_weak_fn": call_weak_why,
         "register_tm_clones": lambda program, a: tm_clones_why(program, a, "register_tm_clones"),
         "deregister_tm_clones": lambda program, a: tm_clones_why(program, a,
                                                                  "deregister_tm_clones"),
         "main": lambda program, a: "" if a == program.starts.get("main") else "not main"}


# Static glibc's clock_gettime, instruction for instruction (an address
# aside): the vDSO's function through the pointer the C library's start-up
# leaves in _dl_vdso_clock_gettime64, or else the clock_gettime system call
# (113); a failure sets errno (the thread's, at a fixed offset from
# tpidr_el0) and returns -1.
CLOCK = [rf"adrp x2, {LABEL}", rf"ldr x2, \[x2, {OFFSET}\]", r"ldr x2, \[x2\]",
         rf"cbz x2, {LABEL}", r"stp x29, x30, \[sp, #-16\]!", r"mov x29, sp", r"blr x2",
         rf"cbnz w0, {LABEL}", r"mov w0, #0x0", r"ldp x29, x30, \[sp\], #16", r"ret",
         r"sxtw x0, w0", r"mov x8, #0x71", r"svc #0x0", r"movz x2, #0x0, lsl #16",
         r"movk x2, #0x[0-9a-f]+", r"mrs x3, tpidr_el0", r"neg w1, w0", r"mov w0, #0xffffffff",
         r"str w1, \[x3, x2\]", rf"b {LABEL}", r"nop", r"bti c"]
VDSO_POINTERS = ("_dl_vdso_clock_gettime64", "_dl_vdso_clock_gettime")


def clock_shape_why(program, entry):
    """Why the clock function at `entry`, in the executable itself, is not
    static glibc's (its exact instructions, jumps only inside it, its one
    indirect call through the vDSO's pointer), "" when it is."""
    home = program.symbol_at(entry)
    return shape_why(program, entry, home, home, CLOCK, (), VDSO_POINTERS, through=VDSO_POINTERS)
