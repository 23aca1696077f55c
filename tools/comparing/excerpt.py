"""What compare shows of a failing command's output: the end of it."""

TAIL_LINES = 10


def tail(name, data, lines=TAIL_LINES):
    text = data.decode("utf-8", "replace").rstrip("\n")
    kept = text.splitlines()[-lines:]
    body = "\n".join(f"    | {line}" for line in kept) if kept else "    | (nothing)"
    return f"  the end of its {name}:\n{body}"
