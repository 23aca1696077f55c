"""The x86-64 toolchain's own code and names in an executable: the runtime
libraries a build may load and the loader it may ask for, the names crt1,
crti, crtbegin and the linker define, and the exact shapes of the code they
put before main and at exit (_start, _init, frame_dummy, register_tm_clones,
_fini, __do_global_dtors_aux, deregister_tm_clones, crtfastmath's
set_fast_math), and of static glibc's clock_gettime. Each `toolchain_*`
function says why the code at an address is not the toolchain's own (""
when it is), `toolchain_why` for each kind of code run before main or at
exit; the rules that judge what runs before main and at exit (rules.py) make
their fault messages from that.
"""
import re

from ..controlflow import next_addresses, own_code
from .allowlist import decode

# The C and C++ runtime's shared libraries: what a build of the benchmark
# links, with either compiler and its standard library.
RUNTIME_LIBRARIES = {"libc.so.6", "libm.so.6", "libmvec.so.1", "libstdc++.so.6",
                     "libgcc_s.so.1", "libpthread.so.0", "libdl.so.2", "librt.so.1",
                     "ld-linux-x86-64.so.2", "libc++.so.1", "libc++abi.so.1", "libunwind.so.1"}


# What the toolchain itself may define for the shared libraries in an
# executable (crt1, crti, crtbegin, the linker's own symbols): a build
# exports them with -rdynamic. Any other name an executable defines for its
# libraries interposes theirs (the program's own malloc, called by stdio
# and libstdc++ beside the loops); the libraries' objects copied into it
# (stdout, say: a copy relocation) are not listed as its own.
TOOLCHAIN_EXPORTS = {"_start", "main", "_init", "_fini", "_IO_stdin_used", "data_start",
                     "__data_start", "__dso_handle", "_edata", "_end", "__bss_start",
                     "__TMC_END__", "__libc_csu_init", "__libc_csu_fini"}


# The system's dynamic loader, as x86-64 executables name it.
LOADERS = {"/lib64/ld-linux-x86-64.so.2", "/lib/x86_64-linux-gnu/ld-linux-x86-64.so.2"}


# crt1's _start, in its order: each argument of __libc_start_main set
# once, the loader's finalizer (run at exit) left in %r9 from %rdx. The same
# instructions with more between could hand it a function of the program's
# own to run at exit (`lea f(%rip),%r9`). Main's address is taken or loaded
# from its GOT slot; a static link's call is `addr32 call`.
START_ORDER = re.compile(r"(?:endbr64\n)?xor %ebp,%ebp\nmov %rdx,%r9\npop %rsi\nmov %rsp,%rdx\n"
                         r"and \$0xfffffffffffffff0,%rsp\npush %rax\npush %rsp\nxor %r8d,%r8d\n"
                         r"xor %ecx,%ecx\n(?:lea|mov) [^\n]+,%rdi\n(?:addr32 )?call [^\n]+\nhlt(?:\n|$)")


def toolchain_start(program, address, name):
    """Why the entry point is not crt1's own _start, "" when it is: it
    calls __libc_start_main, and nothing else, with main, in crt1's order."""
    if name != "_start":
        return "not the toolchain's own (_start)"
    if not START_ORDER.match("\n".join(insn.text for insn in program.block_code(
            program.block_of(address)) if insn.address >= address)):
        return "its instructions are not crt1's _start's, in crt1's order"
    code = list(own_code(program, address))
    calls = [insn for insn in code if insn.is_call]
    if [program.callee(insn) for insn in calls] != ["__libc_start_main"]:
        return "it calls what crt1's _start does not"
    main = program.starts.get("main")
    given = [insn for insn in code if insn.operands[-1:] == ["%rdi"]
             and (insn.rip_address == main or insn.operands[0] == f"${main:#x}")]
    if not given or any(insn.is_jump for insn in code):
        return "it does not hand __libc_start_main main as crt1's _start does"
    return ""


def toolchain_init(program, address, name, zero_slots=()):
    """Why the init function at `address` is not crti's own _init, "" when
    it is: it calls at most __gmon_start__ (the profiler's hook, null unless
    profiling) through the pointer it loads (from its slot, or, in a static
    PIE, from a slot that holds 0), and returns."""
    if name != "_init":
        return "not the toolchain's own (_init)"
    if "__gmon_start__" in program.starts:
        return "the program defines __gmon_start__, which _init calls"
    code = list(own_code(program, address))
    if not code:
        return "its code is not in the listing"
    for insn in code:
        if insn.is_call and insn.text.replace(" ", "") != "call*%rax":
            return f"{insn} calls what crti's _init does not"
        if insn.mnemonic == "mov" and insn.operands[-1:] == ["%rax"] \
                and insn.operands[0] != "$0x0" and "__gmon_start__" not in insn.target_name \
                and insn.rip_address not in zero_slots:
            return f"{insn} loads a pointer other than __gmon_start__'s"
        if insn.is_jump and (insn.target is None or program.symbol_at(insn.target) != "_init"):
            return f"{insn} goes where crti's _init does not"
        if not insn.is_call and not any(re.fullmatch(p, insn.text) for p in INIT_SHAPE):
            return f"{insn} is not in crti's _init"
    return ""


# What exit() (and main's return) runs of the executable's own: crti's
# _fini, and crtbegin's __do_global_dtors_aux in the .fini_array, which
# runs the C library's __cxa_finalize (the handlers registered by
# atexit/__cxa_atexit, which the code before the loops is judged not to
# register), deregister_tm_clones and, in a static build, libgcc's
# __deregister_frame_info, and sets its own "completed" flag. Their exact
# instructions (a %rip-relative or absolute address aside) are all that is
# let through: a destructor of the program's own may print a report of its
# own after main leaves through exit(). A static PIE has no shared C
# library to finalize: its __do_global_dtors_aux tests __cxa_finalize's GOT
# slot, which holds 0, and so never makes the call that follows (through
# .plt.got, or to address 0), which is not read (`zero_guard`).
ADDRESS = r"(?:-?0x[0-9a-f]+\(%rip\)|\$0x[0-9a-f]+)"
FINI = [r"sub \$0x8,%rsp", r"add \$0x8,%rsp", r"ret", r"endbr64"]
DTORS_AUX = [r"endbr64", r"push %rbp", r"pop %rbp", r"mov %rsp,%rbp", r"ret",
             r"test %rax,%rax", rf"cmpb \$0x0,{ADDRESS}", rf"cmpq \$0x0,{ADDRESS}",
             rf"movb \$0x1,{ADDRESS}", rf"mov {ADDRESS},%(?:rdi|edi|eax)",
             r"j(?:e|ne) [0-9a-f]+ <__do_global_dtors_aux\+0x[0-9a-f]+>"]
DTORS_AUX_CALLS = {"__cxa_finalize", "deregister_tm_clones", "__deregister_frame_info"}
DEREGISTER = [r"endbr64", r"ret", r"test %rax,%rax", r"cmp %rdi,%rax", rf"cmp {ADDRESS},%rax",
              rf"lea {ADDRESS},%r(?:di|ax)", r"mov \$0x[0-9a-f]+,%e(?:di|ax)",
              r"mov -?0x[0-9a-f]+\(%rip\),%rax", r"mov \$0x0,%rax",
              r"j(?:e|ne) [0-9a-f]+ <deregister_tm_clones\+0x[0-9a-f]+>", r"jmp \*%rax"]

# crtbegin's register_tm_clones and frame_dummy, and crti's _init (code
# added to .init would run before main), as clang++ 14 and g++ 12 builds
# have them at every flag set (static ones included). A static build's
# linker makes the load of an _ITM_ table's slot (the weak symbol is
# undefined there) `mov $0x0` into %eax, or into %rax in a static PIE.
REGISTER = [r"endbr64", r"ret", r"test %rax,%rax", rf"lea {ADDRESS},%r(?:si|di)",
            r"mov \$0x[0-9a-f]+,%e(?:si|di|ax)", r"mov -?0x[0-9a-f]+\(%rip\),%rax",
            r"mov \$0x0,%rax",
            r"sub %rdi,%rsi", r"sub \$0x[0-9a-f]+,%rsi", r"mov %rsi,%rax", r"shr \$0x3f,%rsi",
            r"sar \$0x3,%rax", r"add %rax,%rsi", r"sar %rsi",
            r"j(?:e|ne) [0-9a-f]+ <register_tm_clones\+0x[0-9a-f]+>", r"jmp \*%rax"]
INIT_SHAPE = [r"endbr64", r"sub \$0x8,%rsp", r"add \$0x8,%rsp", r"ret", r"test %rax,%rax",
              r"call \*%rax", r"mov -?0x[0-9a-f]+\(%rip\),%rax", r"mov \$0x0,%[er]ax",
              r"j(?:e|ne) [0-9a-f]+ <_init\+0x[0-9a-f]+>"]
FRAME_DUMMY_SHAPE = [r"endbr64", r"push %rbp", r"pop %rbp", r"mov %rsp,%rbp", r"test %rax,%rax",
                     r"mov \$0x[0-9a-f]+,%e(?:ax|si|di)", rf"lea {ADDRESS},%r(?:si|di)",
                     r"j(?:e|ne) [0-9a-f]+ <frame_dummy\+0x[0-9a-f]+>",
                     r"jmp [0-9a-f]+ <register_tm_clones>"]


def zero_guard(program, zero_slots):
    """The branch decider (controlflow.own_code's `decided`) for a `je`
    right after `cmpq $0x0,SLOT(%rip)`, `mov %rsp,%rbp` aside (it leaves
    the flags alone), when SLOT holds 0: it is taken."""
    def decided(insn):
        if insn.mnemonic != "je" or not zero_slots:
            return None
        code = program.block_code(program.block_of(insn.address))
        before = [other for other in code if other.address < insn.address][-2:]
        if before and before[-1].text == "mov %rsp,%rbp":
            before = before[:-1]
        test = before[-1] if before else None
        if test is not None and test.mnemonic == "cmpq" and test.operands[0] == "$0x0" \
                and test.rip_address in zero_slots:
            return insn.target
        return None
    return decided


def toolchain_shape(program, address, name, wanted, shape, calls=(), zero_slots=()):
    """Why the function at `address` is not the toolchain's `wanted`, ""
    when it is: every instruction it can reach (a branch on a slot that
    holds 0 going only its way) is one of `shape` (regular expressions),
    every call goes to one of `calls` (__cxa_finalize the C library's, not
    code in the executable), and a call to deregister_tm_clones goes to
    code of that function's own shape."""
    if name != wanted:
        return f"not the toolchain's own ({wanted})"
    code = list(own_code(program, address, zero_guard(program, zero_slots)))
    if not code:
        return "its code is not in the listing"
    for insn in code:
        if insn.is_call:
            callee = program.callee(insn)
            if callee not in calls or (insn.target is None and callee != "__cxa_finalize") \
                    or (callee == "__cxa_finalize" and program.calls_own_code(insn)):
                return f"{insn} calls what the toolchain's {wanted} does not"
            if callee == "deregister_tm_clones":
                why = toolchain_deregister(program, insn.target, zero_slots=zero_slots)
                if why:
                    return why
        elif not any(re.fullmatch(pattern, insn.text) for pattern in shape):
            return f"{insn} is not in the toolchain's {wanted}"
    return ""


def toolchain_deregister(program, address, wanted="deregister_tm_clones", zero_slots=()):
    """Why the function at `address` is not crtbegin's deregister_tm_clones
    (or register_tm_clones, `wanted`), "" when it is: its one jump out goes
    through %rax as loaded, on every way to the jump, from the _ITM_
    table's slot (in a static PIE, a slot that holds 0) or set to 0."""
    why = toolchain_shape(program, address, program.symbol_at(address), wanted,
                          DEREGISTER if wanted == "deregister_tm_clones" else REGISTER)
    if why:
        return why
    table = "_ITM_deregisterTMCloneTable" if wanted == "deregister_tm_clones" \
        else "_ITM_registerTMCloneTable"
    for insn in own_code(program, address):
        if insn.operands[-1:] == ["%rax"] and insn.mnemonic == "mov" \
                and insn.operands[0] != "$0x0" and "(%rip)" in insn.operands[0] \
                and table not in insn.target_name and insn.rip_address not in zero_slots:
            return f"{insn} loads a pointer other than {table}'s"
    for writer in rax_at_jumps(program, address):
        if writer is None or writer.mnemonic != "mov" or (writer.operands[0] != "$0x0"
                                                          and "(%rip)" not in writer.operands[0]):
            return f"{writer or 'its caller'} sets the %rax it jumps through to neither 0 nor " \
                   f"{table}'s pointer"
    return ""


def rax_at_jumps(program, address):
    """The instructions whose write of %rax (or %eax) may be what the
    function at `address` jumps through (`jmp *%rax`), None for a value it
    did not set itself: the last writes on every way there."""
    code = {insn.address: insn for insn in own_code(program, address)}
    writers, todo, found = {address: {None}}, [address], set()
    while todo:  # writers: address -> the addresses of the last writes before it
        insn = code[todo.pop()]
        writes = insn.operands[-1:] in (["%rax"], ["%eax"]) and insn.mnemonic not in ("test",
                                                                                    "cmp")
        after = {insn.address} if writes else writers[insn.address]
        if insn.text == "jmp *%rax":
            found |= writers[insn.address]
        for following in next_addresses(insn):
            if following in code and not after <= writers.setdefault(following, set()):
                writers[following] |= after
                todo.append(following)
    return [code.get(writer) for writer in sorted(found, key=lambda a: -1 if a is None else a)]


# crtfastmath.o's constructor (linked by -ffast-math and -Ofast): it sets
# the flush-to-zero and denormals-are-zero bits of MXCSR, and nothing else.
SET_FAST_MATH = [r"endbr64", r"stmxcsr -0x4\(%rsp\)", r"orl \$0x8040,-0x4\(%rsp\)",
                 r"ldmxcsr -0x4\(%rsp\)", r"ret"]


def toolchain_constructor(program, address, name, zero_slots=()):
    """Why the constructor at `address` is not the toolchain's own, "" when
    it is: frame_dummy (crtbegin's), whose code registers the frame tables
    at most and goes on to register_tm_clones."""
    if name == "set_fast_math":
        return toolchain_shape(program, address, name, "set_fast_math", SET_FAST_MATH)
    if name != "frame_dummy":
        return "not the toolchain's own (frame_dummy)"
    code = list(own_code(program, address))
    if not code:
        return "its code is not in the listing"
    for insn in code:
        if insn.is_call and program.callee(insn) != "__register_frame_info":
            return f"{insn} calls what crtbegin's frame_dummy does not"
        if insn.is_jump and insn.target is not None \
                and program.symbol_at(insn.target) not in ("frame_dummy", "register_tm_clones"):
            return f"{insn} goes where crtbegin's frame_dummy does not"
        if insn.is_jump and insn.target is not None \
                and program.symbol_at(insn.target) == "register_tm_clones":
            why = toolchain_deregister(program, insn.target, "register_tm_clones", zero_slots)
            if why:
                return why
        if not insn.is_call and not any(re.fullmatch(p, insn.text) for p in FRAME_DUMMY_SHAPE):
            return f"{insn} is not in crtbegin's frame_dummy"
        if (insn.is_jump and insn.target is None) or (not insn.is_jump and not insn.is_call
                                                      and not decode(insn).allowed
                                                      and not insn.mnemonic.startswith(
                                                          ("push", "pop"))):
            return f"{insn} is not in crtbegin's frame_dummy"
    return ""


def toolchain_why(program, kind, address, name, zero_slots=()):
    """Why the code at `address` (named `name`) that runs before main or at
    exit as `kind` (the startup block's: "entry", ".init", ".preinit_array",
    ".init_array", ".fini_array", ".fini") is not the toolchain's own, ""
    when it is; `zero_slots`: the GOT slots known to hold 0 then (a static
    PIE's)."""
    if kind == "entry":
        return toolchain_start(program, address, name)
    if kind == ".init":
        return toolchain_init(program, address, name, zero_slots)
    if kind == ".fini":
        return toolchain_shape(program, address, name, "_fini", FINI)
    if kind == ".fini_array":
        return toolchain_shape(program, address, name, "__do_global_dtors_aux", DTORS_AUX,
                               DTORS_AUX_CALLS, zero_slots)
    return toolchain_constructor(program, address, name, zero_slots)


# Static glibc's __clock_gettime, instruction for instruction (an address
# aside): the vDSO's function through the pointer the C library's start-up
# leaves in _dl_vdso_clock_gettime64, or else the clock_gettime system call
# (228); a failure sets errno (the thread's, at %fs:-0x48) and returns -1.
CLOCK_SHAPE = [r"mov -?0x[0-9a-f]+\(%rip\),%rax", r"test %rax,%rax", r"test %eax,%eax",
               r"sub \$0x8,%rsp", r"add \$0x8,%rsp", r"call \*%rax", r"xor %eax,%eax",
               r"ret", r"mov \$0xe4,%eax", r"syscall", r"neg %eax",
               r"mov \$0xffffffffffffffb8,%rdx", r"mov %eax,%fs:\(%rdx\)",
               r"mov \$0xffffffff,%eax", r"endbr64", r"j(?:e|ne|mp) [0-9a-f]+ <[^>+]+\+0x[0-9a-f]+>"]


def clock_shape_why(program, entry):
    """Why the clock function at `entry`, in the executable itself, is not
    static glibc's (its exact instructions, jumps only inside it, its one
    indirect call through the vDSO's pointer), "" when it is. A clock of
    the program's own may make the system call and arm a timer too."""
    home = program.symbol_at(entry)
    seen, todo = {entry}, [entry]
    while todo:
        insn = program.at(todo.pop())
        if insn is None or program.symbol_at(insn.address) != home:
            return f"its code at {entry:x} leaves the function or cannot be read"
        if not any(re.fullmatch(pattern, insn.text) for pattern in CLOCK_SHAPE):
            return f"{insn} is not in the C library's clock_gettime"
        if insn.mnemonic == "mov" and insn.operands[-1:] == ["%rax"] \
                and "(%rip)" in insn.operands[0] \
                and not insn.target_name.startswith("_dl_vdso_clock_gettime"):
            return f"{insn} loads a pointer other than the vDSO's clock_gettime"
        if insn.mnemonic == "ret" or (insn.mnemonic == "jmp" and insn.target is None):
            continue
        following = [insn.next] if insn.mnemonic != "jmp" else []
        if insn.is_jump:
            following.append(insn.target)
        for address in following:
            if address not in seen:
                seen.add(address)
                todo.append(address)
    return ""
