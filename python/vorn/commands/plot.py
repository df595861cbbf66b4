"""Histograms of counts (matplotlib, optional) and `vorn plot FILE.json -o PATH`, which draws one
from a result saved by `vorn run --json`."""
import json
import os
from dataclasses import dataclass

from vorn.errors import EXIT_FAILURE, EXIT_USAGE, CliError
from vorn.report import sorted_counts
from vorn.source import load

FORMATS = (".png", ".svg", ".pdf")
MATPLOTLIB_MISSING = (
    "plotting needs matplotlib, which is not installed: install the package python3-matplotlib "
    "(Debian, Ubuntu) or matplotlib (pip)"
)
BAR_COLOUR = "#3b6ea8"
OTHER_COLOUR = "#9a9a9a"


@dataclass
class Meta:
    file: str
    shots: int
    seed: int
    precision: str

    def title(self):
        name = os.path.basename(self.file) or self.file
        return f"{name}: {self.shots} shots, seed {self.seed}, {self.precision}"


def add_parser(subparsers, types):
    p = subparsers.add_parser(
        "plot",
        help="draw the histogram of a result saved with vorn run --json",
        description="Draw the histogram of a result saved with `vorn run --json`.",
    )
    p.add_argument("file", metavar="FILE.json", help="the saved result, or - for standard input")
    p.add_argument("-o", "--output", type=types.plot_path, required=True, metavar="PATH",
                   help="the picture: .png, .svg or .pdf")
    p.add_argument("--top", type=types.positive, default=32, metavar="K",
                   help="outcomes drawn as bars (32); the rest are summed in one")
    p.set_defaults(command=main)


def main(args):
    source = load(args.file)
    try:
        saved = json.loads(source.text)
        meta = Meta(saved["file"], saved["shots"], saved["seed"], saved["precision"])
        counts = saved["counts"]
        if not isinstance(counts, dict) or not all(isinstance(c, int) for c in counts.values()):
            raise TypeError
    except (ValueError, KeyError, TypeError):
        raise CliError(f"{source.name}: not a result saved by vorn run --json") from None
    save_histogram(counts, meta, args.output, args.top)
    return 0


def _bars(counts, top):
    """(labels, heights, colours): the top outcomes, then the rest summed in one grey bar."""
    rows = sorted_counts(counts)
    labels = [key for key, _ in rows[:top]]
    heights = [count for _, count in rows[:top]]
    colours = [BAR_COLOUR] * len(labels)
    rest = rows[top:]
    if rest:
        labels.append("other")
        heights.append(sum(count for _, count in rest))
        colours.append(OTHER_COLOUR)
    return labels, heights, colours


def histogram_figure(counts, meta, top=32):
    """The histogram as a matplotlib Figure (no pyplot, so no global state and no display)."""
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise CliError(MATPLOTLIB_MISSING, EXIT_USAGE) from None

    labels, heights, colours = _bars(counts, top)
    total = sum(heights)
    n = len(labels)
    label_chars = max([len(label) for label in labels] + [1])
    width = min(max(6.4, 0.32 * n + 1.8), 24.0)
    # A monospace character of the tick labels is about 0.085 in wide: labels that would not fit
    # side by side under their bars stand upright.
    upright = 0.085 * label_chars + 0.1 > (width - 1.0) / max(n, 1)
    height = 4.4 + (0.075 * label_chars if upright else 0.0)
    fig = Figure(figsize=(width, height), layout="constrained")
    ax = fig.add_subplot()
    ax.set_title(meta.title())
    ax.set_ylabel("count")
    ax.set_xlabel("outcome (qubit 0 rightmost)")
    ax.spines["top"].set_visible(False)
    ax.spines["right"].set_visible(False)
    if not labels:
        ax.set_xticks([])
        ax.set_yticks([])
        ax.text(0.5, 0.5, "no measurements: no counts", transform=ax.transAxes,
                ha="center", va="center", color="0.4")
        return fig

    positions = list(range(n))
    bars = ax.bar(positions, heights, width=0.8, color=colours)
    ax.set_xticks(positions, labels, family="monospace", rotation=90 if upright else 0)
    ax.set_xlim(-0.6, n - 0.4)
    shares = [f"{100.0 * h / total:.1f}%" for h in heights]
    crowded = n > 12
    ax.bar_label(bars, labels=shares, padding=2, fontsize=7 if crowded else 9,
                 rotation=90 if crowded else 0)
    # Room above the tallest bar for its share label.
    ax.set_ylim(0, max(heights) * (1.16 if crowded else 1.09))
    return fig


def save_histogram(counts, meta, path, top=32):
    fig = histogram_figure(counts, meta, top)
    try:
        fig.savefig(path, format=os.path.splitext(path)[1][1:].lower(), dpi=110)
    except OSError as e:
        raise CliError(f"cannot write {path}: {e.strerror or e}", EXIT_FAILURE) from None
