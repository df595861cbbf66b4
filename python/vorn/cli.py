"""The `vorn` command line: the subcommands, the option types and how failures end the
command (one line, an exit status, never a traceback)."""
import argparse
import os
import sys

from vorn.commands import convert, info, plot, run
from vorn.errors import EXIT_FAILURE, EXIT_INTERRUPTED, CliError

U64_MAX = (1 << 64) - 1


def _integer(text):
    try:
        return int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None


class OptionTypes:
    """Argument types shared by the subcommands; a refusal is argparse's usual error."""

    @staticmethod
    def u64(text):
        value = _integer(text)
        if not 0 <= value <= U64_MAX:
            raise argparse.ArgumentTypeError(f"must be from 0 to {U64_MAX}, not {value}")
        return value

    @staticmethod
    def positive(text):
        value = _integer(text)
        if value < 1:
            raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
        return value

    @staticmethod
    def input_value(text):
        """NAME=VALUE, the value a number (true and false for booleans)."""
        name, sep, value = text.partition("=")
        if not sep or not name:
            raise argparse.ArgumentTypeError(f"{text!r}: write NAME=VALUE, e.g. theta=0.3")
        words = {"true": 1.0, "false": 0.0}
        try:
            number = words[value] if value in words else float(value)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r}: the value must be a number") from None
        return name, number

    @staticmethod
    def plot_path(text):
        if os.path.splitext(text)[1].lower() not in plot.FORMATS:
            raise argparse.ArgumentTypeError(
                f"{text!r}: the name must end in {', '.join(plot.FORMATS)}"
            )
        return text


def build_parser():
    parser = argparse.ArgumentParser(
        prog="vorn",
        description="Run, inspect and convert OpenQASM files with the vorn simulator.",
    )
    subparsers = parser.add_subparsers(metavar="COMMAND", required=True)
    for module in (run, info, convert, plot):
        module.add_parser(subparsers, OptionTypes)
    return parser


def main(argv=None):
    # Bars and arrows are not in every terminal's encoding: replace what cannot be shown.
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="replace")
    args = build_parser().parse_args(argv)
    try:
        return args.command(args)
    except CliError as e:
        sys.stdout.flush()
        print(e.text(), file=sys.stderr)
        return e.status
    except MemoryError:
        # Reading a huge file (its tokens, its operations) or writing its text: the command
        # ends with one line, as any other failure of the run.
        sys.stdout.flush()
        print("vorn: out of memory: the program needs more than this process can get",
              file=sys.stderr)
        return EXIT_FAILURE
    except KeyboardInterrupt:
        _exit_now(EXIT_INTERRUPTED)
    except BrokenPipeError:
        # The reader went away (`vorn run x.qasm | head`): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


def _exit_now(status):
    # The simulation may still be running on its worker thread, without the interpreter lock:
    # leave at once instead of waiting for it at interpreter shutdown.
    try:
        sys.stdout.flush()
    except (OSError, ValueError):
        pass
    sys.stderr.flush()
    os._exit(status)
