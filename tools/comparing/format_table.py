"""The plain-text table, compare's default output: one block per kernel, one
line per command, columns aligned."""
from comparing.cells import estimate_text, notes, number
from report import FINALS, KERNEL_NAMES


def format_table(comparison):
    rows = comparison.rows
    width = max(len(row.command) for row in rows)
    out = []
    for kernel in KERNEL_NAMES:
        out.append(f"{kernel} (x={FINALS[kernel]})")
        out.append(f"  {'command':<{width}}  {'median':>9}  {'min':>9}  {'max':>9}  "
                   f"{'spread':>6}  {'median ratio':>12}  {'ratio [interval]':<24}  verdict")
        for row in rows:
            if row.kernel != kernel:
                continue
            flag = "  unstable" if row.unstable else ""
            out.append(f"  {row.command:<{width}}  {number(row.median_ms):>9}  "
                       f"{number(row.min_ms):>9}  {number(row.max_ms):>9}  "
                       f"{number(row.spread):>6}  {number(row.median_ratio, 3):>12}  "
                       f"{estimate_text(row):<24}  {row.verdict}{flag}")
        out.append("")
    return "\n".join(out + notes(comparison)) + "\n"
