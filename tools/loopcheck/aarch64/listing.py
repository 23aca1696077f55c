"""An AArch64 listing split into its symbols, and the part of it a saved
listing keeps (`excerpt`): the code reachable from main and from the code
run before main and at exit, without the C library's functions that are
trusted by name.
"""
import bisect
import re

from .instructions import parse

HEADER = re.compile(r"^([0-9a-f]+) <(.+)>:$", re.M)


class Listing:
    """The symbols of a listing, each with its text and, parsed on demand,
    its instructions."""

    def __init__(self, text):
        self.text = text
        self.blocks = sorted((int(m[1], 16), m[2], m.start(), m.end())
                             for m in HEADER.finditer(text))
        self.starts = [start for start, _, _, _ in self.blocks]
        self.code = {}

    def block_of(self, address):
        """The index of the symbol holding `address`, -1 before the first."""
        return bisect.bisect_right(self.starts, address) - 1

    def block_text(self, k):
        """Symbol k's header line and its code, up to the first empty line."""
        start, end = self.blocks[k][2], self.text.find("\n\n", self.blocks[k][3])
        return self.text[start:end if end >= 0 else len(self.text)].rstrip("\n")

    def block_code(self, k):
        if k not in self.code:
            self.code[k] = [insn for insn in map(parse, self.block_text(k).splitlines()[1:])
                            if insn is not None]
        return self.code[k]


def bare(name):
    """`puts@plt`, `puts@GLIBC_2.17`, `main+0x48` -> the bare name."""
    return re.sub(r"\+0x[0-9a-f]+$", "", name).split("@")[0]


def falls_through(insn):
    return not (insn.branch in ("b", "br", "ret", "eret") or insn.mnemonic in ("brk", "udf", "hlt")
                or insn.undecoded)


# How much of a kept symbol's code is followed, least first.
NOTHING, JUMPS, EVERYTHING = 0, 1, 2


def excerpt(text, roots, trusted, ending):
    """The symbols the check reads of a listing, each with its header line:
    those holding the `roots` (addresses) and every symbol their code
    branches or calls to, transitively, and the symbol after one whose last
    instruction falls through. Of a function named in `trusted` (the C
    library's, believed by name) only the symbol is kept; of one named in
    `ending` (believed to end the process only when its own code reaches no
    return) its jumps are followed too, not its calls. After a last call
    (main's `bl abort`, which does not return), the next symbol is kept as
    it is parsed, not followed."""
    listing = Listing(text)
    keep, todo = {}, [(listing.block_of(address), EVERYTHING) for address in roots]
    while todo:
        k, follow = todo.pop()
        if k < 0 or keep.get(k, -1) >= follow:
            continue  # before every symbol, or kept already with as much followed
        keep[k] = follow
        code = listing.block_code(k) if follow > NOTHING else []
        for insn in code:
            if insn.target is None or not insn.branch or (insn.is_call and follow < EVERYTHING):
                continue
            callee = bare(insn.target_name)
            todo.append((listing.block_of(insn.target),
                         follow if not insn.is_call else NOTHING if callee in trusted
                         else JUMPS if callee in ending else EVERYTHING))
        if code and falls_through(code[-1]) and k + 1 < len(listing.blocks):
            todo.append((k + 1, NOTHING if code[-1].is_call else follow))
    return "".join(listing.block_text(k) + "\n\n" for k in sorted(keep))
