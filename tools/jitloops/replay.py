"""One kernel's chain and path replayed natively, and timed: the state solved
from its judged loop (replay_state), the chain's loop built on it
(replay_chain), one harness run (harness) timing the path, the chain and
the harness's own way in and out (a run entered right at a trap) in
interleaved rounds. A run's time becomes a figure only when every run of
its kind landed where it must end, with the index and the accumulator
holding what that many iterations give; the median is kept, less the
harness's own median, and scaled to 1e8 iterations.
"""
import statistics

import report

from .harness import Experiment, ReplayRefused, run
from .replay_chain import build
from .replay_plan import trip_walks
from .replay_state import PAGE, synthesize
from .replay_walk import Refusal

CHAIN_CODE = 0x3000_0000_0000  # where the chain's loop is placed
TIMEOUT = 120  # seconds a single run may take before it counts as lost
MASK = (1 << 64) - 1


def finals(kernel, n):
    """The accumulator values n iterations from 0 may leave: Branch's odd
    count depends on which arm its first trip takes."""
    if kernel == report.KERNEL_NAMES[0]:
        return {n & MASK}
    if kernel == report.KERNEL_NAMES[1]:
        return {(pow(3, n, 1 << 66) - 1) // 2 * 7 & MASK}
    return {0} if n % 2 == 0 else {1, MASK}


def describe(state, chain, rounds):
    """The harness's description: pages, code, cells, the experiments."""
    pages = dict(state.pages)
    code = dict(state.code)
    if chain:
        control, control_code, _ = chain.control
        pages.update(dict.fromkeys(chain_pages(chain), "code"))
        code[chain.start] = chain.code
        code[control] = control_code
    lines = ["replay-description 1", f"rounds {rounds:x}", f"timeout {TIMEOUT:x}"]
    lines += [f"page {page:x} {kind}" for page, kind in sorted(pages.items())]
    lines += [f"bytes {address:x} {data.hex()}" for address, data in sorted(code.items())]
    lines += [f"cell {address:x} {width:x} {value & ((1 << 8 * width) - 1):x}"
              for address, (width, value) in sorted(state.cells.items())]
    watches = ([state.accumulator] if state.accumulator else []) + [
        where for _, kind, where, _, _ in state.checks if kind == "cell"]
    lines += experiment("path", state.registers, state.entry, state.exits, watches)
    rsp = {"rsp": state.registers["rsp"]}
    if chain:
        lines += experiment("chain", {**rsp, **chain.registers}, chain.start, [chain.exit],
                            watches[:1])
        control, control_code, counter = chain.control
        lines += experiment("control", {**rsp, counter: chain.trips}, control,
                            [control + len(control_code) - 1], [])
    trap = chain.exit if chain else state.exits[0]
    lines += experiment("overhead", rsp, trap, [trap], [])
    return "\n".join(lines) + "\n"


def chain_pages(chain):
    control, control_code, _ = chain.control
    return [page * PAGE for page in range(chain.start // PAGE,
                                          (control + len(control_code)) // PAGE + 1)]


def experiment(name, registers, entry, exits, watches):
    return ([f"experiment {name}"] + [f"reg {r} {v & MASK:x}" for r, v in registers.items()]
            + [f"entry {entry:x}"] + [f"exit {e:x}" for e in exits]
            + [f"watch {w:x} 8" for w in watches] + ["end"])


def stopped(experiment, state, code):
    """Why the runs of an experiment give no figure, or None."""
    if not experiment.ns and not experiment.left and not experiment.timeouts:
        return "the harness gave no run of it"
    if experiment.timeouts:
        return (f"{experiment.timeouts} run(s) did not end within {TIMEOUT} s: the loop did not "
                "leave by its bound test")
    if experiment.left:
        at, signal = experiment.left[0]
        where = (f"at its instruction `{code[at].text}`" if at in state.code else next(
            (f"where `{code[a].text}` at {a:#x} sends it" for a in state.code
             if code[a].target == at or code[a].next == at), "outside its code"))
        return (f"the replay left its path at {at:#x} ({signal}), {where}, in "
                f"{len(experiment.left)} of its runs: no figure")
    return None


def median_ms(experiment, overhead, iterations):
    ns = statistics.median(experiment.ns) - overhead
    return max(ns, 0) / 1e6 * report.ITERATIONS / iterations


def replay(kernel, program, iterations, rounds):
    """Fills the chain's and the path's figures of `kernel` (results), or
    their refusals."""
    chosen = kernel.replayed
    if chosen is None:
        why = "no judged loop to replay" + (": the kernel was not judged" if any(
            r.unjudged for r in kernel.reports) else "")
        kernel.refuse("chain_ms", why)
        kernel.refuse("path_ms", why)
        return
    compilation, code, hot = chosen.compilation, chosen.code, chosen.hottest
    try:
        state = synthesize(hot, compilation, code, iterations)
    except Refusal as error:
        kernel.refuse("path_ms", str(error))
        kernel.refuse("chain_ms", f"no state to set its registers from ({error})")
        return
    chain, chain_why = None, ""
    try:
        order = trip_walks(state.walks, state.solver, state.symbols, state.trips)
        chain = build(order or state.walks[:1], code, state, CHAIN_CODE, iterations)
    except Refusal as error:
        chain_why = str(error)
    if chain and set(chain_pages(chain)) & set(state.pages):
        chain, chain_why = None, (f"the path's code or memory lies where the chain's loop is "
                                  f"placed ({CHAIN_CODE:#x}): the one would overwrite the other")
    try:
        found = run(program, describe(state, chain, rounds))
    except ReplayRefused as error:
        kernel.refuse("path_ms", str(error))
        kernel.refuse("chain_ms", str(error))
        return
    for name in ("path", "chain", "control", "overhead"):
        found.setdefault(name, Experiment(name))
    overhead = statistics.median(found["overhead"].ns) if found["overhead"].ns else 0
    path = found["path"]
    why = stopped(path, state, code) or check(kernel.kernel, path, state)
    if why:
        kernel.refuse("path_ms", why)
    else:
        kernel.figures["path_ms"] = median_ms(path, overhead, state.iterations)
        kernel.notes.append(path_note(kernel, chosen, state, path, rounds))
    if chain is None:
        kernel.refuse("chain_ms", chain_why)
    else:
        result = found["chain"]
        why = stopped(result, state, code) or accumulator_check(
            kernel.kernel, result, state.accumulator, chain.iterations)
        if why:
            kernel.refuse("chain_ms", why)
        else:
            kernel.figures["chain_ms"] = median_ms(result, overhead, chain.iterations)
            control = found["control"]
            alone = median_ms(control, overhead, chain.iterations) if control.ns else None
            kernel.details["control_ms"] = alone
            kernel.notes.append(
                f"chain: `{'; '.join(chain.instructions)}` ({chain.updates} update(s)), the "
                f"JIT's bytes repeated in a counted loop of the replay's own at {chain.start:#x}"
                + (f", {chain.sets} register set(s) added where a register changes roles"
                   if chain.sets else "")
                + ("" if alone is None else f"; the loop's control alone takes {alone:.2f} ms, "
                   "not subtracted: it runs beside the chain"))
    kernel.notes += state.notes
    kernel.notes.append(f"harness: entering and leaving a run takes {overhead / 1e3:.1f} us, "
                        "subtracted; each figure the median of "
                        f"{rounds} interleaved runs")
    kernel.details.update({
        "iterations": state.iterations, "rounds": rounds, "overhead_us": overhead / 1e3,
        "path_runs_ns": path.ns,
        "chain_iterations": chain.iterations if chain else None,
        "chain_runs_ns": found["chain"].ns if chain else [],
        "compilation": f"{compilation.method} ({compilation.description})",
        "placed": sorted(f"{a:#x}" for a in state.code), "exits": [f"{e:#x}" for e in state.exits],
        "chain": chain.instructions if chain else [], "register_sets": chain.sets if chain else 0})


def check(kernel, result, state):
    """Why a landed path's end shows the wrong number of iterations, or None."""
    for what, kind, where, width, expected in state.checks:
        held = result.state.get(where) if kind == "reg" else result.watches.get(where)
        if held is None or held & ((1 << 8 * width) - 1) != expected:
            name = f"%{where}" if kind == "reg" else f"the cell at {where:#x}"
            return (f"the run ended with {what} ({name}) at {held if held is None else hex(held)}, "
                    f"not {expected:#x}: it did not run exactly {state.iterations} iterations")
    return accumulator_check(kernel, result, state.accumulator, state.iterations)


def accumulator_check(kernel, result, accumulator, iterations):
    if accumulator is None:
        return None
    held = result.watches.get(accumulator)
    if held not in finals(kernel, iterations):
        return (f"the accumulator holds {held if held is None else hex(held)} after the run, not "
                f"what {iterations} iterations of {kernel} give: its load and store did not "
                "reach one cell, or the run did not do the kernel's work")
    return None


def path_note(kernel, chosen, state, result, rounds):
    placed = sorted(state.code)
    pages = sum(1 for kind in state.pages.values() if kind == "code")
    index = next(((kind, where, expected) for _, kind, where, _, expected in state.checks), None)
    named = "" if index is None else (f", the index {'%' + index[1] if index[0] == 'reg' else ''}"
                                      f"{'' if index[0] == 'reg' else 'in memory'} at "
                                      f"{index[2]:#x} there")
    source = "" if len(kernel.reports) == 1 else \
        f" ({chosen.compilation.method}, {chosen.compilation.description})"
    return (f"path{source}: its {len(placed)} instructions placed at their own addresses "
            f"({placed[0]:#x} to {placed[-1]:#x}, {pages} page(s), every other byte a trap), "
            f"entered at {state.entry:#x} from a synthesized state; every run ended at "
            f"{result.landed_at:#x} after {state.iterations} iterations ({state.trips} trips"
            f"{named})")
