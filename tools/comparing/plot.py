"""The SVG plot (--plot): one panel per kernel, one row per command, every
counted run a dot on the panel's time axis, the median a bar; beside each
row the command's ratio to the reference with its interval, and its
verdict, and with a floor its ratio to the floor and that verdict.

Commands are numbered in the order given, and each row's label is its
number and the command shortened in the middle to fit, so that two commands
alike at either end still read apart; the legend under the panels gives
every command in full, the reference marked, and those --skip-missing left
out. The machine is named under the title, and under it, against a saved
run (--against), that the two runs were not interleaved.
"""
import math
import statistics
import textwrap

from comparing.cells import (against_line, estimate_text, floor_estimate_text, left_out_lines,
                             machine_line)
from report import KERNEL_NAMES

COLOURS = ["#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#8c564b", "#e377c2",
           "#7f7f7f", "#bcbd22", "#17becf"]
MONO = 'font-family="monospace"'
CHAR_W = 7.3  # px of one character of 12 px monospace, about
LABEL_CHARS = 36  # of a command's label, its number included
SIDE_W = 200  # px beside the rows for the ratios and verdicts (11 px text)
LEGEND_CHARS = 130  # per line of the legend


def nice_ticks(low, high, count=6):
    """Round tick values from at or below `low` to at or above `high`."""
    span = high - low or max(abs(high), 1.0)
    raw = span / count
    step = 10 ** math.floor(math.log10(raw))
    step *= next(f for f in (1, 2, 5, 10) if step * f >= raw)
    first, last = math.floor(low / step), math.ceil(high / step)
    if last == first:
        last += 1
    return [round(i * step, 10) for i in range(first, last + 1)]


def xml_text(text):
    # XML cannot carry most control characters, not even escaped.
    text = "".join(c if c >= " " or c in "\t\n" else "?" for c in str(text))
    return (text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace('"', "&quot;"))


def shorten(text, room):
    """`text` in at most `room` characters, cut in the middle with an
    ellipsis: the start of a command names the program, the end its
    file or class, and both tell commands apart."""
    if len(text) <= room:
        return text
    head = room // 2
    return text[:head] + "\u2026" + text[len(text) - (room - 1 - head):]


def keep_in_view(text, low, high, room):
    """`text` in at most `room` characters with text[low:high] (where it
    differs from a look-alike) kept in view, between its start and its end."""
    middle_low = max(0, low - 8)
    middle = (middle_low, min(len(text), max(high, low + 1) + 6, middle_low + room // 2))
    free = room - (middle[1] - middle[0]) - 2  # two ellipses at most
    ranges = [(0, free // 2), middle, (len(text) - (free - free // 2), len(text))]
    merged = [ranges[0]]
    for start, end in ranges[1:]:
        if start <= merged[-1][1]:
            merged[-1] = (merged[-1][0], max(merged[-1][1], end))
        else:
            merged.append((start, end))
    return "\u2026".join(text[start:end] for start, end in merged)


def common_length(a, b):
    return next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))


def labels(names):
    """Each command's label: its number and the command, shortened in the
    middle; where two different commands would get the same shortened text,
    what tells them apart is kept in view."""
    room = LABEL_CHARS - len(f"{len(names)} ")
    first = [shorten(name, room) for name in names]
    short = list(first)
    for index, name in enumerate(names):
        alike = [other for other, text in zip(names, first)
                 if text == first[index] and other != name]
        if alike:
            low = max(common_length(name, other) for other in alike)
            high = len(name) - max(common_length(name[::-1], other[::-1]) for other in alike)
            short[index] = keep_in_view(name, low, high, room)
    return [f"{index + 1} {text}" for index, text in enumerate(short)]


def side_texts(row):
    """The two lines beside a row: the ratio to the reference with its
    interval, and the verdict."""
    if row.verdict in ("reference", "floor"):
        return row.verdict, ""
    return estimate_text(row), row.verdict


def floor_texts(row):
    """The two lines beside a row about the floor: the ratio to it with its
    interval, and the verdict."""
    if row.floor_verdict is None:  # the floor's own row
        return "", ""
    return "floor: " + floor_estimate_text(row), row.floor_verdict or ""


def plot_svg(comparison):
    """A self-contained SVG of the comparison's counted runs."""
    names = [command.text for command in comparison.commands]
    shown = labels(names)
    times, rows = comparison.times, comparison.rows
    floor = comparison.floor_index
    # With a floor, two more lines beside each row: its ratio to the floor.
    saved = textwrap.wrap(against_line(comparison) or "", LEGEND_CHARS)
    label_w, plot_w, row_h, top = (round(LABEL_CHARS * CHAR_W) + 20, 480,
                                   34 if floor is None else 58, 58 + 16 * len(saved))
    side_x = label_w + plot_w + 14
    width = side_x + SIDE_W
    panel_h = 40 + row_h * len(names) + 30
    legend = [(index, line) for index, name in enumerate(names)
              for line in textwrap.wrap(name, LEGEND_CHARS, break_on_hyphens=False) or [""]]
    left_out = [line for text in left_out_lines(comparison)
                for line in textwrap.wrap(text, LEGEND_CHARS, break_on_hyphens=False)]
    legend_y = top + panel_h * len(KERNEL_NAMES) + 10
    height = legend_y + 24 + 16 * (len(legend) + len(left_out)) + 10
    title = f"tools/compare.py: {comparison.runs} interleaved runs per command"
    if comparison.interrupted or comparison.failed:
        title += (f" ({'INTERRUPTED' if comparison.interrupted else 'FAILED'}: the rounds "
                  "completed)")
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
           f'viewBox="0 0 {width} {height}" font-family="sans-serif" font-size="12">',
           f'<rect width="{width}" height="{height}" fill="white"/>',
           f'<text x="10" y="22" font-size="14" font-weight="bold">{xml_text(title)}</text>',
           # The machine under the title: a plot is often read away from its JSON.
           f'<text class="machine" x="10" y="40">{xml_text(machine_line(comparison))}</text>']
    out += [f'<text class="against" x="10" y="{56 + 16 * number}" font-weight="bold">'
            f'{xml_text(line)}</text>' for number, line in enumerate(saved)]
    for panel, kernel in enumerate(KERNEL_NAMES):
        values = [t for per in times for t in per[kernel]] or [0.0, 1.0]
        ticks = nice_ticks(min(values), max(values))
        lo, hi = ticks[0], ticks[-1]

        def x_of(value, lo=lo, hi=hi):
            return label_w + (value - lo) / (hi - lo) * plot_w

        y0 = top + panel * panel_h
        axis_y = y0 + 30 + row_h * len(names)
        out.append(f'<g class="panel" data-kernel="{xml_text(kernel)}">')
        out.append(f'<text x="10" y="{y0 + 18}" font-weight="bold">{xml_text(kernel)} '
                   f'(ms, every counted run; bar: median)</text>')
        out.append(f'<text x="{side_x}" y="{y0 + 18}" font-weight="bold">ratio to the '
                   'reference' + ('' if floor is None else ', the floor') + '</text>')
        out.append(f'<line class="axis" x1="{label_w}" y1="{axis_y}" x2="{label_w + plot_w}" '
                   f'y2="{axis_y}" stroke="black"/>')
        for index in range(1, len(names), 2):  # a light band under every other row
            out.append(f'<rect class="band" x="{label_w - 4}" y="{y0 + 30 + row_h * index}" '
                       f'width="{width - label_w - 2}" height="{row_h}" fill="#f4f4f4"/>')
        for tick in ticks:
            x = x_of(tick)
            out.append(f'<line x1="{x:.1f}" y1="{y0 + 26}" x2="{x:.1f}" y2="{axis_y + 4}" '
                       'stroke="#ddd"/>')
            out.append(f'<text x="{x:.1f}" y="{axis_y + 17}" text-anchor="middle">{tick:g}</text>')
        kernel_rows = {row.command_index: row for row in rows if row.kernel == kernel}
        for index, name in enumerate(names):
            runs = times[index][kernel]
            colour = COLOURS[index % len(COLOURS)]
            cy = y0 + 30 + row_h * index + row_h / 2
            weight = (' font-weight="bold"' if index == 0 else
                      ' font-style="italic"' if index == floor else "")
            out.append(f'<text class="label" data-command="{index}" x="{label_w - 8}" '
                       f'y="{cy + 4:.1f}" text-anchor="end" {MONO}{weight}>'
                       f'<title>{xml_text(name)}</title>{xml_text(shown[index])}</text>')
            for run, value in enumerate(runs):
                # Spread the dots of a row up and down a little so equal times stay countable.
                dy = ((run * 7) % 11 - 5) * row_h / 30
                out.append(f'<circle class="run" cx="{x_of(value):.2f}" cy="{cy + dy:.2f}" r="3" '
                           f'fill="{colour}" fill-opacity="0.6"><title>run {run + 1}: '
                           f'{value:.2f} ms</title></circle>')
            if runs:
                mx = x_of(statistics.median(runs))
                out.append(f'<line class="median" x1="{mx:.2f}" y1="{cy - row_h / 2 + 3:.1f}" '
                           f'x2="{mx:.2f}" y2="{cy + row_h / 2 - 3:.1f}" stroke="black" '
                           'stroke-width="2"/>')
            lines = [("ratio", True), ("verdict", False)]
            texts = side_texts(kernel_rows[index])
            if floor is not None:
                lines += [("floor-ratio", True), ("floor-verdict", False)]
                texts += floor_texts(kernel_rows[index])
            shown_lines = [(line, text) for line, text in zip(lines, texts) if text]
            top_line = cy - 6 * len(shown_lines) + 9
            for number, ((kind, mono), text) in enumerate(shown_lines):
                style = f"{MONO}{weight}" if mono else ""
                out.append(f'<text class="{kind}" data-command="{index}" x="{side_x}" '
                           f'y="{top_line + 12 * number:.1f}" font-size="11" {style}>'
                           f'{xml_text(text)}</text>')
        out.append("</g>")
    roles = (("each against its own runs in the saved run" if saved else "1 is the reference")
             + ("" if floor is None else f", {floor + 1} the floor"))
    out.append(f'<g class="legend"><text x="10" y="{legend_y + 14}" font-weight="bold">'
               f'Commands ({roles})</text>')
    for line_number, (index, text) in enumerate(legend):
        first = line_number == 0 or legend[line_number - 1][0] != index
        number = f"{index + 1:>2} " if first else "   "
        out.append(f'<text class="legend-entry" data-command="{index}" x="10" '
                   f'y="{legend_y + 32 + 16 * line_number}" {MONO} xml:space="preserve">'
                   f'{xml_text(number + text)}</text>')
    for line_number, text in enumerate(left_out, start=len(legend)):
        out.append(f'<text class="left-out" x="10" y="{legend_y + 32 + 16 * line_number}">'
                   f'{xml_text(text)}</text>')
    out.append("</g>")
    out.append("</svg>")
    return "\n".join(out) + "\n"
