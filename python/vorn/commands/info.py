"""`vorn info FILE`: what a circuit holds and the memory a run of it needs."""
from vorn.facts import describe
from vorn.machine import format_bytes, memory_available, state_bytes
from vorn.report import sorted_counts
from vorn.source import load, parse


def add_parser(subparsers, types):
    p = subparsers.add_parser(
        "info",
        help="show what an OpenQASM file's program holds",
        description="Show an OpenQASM file's registers, operations, mid-circuit measurements, "
        "resets, conditions, loops, bit assignments, included files, global phase and the memory "
        "a run needs.",
    )
    p.add_argument("file", metavar="FILE", help="OpenQASM file, or - for standard input")
    p.set_defaults(command=main)


def main(args):
    source = load(args.file)
    facts = describe(parse(source))
    available = memory_available()
    rows = [
        ("qubits", str(facts.n_qubits)),
        ("classical bits", str(facts.n_cbits)),
        ("gates", str(facts.gate_count)),
    ]
    rows += [(f"  {name}", str(count)) for name, count in sorted_counts(facts.gates)]
    rows.append(("measurements", str(facts.measurements)))
    if facts.is_dynamic or facts.bit_assignments:
        rows += [
            ("  mid-circuit", str(facts.mid_circuit_measurements)),
            ("resets", str(facts.resets)),
            ("conditions", str(facts.conditions)),
            ("loops", str(facts.loops)),
            ("bit assignments", str(facts.bit_assignments)),
        ]
    rows += [(f"included {i + 1}", name) for i, name in enumerate(facts.included_files)]
    rows += [
        ("global phase", repr(facts.global_phase)),
        ("state at f32", format_bytes(state_bytes(facts.n_qubits, "f32"))),
        ("state at f64", format_bytes(state_bytes(facts.n_qubits, "f64"))),
        ("available", format_bytes(available) if available is not None else "unknown"),
    ]
    width = max(len(label) for label, _ in rows)
    print(source.name)
    for label, value in rows:
        print(f"  {label:<{width}}  {value}")
    return 0
