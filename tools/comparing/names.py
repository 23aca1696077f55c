"""The names under which the formats that key results by one name (BMF,
Google Benchmark's JSON) file each command and kernel: the command line and
the kernel, as in "./build/bench_c_jit_compare (Inc loop)". They stay the
same from run to run of the same command lines, so that a dashboard keeps one
series per name and two runs' files pair up; and they are unique within a
run: a command given twice is named "#2" the second time.
"""
from report import KERNEL_NAMES

LONGEST_KERNEL = max(len(f" ({kernel})") for kernel in KERNEL_NAMES)


def shorten(text, room):
    """`text` in at most `room` characters, cut in the middle ("...")."""
    if len(text) <= room:
        return text
    head = (room - 3) // 2
    return text[:head] + "..." + text[len(text) - (room - 3 - head):]


def command_names(commands, limit=None):
    """What each command gives the names: its printable text, cut in the
    middle so that every name fits in `limit` characters, with "#k" on the
    k-th one that would otherwise repeat a name already given."""
    used, names = set(), []
    for command in commands:
        text = command.text if limit is None else shorten(command.text,
                                                          limit - LONGEST_KERNEL - 6)
        name, count = text, 1
        while name in used:
            count += 1
            name = f"{text} #{count}"
        used.add(name)
        names.append(name)
    return names


def benchmark_name(names, row):
    """The name of `row`'s command and kernel, from command_names."""
    return f"{names[row.command_index]} ({row.kernel})"
