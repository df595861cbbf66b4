"""A run's result as the table or the JSON object that the vorn programs print."""
import json

from vorn.machine import format_bytes

BAR_CELLS = 40  # the most frequent outcome's bar
DEFAULT_ROWS = 16
_EIGHTHS = ("", "▏", "▎", "▍", "▌", "▋", "▊", "▉")


def plural(n, word, words=None):
    return f"{n} {word}" if n == 1 else f"{n} {words or word + 's'}"


def sorted_counts(counts):
    """Count descending, then key ascending."""
    return sorted(counts.items(), key=lambda item: (-item[1], item[0]))


def format_seconds(seconds):
    return f"{seconds * 1000:.2f} ms" if seconds < 1 else f"{seconds:.2f} s"


def bar(count, largest):
    # Whole eighths of a cell, rounded down, in integer arithmetic.
    eighths = count * BAR_CELLS * 8 // largest if largest else 0
    return "█" * (eighths // 8) + _EIGHTHS[eighths % 8]


def header(file, facts, precision, threads, seed, state):
    return (
        f"{file}: {plural(facts.n_qubits, 'qubit')}, {plural(facts.n_cbits, 'classical bit')}, "
        f"{plural(facts.gate_count, 'gate')}, {precision}, {plural(threads, 'thread')}, "
        f"seed {seed}, state {format_bytes(state)}"
    )


def count_table(counts, shots, show_all=False):
    """The column heads, one row per outcome and, when rows are left out, a line saying so."""
    rows = sorted_counts(counts)
    key_width = max([7] + [len(key) for key, _ in rows])
    count_width = max([5] + [len(str(count)) for _, count in rows])
    largest = rows[0][1] if rows else 0
    shown = rows if show_all else rows[:DEFAULT_ROWS]
    lines = [f"{'outcome':<{key_width}}  {'count':>{count_width}} {'share':>7}"]
    for key, count in shown:
        share = 100.0 * count / shots if shots else 0.0
        line = f"{key:<{key_width}}  {count:>{count_width}} {share:6.2f}%"
        drawn = bar(count, largest)
        lines.append(f"{line}  {drawn}" if drawn else line)
    left_out = rows[len(shown) :]
    if left_out:
        lines.append(
            f"… {plural(len(left_out), 'more outcome')}, "
            f"{plural(sum(c for _, c in left_out), 'shot')} (--all shows every one)"
        )
    return lines


def transpile_note(before, after, passes):
    return f"transpile: {before} → {after} gates, {plural(passes, 'pass', 'passes')}"


def times_line(read, run):
    return f"read {format_seconds(read)}, run {format_seconds(run)}"


def json_text(file, facts, shots, seed, precision, threads, counts, read, run, expectations=()):
    result = {
        "file": file,
        "n_qubits": facts.n_qubits,
        "n_cbits": facts.n_cbits,
        "gates": facts.gate_count,
        "shots": shots,
        "seed": seed,
        "precision": precision,
        "threads": threads,
        "counts": dict(sorted_counts(counts)),
    }
    if expectations:
        result["expectations"] = [{"observable": o, "value": v} for o, v in expectations]
    result["times"] = {"read": read, "run": run}
    return json.dumps(result) + "\n"
