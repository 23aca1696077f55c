"""The plain-text table, compare's default output: one block per kernel, one
line per command, every column as wide as its widest cell in display
columns (a wide East Asian character takes two), so the columns line up for
any command and any value."""
from comparing.cells import display_width, estimate_text, notes, number, pad
from report import FINALS, KERNEL_NAMES

# (heading, alignment, the least width): the least widths keep the usual
# table's layout; a wider cell widens its column in every block.
COLUMNS = (("command", "<", 0), ("median", ">", 9), ("min", ">", 9), ("max", ">", 9),
           ("spread", ">", 6), ("median ratio", ">", 12), ("ratio [interval]", "<", 24),
           ("verdict", "", 0))


def cells(row):
    return [row.command, number(row.median_ms), number(row.min_ms), number(row.max_ms),
            number(row.spread), number(row.median_ratio, 3), estimate_text(row),
            row.verdict + ("  unstable" if row.unstable else "")]


def format_table(comparison):
    rows = comparison.rows
    table = [cells(row) for row in rows]
    widths = [max([least, display_width(heading), *(display_width(line[i]) for line in table)])
              if align else 0 for i, (heading, align, least) in enumerate(COLUMNS)]

    def line(texts):
        return "  " + "  ".join(pad(text, width, align) if align else text
                                for text, width, (_, align, _) in zip(texts, widths, COLUMNS))

    out = []
    for kernel in KERNEL_NAMES:
        out.append(f"{kernel} (x={FINALS[kernel]})")
        out.append(line([heading for heading, _, _ in COLUMNS]))
        out.extend(line(texts) for row, texts in zip(rows, table) if row.kernel == kernel)
        out.append("")
    return "\n".join(out + notes(comparison)) + "\n"
