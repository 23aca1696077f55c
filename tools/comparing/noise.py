"""The look at the machine before the first round: what may distort the
figures, said in one line on standard error and recorded in the JSON.

It reads, where the kernel exposes them: the load average, the frequency
governor of every logical CPU and whether frequency boost (turbo) is on, the
`hypervisor` cpu flag (a virtual machine, whose host may run other work on
the same cores), and, over a short look, how busy every logical CPU is with
work that is not compare's (it sleeps meanwhile). Nothing on the machine is
changed: only files under /proc and /sys are read. Paths are parameters, so
that tests read made-up files.
"""
import math
import os
import re
import time

from comparing.commands import printable
from comparing.records import Noise

LOOK_S = 0.2  # seconds between the two readings of /proc/stat
BUSY_SHARE = 0.2  # a CPU busier than this (a fifth of the look) is named
LOAD = 0.5  # a 1-minute load average from this on: other work ran lately


def _read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read().strip()
    except OSError:
        return None


def cpu_ticks(proc):
    """{"cpu0": (busy ticks, all ticks), ...} from proc/stat: idle and
    waiting for I/O are not busy; time stolen by a hypervisor is."""
    ticks = {}
    for line in (_read(os.path.join(proc, "stat")) or "").splitlines():
        name, *fields = line.split() or [""]
        if re.fullmatch(r"cpu\d+", name) and len(fields) >= 4 and all(
                f.isdigit() for f in fields):
            values = [int(f) for f in fields[:8]]  # later fields (guest) are counted in user
            ticks[name] = (sum(values) - sum(values[3:5]), sum(values))
    return ticks


def _boost(cpus):
    """True or False when the kernel says whether frequency boost is on, else None."""
    answers = [_read(os.path.join(cpus, "cpufreq", "boost")),
               {"0": "1", "1": "0"}.get(_read(os.path.join(cpus, "intel_pstate", "no_turbo")))]
    answers += [_read(os.path.join(cpus, name, "cpufreq", "boost")) for name in _cpus(cpus)]
    known = [answer for answer in answers if answer in ("0", "1")]
    return None if not known else "1" in known


def _cpus(cpus):
    try:
        return sorted((n for n in os.listdir(cpus) if re.fullmatch(r"cpu\d+", n)),
                      key=lambda n: int(n[3:]))
    except OSError:
        return []


def look(proc="/proc", sys_root="/sys", seconds=LOOK_S, sleep=time.sleep):
    """The Noise record: what was read, and each thing that may distort."""
    cpus = os.path.join(sys_root, "devices", "system", "cpu")
    load = (_read(os.path.join(proc, "loadavg")) or "").split()[:1]
    load = float(load[0]) if load and re.fullmatch(r"\d+(\.\d+)?", load[0]) else None
    load = load if load is not None and math.isfinite(load) else None  # JSON has no inf
    governors = sorted({printable(g) for g in (_read(os.path.join(cpus, n, "cpufreq", "scaling_governor"))
                                    for n in _cpus(cpus)) if g})
    flags = re.search(r"^flags\s*:(.*)$", _read(os.path.join(proc, "cpuinfo")) or "", re.M)
    hypervisor = None if flags is None else "hypervisor" in flags[1].split()
    first = cpu_ticks(proc)
    sleep(seconds)
    second = cpu_ticks(proc)
    # A counter that went back (the kernel's iowait can) would give a share
    # beyond 0 to 1.
    busy = {name: min(1.0, max(0.0, (second[name][0] - first[name][0])
                               / (second[name][1] - first[name][1])))
            for name in first if name in second and second[name][1] > first[name][1]}
    boost = _boost(cpus)
    found = []
    if hypervisor:
        found.append("a virtual machine (the hypervisor cpu flag): its host may run other "
                     "work on these cores")
    if load is not None and load >= LOAD:
        found.append(f"load average {load:.2f} over the last minute")
    others = [f"{name} {share:.0%}" for name, share in sorted(
        busy.items(), key=lambda item: -item[1]) if share >= BUSY_SHARE]
    if others:
        found.append(f"other work on {', '.join(others)} of the {seconds:g} s before the "
                     "first round")
    if [g for g in governors if g != "performance"]:
        found.append(f"cpufreq governor {', '.join(governors)} (not performance: the clock "
                     "follows the load)")
    if boost:
        found.append("frequency boost on (the clock follows temperature and the other cores)")
    readings = {"load_average_1min": load, "cpufreq_governors": governors, "boost": boost,
                "hypervisor": hypervisor, "busy_share": busy, "look_s": seconds}
    line = "may distort the figures: " + "; ".join(found) if found else None
    return Noise(line=line, found=tuple(found), readings=readings)
