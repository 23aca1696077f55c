"""Reading what runs before main from a 64-bit ELF executable: the dynamic
loader it asks for, the paths it searches for libraries first, the shared
libraries it needs, the symbols it defines for them (its .dynsym), its entry point, the ifunc resolvers of its own that the
dynamic loader runs, its init function (DT_INIT, or the .init section of a
static one), the constructors of its .preinit_array and .init_array (with
the addresses a position-independent executable's relocations put there),
the GOT slots of a static PIE that hold 0 when its start-up code loads
them (and, for an instruction set whose listing names no slot, what every
GOT slot holds), what exit() runs of its own (the .fini_array's
destructors and its fini function, DT_FINI or the .fini section), and
whether it has a symbol table at all (a stripped executable has none, and
the check finds main by its symbol).

The check reads these as a block of text after the disassembly
(`startup_text`, parsed back by objdump.Program), so that a saved listing
can carry them as well as an executable. The relocation types it reads are
the instruction set's (its layer's RELOCATIONS); `identify` reads the ELF
header's class, byte order and machine, which choose that layer.
"""
import struct

from .errors import ToolError

SHT_SYMTAB, SHT_STRTAB, SHT_RELA, SHT_DYNAMIC, SHT_DYNSYM = 2, 3, 4, 6, 11
SHT_INIT_ARRAY, SHT_FINI_ARRAY, SHT_PREINIT_ARRAY = 14, 15, 16
DT_NEEDED, DT_INIT, DT_FINI, DT_RPATH, DT_RUNPATH = 1, 12, 13, 15, 29
DT_INIT_ARRAY, DT_FINI_ARRAY, DT_INIT_ARRAYSZ, DT_FINI_ARRAYSZ = 25, 26, 27, 28
DT_PREINIT_ARRAY, DT_PREINIT_ARRAYSZ = 32, 33
DT_AUDIT, DT_DEPAUDIT = 0x6ffffefc, 0x6ffffefb
PT_LOAD, PT_INTERP = 1, 3
PAGE = 4096
STT_FUNC, STT_SECTION, STT_FILE = 2, 3, 4

# The first line of the block; objdump.Program looks for it.
STARTUP_HEADER = ("Run before main (loader, library paths, needed libraries, entry point, "
                  "ifunc resolvers, .preinit_array, .init, .init_array):")


def identify(path):
    """(ELF class: 1 for 32-bit, 2 for 64-bit; byte order: 1 little-endian,
    2 big-endian; e_machine) of the ELF file at `path`."""
    with open(path, "rb") as f:
        header = f.read(20)
    if len(header) < 20 or header[:4] != b"\x7fELF":
        raise ToolError(f"{path} is not an ELF file")
    return header[4], header[5], struct.unpack_from("<H" if header[5] == 1 else ">H", header,
                                                    18)[0]


class Elf:
    """The parts of an ELF64 little-endian file the check reads; the
    relocation types it reads are `relocation_types` (a layer's RELOCATIONS)."""

    def __init__(self, path, relocation_types):
        with open(path, "rb") as f:
            self.data = data = f.read()
        if data[:4] != b"\x7fELF":
            raise ToolError(f"{path} is not an ELF file")
        if data[4] != 2 or data[5] != 1:
            raise ToolError(f"{path} is not a 64-bit little-endian ELF file")
        self.relocation_types = relocation_types
        shoff, = struct.unpack_from("<Q", data, 0x28)
        shentsize, shnum, shstrndx = struct.unpack_from("<HHH", data, 0x3A)
        self.sections = []
        for k in range(shnum):
            (name, kind, _, addr, offset, size, link, _, _,
             entsize) = struct.unpack_from("<IIQQQQIIQQ", data, shoff + k * shentsize)
            self.sections.append({"name": name, "type": kind, "addr": addr, "offset": offset,
                                  "size": size, "link": link, "entsize": entsize})
        names = self.sections[shstrndx] if shnum else None
        for section in self.sections:
            section["name"] = self.string(names, section["name"]) if names else ""
        self.type, = struct.unpack_from("<H", data, 16)
        self.entry, phoff = struct.unpack_from("<QQ", data, 0x18)
        phentsize, phnum = struct.unpack_from("<HH", data, 0x36)
        self.interpreter, self.loads = [], []
        for k in range(phnum):
            kind, _, offset, vaddr, _, size = struct.unpack_from("<IIQQQQ", data,
                                                                 phoff + k * phentsize)
            if kind == PT_INTERP:
                self.interpreter.append(data[offset:offset + size].rstrip(b"\0").decode())
            elif kind == PT_LOAD:
                self.loads.append((vaddr, offset, size))  # size: the bytes in the file

    def string(self, table, offset):
        start = table["offset"] + offset
        return self.data[start:self.data.index(b"\0", start)].decode("utf-8", "replace")

    def of_type(self, kind):
        return [s for s in self.sections if s["type"] == kind]

    @property
    def stripped(self):
        return not self.of_type(SHT_SYMTAB)

    def relocations(self, kind):
        """Slot address -> addend, of every relocation of type `kind`."""
        slots = {}
        for section in self.of_type(SHT_RELA):
            for k in range(section["size"] // 24):
                where, info, addend = struct.unpack_from("<QQq", self.data,
                                                         section["offset"] + 24 * k)
                if info & 0xffffffff == kind:
                    slots[where] = addend
        return slots

    def file_offset(self, address, size):
        """Where the `size` bytes at virtual `address` lie in the file, None
        when no loaded segment holds them from the file. The loader maps
        whole pages: the bytes before a segment's start in its first page
        are the file's too (an array whose section was removed is still
        there, and its relocations still fill it)."""
        for vaddr, offset, filesz in self.loads:
            if vaddr - vaddr % PAGE <= address and address + size <= vaddr + filesz \
                    and offset + address - vaddr >= 0:
                return offset + address - vaddr
        return None

    def dynamic_entries(self, tag):
        """The values of the dynamic section's entries with `tag`."""
        values = []
        for dynamic in self.of_type(SHT_DYNAMIC):
            for k in range(dynamic["size"] // 16):
                found, value = struct.unpack_from("<qQ", self.data, dynamic["offset"] + 16 * k)
                if found == tag:
                    values.append(value)
        return values

    def function_names(self):
        """Address -> the name of a function symbol there."""
        names = {}
        for table in self.of_type(SHT_SYMTAB):
            strings = self.sections[table["link"]]
            for k in range(table["size"] // 24):
                name, info, _, _, value, _ = struct.unpack_from("<IBBHQQ", self.data,
                                                                table["offset"] + 24 * k)
                if info & 0xf == STT_FUNC and value not in names:
                    names[value] = self.string(strings, name)
        return names

    def constructors(self):
        """[(kind, address)] of the code run before main, in the order it
        runs ((kind, 0, symbol) for an array entry bound to a symbol): "ifunc" for a resolver of the executable's own (in one that
        needs shared libraries: a static one's are its C library's), then
        the .preinit_array, the init function (".init") and the .init_array;
        then what exit() runs: the .fini_array and the fini function
        (".fini")."""
        kinds = self.relocation_types
        slots, found = self.relocations(kinds["relative"]), []
        bound = self.symbol_relocations()
        if self.needed():
            found += [("ifunc", resolver)
                      for resolver in self.relocations(kinds["irelative"]).values()]

        def array(kind, name, start_tag, size_tag):
            # The dynamic loader runs the arrays the dynamic section names,
            # a static executable's start-up those the linker placed (the
            # sections): both are read, so that neither can hide an entry.
            where = [(s["addr"], s["offset"], s["size"]) for s in self.of_type(kind)]
            for start, size in zip(self.dynamic_entries(start_tag),
                                   self.dynamic_entries(size_tag)):
                offset = self.file_offset(start, size)
                if offset is None:
                    raise ToolError(f"the dynamic section's {name} at {start:#x} is not in the "
                                    f"file: the check cannot read what the loader runs")
                where.append((start, offset, size))
            for start, offset, size in where:
                for k in range(size // 8):
                    address, = struct.unpack_from("<Q", self.data, offset + 8 * k)
                    # An entry the loader binds to a symbol (a relocation
                    # against it, not a relative one) holds that symbol's
                    # address, whatever the file holds there.
                    entry = (name, 0, bound[start + 8 * k]) if start + 8 * k in bound else \
                        (name, slots.get(start + 8 * k, address) or address)
                    if entry not in found:
                        found.append(entry)
        array(SHT_PREINIT_ARRAY, ".preinit_array", DT_PREINIT_ARRAY, DT_PREINIT_ARRAYSZ)
        init = self.dynamic_entries(DT_INIT) or [s["addr"] for s in self.sections
                                                 if s["name"] == ".init"]
        found += [(".init", address) for address in init]
        array(SHT_INIT_ARRAY, ".init_array", DT_INIT_ARRAY, DT_INIT_ARRAYSZ)
        # Run by exit() and by main's return: the destructors of the
        # .fini_array, then the fini function.
        array(SHT_FINI_ARRAY, ".fini_array", DT_FINI_ARRAY, DT_FINI_ARRAYSZ)
        fini = self.dynamic_entries(DT_FINI) or [s["addr"] for s in self.sections
                                                 if s["name"] == ".fini"]
        found += [(".fini", address) for address in fini]
        return found

    def dynamic_strings(self, *tags):
        """The strings the dynamic section's entries with `tags` name."""
        found = []
        for dynamic in self.of_type(SHT_DYNAMIC):
            strings = self.sections[dynamic["link"]]
            for k in range(dynamic["size"] // 16):
                tag, value = struct.unpack_from("<qQ", self.data, dynamic["offset"] + 16 * k)
                if tag in tags:
                    found.append(self.string(strings, value))
        return found

    def exports(self):
        """The names of the symbols the executable defines for the dynamic
        linker (its .dynsym), but for the C and C++ libraries' own objects
        copied into it (a copy relocation at the symbol's address): a
        library calling or reading a name defined here reaches the
        executable's definition instead of its own."""
        copied, names = self.relocations(self.relocation_types["copy"]), []
        for table in self.of_type(SHT_DYNSYM):
            strings = self.sections[table["link"]]
            for k in range(1, table["size"] // 24):
                name, info, _, shndx, value, _ = struct.unpack_from("<IBBHQQ", self.data,
                                                                    table["offset"] + 24 * k)
                # 0: undefined here; a section's symbol (AArch64's linker
                # puts some in) names no definition of the program's.
                if shndx != 0 and value not in copied and info & 0xf != STT_SECTION:
                    names.append(self.string(strings, name))
        return names

    def symbol_names(self):
        """Address -> the name of a symbol there (a function's or an
        object's, a global one before a local one)."""
        names, local = {}, {}
        for table in self.of_type(SHT_SYMTAB):
            strings = self.sections[table["link"]]
            for k in range(1, table["size"] // 24):
                name, info, _, shndx, value, _ = struct.unpack_from("<IBBHQQ", self.data,
                                                                    table["offset"] + 24 * k)
                if shndx == 0 or not name or info & 0xf in (STT_SECTION, STT_FILE):
                    continue
                found = names if info >> 4 else local  # binding: 0 is local
                found.setdefault(value, self.string(strings, name))
        return {**local, **names}

    def got_slots(self):
        """Slot address -> (value, name) for each 8-byte slot of the GOT
        (.got), as the loader or a static start-up leaves it: a symbol's
        relocation names the symbol (its address is the value, 0 here); a
        relative one gives its value; a slot no relocation writes holds
        what the file holds. The name is the symbol at the value ("" for
        none). A slot an ifunc's resolver fills is left out: its value is
        the resolver's to say."""
        dynamic_names = []
        for table in self.of_type(SHT_DYNSYM):
            strings = self.sections[table["link"]]
            dynamic_names += [self.string(strings, struct.unpack_from(
                "<I", self.data, table["offset"] + 24 * k)[0])
                for k in range(table["size"] // 24)]
        relocations = {}
        for section in self.of_type(SHT_RELA):
            for k in range(section["size"] // 24):
                where, info, addend = struct.unpack_from("<QQq", self.data,
                                                         section["offset"] + 24 * k)
                relocations[where] = (info & 0xffffffff, info >> 32, addend)
        symbols, slots = self.symbol_names(), {}
        for got in (section for section in self.sections if section["name"] == ".got"):
            for k in range(got["size"] // 8):
                slot = got["addr"] + 8 * k
                kind, symbol, addend = relocations.get(slot, (None, 0, 0))
                if symbol and symbol < len(dynamic_names):
                    slots[slot] = (0, dynamic_names[symbol])
                elif kind == self.relocation_types["relative"]:
                    slots[slot] = (addend % (1 << 64), symbols.get(addend, ""))
                elif kind is None:
                    value, = struct.unpack_from("<Q", self.data, got["offset"] + 8 * k)
                    slots[slot] = (value, symbols.get(value, "") if value else "")
        return slots

    def symbol_relocations(self, section_name=None):
        """Address -> the name of the dynamic symbol whose value a
        relocation writes there (of any type: the loader binds it), of every
        relocation section or the one named (.rela.plt: the PLT's slots,
        "" for a relocation of no symbol)."""
        names, bound = [], {}
        for table in self.of_type(SHT_DYNSYM):
            strings = self.sections[table["link"]]
            names += [self.string(strings, struct.unpack_from("<I", self.data,
                                                              table["offset"] + 24 * k)[0])
                      for k in range(table["size"] // 24)]
        for section in self.of_type(SHT_RELA):
            if section_name not in (None, section["name"]):
                continue
            for k in range(section["size"] // 24):
                where, info = struct.unpack_from("<QQ", self.data, section["offset"] + 24 * k)
                if section_name or 0 < info >> 32 < len(names):
                    bound[where] = names[info >> 32] if 0 < info >> 32 < len(names) else ""
        return bound

    def needed(self):
        """The shared libraries the executable names (DT_NEEDED)."""
        return self.dynamic_strings(DT_NEEDED)

    def zero_slots(self):
        """The 8-byte slots of the GOT (.got) that hold 0 in the file and
        that no relocation writes, in a static build (a PIE or not): it has
        no loader, and its start-up applies only its own relocations, so
        code before main or at exit that loads such a slot loads 0 (the
        toolchain's code loads the weak symbols a static build leaves
        undefined so; lld links a static build's `__gmon_start__` load to
        such a slot). A dynamically linked executable lists none: the
        loader may fill a slot, and its toolchain code names what it loads."""
        if self.interpreter:
            return []
        written = [struct.unpack_from("<Q", self.data, section["offset"] + 24 * k)[0]
                   for section in self.of_type(SHT_RELA) for k in range(section["size"] // 24)]
        slots = []
        for got in (section for section in self.sections if section["name"] == ".got"):
            for k in range(got["size"] // 8):
                slot = got["addr"] + 8 * k
                if struct.unpack_from("<Q", self.data, got["offset"] + 8 * k)[0] == 0 \
                        and all(abs(where - slot) >= 8 for where in written):
                    slots.append(slot)
        return slots


def startup_text(path, relocation_types, got_slots=False):
    """The block the check reads after the disassembly: one line for the
    loader, per library path, per needed library, and per piece of code run
    before main (the entry point, each resolver and constructor, with its
    symbol's name), in the order they come into play; with `got_slots`,
    what each GOT slot holds (for an instruction set whose listing does not
    name the slot a load reads). A file whose headers or tables point past
    its end, or hold no string where a name should be, is a tool error."""
    try:
        return read_startup(path, relocation_types, got_slots)
    except (struct.error, IndexError, ValueError) as error:
        raise ToolError(f"{path} is not an ELF file the check can read ({error})") from None


def read_startup(path, relocation_types, got_slots=False):
    elf = Elf(path, relocation_types)
    if elf.stripped:
        raise ToolError(f"{path} is stripped (it has no symbol table): the check finds main "
                        f"and the functions it calls by their symbols; check the build before "
                        f"it is stripped")
    names = elf.function_names()
    lines = [STARTUP_HEADER]
    lines += [f" interp {loader}" for loader in elf.interpreter]
    lines += [f" runpath {paths}" for paths in elf.dynamic_strings(DT_RPATH, DT_RUNPATH)]
    lines += [f" needed {library}" for library in elf.needed()]
    lines += [f" audit {library}" for library in elf.dynamic_strings(DT_AUDIT, DT_DEPAUDIT)]
    lines += [f" exports {name}" for name in elf.exports()]
    lines += [f" zero {slot:x}" for slot in elf.zero_slots()]
    lines += [f" slot {slot:x} {value:x}" + (f" <{name}>" if name else "")
              for slot, (value, name) in sorted(elf.got_slots().items()) if got_slots]
    lines += [f" pltslot {slot:x} 0" + (f" <{name}>" if name else "")
              for slot, name in sorted(elf.symbol_relocations(".rela.plt").items()) if got_slots]
    for section, address, *bound in [("entry", elf.entry), *elf.constructors()]:
        name = bound[0] if bound else names.get(address)
        lines.append(f" {section} {address:x}" + (f" <{name}>" if name else ""))
    return "\n".join(lines) + "\n"
