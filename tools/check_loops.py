#!/usr/bin/env python3
"""Checks, from the machine code, that a build of bench_c_jit_compare times
exactly the loops its report claims.

    tools/check_loops.py [--verbose] EXECUTABLE

It disassembles `main` with objdump and, for each of the three measurements,
finds the timed stretch (the code on the paths from the return of one
clock_gettime call to the next) and the loop inside it. For every path
around the loop it counts accesses to the accumulator and the iterations the
path advances the loop index by, and requires:

  - one read and one write of the accumulator per iteration (a
    read-modify-write instruction on memory counts as one of each), and no
    other memory access: the index and the loop control live in registers;
  - no call and no vector instruction in the loop, and no call anywhere in
    the timed stretch;
  - exactly two clock reads per measurement, six in all, none inside a loop;
  - the loop's index runs through 1e8 iterations in all;
  - the accumulator reset before the first clock read and its final read for
    the report after the second.

Exit status: 0 when every measurement passes, 1 naming each kernel and fault
otherwise, 2 on a usage or tool error, 77 (skipped) off x86-64.
"""
import argparse
import dataclasses
import platform
import re
import shutil
import subprocess
import sys

from report import ITERATIONS, KERNEL_NAMES as KERNELS

SKIP = 77

# Calls that never return: the paths through them end there.
NORETURN = re.compile(r"fail_clock|^_?exit$|^abort$|__stack_chk_fail|__ubsan_handle|__asan_report")
PREFIXES = {"cs", "ds", "es", "ss", "fs", "gs", "data16", "notrack", "bnd", "lock", "rep", "repz",
            "repe", "repnz", "repne", "rex", "rex.W"}
READ_ONLY = ("cmp", "test", "bt", "push")  # a memory operand here is only read
WRITE_ONLY_PREFIXES = ("mov", "set")  # mov*, movabs, set<cc>: the destination is only written
MEMORY = re.compile(r"^(?:%[a-z]s:)?(-?0x[0-9a-f]+|-?\d+)?\((%[a-z0-9]+)?(?:,(%[a-z0-9]+))?(?:,(\d))?\)$")
VECTOR_REGISTER = re.compile(r"%(?:[xyz]mm\d+|k[0-7]|mm\d)\b")

_FAMILIES = {}
for _n in ("ax", "bx", "cx", "dx"):
    for _name in (f"r{_n}", f"e{_n}", _n, f"{_n[0]}l", f"{_n[0]}h"):
        _FAMILIES[_name] = f"r{_n}"
for _n in ("si", "di", "bp", "sp"):
    for _name in (f"r{_n}", f"e{_n}", _n, f"{_n}l"):
        _FAMILIES[_name] = f"r{_n}"
for _i in range(8, 16):
    for _suffix in ("", "d", "w", "b"):
        _FAMILIES[f"r{_i}{_suffix}"] = f"r{_i}"


def family(register):
    """The 64-bit register that a register name is part of (%eax -> rax)."""
    name = register.lstrip("%")
    return _FAMILIES.get(name, name)


class ToolError(Exception):
    pass


@dataclasses.dataclass
class Insn:
    address: int
    mnemonic: str
    operands: list
    text: str
    target: int = None  # direct jump or call target
    symbol: str = ""  # call target's symbol

    @property
    def is_call(self):
        return self.mnemonic.startswith("call")

    @property
    def is_jump(self):
        return self.mnemonic.startswith("j")

    @property
    def is_unconditional(self):
        return self.mnemonic.startswith("jmp")

    def memory_operands(self):
        """(canonical operand, is_last) for each memory operand."""
        if self.is_jump or self.is_call:
            return []
        found = []
        for index, operand in enumerate(self.operands):
            if MEMORY.match(operand):
                found.append((canonical_memory(operand), index == len(self.operands) - 1))
        return found

    def accesses(self):
        """(address, reads, writes) for each memory operand the instruction
        actually touches (lea and nop compute an address but touch nothing)."""
        base = self.mnemonic
        if base.startswith(("lea", "nop", "prefetch")):
            return []
        result = []
        for operand, is_last in self.memory_operands():
            if not is_last or base.startswith(READ_ONLY):
                result.append((operand, 1, 0))
            elif base.startswith(WRITE_ONLY_PREFIXES):
                result.append((operand, 0, 1))
            else:
                result.append((operand, 1, 1))
        return result

    def implicit_stack_access(self):
        return self.mnemonic.startswith(("push", "pop", "call", "ret", "leave", "enter"))

    def is_vector(self):
        return bool(VECTOR_REGISTER.search(" ".join(self.operands)))

    def written_registers(self):
        """Register families this instruction writes (explicit destination only)."""
        if self.is_jump or self.is_call or not self.operands:
            return set()
        base = self.mnemonic
        if base.startswith(READ_ONLY + ("nop",)):
            return set()
        last = self.operands[-1]
        return {family(last)} if last.startswith("%") else set()


def canonical_memory(operand):
    match = MEMORY.match(operand)
    disp, base, index, scale = match.groups()
    value = int(disp, 0) if disp else 0
    return f"{value:#x}({base or ''}{',' + index if index else ''}{',' + scale if scale else ''})"


def split_operands(text):
    operands, depth, current = [], 0, ""
    for char in text:
        if char == "," and depth == 0:
            operands.append(current.strip())
            current = ""
            continue
        depth += char == "("
        depth -= char == ")"
        current += char
    if current.strip():
        operands.append(current.strip())
    return operands


LINE = re.compile(r"^\s*([0-9a-f]+):\s+(.*)$")


def parse_function(disassembly, name):
    """The instructions of one function in `objdump -d` output."""
    insns, inside = [], False
    for line in disassembly.splitlines():
        if re.match(rf"^[0-9a-f]+ <{re.escape(name)}>:$", line):
            inside = True
            continue
        if not inside:
            continue
        if not line.strip():
            break
        match = LINE.match(line)
        if not match or match[2].startswith("(bad)"):
            continue
        text = match[2].split("#")[0].strip()
        words = text.split(None, 1)
        while words and words[0] in PREFIXES and len(words) > 1:
            words = words[1].split(None, 1)
        if not words:
            continue
        mnemonic, rest = words[0], (words[1] if len(words) > 1 else "")
        insn = Insn(int(match[1], 16), mnemonic, [], match[2].strip())
        if insn.is_jump or insn.is_call:
            target = re.match(r"^([0-9a-f]+)\s*(?:<([^>]*)>)?", rest)
            if target:
                insn.target = int(target[1], 16)
                insn.symbol = re.sub(r"(\+0x[0-9a-f]+|@plt)$", "", target[2] or "")
            else:
                insn.operands = [rest]
                symbol = re.search(r"<([^>+]*)", match[2])
                insn.symbol = symbol[1] if symbol else ""
        else:
            rest = re.sub(r"\s*<[^>]*>$", "", rest)
            insn.operands = split_operands(rest)
            if mnemonic == "xchg" and len(set(insn.operands)) == 1:
                insn.mnemonic = "nop"  # xchg %ax,%ax is a two-byte padding nop
        insns.append(insn)
    if not insns:
        raise ToolError(f"no function <{name}> in the disassembly")
    # A %rip-relative operand names the same object with a different
    # displacement at every instruction: rewrite it to the absolute address.
    for insn, following in zip(insns, insns[1:]):
        for k, operand in enumerate(insn.operands):
            rip = re.fullmatch(r"(-?0x[0-9a-f]+)?\(%rip\)", operand)
            if rip:
                absolute = following.address + (int(rip[1], 0) if rip[1] else 0)
                insn.operands[k] = f"{absolute:#x}(%rip)"
    return insns


def is_clock_read(insn):
    return insn.is_call and insn.symbol.startswith("clock_gettime")


class Function:
    """Instruction-level control-flow graph of one function."""

    def __init__(self, insns):
        self.insns = insns
        self.index = {insn.address: i for i, insn in enumerate(insns)}
        self.calls = {i for i, insn in enumerate(insns) if insn.is_call}
        self.clock_reads = [i for i, insn in enumerate(insns) if is_clock_read(insn)]
        self.preds = {}
        for i in range(len(insns)):
            for j in self.successors(i):
                self.preds.setdefault(j, []).append(i)

    def successors(self, i):
        insn = self.insns[i]
        if insn.mnemonic.startswith(("ret", "hlt", "ud2")):
            return []
        if insn.is_call and NORETURN.search(insn.symbol):
            return []
        result = []
        if insn.is_jump:
            if insn.target is None:
                raise ToolError(f"indirect jump at {insn.address:#x}: {insn.text}")
            if insn.target in self.index:
                result.append(self.index[insn.target])
            if insn.is_unconditional:
                return result
        if i + 1 < len(self.insns):
            result.append(i + 1)
        return result

    def reachable(self, start, stop, forward=True):
        """Nodes reachable from `start` (forward) or reaching it (backward),
        never passing through a node in `stop`."""
        seen, todo = {start}, [start]
        while todo:
            node = todo.pop()
            if node in stop and node != start:
                continue
            following = self.successors(node) if forward else self.preds.get(node, [])
            for nxt in following:
                if nxt not in seen:
                    seen.add(nxt)
                    todo.append(nxt)
        return seen


def strongly_connected(nodes, successors):
    """Tarjan's algorithm, iterative; returns the components with a cycle."""
    index, low, on_stack, stack, result, counter = {}, {}, set(), [], [], [0]
    for root in sorted(nodes):
        if root in index:
            continue
        work = [(root, iter(successors(root)))]
        index[root] = low[root] = counter[0]
        counter[0] += 1
        stack.append(root)
        on_stack.add(root)
        while work:
            node, children = work[-1]
            advanced = False
            for child in children:
                if child not in nodes:
                    continue
                if child not in index:
                    index[child] = low[child] = counter[0]
                    counter[0] += 1
                    stack.append(child)
                    on_stack.add(child)
                    work.append((child, iter(successors(child))))
                    advanced = True
                    break
                if child in on_stack:
                    low[node] = min(low[node], index[child])
            if advanced:
                continue
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[node])
            if low[node] == index[node]:
                component = set()
                while True:
                    member = stack.pop()
                    on_stack.discard(member)
                    component.add(member)
                    if member == node:
                        break
                if len(component) > 1 or node in successors(node):
                    result.append(component)
    return result


@dataclasses.dataclass
class PathCount:
    instructions: int
    advance: int
    reads: int
    writes: int


@dataclasses.dataclass
class Kernel:
    name: str
    faults: list = dataclasses.field(default_factory=list)
    paths: list = dataclasses.field(default_factory=list)
    body: list = dataclasses.field(default_factory=list)
    accumulator: str = ""


def constant_step(insn, register):
    """The constant an instruction adds to `register`: 0 if it leaves the
    register alone, None if it writes the register in any other way."""
    if register not in insn.written_registers():
        return 0
    ops, m = insn.operands, insn.mnemonic
    if m.startswith("inc"):
        return 1
    if m.startswith("dec"):
        return -1
    if m.startswith(("add", "sub")) and len(ops) == 2 and ops[0].startswith("$"):
        # objdump prints negative immediates in the operation's width.
        bits = 32 if re.fullmatch(r"%(e..|r\d+d)", ops[1]) else 64
        value = int(ops[0][1:], 0)
        if value >= 1 << (bits - 1):
            value -= 1 << bits
        return value if m.startswith("add") else -value
    if m.startswith("lea") and len(ops) == 2:
        match = MEMORY.match(ops[0])
        if match and family(match[2] or "") == register and not match[3]:
            return int(match[1], 0) if match[1] else 0
    return None


def constant_value_before(fn, entry, stretch_nodes, header, register):
    """The constant last put into `register` on the way from `entry` into the
    loop, if that way is straight-line code that sets it with mov $imm or xor."""
    node = entry
    value = None
    while node != header:
        insn = fn.insns[node]
        if register in insn.written_registers():
            ops = insn.operands
            if insn.mnemonic.startswith("mov") and ops[0].startswith("$"):
                value = int(ops[0][1:], 0)
            elif insn.mnemonic.startswith("xor") and family(ops[0]) == family(ops[1]) == register:
                value = 0
            else:
                value = None
        following = [s for s in fn.successors(node) if s in stretch_nodes]
        if len(following) != 1:
            return None
        node = following[0]
    return value


def loop_bound(loop_insns, register):
    """The value the index is compared against to leave the loop (0 when
    the exit tests the flags of the index update itself)."""
    for insn in loop_insns:
        if insn.mnemonic.startswith("cmp") and len(insn.operands) == 2:
            if family(insn.operands[1]) == register and insn.operands[0].startswith("$"):
                return int(insn.operands[0][1:], 0)
    return 0


def simple_cycles(header, members, successors):
    """Every path from the header around the loop back to it."""
    cycles, stack = [], [(header, [header])]
    while stack:
        node, path = stack.pop()
        for nxt in successors(node):
            if nxt == header:
                cycles.append(path)
            elif nxt in members and nxt not in path:
                stack.append((nxt, path + [nxt]))
        if len(cycles) > 4096:
            raise ToolError("too many paths around a loop")
    return cycles


def analyse_measurement(fn, name, start_call, end_call, previous_end):
    kernel = Kernel(name)
    fault = kernel.faults.append
    insns = fn.insns

    # The accumulator: the slot set to 0 between the previous report line and
    # the start of the clock, i.e. before the timed stretch begins.
    resets = [insn for insn in insns[previous_end + 1 : start_call]
              if insn.mnemonic.startswith("mov") and len(insn.operands) == 2
              and insn.operands[0] == "$0x0" and MEMORY.match(insn.operands[1])]
    if not resets:
        fault("the accumulator is not reset in memory before the first clock read")
    else:
        kernel.accumulator = canonical_memory(resets[-1].operands[1])

    clocks = set(fn.clock_reads)
    forward = fn.reachable(start_call, clocks)
    backward = fn.reachable(end_call, clocks, forward=False)
    stretch = (forward & backward) - {start_call, end_call}
    loops = strongly_connected(stretch, fn.successors)
    in_loops = set().union(*loops)
    for i in sorted(stretch & fn.calls):
        where = "the loop" if i in in_loops else "the timed stretch"
        fault(f"call inside {where}: {insns[i].text}")

    if len(loops) != 1:
        fault(f"{len(loops)} loops in the timed stretch, expected exactly one")
        return kernel
    members = loops[0]
    outside = (stretch | {start_call}) - members
    headers = [i for i in members if any(p in outside for p in fn.preds.get(i, []))]
    if len(headers) != 1:
        fault(f"loop with {len(headers)} entries")
        return kernel
    header = headers[0]
    loop_insns = [insns[i] for i in sorted(members)]
    kernel.body = [f"{insn.address:x}: {insn.text}" for insn in loop_insns]
    if strongly_connected(members - {header}, fn.successors):
        fault("a loop nested inside the timed loop")

    base = MEMORY.match(kernel.accumulator)[2] if kernel.accumulator else None
    for insn in loop_insns:
        if insn.is_vector():
            fault(f"vector instruction inside the loop: {insn.text}")
        if insn.implicit_stack_access() and not insn.is_call:
            fault(f"stack access inside the loop: {insn.text}")
        for address, _, _ in insn.accesses():
            if address != kernel.accumulator:
                fault(f"memory access other than the accumulator {kernel.accumulator}: {insn.text}")
        if base and family(base) in insn.written_registers():
            fault(f"the accumulator's base register changes inside the loop: {insn.text}")

    # The index: the register that every path changes only by constants.
    cycles = simple_cycles(header, members, fn.successors)
    written = set().union(*(insn.written_registers() for insn in loop_insns))
    candidates = []
    for register in sorted(written):
        steps = [[constant_step(insns[i], register) for i in cycle] for cycle in cycles]
        if all(None not in path for path in steps) and all(sum(path) != 0 for path in steps):
            candidates.append((register, [sum(path) for path in steps]))
    if not candidates:
        fault("no loop index found: no register advances by a constant on every path")
        return kernel
    register, advances = candidates[0]
    if len(candidates) > 1 and any(c[1] != advances for c in candidates[1:]):
        fault(f"ambiguous loop index among {[c[0] for c in candidates]}")
    start_value = constant_value_before(fn, start_call + 1, stretch, header, register)
    bound = loop_bound(loop_insns, register)
    if start_value is None:
        fault(f"the index {register} does not start from a constant")
    elif abs(bound - start_value) != ITERATIONS:
        fault(f"the index {register} runs {abs(bound - start_value)} steps, expected {ITERATIONS}")

    for cycle, advance in zip(cycles, advances):
        reads = writes = 0
        for i in cycle:
            for address, r, w in insns[i].accesses():
                if address == kernel.accumulator:
                    reads, writes = reads + r, writes + w
        count = PathCount(len(cycle), abs(advance), reads, writes)
        kernel.paths.append(count)
        if reads != count.advance or writes != count.advance:
            fault(f"a path around the loop advances the index by {count.advance} but reads the "
                  f"accumulator {reads} and writes it {writes} times")

    # The final read for the report: after the second clock read, before the
    # next call (the printf of the result line).
    after = fn.reachable(end_call, fn.calls)
    final_reads = [i for i in after if i != end_call and not insns[i].is_call
                   and any(a == kernel.accumulator and r for a, r, _ in insns[i].accesses())]
    if not final_reads:
        fault("the accumulator is not read after the second clock read")
    return kernel


def analyse(executable):
    if shutil.which("objdump") is None:
        raise ToolError("objdump not found (binutils)")
    header = subprocess.run(["objdump", "-f", executable], capture_output=True, text=True)
    if header.returncode != 0:
        raise ToolError(header.stderr.strip())
    if "x86-64" not in header.stdout:
        raise ToolError(f"{executable} is not an x86-64 executable")
    disassembly = subprocess.run(["objdump", "-d", "-w", "--no-show-raw-insn", executable],
                                 capture_output=True, text=True, check=True).stdout
    fn = Function(parse_function(disassembly, "main"))
    clocks = fn.clock_reads
    if len(clocks) != 2 * len(KERNELS):
        kernel = Kernel("all kernels")
        kernel.faults.append(f"{len(clocks)} clock reads in main, expected {2 * len(KERNELS)}")
        return [kernel]
    kernels, previous_end = [], -1
    for number, name in enumerate(KERNELS):
        start, end = clocks[2 * number], clocks[2 * number + 1]
        kernels.append(analyse_measurement(fn, name, start, end, previous_end))
        previous_end = end
    # No clock read may sit inside any loop of main.
    for component in strongly_connected(set(range(len(fn.insns))), fn.successors):
        for i in sorted(set(clocks) & component):
            kernel = kernels[clocks.index(i) // 2]
            kernel.faults.append(f"clock read inside a loop: {fn.insns[i].text}")
    return kernels


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("executable")
    parser.add_argument("--verbose", "-v", action="store_true", help="print the loop bodies")
    parser.add_argument("--sanitized", action="store_true",
                        help="the build is instrumented: skip, its code is not what a real build times")
    args = parser.parse_args()
    if args.sanitized:
        print("skipped: a sanitizer build's instrumented loops are not the loops a real build times")
        return SKIP
    if platform.machine().lower() not in ("x86_64", "amd64"):
        print(f"skipped: the check reads x86-64 machine code; this is {platform.machine()}")
        return SKIP
    try:
        kernels = analyse(args.executable)
    except (ToolError, subprocess.CalledProcessError, OSError) as error:
        print(f"check_loops: {error}", file=sys.stderr)
        return 2
    failed = False
    for kernel in kernels:
        for fault in kernel.faults:
            print(f"FAIL {kernel.name}: {fault}")
            failed = True
        if not kernel.faults:
            per_path = "; ".join(
                f"+{p.advance} iteration(s): {p.reads} read(s), {p.writes} write(s), "
                f"{p.instructions} instructions ({p.instructions / p.advance:.2f}/iteration)"
                for p in kernel.paths)
            print(f"ok   {kernel.name}: accumulator {kernel.accumulator}; "
                  f"{len(kernel.paths)} path(s) around the loop: {per_path}")
        if args.verbose and kernel.body:
            print("\n".join(f"       {line}" for line in kernel.body))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
