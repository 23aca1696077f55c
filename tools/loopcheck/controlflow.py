"""Control flow over the listing: where control may go after an instruction
(`next_addresses`, the one answer every walk below uses), the code a
function owns, which calls never return and whether those end the process,
an instruction's successors in main's graph, reachability, and loops.
"""
from .errors import Unresolved

# Functions known to end the process (or thread) and never return. A local
# function of such a name (static glibc's own exit) is believed only when
# its code reaches no `ret` of its own.
TERMINATING_NAMES = {"exit", "_exit", "_Exit", "abort", "quick_exit", "__stack_chk_fail",
                     "__stack_chk_fail_local", "__assert_fail", "__assert_perror_fail",
                     "__fortify_fail", "__chk_fail", "_ZSt9terminatev", "pthread_exit"}
# Functions that never return to their caller but resume elsewhere in the
# program: an exception's handler or a setjmp point may lie inside a timed
# stretch, so calling one of them after the first clock call is a fault.
RESUMING_NAMES = {"__cxa_throw", "__cxa_rethrow", "_Unwind_Resume", "_Unwind_RaiseException",
                  "_Unwind_Resume_or_Rethrow", "longjmp", "_longjmp", "siglongjmp",
                  "__longjmp_chk"}
NORETURN_NAMES = TERMINATING_NAMES | RESUMING_NAMES


def is_return(insn):
    return insn.mnemonic.startswith(("ret", "iret", "sysret"))


def falls_through(insn):
    """Whether control may go on to the next instruction after `insn`. A
    call counts as returning here: whether it does is NoReturn's question."""
    return not (is_return(insn) or insn.mnemonic in ("jmp", "hlt", "ud2"))


def next_addresses(insn, call_returns=True):
    """Where control may go after `insn`: its direct jump target, then the
    next instruction when it falls through (after a call, only when
    `call_returns`). The next address is None where the listing ends."""
    following = [insn.target] if insn.is_jump and insn.target is not None else []
    if falls_through(insn) and (call_returns or not insn.is_call):
        following.append(insn.next)
    return following


def own_code(program, entry):
    """The instructions of the function at `entry` that can be reached from
    it without leaving the function: jumps inside it are followed, calls
    fall through."""
    home, seen, todo = program.symbol_at(entry), {entry}, [entry]
    while todo:
        insn = program.at(todo.pop())
        if insn is None or program.symbol_at(insn.address) != home:
            continue
        yield insn
        for address in next_addresses(insn):
            if address is not None and address not in seen:
                seen.add(address)
                todo.append(address)


class NoReturn:
    """Which calls never return: a known name, or local code from which no
    `ret` and no jump out of the function can be reached."""

    def __init__(self, program):
        self.program, self.memo = program, {}

    def call(self, insn):
        """Whether the call `insn` never returns."""
        program = self.program
        name = program.callee(insn)
        if name in NORETURN_NAMES and not (program.calls_own_code(insn)
                                           and self.has_ret(insn.target)):
            return True
        if not program.calls_own_code(insn):
            return False
        return self.never_returns(insn.target)

    def terminates(self, insn, reading=frozenset()):
        """Whether a call that never returns ends the process rather than
        resuming somewhere in it: a terminating name, or local code whose
        own calls that never return all terminate. `reading` holds the
        functions whose code is being read further up, so that recursion
        between them ends."""
        program = self.program
        name = program.callee(insn)
        if name in RESUMING_NAMES:
            return False
        if name in TERMINATING_NAMES or not program.calls_own_code(insn) \
                or insn.target in reading:
            return True
        reading = reading | {insn.target}
        return all(self.terminates(inner, reading)
                   for inner in own_code(program, insn.target)
                   if inner.is_call and self.call(inner))

    def has_ret(self, entry):
        """Whether the function's own code can reach a `ret`, a jump out of
        it, or its end other than right after a call (a call that never
        returns is the only honest way to fall off a function's end)."""
        program, home = self.program, self.program.symbol_at(entry)
        seen, todo = {entry}, [entry]
        while todo:
            insn = program.at(todo.pop())
            if insn is None or is_return(insn):
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
        """Whether the local function at `entry` never returns: no `ret` is
        reachable in it past the calls that never return, and every jump out
        of it goes to code that never returns."""
        if entry in self.memo:
            return self.memo[entry]
        self.memo[entry] = False  # while it is being read: assume it returns
        program, home = self.program, self.program.symbol_at(entry)
        seen, todo, returns = {entry}, [entry], False
        while todo and not returns:
            insn = program.at(todo.pop())
            if insn is None or is_return(insn):
                returns = True
                break
            if insn.is_jump and (insn.target is None or program.symbol_at(insn.target) != home):
                # A jump out of the function, a tail call: it returns unless
                # its target never does.
                returns = not (insn.target is not None and program.at(insn.target)
                               and self.never_returns(insn.target))
                following = [insn.next] if falls_through(insn) else []
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


def excerpt(program, entry="main"):
    """The part of a listing that the check reads: the symbol holding
    `entry`, every symbol that code it keeps names as a jump or call
    target, and the symbol after one whose last instruction falls through,
    each with its header line. The check gives the same verdicts on the
    excerpt as on the whole listing (the tests keep such excerpts)."""
    keep, todo = set(), [program.block_of(program.starts[entry])]
    while todo:
        k = todo.pop()
        if k < 0 or k in keep:
            continue
        keep.add(k)
        code = program.block_code(k)
        todo.extend(program.block_of(insn.target) for insn in code if insn.target is not None)
        if code and falls_through(code[-1]) and k + 1 < len(program.blocks):
            todo.append(k + 1)
    return "".join(program.block_text(k) + "\n\n" for k in sorted(keep))


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
