"""The markdown table, to paste: one row per kernel and command; with a
floor, two more columns: the ratio to the floor and its verdict."""
from comparing.cells import estimate_text, floor_estimate_text, notes, number


def format_markdown(comparison):
    floor = comparison.floor_index is not None
    out = ["| kernel | command | median ms | min ms | max ms | spread | median ratio | "
           "ratio [interval] | verdict |" + (" floor ratio [interval] | floor verdict |"
                                             if floor else ""),
           "|---|---|---:|---:|---:|---:|---:|---:|---|" + ("---:|---|" if floor else "")]
    for row in comparison.rows:
        command = row.command.replace("|", "\\|")
        # A code span holding a backtick needs a longer fence and spaces.
        code = f"`` {command} ``" if "`" in command else f"`{command}`"
        flag = " (unstable)" if row.unstable else ""
        out.append(f"| {row.kernel} | {code} | {number(row.median_ms)} | "
                   f"{number(row.min_ms)} | {number(row.max_ms)} | "
                   f"{number(row.spread)}{flag} | {number(row.median_ratio, 3)} | "
                   f"{estimate_text(row)} | {row.verdict} |" +
                   (f" {floor_estimate_text(row)} | {row.floor_verdict or ''} |" if floor else ""))
    return "\n".join(out + [""] + notes(comparison)) + "\n"
