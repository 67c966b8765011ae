"""What the benchmark scripts report about the machine they ran on."""

import os
import platform


def cpu_name():
    """The processor's model name (from /proc/cpuinfo where there is one)."""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def pool_threads():
    """The worker-pool size the environment asks for, as the engine reads it."""
    for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        value = os.environ.get(name, "")
        if value.isdigit() and int(value) > 0:
            return int(value)
        if name == "RAYON_NUM_THREADS" and value == "0":
            break
    return os.cpu_count()
