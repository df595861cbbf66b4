"""Reading an OpenQASM file (or standard input) and reporting the reader's errors as a compiler
does: `FILE:LINE:COL: error: message`, the source line and a caret under the column."""
import re
import sys
import unicodedata
from dataclasses import dataclass

from vorn.errors import EXIT_USAGE, CliError

STDIN_NAME = "<stdin>"

# The reader's messages give positions as "at line L:C" (line and column counted in bytes, from
# 1). Quoted user text (an include path, say) could hold the same words, so it is masked first.
_POSITION = re.compile(r"at line (\d+):(\d+)")
_QUOTED = re.compile(r'"(?:[^"\\]|\\.)*"')


@dataclass
class Source:
    name: str  # the path as given, or <stdin>
    text: str


def load(path):
    """Reads the whole file as UTF-8 text; `-` reads standard input."""
    name = STDIN_NAME if path == "-" else path
    try:
        if path == "-":
            data = sys.stdin.buffer.read()
        else:
            with open(path, "rb") as f:
                data = f.read()
    except FileNotFoundError:
        raise CliError(f"{name}: no such file") from None
    except IsADirectoryError:
        raise CliError(f"{name}: is a directory, not an OpenQASM file") from None
    except OSError as e:
        raise CliError(f"{name}: cannot read: {e.strerror or e}") from None
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        line = data.count(b"\n", 0, e.start) + 1
        col = e.start - (data.rfind(b"\n", 0, e.start) + 1) + 1
        raise CliError(
            f"{name}: not UTF-8 text (byte 0x{data[e.start]:02x} at line {line}:{col})"
        ) from None
    return Source(name, text)


def parse(source, inputs=None):
    """The program of the source, read in the vorn package's mode (mid-circuit measurement,
    reset, conditions, includes relative to the file's folder, `input` values from `inputs`); a
    reader error becomes a CliError in the compiler's form."""
    from vorn import _native
    from vorn.program import Program

    try:
        name = "" if source.name == STDIN_NAME else source.name
        return Program._wrap(_native.read(source.text, name, inputs), source=source.name)
    except ValueError as e:
        raise CliError(reader_error(source, str(e)), EXIT_USAGE, prefixed=False) from None


def transpiled(source, program):
    """(program, note): the source read as `vorn_python` reads it, through its peephole pass.
    Only static programs have that form; others are refused."""
    from vorn_python import Circuit

    from vorn.facts import describe
    from vorn.program import Program
    from vorn.report import transpile_note

    if describe(program).is_dynamic:
        raise CliError(
            f"{source.name}: --transpile needs a static program (no mid-circuit measurement, "
            "reset or condition)",
            EXIT_USAGE,
        )
    try:
        circuit = Circuit.from_qasm(source.text)
    except ValueError as e:
        raise CliError(reader_error(source, str(e)), EXIT_USAGE, prefixed=False) from None
    before = describe(Program.from_circuit(circuit)).gate_count
    passes = circuit.transpile()
    result = Program.from_circuit(circuit)
    return result, transpile_note(before, describe(result).gate_count, passes)


def error_position(message):
    """(line, column) of the first position in a reader message, or None."""
    masked = _QUOTED.sub(lambda m: "_" * len(m.group()), message)
    found = _POSITION.search(masked)
    return (int(found.group(1)), int(found.group(2))) if found else None


def reader_error(source, message):
    position = error_position(message)
    if position is None:
        return f"{source.name}: error: {message}"
    line, col = position
    lines = [f"{source.name}:{line}:{col}: error: {message}"]
    text_lines = source.text.split("\n")
    if 1 <= line <= len(text_lines):
        shown = text_lines[line - 1].rstrip("\r")
        lines.append(shown)
        lines.append(_caret_indent(shown, col) + "^")
    return "\n".join(lines)


def _caret_indent(line, col):
    # The column counts bytes; the caret goes under the character at that byte, keeping tabs and
    # giving wide characters two cells.
    before = line.encode("utf-8")[: col - 1].decode("utf-8", errors="ignore")
    cells = []
    for ch in before:
        if ch == "\t":
            cells.append("\t")
        elif unicodedata.east_asian_width(ch) in ("W", "F"):
            cells.append("  ")
        elif not unicodedata.combining(ch):
            cells.append(" ")
    return "".join(cells)
