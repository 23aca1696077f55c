"""Which innermost loops are which kernel's: the step between finding a
compilation's loops and judging them.

A compilation named after one kernel holds that kernel's loops: all its
innermost loops are the kernel's, and the hottest of them is judged. A
compilation holding several kernels, timed one after the other in one
function (the benchmark's own main, built for WebAssembly), is cut at its
clock calls: each kernel's loops are the innermost loops whose head lies
in its timed stretch, between its two clock calls (compilers lay a loop
out in code order between the code before it and the code after it). A
kernel whose stretch holds no loop has lost it (the compiler computed the
accumulator without it), unless some loop lies outside every stretch: its
loop may be laid out there, and it is not judged. A stretch holding several
loops (an unrolled loop's remainder loop, say) is judged by its hottest, as
one-kernel code is; loops outside every stretch (the code before the first
clock reading and after the last) are no kernel's.

The clock: the one direct call target that the code calls exactly twice per
kernel, and whose calls, paired in code order, have no call of any kind
between the two of a pair (nothing but the loop lies between a kernel's
clock readings). The count of loops alone would not do: a kernel whose loop
was removed would leave the others' loops misassigned or untold, where the
stretches say which kernel lost it. When no call target fits, or more than
one does, the kernels cannot be told apart and none is judged.

A tracing JIT's kernel (a root trace and the side traces entered from its
guards) is one-kernel code whose segments are its traces, the root first:
in that layout a side trace's jump back to the root's loop head is one more
backward branch of that loop, so its path is judged with the root's.
"""
import collections
import dataclasses


@dataclasses.dataclass
class Share:
    """One kernel's part of a compilation."""
    kernel: str
    loops: list  # its innermost loops
    stretch: tuple = None  # (first clock call, second) when the code holds several kernels
    place: str = ""  # where its code lies in code holding several kernels
    unjudged: str = ""  # why its loops cannot be told from the others'


def timed_stretches(code, count):
    """[(first clock call, second)] for `count` kernels, or (None, why not)."""
    calls = [insn for insn in code.values() if insn.is_call]
    targets = collections.Counter(insn.target for insn in calls
                                  if insn.target is not None and not insn.indirect)
    fits = {}
    for target, times in sorted(targets.items()):
        if times != 2 * count:
            continue
        mine = [insn.address for insn in calls if insn.target == target]
        pairs = list(zip(mine[0::2], mine[1::2]))
        if not any(first < insn.address < second for first, second in pairs for insn in calls):
            fits[target] = pairs
    if len(fits) == 1:
        target, pairs = fits.popitem()
        return pairs, target
    if not fits:
        return None, (f"no clock found: no direct call target is called exactly {2 * count} "
                      "times, in pairs with no other call between the two of a pair")
    return None, ("no clock found: several call targets could be it ("
                  + ", ".join(f"{t:#x}" for t in fits) + ")")


def shares(compilation, loops, code):
    """Each kernel of `compilation` with its innermost loops, in timed order."""
    held = compilation.held
    if len(held) == 1:
        return [Share(held[0], list(loops))]
    pairs, clock = timed_stretches(code, len(held))
    if pairs is None:
        why = (f"not judged: this code holds {len(held)} kernels and their loops cannot be told "
               f"apart ({clock})")
        return [Share(kernel, [], unjudged=why) for kernel in held]
    outside = [loop.head for loop in loops
               if not any(first < loop.head < second for first, second in pairs)]
    found = []
    for number, (kernel, (first, second)) in enumerate(zip(held, pairs), 1):
        mine = [loop for loop in loops if first < loop.head < second]
        place = (f"kernel {number} of {len(held)} in this code: timed between the clock calls at "
                 f"{first:#x} and {second:#x} (the clock: the {2 * len(held)} calls to "
                 f"{clock:#x})")
        share = Share(kernel, mine, (first, second), place)
        if not mine and outside:
            # Its loop may be laid out away from its stretch: not a removed loop for sure.
            share.unjudged = ("not judged: no loop between its clock calls, but innermost loops "
                              "lie outside every kernel's stretch (at "
                              + ", ".join(f"{head:#x}" for head in outside)
                              + "): its loop may be laid out there")
        found.append(share)
    return found
