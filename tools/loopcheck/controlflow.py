"""Control flow over the listing: where control may go after an instruction
(`next_addresses`, the one answer every walk below uses), the code a
function owns, which calls never return, an instruction's successors in a
function's graph, reachability, and loops. Whether a way out of the code is
understood (a process-ending call, main's own return) is exits.py's question.
"""
import re

from .errors import Unresolved

# Functions known to end the process and never return. A local function of
# such a name (static glibc's own exit) is believed only when its code
# reaches no return of its own.
PROCESS_ENDING = {"exit", "_exit", "_Exit", "abort", "__stack_chk_fail", "__fortify_fail",
                  "__chk_fail", "__assert_fail", "__assert_perror_fail"}
# Functions known never to return to their caller, whatever they do instead
# (throw, jump, end a thread): the graph does not go on past a call of one.
# This is shape only: whether such a call is allowed is exits.py's question,
# and none of these is.
NEVER_RETURNING = PROCESS_ENDING | {
    "__cxa_throw", "__cxa_rethrow", "_Unwind_Resume", "_Unwind_RaiseException",
    "_Unwind_Resume_or_Rethrow", "longjmp", "_longjmp", "siglongjmp", "__longjmp_chk",
    "quick_exit", "pthread_exit", "_ZSt9terminatev", "__cxa_call_terminate",
    "__clang_call_terminate",
    "_ZSt17rethrow_exceptionNSt15__exception_ptr13exception_ptrE"}
THROW_HELPER = re.compile(r"^_ZSt\d+__throw_")  # std::__throw_runtime_error and the like


def never_returns_by_name(name):
    return name in NEVER_RETURNING or bool(THROW_HELPER.match(name))


def next_addresses(insn, call_returns=True):
    """Where control may go after `insn`: its direct jump target, then the
    next instruction when it falls through (after a call, only when
    `call_returns`). The next address is None where the listing ends."""
    following = [insn.target] if insn.is_jump and insn.target is not None else []
    if insn.falls_through and (call_returns or not insn.is_call):
        following.append(insn.next)
    return following


def own_code(program, entry, decided=None):
    """The instructions of the function at `entry` that can be reached from
    it without leaving the function: jumps inside it are followed, calls
    fall through. `decided(insn)`, when given, names the one address a
    branch provably goes to (None: it may go either way)."""
    home, seen, todo = program.symbol_at(entry), {entry}, [entry]
    while todo:
        insn = program.at(todo.pop())
        if insn is None or program.symbol_at(insn.address) != home:
            continue
        yield insn
        way = decided(insn) if decided else None
        for address in [way] if way is not None else next_addresses(insn):
            if address is not None and address not in seen:
                seen.add(address)
                todo.append(address)


class NoReturn:
    """Which calls never return: a known name, or local code from which no
    return and no jump out of the function can be reached."""

    def __init__(self, program):
        self.program, self.memo = program, {}

    def call(self, insn):
        """Whether the call `insn` never returns."""
        program = self.program
        name = program.callee(insn)
        if never_returns_by_name(name) and not (program.calls_own_code(insn)
                                                and self.has_ret(insn.target)):
            return True
        if not program.calls_own_code(insn):
            return False
        return self.never_returns(insn.target)

    def has_ret(self, entry):
        """Whether the function's own code can reach a return, a jump out of
        it, or its end other than right after a call (a call that never
        returns is the only honest way to fall off a function's end)."""
        program, home = self.program, self.program.symbol_at(entry)
        seen, todo = {entry}, [entry]
        while todo:
            insn = program.at(todo.pop())
            if insn is None or insn.is_return:
                return True
            if insn.is_jump and (insn.target is None or program.symbol_at(insn.target) != home):
                return True
            for address in next_addresses(insn):
                if address is None or program.symbol_at(address) != home:
                    if not insn.is_call:
                        return True
                elif address not in seen:
                    seen.add(address)
                    todo.append(address)
        return False

    def never_returns(self, entry):
        """Whether the local function at `entry` never returns: no return is
        reachable in it past the calls that never return, and every jump out
        of it goes to code that never returns."""
        if entry in self.memo:
            return self.memo[entry]
        self.memo[entry] = False  # while it is being read: assume it returns
        program, home = self.program, self.program.symbol_at(entry)
        seen, todo, returns = {entry}, [entry], False
        while todo and not returns:
            insn = program.at(todo.pop())
            if insn is None or insn.is_return:
                returns = True
                break
            if insn.is_jump and (insn.target is None or program.symbol_at(insn.target) != home):
                # A jump out of the function, a tail call: it returns unless
                # its target never does.
                returns = not (insn.target is not None and program.at(insn.target)
                               and self.never_returns(insn.target))
                following = [insn.next] if insn.falls_through else []
            elif insn.address != entry and program.isa.exits_by_system_call(program, insn):
                following = []  # (entered at the system call, the number is the caller's)
            else:
                following = next_addresses(insn, call_returns=not (insn.is_call
                                                                   and self.call(insn)))
            for address in following:
                if address is None:
                    returns = True
                elif address not in seen:
                    seen.add(address)
                    todo.append(address)
        self.memo[entry] = not returns
        return not returns


def successors(program, noreturn, insn):
    """Addresses control may go to after `insn`; raises Unresolved for a
    jump or call whose target is not parsed code."""
    if insn.is_jump:
        if insn.target is None or program.at(insn.target) is None:
            raise Unresolved(insn)
    elif insn.is_call:
        if insn.target is None and not insn.target_name:
            raise Unresolved(insn)
        if insn.target is not None and program.at(insn.target) is None:
            raise Unresolved(insn)
        return next_addresses(insn, call_returns=not noreturn.call(insn))
    return next_addresses(insn)


def excerpt(program, entry="main", trusted=()):
    """The part of a listing that the check reads: objdump's line naming
    the file format (which names the instruction set), the symbol holding
    `entry` (every one of that name, should there be more) and those of the
    constructors, every symbol that code it keeps names as a jump or call
    target, and the symbol after one whose last
    instruction falls through, each with its header line; then the block of
    what runs before main. The check gives the same verdicts on the excerpt
    as on the whole listing (the tests keep such excerpts). Of a function
    called by a name in `trusted` (the C library's, which the check
    believes by name), only its symbol is kept, not what it reaches: a
    static build's excerpt need not hold its whole C library. With those,
    after a symbol's last call or jump (past any padding) the next symbol
    is kept as it is parsed, not followed."""
    nothing, everything = 0, 1  # how much of a kept symbol is followed
    constructors = program.startup.constructors if program.startup else []
    keep = {}
    todo = [k for k, (_, name, _) in enumerate(program.blocks) if name == entry] + [
        program.block_of(address) for _, address, _ in constructors
        if program.symbol_at(address) != "?"]
    todo += [program.block_of(program.starts[name]) for name in program.isa.ALWAYS_READ
             if name in program.starts]
    todo = [(k, everything) for k in todo]
    while todo:
        k, follow = todo.pop()
        if k < 0 or keep.get(k, -1) >= follow:
            continue
        keep[k] = follow
        code = program.block_code(k) if follow > nothing else []
        for insn in code:
            if insn.target is None:
                continue
            name = program.callee(insn) if insn.is_call else ""
            todo.append((program.block_of(insn.target),
                         nothing if name in trusted else follow))
        if code and code[-1].falls_through and k + 1 < len(program.blocks):
            # Past padding, the last instruction says whether control goes on.
            last = next((insn for insn in reversed(code)
                         if not insn.mnemonic.startswith("nop")), code[-1])
            todo.append((k + 1, follow if not trusted or (
                last.falls_through and not last.is_call) else nothing))
    return (program.format_line + "\n\n" if program.format_line else "") + "".join(
        program.block_text(k) + "\n\n" for k in sorted(keep)) + \
        (program.startup.text if program.startup else "")


def reach(nodes, starts, stop, forward=True):
    """Nodes reachable from `starts` (or reaching them, backward), not
    passing through a node in `stop`."""
    if forward:
        edges = nodes
    else:
        edges = {}
        for a, following in nodes.items():
            for b in following:
                edges.setdefault(b, []).append(a)
    seen, todo = set(starts), list(starts)
    while todo:
        node = todo.pop()
        if node in stop and node not in starts:
            continue
        for nxt in edges.get(node, []):
            if nxt not in seen:
                seen.add(nxt)
                todo.append(nxt)
    return seen


def cyclic_nodes(nodes, members):
    """The members that lie on a cycle within `members` (Tarjan, iterative)."""
    index, low_link, on_stack, stack, result, counter = {}, {}, set(), [], set(), [0]
    for root in sorted(members):
        if root in index:
            continue
        work = [(root, iter(nodes.get(root, [])))]
        index[root] = low_link[root] = counter[0]
        counter[0] += 1
        stack.append(root)
        on_stack.add(root)
        while work:
            node, children = work[-1]
            advanced = False
            for child in children:
                if child not in members:
                    continue
                if child not in index:
                    index[child] = low_link[child] = counter[0]
                    counter[0] += 1
                    stack.append(child)
                    on_stack.add(child)
                    work.append((child, iter(nodes.get(child, []))))
                    advanced = True
                    break
                if child in on_stack:
                    low_link[node] = min(low_link[node], index[child])
            if advanced:
                continue
            work.pop()
            if work:
                low_link[work[-1][0]] = min(low_link[work[-1][0]], low_link[node])
            if low_link[node] == index[node]:
                component = set()
                while True:
                    member = stack.pop()
                    on_stack.discard(member)
                    component.add(member)
                    if member == node:
                        break
                if len(component) > 1 or node in nodes.get(node, []):
                    result |= component
    return result
