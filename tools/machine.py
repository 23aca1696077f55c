"""The processor a tool runs on, as /proc/cpuinfo names it: the model string,
the cpu family and the model. Every speed figure is given beside them (two
machines sold under one model string may be different cores), so compare
records them with its measurements and jit_loops names them with each dump.
"""


def processor(path="/proc/cpuinfo"):
    """{"model name": ..., "cpu family": ..., "model": ...} as the first
    processor listed in `path` gives them, a field it does not give None;
    None when the file cannot be read."""
    wanted = dict.fromkeys(("model name", "cpu family", "model"))
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                key, _, value = line.partition(":")
                key = key.strip()
                if key in wanted and wanted[key] is None:
                    wanted[key] = value.strip()
    except OSError:
        return None
    return wanted
