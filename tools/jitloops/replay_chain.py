"""The accumulator's chain as the JIT wrote it, in a counted loop of the
replay's own: for each update of the accumulator on the paths a run takes
(in the order the trips take them: Branch's two arms in turn), the load,
the instructions computing the new value from it, and the store, each
with the JIT's own bytes, so with its own registers and address forms. The
registers they read are set to what they hold on the path (the state's),
so that the load and the store reach the same cell: before the loop by the
harness, and inside it, where one of the JIT's own instructions changed a
register that a later one needs back (a register reused for two roles), by
a `movabs` of the replay's, counted and said. The loop's control is one
`dec` and `jnz` of a register the chain does not use, the body repeated so
that it runs once per several updates.
"""
import dataclasses

from . import x86
from .concrete import Uncomputable, Unset, evaluate
from .replay_walk import Refusal
from .symbolic import Lin

# The hardware's register numbers, for the loop's own instructions.
NUMBERS = {name: number for number, name in enumerate(
    ("rax", "rcx", "rdx", "rbx", "rsp", "rbp", "rsi", "rdi", "r8", "r9", "r10", "r11", "r12",
     "r13", "r14", "r15"))}
UPDATES_PER_TRIP = 8  # the body is repeated until a trip of the loop holds at least this many
TRAP = b"\xcc"


@dataclasses.dataclass
class Chain:
    code: bytes  # the loop, its top first; a trap after it
    start: int  # where it is placed
    exit: int  # the trap after the loop
    registers: dict  # family -> value before the loop
    iterations: int  # updates the run does
    trips: int
    instructions: list  # the JIT's instructions of one body, as text
    sets: int  # movabs added per body
    updates: int  # per body
    control: tuple = None  # (address, code, counter): the loop's control alone


def movabs(family, value):
    number = NUMBERS[family]
    return bytes([0x48 | (number >> 3), 0xB8 | (number & 7)]) + value.to_bytes(8, "little")


def loop_control(family, top, here):
    """dec %family; jnz top, placed at `here`."""
    number = NUMBERS[family]
    dec = bytes([0x48 | (number >> 3), 0xFF, 0xC8 | (number & 7)])
    displacement = top - (here + len(dec) + 6)
    return dec + b"\x0f\x85" + displacement.to_bytes(4, "little", signed=True)


def families(insn, written):
    """The register families `insn` reads (written=False) or writes."""
    if written and insn.mnemonic.startswith(("cmp", "test", "bt", "push", "ucomis", "comis")):
        return set()
    names = [op[1:] for op in insn.operands if op.startswith("%") and op[1:] in x86.REGISTERS]
    found = set()
    for k, name in enumerate(names):
        last = insn.operands[-1] == f"%{name}" and k == len(names) - 1
        if written and last:
            found.add(x86.REGISTERS[name][0])
        elif not written and (not last or not insn.mnemonic.startswith(("mov", "lea"))):
            found.add(x86.REGISTERS[name][0])
    for operand in insn.operands:
        if x86.is_memory(operand) and not written:
            found |= {x86.REGISTERS[r[1:]][0] for r in x86.MEMORY_OPERAND.match(operand).groups()[2:4]
                      if r and r[1:] in x86.REGISTERS}
    return found


def updates(walk, code):
    """[[(address, the families carrying the loaded value before it)]] of
    each accumulator update on the walk, in path order: the load, what
    computes from it, the store."""
    found, uses = [], [u for u in walk.uses if u.accumulator]
    addresses = walk.path.addresses
    position = {a: k for k, a in enumerate(addresses)}
    for use in uses:
        if not use.reads:
            continue
        load = code[use.address]
        if use.writes:  # a read-modify-write: the update in one instruction
            found.append([(use.address, set())])
            continue
        store = next((u for u in uses if u.writes and position[u.address] > position[use.address]),
                     None)
        if store is None:
            continue
        chain, tainted = [(use.address, set())], families(load, True)
        for address in addresses[position[use.address] + 1:position[store.address]]:
            insn = code[address]
            if insn.is_jump or x86.is_memory(insn.operands[-1] if insn.operands else ""):
                continue
            reads, writes = families(insn, False), families(insn, True)
            if reads & tainted and writes:
                chain.append((address, set(tainted)))
                tainted |= writes
            else:
                tainted -= writes
        if not families(code[store.address], False) & tainted:
            raise Refusal(f"the value stored at {store.address:#x} is not computed from the load "
                          f"at {use.address:#x}: no chain through memory to replay")
        chain.append((store.address, set(tainted)))
        found.append(chain)
    return found


def needed(walk, code, address, carrying, env):
    """family -> value: the registers `address` reads, as the path has them
    there, but those `carrying` the chain's value."""
    insn = code[address]
    regs = walk.before[address]
    wanted = {}
    for family in families(insn, False) - carrying:
        value = regs.get(family, Lin.symbol(f"{family}@head"))
        try:
            wanted[family] = evaluate(value, env)
        except (Unset, Uncomputable):
            raise Refusal(f"the chain's instruction at {address:#x} reads %{family}, whose value "
                          "on the path the replay cannot give")
    return wanted


def build(plan_walks, code, state, start, iterations):
    """The Chain for the walks a run takes in turn (`plan_walks`), placed at
    `start`."""
    body = []  # (walk, address, the families carrying the value there)
    for w in plan_walks:
        for chain in updates(w, code):
            body += [(w, a, carrying) for a, carrying in chain]
    count = sum(1 for w, a, _ in body if any(u.address == a and u.accumulator and u.writes
                                             for u in w.uses))
    if not body or not count:
        raise Refusal("no update of the accumulator through memory on the paths: no chain")
    for _, address, _ in body:
        insn = code[address]
        if any("%rip" in op for op in insn.operands):
            raise Refusal(f"the chain's instruction at {address:#x} addresses memory relative to "
                          "its own place, which a loop elsewhere cannot keep")
        if insn.is_jump or insn.is_call:
            raise Refusal(f"a branch at {address:#x} lies on the chain")
    requirements = [needed(w, code, a, carrying, state.env) for w, a, carrying in body]
    used = set().union(*(families(code[a], False) | families(code[a], True) for _, a, _ in body))
    counter = next((f for f in ("rcx", "r11", "r10", "r9", "r8", "rsi", "rdi", "rdx", "rax", "rbx",
                                "r12", "r13", "r14", "r15", "rbp") if f not in used), None)
    if counter is None:
        raise Refusal("the chain uses every register: none is left for the loop's count")
    # The registers at the top of every trip: what one body leaves, from
    # the first values its instructions read.
    known = {}
    for wanted in requirements:
        for family, value in wanted.items():
            known.setdefault(family, value)
    for (_, address, _), wanted in zip(body, requirements):
        known.update(wanted)
        for family in families(code[address], True):
            known.pop(family, None)
    repeat = max(1, -(-UPDATES_PER_TRIP // count))
    code_bytes, sets, text = bytearray(), 0, []
    state_now = dict(known)
    for copy in range(repeat):
        for (w, address, _), wanted in zip(body, requirements):
            for family, value in sorted(wanted.items()):
                if state_now.get(family) != value:
                    code_bytes += movabs(family, value)
                    state_now[family] = value
                    sets += copy == 0
            insn = code[address]
            code_bytes += state.code[address]
            for family in families(insn, True):
                state_now.pop(family, None)
            if copy == 0:
                text.append(insn.text)
    if any(state_now.get(f) != v for f, v in known.items()):
        raise Refusal("the chain's registers do not come back to their state at the loop's top")
    code_bytes += loop_control(counter, start, start + len(code_bytes))
    exit_address = start + len(code_bytes)
    per_trip = repeat * count
    trips = max(1, iterations // per_trip)
    registers = {**known, counter: trips}
    chain = Chain(bytes(code_bytes) + TRAP, start, exit_address, registers, trips * per_trip,
                  trips, text, sets, count)
    # The loop's control alone, as many trips, at the next 64-byte boundary.
    control = -(-(exit_address + 1) // 64) * 64
    chain.control = (control, loop_control(counter, control, control) + TRAP, counter)
    return chain
