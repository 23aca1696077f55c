"""Reading the runtimes' code dumps into compilations: HotSpot's
-XX:CompileCommand=print output (each nmethod's machine code as hex, with
the runtime's comments), V8's --print-opt-code listing (address, offset,
bytes per instruction), and the saved dumps this tool writes (a header line
naming the run, then the kernels' compilations as read: the runtime's own
text, or, for code read from a binary dump such as a jitdump or from a
tracing JIT's files, a code block of this tool's, which keeps what the
runtime or the counterpart declares too). Which compilations are analysed:
per kernel, the highest tier printed.

A compilation holds one kernel (named after it), or several, in the order
they are timed (one function timing them all, as main does in the
benchmark's WebAssembly build); its code may be in several segments, in
the order the code is laid out for the loops' sake (a tracing JIT's root
trace, then the side traces entered from its guards, give one kernel's code
together, wherever they lie in memory).
"""
import dataclasses
import re

import report

from .errors import ToolError

KERNEL_METHODS = {name: name.split()[0].lower() for name in report.KERNEL_NAMES}  # "inc", ...
SAVED_HEADER = "jit_loops.py dump of "  # the first line of a saved dump, then the origin


@dataclasses.dataclass
class Compilation:
    """One compiled version of a kernel, as the runtime printed it."""
    runtime: str  # "HotSpot" or "V8"
    method: str  # as printed: "JitBench::inc", "inc"
    kernel: str  # "Inc loop", ...
    description: str  # tier, on-stack replacement, compile id
    segments: list  # [(start address, bytes)], each contiguous, in layout order (loops)
    annotations: dict  # address -> [the runtime's comments at it]
    text: str  # the lines to save
    tier: int = 0  # higher is more optimised
    kernels: tuple = ()  # the kernels it holds in timed order, when more than one (kernel None)
    # What the runtime or the counterpart tells besides the code: a
    # declaration that the accumulator is one cell read through one pointer
    # and written through another (its words and where it is made), and the
    # addresses of words the runtime polls, with what each is.
    one_cell: str = ""
    poll_words: dict = dataclasses.field(default_factory=dict)

    @property
    def held(self):
        """The kernels whose code this is, in timed order."""
        return self.kernels or (self.kernel,)


HOTSPOT_HEADER = re.compile(r"^=+ (\S+)-compiled nmethod =+$", re.M)
HOTSPOT_METHOD = re.compile(
    r"^Compiled method \((?P<compiler>\w+)\)\s+\d+\s+(?P<id>\d+)\s+(?P<flags>[%sb!n ]*?)\s*"
    r"(?P<tier>\d)\s+(?P<name>\S+)(?:\s+@\s+(?P<bci>\d+))?\s+\(\d+ bytes\)", re.M)
HOTSPOT_BYTES = re.compile(r"^\s*0x([0-9a-f]+): ((?:[0-9a-f]{2}(?:[0-9a-f]{2})?(?: \| | |$))+)\s*$")
HOTSPOT_COMMENT = re.compile(r"^\s*0x([0-9a-f]+): ;(.*)$")
HOTSPOT_CONTINUED = re.compile(r"^\s+;(.*)$")
HOTSPOT_SECTION = re.compile(r"^\[(Verified Entry Point|Entry Point|Stub Code|Exception Handler|"
                             r"Deopt Handler Code|Deopt MH Handler Code)\]")

V8_BEGIN = "--- Optimized code ---"
V8_END = "--- End code ---"
V8_FIELD = re.compile(r"^(\w+) = (.*)$")
V8_INSTRUCTION = re.compile(r"^0x([0-9a-f]+)\s+([0-9a-f]+)\s+([0-9a-f]+)(?:\s+(.*))?$")
V8_CONTINUED = re.compile(r"^\s+;;\s*(.*)$")
V8_TIERS = {"MAGLEV": 1, "TURBOFAN": 2}

# A code block: a compilation read from a binary dump, as this tool saves it.
BLOCK_BEGIN = "--- jit_loops code ---"
BLOCK_END = "--- end of code ---"
BLOCK_FIELDS = ("runtime", "name", "kernels", "tier", "description")
BLOCK_BYTES = 32  # per "code" line


def kernel_of(method):
    """The kernel whose method `method` is ("JitBench::inc" -> "Inc loop"), or None."""
    short = re.split(r"::|\.", method)[-1]
    return next((k for k, m in KERNEL_METHODS.items() if m == short), None)


class Segments:
    """Collects bytes at addresses into contiguous segments."""

    def __init__(self):
        self.segments = []

    def add(self, address, data):
        if self.segments:
            start, chunk = self.segments[-1]
            if start + len(chunk) == address:
                chunk.extend(data)
                return
        self.segments.append((address, bytearray(data)))

    def cut(self):
        """The next bytes start a new segment (a new section of the code)."""
        if self.segments and self.segments[-1][1]:
            self.segments.append((0, bytearray()))

    def result(self):
        return [(start, bytes(chunk)) for start, chunk in self.segments if chunk]


def parse_hotspot(text):
    """Every compilation of a kernel in HotSpot's print output."""
    found = []
    headers = list(HOTSPOT_HEADER.finditer(text))
    for number, header in enumerate(headers):
        end = headers[number + 1].start() if number + 1 < len(headers) else len(text)
        block = text[header.start():end]
        close = block.find("[/MachCode]")
        if close < 0:
            continue  # cut off: no complete code
        block = block[:close + len("[/MachCode]")]
        method = HOTSPOT_METHOD.search(block)
        if not method or not kernel_of(method["name"]):
            continue
        segments, annotations, last = Segments(), {}, None
        for line in block.splitlines():
            if HOTSPOT_SECTION.match(line):
                segments.cut()
            elif (match := HOTSPOT_BYTES.match(line)):
                segments.add(int(match[1], 16), bytes.fromhex(re.sub(r"[ |]", "", match[2])))
            elif (match := HOTSPOT_COMMENT.match(line)):
                last = int(match[1], 16)
                annotations.setdefault(last, []).append(match[2].strip())
            elif last is not None and (match := HOTSPOT_CONTINUED.match(line)):
                annotations[last].append(match[1].strip())
        if not segments.result():
            continue  # no bytes printed (hsdis loaded prints text): nothing to judge
        osr = "%" in method["flags"]
        description = (f"{method['compiler']}, tier {method['tier']}, "
                       + (f"on-stack replacement at bci {method['bci']}, " if osr else "")
                       + f"compile id {method['id']}")
        found.append(Compilation("HotSpot", method["name"], kernel_of(method["name"]),
                                 description, segments.result(), annotations, block + "\n",
                                 int(method["tier"])))
    return found


def parse_v8(text):
    """Every optimised code object of a kernel in V8's --print-opt-code output."""
    found = []
    position = 0
    while (begin := text.find(V8_BEGIN, position)) >= 0:
        end = text.find(V8_END, begin)
        if end < 0:
            break  # cut off
        position = end + len(V8_END)
        block = text[begin:position]
        fields, segments, annotations, last = {}, Segments(), {}, None
        kept, listing = [], []  # header lines; [address, offset, bytes] of the code
        in_code = False
        for line in block.splitlines():
            if (match := V8_INSTRUCTION.match(line)):
                in_code = True
                last = int(match[1], 16)
                segments.add(last, bytes.fromhex(match[3]))
                listing.append((last, match[2], match[3]))
                words = match[4] or ""
                if ";;" in words:
                    annotations.setdefault(last, []).append(words.split(";;", 1)[1].strip())
                if "(" in words.split(";;")[0]:  # a named target: "(CEntry_...)"
                    annotations.setdefault(last, []).append(words.split(";;")[0].strip())
            elif in_code and last is not None and (match := V8_CONTINUED.match(line)):
                annotations[last].append(match[1])
            elif in_code and not line.strip():
                in_code = False  # the instructions end at the first empty line
                last = None
            elif not in_code and (match := V8_FIELD.match(line)) and not segments.segments:
                fields[match[1]] = match[2]
                kept.append(line)
            elif line.startswith("Instructions"):
                kept.append(line)
        # What a saved dump keeps: the header, the bytes and the comments
        # (V8's own disassembly text is not used).
        code_lines = [f"0x{address:x}  {offset}  {data}" + (
            "  ;; " + " | ".join(annotations[address]) if address in annotations else "")
            for address, offset, data in listing]
        text_kept = "\n".join([V8_BEGIN] + kept + code_lines + ["", V8_END]) + "\n"
        name = fields.get("name", "")
        if not kernel_of(name) or not segments.segments:
            continue
        description = ", ".join(f"{k} {fields[k]}" for k in ("kind", "optimization_id", "osr")
                                if k in fields)
        found.append(Compilation("V8", name, kernel_of(name), description, segments.result(),
                                 annotations, text_kept, V8_TIERS.get(fields.get("kind"), 0)))
    return found


def code_block(c):
    """The saved text of a compilation read from a binary dump: its fields,
    its bytes as hex by address, its comments by address."""
    fields = {"runtime": c.runtime, "name": c.method, "kernels": ", ".join(c.held),
              "tier": str(c.tier), "description": c.description}
    lines = [BLOCK_BEGIN] + [f"{key} = {fields[key]}" for key in BLOCK_FIELDS]
    lines += [f"one_cell = {c.one_cell}"] if c.one_cell else []
    lines += [f"poll 0x{address:x} {why}" for address, why in sorted(c.poll_words.items())]
    for start, data in c.segments:
        lines += [f"code 0x{start + k:x} {data[k:k + BLOCK_BYTES].hex()}"
                  for k in range(0, len(data), BLOCK_BYTES)]
    lines += [f"note 0x{address:x} {note}" for address, notes in sorted(c.annotations.items())
              for note in notes]
    return "\n".join(lines + [BLOCK_END, ""])


def parse_blocks(text):
    """Every complete code block in a saved dump."""
    found = []
    for match in re.finditer(re.escape(BLOCK_BEGIN) + r"\n(.*?)^" + re.escape(BLOCK_END) + "$",
                             text, re.M | re.S):
        fields, segments, annotations, polls = {}, Segments(), {}, {}
        for line in match[1].splitlines():
            key, _, value = line.partition(" = ")
            words = line.split(" ", 2)
            try:
                if key in BLOCK_FIELDS + ("one_cell",):
                    fields[key] = int(value) if key == "tier" else value
                elif words[0] == "poll" and len(words) == 3:
                    polls[int(words[1], 16)] = words[2]
                elif words[0] == "code" and len(words) == 3:
                    segments.add(int(words[1], 16), bytes.fromhex(words[2]))
                elif words[0] == "note" and len(words) == 3:
                    annotations.setdefault(int(words[1], 16), []).append(words[2])
            except ValueError:
                raise ToolError(f"a saved code block is damaged at the line {line[:60]!r}")
        kernels = tuple(k for k in fields.get("kernels", "").split(", ")
                        if k in report.KERNEL_NAMES)
        if not kernels or not segments.segments:
            continue
        compilation = Compilation(fields.get("runtime", "?"), fields.get("name", "?"),
                                  kernels[0] if len(kernels) == 1 else None,
                                  fields.get("description", ""), segments.result(), annotations,
                                  "", fields.get("tier", 0),
                                  kernels=kernels if len(kernels) > 1 else (),
                                  one_cell=fields.get("one_cell", ""), poll_words=polls)
        compilation.text = code_block(compilation)
        found.append(compilation)
    return found


def parse_dump(text):
    """The kernels' compilations in a dump of either runtime, or in code
    blocks, in print order."""
    if HOTSPOT_HEADER.search(text):
        return parse_hotspot(text)
    if V8_BEGIN in text:
        return parse_v8(text)
    return parse_blocks(text)


def top_tier(compilations, everything):
    """Per kernel, in report order: its compilations in the highest tier
    printed (C2, TurboFan), each of which may be the code that runs the
    timed loop (the on-stack replacement in a cold run, a whole-method
    compilation after warm-up); every compilation with `everything`."""
    chosen = []
    for kernel in report.KERNEL_NAMES:
        mine = [c for c in compilations if kernel in c.held]
        top = max((c.tier for c in mine), default=None)
        chosen += [c for c in mine if (everything or c.tier == top)
                   and all(c is not other for other in chosen)]
    return chosen


def saved_origin(text, file):
    """The run a saved dump was taken from, as its first line names it; for
    a runtime's own output saved by hand, the file's name."""
    first = text.split("\n", 1)[0]
    return first[len(SAVED_HEADER):] if first.startswith(SAVED_HEADER) else f"dump {file}"


def save(file, origin, compilations):
    """Writes the compilations' dump text under a header naming the run,
    readable again by parse_dump and saved_origin."""
    with open(file, "w", encoding="utf-8") as f:
        f.write(f"{SAVED_HEADER}{origin}\n\n")
        f.write("\n".join(c.text for c in compilations))
