"""The machine a comparison ran on, as the JSON output records it before and
after the runs, and its name in one line for the outputs read away from the
JSON (the table, the markdown, the plot)."""
import datetime
import os
import platform
import re
import socket

from machine import processor


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
    cpu = processor() or {}
    try:
        load = list(os.getloadavg())
    except OSError:
        load = None
    return {
        "utc": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "host": socket.gethostname(),
        "cpu_model": cpu.get("model name"),
        "cpu_family": cpu.get("cpu family"),
        "cpu_model_number": cpu.get("model"),
        "logical_cores": os.cpu_count(),
        "kernel_release": platform.release(),
        "load_average": load,
        "cpufreq_governor": read_first(
            "/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor", r"(.+)"),
        "python": platform.python_version(),
    }


def machine_name(env):
    """The processor (model string, cpu family, model) and the core count of
    an environment() record, e.g. "Intel(R) Xeon(R) Processor, cpu family 6,
    model 167; 2 logical cores". What /proc/cpuinfo did not say is left out,
    or said to be unknown."""
    parts = [env.get("cpu_model") or "processor unknown"]
    parts += [f"{label} {env[key]}" for key, label in (("cpu_family", "cpu family"),
                                                         ("cpu_model_number", "model"))
              if env.get(key)]
    cores = env.get("logical_cores")
    count = "an unknown number of logical cores" if not cores else \
        f"{cores} logical core{'' if cores == 1 else 's'}"
    return ", ".join(parts) + "; " + count
