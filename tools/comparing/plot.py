"""The SVG plot (--plot): one panel per kernel, one row per command, every
counted run a dot on the panel's time axis, the median a bar."""
import math
import statistics

from report import KERNEL_NAMES

COLOURS = ["#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#8c564b", "#e377c2",
           "#7f7f7f", "#bcbd22", "#17becf"]


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


def plot_svg(commands, times, title):
    """A self-contained SVG of the counted `times` (per command {kernel: [ms]})
    of the `commands` (their printable names)."""
    label_w, plot_w, row_h, top = 260, 560, 34, 40
    width = label_w + plot_w + 30
    panel_h = 40 + row_h * len(commands) + 30
    height = top + panel_h * len(KERNEL_NAMES) + 10
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
           f'viewBox="0 0 {width} {height}" font-family="sans-serif" font-size="12">',
           f'<rect width="{width}" height="{height}" fill="white"/>',
           f'<text x="10" y="22" font-size="14" font-weight="bold">{xml_text(title)}</text>']
    for panel, kernel in enumerate(KERNEL_NAMES):
        values = [t for per in times for t in per[kernel]] or [0.0, 1.0]
        ticks = nice_ticks(min(values), max(values))
        lo, hi = ticks[0], ticks[-1]

        def x_of(value, lo=lo, hi=hi):
            return label_w + (value - lo) / (hi - lo) * plot_w

        y0 = top + panel * panel_h
        axis_y = y0 + 30 + row_h * len(commands)
        out.append(f'<g class="panel" data-kernel="{xml_text(kernel)}">')
        out.append(f'<text x="10" y="{y0 + 18}" font-weight="bold">{xml_text(kernel)} '
                   f'(ms, every counted run; bar: median)</text>')
        out.append(f'<line class="axis" x1="{label_w}" y1="{axis_y}" x2="{label_w + plot_w}" '
                   f'y2="{axis_y}" stroke="black"/>')
        for tick in ticks:
            x = x_of(tick)
            out.append(f'<line x1="{x:.1f}" y1="{y0 + 26}" x2="{x:.1f}" y2="{axis_y + 4}" '
                       'stroke="#ddd"/>')
            out.append(f'<text x="{x:.1f}" y="{axis_y + 17}" text-anchor="middle">{tick:g}</text>')
        for index, command in enumerate(commands):
            runs = times[index][kernel]
            colour = COLOURS[index % len(COLOURS)]
            cy = y0 + 30 + row_h * index + row_h / 2
            short = command if len(command) <= 38 else "..." + command[-35:]
            out.append(f'<text x="{label_w - 8}" y="{cy + 4:.1f}" text-anchor="end">'
                       f'<title>{xml_text(command)}</title>{xml_text(short)}</text>')
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
        out.append("</g>")
    out.append("</svg>")
    return "\n".join(out) + "\n"
