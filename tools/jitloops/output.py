"""The report of one kernel in one compilation: its verdict line, where its
code lies when the compilation holds several kernels, the hottest loop's head,
accumulator, per-path counts per iteration, rule and cost flags, and its
instructions in the code's layout with each memory access and fence marked
(with --verbose, the runtime's comments under them); then the other innermost loops, listed but
not judged. A compilation not judged because an innermost loop could not
be walked to the end says so ("????") and lists its other innermost loops.
After a kernel's compilations, its split: the figures measured (results),
each ratio named by what it measures, and why a figure was refused or is
suspect. The whole text is rendered from the kernels' results alone.
"""
from .accesses import fence_kind
from .results import FACTORS, FIGURES, NOT_MEASURED, summary


def write_text(kernels, origin, verbose, out):
    """The whole report: the origin, each kernel's compilations and split,
    and the summary lines."""
    out.write(f"jit_loops: {origin}\n")
    for kernel in kernels:
        for result in kernel.reports:
            show(result, verbose, out)
        show_split(kernel, out)
    for line in summary(kernels):
        out.write(line + "\n")


def number(value):
    return "-" if value is None else f"{value:.2f}"


def show_split(kernel, out):
    """The kernel's figures and their ratios; nothing when none was measured."""
    if all(kernel.refused.get(f) == NOT_MEASURED for f in FIGURES):
        return
    out.write(f"       split of {kernel.kernel}, ms per 1e8 iterations on this machine: "
              + ", ".join(f"{f[:-3]} {number(kernel.figures[f])}" for f in FIGURES) + "\n")
    total = kernel.ratio("run_ms", "floor_ms")
    out.write(f"       run/floor {number(total)} = " + " x ".join(
        f"{name} {number(kernel.ratio(top, bottom))} ({what})"
        for name, top, bottom, what in FACTORS) + "\n")
    for line in kernel.notes:
        out.write(f"       {line}\n")
    for figure in FIGURES:
        if figure in kernel.refused:
            out.write(f"       refused: {figure[:-3]}: {kernel.refused[figure]}\n")
    for why in kernel.suspect:
        out.write(f"       suspect: {why}\n")


def show(result, verbose, out):
    """Writes the kernel report `result` to the stream `out`."""
    c = result.compilation
    status = ("FLAG" if result.rules else "????" if result.unjudged else "note" if result.note
              else "ok  ")
    out.write(f"{status} {result.kernel}: {c.runtime} {c.method} ({c.description})\n")
    if result.place:
        out.write(f"       {result.place}\n")
    hot = result.hottest
    if hot is None:
        for rule in result.rules:
            out.write(f"       rule: {rule}\n")
        if result.note:
            out.write(f"       {result.note}\n")
        for why in result.unjudged:
            out.write(f"       {why}\n")
        show_others(result, out)
        return
    loop = hot.loop
    out.write(f"       hottest loop: head {loop.head:#x}, backward branch at "
              + ", ".join(f"{a:#x}" for a in loop.latches)
              + f"; {len(loop.body)} instructions, {len(loop.paths)} path(s)\n")
    if hot.accumulator:
        out.write(f"       accumulator: {hot.accumulator}, addressed as {hot.form}\n")
    for note in hot.notes:
        out.write(f"       {note}\n")
    for line in hot.per_path:
        out.write(f"       {line}\n")
    for rule in result.rules:
        out.write(f"       rule: {rule}\n")
    for cost in hot.costs:
        out.write(f"       cost: {cost}\n")
    kinds = {}
    for path in loop.paths:
        for a in path.accesses:
            kinds.setdefault(a.address, set()).add(
                ("store " if a.writes and not a.reads else "load+store " if a.writes else "load ")
                + (a.kind if a.kind != "other" else "other") + (f" ({a.why})" if a.why else ""))
    out.write("       instructions:\n")
    for address in sorted(loop.body, key=loop.order.get):  # in the code's layout
        insn = result.code[address]
        mark = "; ".join(sorted(kinds.get(address, ())))
        fence = fence_kind(insn)
        mark = "; ".join(x for x in (mark, fence and "FENCE") if x)
        line = f"         {address:#x}: {insn.text}"
        out.write(f"{line:<64}{'  ' + mark if mark else ''}\n".rstrip() + "\n")
        if verbose:
            for note in insn.notes:
                out.write(f"{'':17}; {note}\n")
    show_others(result, out)


def show_others(result, out):
    # Not judged (the hot loop is the one judged), but shown: the hot loop
    # is picked by its shape, not by a profile.
    for other in result.others:
        out.write(f"       other innermost loop at {other.loop.head:#x}: "
                  f"{other.iterations} iteration(s) per trip, {len(other.loop.paths)} path(s), "
                  + ("judged (closed through a side trace or bridge), " if other.judged else "")
                  + ("rule kept" if not other.rules else "flags: " if other.judged
                     else "not judged, would flag: ") + "; ".join(other.rules) + "\n")
