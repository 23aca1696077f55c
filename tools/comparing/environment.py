"""The machine a comparison ran on, as the JSON output records it before and
after the runs."""
import datetime
import os
import platform
import re
import socket


def read_first(path, pattern):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                match = re.match(pattern, line)
                if match:
                    return match[1].strip()
    except OSError:
        pass
    return None


def environment():
    try:
        load = list(os.getloadavg())
    except OSError:
        load = None
    return {
        "utc": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "host": socket.gethostname(),
        "cpu_model": read_first("/proc/cpuinfo", r"model name\s*:(.*)"),
        "logical_cores": os.cpu_count(),
        "kernel_release": platform.release(),
        "load_average": load,
        "cpufreq_governor": read_first(
            "/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor", r"(.+)"),
        "python": platform.python_version(),
    }
