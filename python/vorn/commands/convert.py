"""`vorn convert FILE --to 2.0|3.0`: the circuit written back as OpenQASM (to_qasm)."""
import sys

from vorn.errors import EXIT_FAILURE, EXIT_USAGE, CliError
from vorn.source import load, parse, transpiled


def add_parser(subparsers, types):
    p = subparsers.add_parser(
        "convert",
        help="write an OpenQASM file's circuit as OpenQASM 2.0 or 3.0",
        description="Read an OpenQASM file and write its program as OpenQASM 2.0 or 3.0: user "
        "gates expanded, includes read in, qubit registers flattened into q. Programs with "
        "conditions are written as 2.0 only where 2.0 can say it.",
    )
    p.add_argument("file", metavar="FILE", help="OpenQASM file, or - for standard input")
    p.add_argument("--to", choices=("2.0", "3.0"), required=True, help="the version to write")
    p.add_argument("-o", "--output", metavar="OUT", help="output file (standard output if absent)")
    p.add_argument("--transpile", action="store_true", help="run the peephole pass first")
    p.set_defaults(command=main)


def main(args):
    source = load(args.file)
    program = parse(source)
    if args.transpile:
        program, note = transpiled(source, program)
        # Standard output may be the program itself, so the note goes to standard error.
        print(note, file=sys.stderr)
    try:
        text = program.to_qasm(args.to)
    except ValueError as e:
        raise CliError(f"{source.name}: {e}", EXIT_USAGE) from None
    if args.output is None:
        sys.stdout.write(text)
        return 0
    try:
        with open(args.output, "w", encoding="utf-8") as f:
            f.write(text)
    except OSError as e:
        raise CliError(f"cannot write {args.output}: {e.strerror or e}", EXIT_FAILURE) from None
    return 0
