"""The plain-text table, compare's default output: one block per kernel, one
line per command, every column as wide as its widest cell in display
columns (a wide East Asian character takes two), so the columns line up for
any command and any value. With a floor, two more columns: the ratio to
the floor and its verdict."""
from comparing.cells import display_width, estimate_text, floor_estimate_text, notes, number, pad
from report import FINALS, KERNEL_NAMES

# (heading, alignment, the least width): the least widths keep the usual
# table's layout; a wider cell widens its column in every block. The last
# column is not padded.
COLUMNS = (("command", "<", 0), ("median", ">", 9), ("min", ">", 9), ("max", ">", 9),
           ("spread", ">", 6), ("median ratio", ">", 12), ("ratio [interval]", "<", 24),
           ("verdict", "", 0))
FLOOR_COLUMNS = COLUMNS[:-1] + (("verdict", "<", 0), ("floor ratio [interval]", "<", 24),
                                ("floor verdict", "", 0))


def cells(row, floor=False):
    texts = [row.command, number(row.median_ms), number(row.min_ms), number(row.max_ms),
             number(row.spread), number(row.median_ratio, 3), estimate_text(row),
             row.verdict + ("  unstable" if row.unstable else "")]
    if floor:
        texts += [floor_estimate_text(row), row.floor_verdict or ""]
    return texts


def format_table(comparison):
    rows = comparison.rows
    floor = comparison.floor_index is not None
    columns = FLOOR_COLUMNS if floor else COLUMNS
    table = [cells(row, floor) for row in rows]
    widths = [max([least, display_width(heading), *(display_width(line[i]) for line in table)])
              if align else 0 for i, (heading, align, least) in enumerate(columns)]

    def line(texts):
        # rstrip: the floor's row has no floor verdict, its last cell.
        return "  " + "  ".join(pad(text, width, align) if align else text
                                for text, width, (_, align, _) in zip(texts, widths, columns)
                                ).rstrip()

    out = []
    for kernel in KERNEL_NAMES:
        out.append(f"{kernel} (x={FINALS[kernel]})")
        out.append(line([heading for heading, _, _ in columns]))
        out.extend(line(texts) for row, texts in zip(rows, table) if row.kernel == kernel)
        out.append("")
    return "\n".join(out + notes(comparison)) + "\n"
