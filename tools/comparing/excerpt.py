"""What compare shows of a command's output when a run fails: the end of
each stream, bounded in lines and bytes however the command wrote, with
control characters and bytes that are not UTF-8 escaped, so that no output
can flood the terminal, move its cursor or break the message around it.

A line longer than MAX_LINE_BYTES is cut in the middle, with a marker that
says how many bytes were left out: its start and its end usually say the
most (what failed; why).
"""

TAIL_LINES = 10
MAX_LINE_BYTES = 400  # of one shown line, as UTF-8, marker included


def shown(char):
    """One character as shown: itself when printable, else an escape. A
    byte that was not UTF-8 (decoded as a lone surrogate) shows as \\xNN."""
    if char.isprintable():
        return char
    if "\udc80" <= char <= "\udcff":
        return f"\\x{ord(char) - 0xdc00:02x}"
    return repr(char)[1:-1]


def _raw_size(char):
    return 1 if "\udc80" <= char <= "\udcff" else len(char.encode("utf-8"))


def _walk(chars, budget):
    """The shown forms of the leading `chars` that fit in `budget` bytes of
    UTF-8, and how many raw bytes they stand for."""
    pieces, used, raw = [], 0, 0
    for char in chars:
        piece = shown(char)
        size = len(piece.encode("utf-8"))
        if used + size > budget:
            break
        pieces.append(piece)
        used += size
        raw += _raw_size(char)
    return pieces, raw


def line(raw, limit=MAX_LINE_BYTES):
    """`raw` (bytes, one line) shown in at most `limit` bytes of UTF-8."""
    if len(raw) <= limit:
        text = "".join(shown(c) for c in raw.decode("utf-8", "surrogateescape"))
        if len(text.encode("utf-8")) <= limit:
            return text
    # Every character shows in at least as many bytes as it takes, so only
    # the first and the last `limit` bytes can appear.
    budget = max(0, (limit - len(f" [...{len(raw)} bytes cut...] ")) // 2)
    head, head_raw = _walk(raw[:limit].decode("utf-8", "surrogateescape"), budget)
    tail, tail_raw = _walk(reversed(raw[-limit:].decode("utf-8", "surrogateescape")), budget)
    cut = len(raw) - head_raw - tail_raw
    return f"{''.join(head)} [...{cut} bytes cut...] {''.join(reversed(tail))}"


def text(message, limit=MAX_LINE_BYTES):
    """A message (str) that quotes a command's output, bounded the same way."""
    return line(message.encode("utf-8", "surrogateescape"), limit)


def tail(name, data, lines=TAIL_LINES, length=None):
    """The last `lines` lines of one output stream (`data`, bytes), each
    bounded. `length`: how long the stream was, when `data` is its end only."""
    kept = data.rstrip(b"\n").rsplit(b"\n", lines)[-lines:] if data.strip(b"\n") else []
    body = "\n".join(f"    | {line(part)}" for part in kept) if kept else "    | (nothing)"
    whole = ("" if length is None or length <= len(data) else
             f" (of its {length} bytes, the last {len(data)} were kept)")
    return f"  the end of its {name}{whole}:\n{body}"
