"""This machine's side of a run: state sizes, the memory available and the worker-pool size."""
import os

PRECISIONS = ("f32", "f64")
AMPLITUDE_BYTES = {"f32": 8, "f64": 16}
_UNITS = ("KiB", "MiB", "GiB", "TiB", "PiB", "EiB", "ZiB", "YiB")
GIB = 1 << 30


def state_bytes(n_qubits, precision):
    return (1 << n_qubits) * AMPLITUDE_BYTES[precision]


# Byte counts of more bits than this (the state of 1000 qubits and more) exceed a float.
_FLOAT_BITS = 1000


def _huge(n):
    """A byte count too large for a float, as a power of two (a state's size is one)."""
    exponent = n.bit_length() - 1
    return f"2^{exponent} B" if n == 1 << exponent else f"more than 2^{exponent} B"


def format_bytes(n):
    """Binary units, one decimal from KiB up: 64 B, 1.0 KiB, 256.0 MiB, 16.0 GiB."""
    if n.bit_length() > _FLOAT_BITS:
        return _huge(n)
    if n < 1024:
        return f"{n} B"
    value = n / 1024
    unit = 0
    while value >= 1024 and unit + 1 < len(_UNITS):
        value /= 1024
        unit += 1
    return f"{value:.1f} {_UNITS[unit]}"


def format_gib(n):
    if n.bit_length() > _FLOAT_BITS:
        return _huge(n)
    return f"{n / GIB:.1f} GiB"


def memory_available():
    """Bytes of memory available to a new allocation, or None when the system does not say."""
    try:
        with open("/proc/meminfo", encoding="ascii") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    try:
        return os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (AttributeError, ValueError, OSError):
        return None


def logical_processors():
    try:
        return max(len(os.sched_getaffinity(0)), 1)
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def _parse_thread_count(text):
    # An unsigned decimal integer with an optional leading "+", as the pool reads it.
    if text.startswith("+"):
        text = text[1:]
    if not text or not all("0" <= c <= "9" for c in text) or int(text) >= 1 << 64:
        return None
    return int(text)


def pool_size(environ=None):
    """The worker-pool size a run in this process will use: RAYON_NUM_THREADS (0 meaning every
    logical processor), then a positive RAYON_RS_NUM_CPUS, else the logical processors; an
    explicit size is capped at the scheduler's ceiling of max(256, 4 per processor)."""
    environ = os.environ if environ is None else environ
    logical = logical_processors()
    ceiling = max(256, 4 * logical)
    threads = _parse_thread_count(environ.get("RAYON_NUM_THREADS", "x"))
    if threads is not None:
        return logical if threads == 0 else min(threads, ceiling)
    cpus = _parse_thread_count(environ.get("RAYON_RS_NUM_CPUS", "x"))
    if cpus:
        return min(cpus, ceiling)
    return logical
