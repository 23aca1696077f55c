"""Reading Linux perf's jitdump files (jit-PID.dump, the format `perf inject
--jit` reads) into compilations: the file header, then records, each a
header (id, total size, timestamp) and a payload. JIT_CODE_LOAD gives a
compiled function's name, address, bytes and code index; JIT_CODE_MOVE moves
a loaded function's code to another address (applied); debug-info,
unwinding-info, close records and records of an unknown id are read past by
their size. Only little-endian x86-64 files are read: anything else, or a
file cut short or whose sizes do not add up, is refused with the reason.

Which records are the kernels' is decided by name (KernelNames): V8's names
(node's --perf-prof) also give the runtime and the tier. The kernels'
records can be written out again, alone, as a small jitdump (trim).
"""
import dataclasses
import re
import struct

import report

from .dumps import KERNEL_METHODS, Compilation, code_block
from .errors import ToolError

MAGIC = 0x4A695444  # "JiTD" as a little-endian 32-bit word
MAGICS = (struct.pack("<I", MAGIC), struct.pack(">I", MAGIC))  # a file's first bytes, either order
VERSION = 1
EM_X86_64 = 62
# Other ELF machines a jitdump may name, for the refusal's message.
MACHINES = {3: "x86 (32-bit)", 8: "MIPS", 20: "PowerPC", 21: "PowerPC 64", 22: "s390",
            40: "ARM (32-bit)", 183: "AArch64", 243: "RISC-V"}
FILE_HEADER = struct.Struct("<IIIIIIQQ")  # magic, version, total_size, elf_mach, pad1, pid,
#                                           timestamp, flags
RECORD_HEADER = struct.Struct("<IIQ")  # id, total_size, timestamp
LOAD = struct.Struct("<IIQQQQ")  # pid, tid, vma, code_addr, code_size, code_index
MOVE = struct.Struct("<IIQQQQQ")  # pid, tid, vma, old_code_addr, new_code_addr, code_size,
#                                   code_index
CODE_LOAD, CODE_MOVE = 0, 1
RECORD_NAMES = {0: "JIT_CODE_LOAD", 1: "JIT_CODE_MOVE", 2: "JIT_CODE_DEBUG_INFO",
                3: "JIT_CODE_CLOSE", 4: "JIT_CODE_UNWINDING_INFO"}

# V8's names: "JS:*inc /path/jit_bench.js:36:13" (node 20), "LazyCompile:*inc ..."
# (node 18), the mark giving the tier; a WebAssembly function's compiled code
# is "JS:__original_main-8-liftoff": its name, its index, its compiler.
V8_NAME = re.compile(r"^(?:JS|LazyCompile|Function|Script|Eval):([~^+*]?)(\S*)")
V8_MARKS = {"~": (0, "interpreter"), "^": (1, "Sparkplug"), "+": (2, "Maglev"),
            "*": (3, "TurboFan")}
V8_WASM = re.compile(r"-\d+-(liftoff|turbofan)$")
V8_WASM_TIERS = {"liftoff": (1, "Liftoff"), "turbofan": (3, "TurboFan")}


@dataclasses.dataclass
class Header:
    version: int
    size: int
    machine: int
    pid: int
    timestamp: int
    flags: int
    raw: bytes  # as read, for a trimmed copy


@dataclasses.dataclass
class Load:
    """One JIT_CODE_LOAD, its address moved by any JIT_CODE_MOVE after it."""
    timestamp: int
    pid: int
    tid: int
    address: int
    name: str  # printable
    raw_name: bytes  # as written
    code: bytes
    index: int


class KernelNames:
    """Which records hold the kernels, by name: three names, one per kernel in
    report order, or one name for code that holds all three kernels, timed
    one after the other. A name matches a record whose name, up to its first
    space (V8 puts the source position after it), contains the name as a
    whole word: not preceded or followed by a letter, digit or underscore.
    "inc" matches "JS:*inc /path:36:13", "LazyCompile:*inc ...",
    "bench:inc/1" and "JIT$inc", not "JS:*increment" nor "/path/inc.js"."""

    def __init__(self, names):
        if len(names) not in (1, len(report.KERNEL_NAMES)) or not all(names) \
                or len(set(names)) != len(names):
            raise ValueError(f"give {len(report.KERNEL_NAMES)} different names (one per "
                             "kernel, in report order) or one (code holding every kernel)")
        self.names = list(names)
        self.patterns = [re.compile(r"(?<![A-Za-z0-9_])" + re.escape(n) + r"(?![A-Za-z0-9_])")
                         for n in names]

    @classmethod
    def parse(cls, text):
        return cls(text.split(","))

    @property
    def together(self):
        """True when one name holds every kernel."""
        return len(self.names) == 1

    def kernels_of(self, record_name):
        """The kernels the record named `record_name` holds (none: not theirs)."""
        function = record_name.split(" ", 1)[0]
        hits = [k for k, pattern in enumerate(self.patterns) if pattern.search(function)]
        if len(hits) > 1:
            raise ToolError(f"the code {record_name!r} matches more than one kernel's name "
                            f"({', '.join(self.names[k] for k in hits)})")
        if not hits:
            return ()
        return tuple(report.KERNEL_NAMES) if self.together else (report.KERNEL_NAMES[hits[0]],)


DEFAULT_NAMES = ",".join(KERNEL_METHODS.values())  # "inc,arith,branch"


def printable(raw):
    """A record's name for display: ASCII, anything else escaped."""
    return "".join(chr(b) if 0x20 <= b < 0x7F else f"\\x{b:02x}" for b in raw)


def read_header(data, file):
    if data[:4] == struct.pack(">I", MAGIC):
        raise ToolError(f"{file}: a jitdump in the other byte order: its magic reads "
                        f"0x{struct.unpack('<I', data[:4])[0]:08x}, 0x{MAGIC:08x} byte-swapped "
                        "(written big-endian); only little-endian x86-64 files are read")
    if len(data) < FILE_HEADER.size:
        if data[:4] == struct.pack("<I", MAGIC):
            raise ToolError(f"{file}: truncated: {len(data)} bytes, less than the "
                            f"{FILE_HEADER.size}-byte jitdump file header")
        raise ToolError(f"{file}: not a jitdump file ({len(data)} bytes, no file header)")
    magic, version, size, machine, _, pid, timestamp, flags = FILE_HEADER.unpack_from(data)
    if magic != MAGIC:
        raise ToolError(f"{file}: not a jitdump file (magic 0x{magic:08x}, expected "
                        f"0x{MAGIC:08x}, \"JiTD\")")
    if version != VERSION:
        raise ToolError(f"{file}: jitdump version {version}; only version {VERSION} is known")
    if size < FILE_HEADER.size or size > len(data):
        raise ToolError(f"{file}: the file header gives its size as {size} bytes (at least "
                        f"{FILE_HEADER.size}, at most the file's {len(data)})")
    if machine != EM_X86_64:
        kind = MACHINES.get(machine, "unknown")
        raise ToolError(f"{file}: code for ELF machine {machine} ({kind}), not x86-64 "
                        f"({EM_X86_64}): only x86-64 code is read")
    return Header(version, size, machine, pid, timestamp, flags, bytes(data[:size]))


def read(data, file):
    """The file header and every code load of a jitdump's bytes, moves
    applied, in file order."""
    header = read_header(data, file)
    loads, by_index = [], {}
    offset = header.size
    while offset < len(data):
        left = len(data) - offset
        if left < RECORD_HEADER.size:
            raise ToolError(f"{file}: truncated: {left} byte(s) at offset {offset}, less than a "
                            f"{RECORD_HEADER.size}-byte record header")
        kind, size, timestamp = RECORD_HEADER.unpack_from(data, offset)
        what = f"{file}: record at offset {offset} ({RECORD_NAMES.get(kind, f'id {kind}')})"
        if size < RECORD_HEADER.size:
            raise ToolError(f"{what}: size {size}, smaller than its {RECORD_HEADER.size}-byte "
                            "header")
        if size > left:
            raise ToolError(f"{what}: size {size} runs past the end of the file ({left} "
                            "byte(s) left): the file is cut short, or the size is wrong")
        payload = data[offset + RECORD_HEADER.size:offset + size]
        if kind == CODE_LOAD:
            load = read_load(payload, timestamp, what)
            loads.append(load)
            by_index[load.index] = load
        elif kind == CODE_MOVE:
            move(payload, by_index, what)
        offset += size
    return header, loads


def read_load(payload, timestamp, what):
    if len(payload) < LOAD.size + 1:
        raise ToolError(f"{what}: {len(payload)} byte(s) after the record header, too few for "
                        f"its fields ({LOAD.size}) and a name")
    pid, tid, _, address, size, index = LOAD.unpack_from(payload)
    end = payload.find(b"\0", LOAD.size)
    if end < 0:
        raise ToolError(f"{what}: its name has no terminating NUL within the record")
    if end + 1 + size > len(payload):
        raise ToolError(f"{what}: its name and {size} byte(s) of code run past the record's "
                        "size")
    raw = bytes(payload[LOAD.size:end])
    return Load(timestamp, pid, tid, address, printable(raw), raw,
                bytes(payload[end + 1:end + 1 + size]), index)


def move(payload, by_index, what):
    if len(payload) < MOVE.size:
        raise ToolError(f"{what}: {len(payload)} byte(s) after the record header, too few for "
                        f"its fields ({MOVE.size})")
    _, _, _, old, new, size, index = MOVE.unpack_from(payload)
    load = by_index.get(index)
    if load is None:
        raise ToolError(f"{what}: moves code index {index}, which no earlier JIT_CODE_LOAD "
                        "loaded")
    if (old, size) != (load.address, len(load.code)):
        raise ToolError(f"{what}: moves code index {index} from {old:#x} ({size} bytes), but "
                        f"it is at {load.address:#x} ({len(load.code)} bytes)")
    load.address = new


def tier_of(name):
    """(runtime, tier, tier's name) from a record's name: V8's marks and
    WebAssembly compilers; any other JIT's code is one tier."""
    match = V8_NAME.match(name)
    if not match:
        return "jitdump", 0, ""
    wasm = V8_WASM.search(match[2])
    if wasm:
        return ("V8",) + V8_WASM_TIERS[wasm[1]]
    return ("V8",) + V8_MARKS.get(match[1], (0, ""))


def compilations(loads, names):
    """The kernels' code loads as compilations, in file order. Code of no
    length is left out (it cannot hold a loop)."""
    found = []
    for load in loads:
        kernels = names.kernels_of(load.name)
        if not kernels or not load.code:
            continue
        runtime, tier, tier_name = tier_of(load.name)
        description = f"jitdump code index {load.index}" + (f", {tier_name}" if tier_name else "")
        compilation = Compilation(runtime, load.name, kernels[0] if len(kernels) == 1 else None,
                                  description, [(load.address, load.code)], {}, "", tier,
                                  kernels=kernels if len(kernels) > 1 else ())
        compilation.text = code_block(compilation)
        found.append(compilation)
    return found


def load_record(load):
    """A JIT_CODE_LOAD record of `load` at its current address."""
    payload = LOAD.pack(load.pid, load.tid, load.address, load.address, len(load.code),
                        load.index) + load.raw_name + b"\0" + load.code
    return RECORD_HEADER.pack(CODE_LOAD, RECORD_HEADER.size + len(payload), load.timestamp) \
        + payload


def trim(header, loads, names, file):
    """Writes a jitdump holding only the file header and the kernels' code
    loads (moves applied): small enough to keep, readable again here and by
    perf."""
    kept = [load for load in loads if names.kernels_of(load.name)]
    with open(file, "wb") as f:
        f.write(header.raw)
        for load in kept:
            f.write(load_record(load))
    return len(kept)
