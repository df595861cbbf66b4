"""`vorn run FILE`: simulate an OpenQASM file and print its counts (table or JSON), optionally
saving the state, the probabilities and a histogram."""
import argparse
import os
import sys
import time

import vorn
from vorn import report
from vorn.errors import EXIT_FAILURE, EXIT_USAGE, CliError
from vorn.facts import describe
from vorn.machine import PRECISIONS, format_gib, memory_available, pool_size, state_bytes
from vorn.source import load, parse, transpiled
from vorn.worker import ElapsedIndicator, call_in_worker


def add_parser(subparsers, types):
    p = subparsers.add_parser(
        "run",
        help="simulate an OpenQASM file and print its counts",
        description="Simulate an OpenQASM 2.0/3.0 file and print the counts of its outcomes.",
    )
    p.add_argument("file", metavar="FILE", help="OpenQASM file, or - for standard input")
    p.add_argument("--shots", type=types.u64, default=1024, metavar="N",
                   help="outcomes to draw (1024)")
    p.add_argument("--seed", type=types.u64, metavar="S",
                   help="seed of the sampling (drawn from the system when not given)")
    p.add_argument("--precision", choices=PRECISIONS, default="f64", help="f64 (default) or f32")
    p.add_argument("--threads", type=types.positive, metavar="K",
                   help="worker threads (RAYON_NUM_THREADS for this run)")
    p.add_argument("--fuse", nargs="?", const=True, type=_fusion_width, metavar="K",
                   help="fuse gates onto matrices of at most K qubits (2-5; without K the best "
                   "width for the precision): faster, not bit for bit the exact run")
    p.add_argument("--transpile", action="store_true",
                   help="run the peephole pass first and report the gates before and after")
    p.add_argument("--json", action="store_true", help="print one JSON object, not the table")
    p.add_argument("--all", action="store_true", help="show every outcome, not the top 16")
    p.add_argument("--statevector", metavar="PATH.npy", help="save the final state (numpy.save)")
    p.add_argument("--probabilities", metavar="PATH.npy", help="save the probabilities")
    p.add_argument("--plot", type=types.plot_path, metavar="PATH",
                   help="save a histogram of the counts: .png, .svg or .pdf (needs matplotlib)")
    p.add_argument("--top", type=types.positive, default=32, metavar="K",
                   help="outcomes drawn as bars (32); the rest are summed in one")
    p.add_argument("--force", action="store_true",
                   help="run even when the state is larger than the memory available")
    p.add_argument("--expect", action="append", default=[], metavar="OBSERVABLE",
                   help='print <psi|H|psi> on the final state for a sum of Pauli strings, such as '
                   '"0.5*Z0 Z1 - X2" or "XZI" (repeatable; static programs only)')
    p.add_argument("--input", action="append", default=[], type=types.input_value,
                   metavar="NAME=VALUE",
                   help="the value of an 'input' declaration, e.g. theta=0.3 (repeatable)")
    p.set_defaults(command=main)


def _fusion_width(text):
    try:
        width = int(text)
    except ValueError:
        width = None
    if width is None or not 2 <= width <= 5:
        raise argparse.ArgumentTypeError(
            f"the fusion width is an integer from 2 to 5, not {text!r}"
        )
    return width


def main(args):
    if args.threads is not None:
        # The pool is sized once, when a run first needs it: set the size before that.
        os.environ["RAYON_NUM_THREADS"] = str(args.threads)
    out = sys.stdout

    start = time.perf_counter()
    source = load(args.file)
    program = parse(source, dict(args.input) or None)
    read_seconds = time.perf_counter() - start

    facts = describe(program)
    if args.transpile:
        program, note = transpiled(source, program)
        facts = describe(program)
        # Standard output holds nothing but the JSON object when one is asked for.
        print(note, file=sys.stderr if args.json else out)

    observables = _observables(args.expect, facts)
    seed = args.seed if args.seed is not None else int.from_bytes(os.urandom(8), "little")
    state = state_bytes(facts.n_qubits, args.precision)

    def memory_message(available):
        have = format_gib(available) if available is not None else "an unknown amount"
        return (
            f"{source.name}: the state of {report.plural(facts.n_qubits, 'qubit')} at "
            f"{args.precision} needs {format_gib(state)}, {have} available"
        )

    available = memory_available()
    if not args.force and available is not None and state > available:
        raise CliError(memory_message(available) + " (--force runs it anyway)", EXIT_FAILURE)

    indicator = None
    if not args.json and sys.stderr.isatty():
        indicator = ElapsedIndicator(sys.stderr, source.name)
    result, run_seconds = _simulate(source.name, program, args, seed, indicator, memory_message)
    counts = result.counts()
    values = result.expectation(observables) if observables else []
    expectations = list(zip(args.expect, values))

    threads = pool_size()
    if args.json:
        out.write(
            report.json_text(source.name, facts, args.shots, seed, args.precision, threads,
                             counts, read_seconds, run_seconds, expectations)
        )
    else:
        lines = [report.header(source.name, facts, args.precision, threads, seed, state)]
        if facts.measurements:
            lines += report.count_table(counts, args.shots, args.all)
        else:
            lines.append("no measurements: no counts")
        lines += [f"<{text}> = {value!r}" for text, value in expectations]
        lines.append(report.times_line(read_seconds, run_seconds))
        out.write("\n".join(lines) + "\n")
    out.flush()

    return _write_outputs(args, source.name, result, counts, seed)


def _observables(texts, facts):
    """The observables of --expect, read before the run; a bad one is a usage error."""
    if not texts:
        return []
    if facts.is_dynamic:
        raise CliError(
            "--expect needs a single final state: this program has mid-circuit measurements, "
            "resets or conditions",
            EXIT_USAGE,
        )
    from vorn.observable import Observable

    observables = []
    for text in texts:
        try:
            observable = Observable(text)
            vorn._native.check_observable(observable._parts, facts.n_qubits)
        except ValueError as e:
            raise CliError(f"--expect {text!r}: {e}", EXIT_USAGE) from None
        observables.append(observable)
    return observables


def _simulate(name, program, args, seed, indicator, memory_message):
    """(result, seconds) of vorn.run on a worker thread; its failures as CliError."""

    def simulate():
        # Timed on the worker itself: the thread's start and wake-up are not the run's time.
        start = time.perf_counter()
        result = vorn.run(program, args.shots, seed, args.precision, fusion=args.fuse or 0)
        return result, time.perf_counter() - start

    try:
        return call_in_worker(simulate, indicator)
    except MemoryError:
        raise CliError(memory_message(memory_available()), EXIT_FAILURE) from None
    except (ValueError, RuntimeError) as e:
        # A program the engine cannot run (no qubits, for one), or a loop that does not end.
        raise CliError(f"{name}: {e}", EXIT_FAILURE) from None
    except BaseException as e:
        # The module's abort (a state of 0 qubits, for one) derives from BaseException.
        if type(e).__name__ != "PanicException":
            raise
        raise CliError(f"{name}: {e}", EXIT_FAILURE) from None


def _write_outputs(args, name, result, counts, seed):
    """Writes each file asked for; a failure is reported and the others are still written."""
    status = 0
    arrays = (("statevector", result.statevector), ("probabilities", result.probabilities))
    for option, array in arrays:
        path = getattr(args, option)
        if path is None:
            continue
        try:
            save_npy(path, array)
        except CliError as e:
            print(e.text(), file=sys.stderr)
            status = max(status, e.status)
    if args.plot is not None:
        from vorn.commands import plot

        meta = plot.Meta(name, args.shots, seed, args.precision)
        try:
            plot.save_histogram(counts, meta, args.plot, args.top)
        except CliError as e:
            print(e.text(), file=sys.stderr)
            status = max(status, e.status)
    return status


def save_npy(path, make_array):
    # Opened here so that the file is exactly PATH (numpy.save would append .npy to a bare name).
    import numpy

    try:
        array = make_array()
    except ValueError as e:
        # A dynamic program whose shots ended in different states has no single one to save.
        raise CliError(f"cannot write {path}: {e}", EXIT_FAILURE) from None
    try:
        with open(path, "wb") as f:
            numpy.save(f, array)
    except OSError as e:
        raise CliError(f"cannot write {path}: {e.strerror or e}", EXIT_FAILURE) from None
    except MemoryError:
        raise CliError(f"cannot write {path}: out of memory", EXIT_FAILURE) from None
