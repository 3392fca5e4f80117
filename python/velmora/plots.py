"""Success and precision plots as tracking papers show them, written as PNG files.

Each curve's legend entry carries its score in brackets ("[0.652] ATOM"), best first. `order`
(tracker names) fixes each tracker's colour and line style, so that it looks the same in every plot.
"""

import io
import itertools

import matplotlib

matplotlib.use("Agg")  # files only, never a window; must precede pyplot
import matplotlib.pyplot as plt  # noqa: E402

from . import metrics  # noqa: E402
from .outputs import OutputFolder  # noqa: E402

__all__ = ["plot_success", "plot_precision", "plot_norm_precision", "write_plots"]

_COLORS = ("#d62728", "#1f77b4", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22",
           "#17becf")
_STYLES = ("-", "--", "-.", ":")


def _looks(names):
    """A colour and line style per name, in the order given, so that plots of the same trackers match."""
    cycle = itertools.cycle([(c, s) for s in _STYLES for c in _COLORS])
    return dict(zip(names, cycle))


def _plot(path, thresholds, entries, title, xlabel, ylabel, legend_loc, order):
    """entries: (name, curve, score); drawn and listed in descending order of score.

    `path` is a file name or a binary file.
    """
    entries = sorted(entries, key=lambda e: (-e[2], e[0]))
    looks = _looks(order if order is not None else [e[0] for e in entries])
    fig, ax = plt.subplots(figsize=(6.4, 4.8), dpi=100)
    try:
        for name, curve, score in entries:
            color, style = looks[name]
            ax.plot(thresholds, curve, color=color, linestyle=style, linewidth=2,
                    label=f"[{score:.3f}] {name}")
        ax.set_xlim(thresholds[0], thresholds[-1])
        ax.set_ylim(0, 1)
        ax.set_xlabel(xlabel)
        ax.set_ylabel(ylabel)
        ax.set_title(title)
        ax.grid(True, linestyle=":", linewidth=0.8)
        ax.legend(loc=legend_loc, fontsize="small", frameon=True)
        fig.tight_layout()
        fig.savefig(path, format="png")
    finally:
        plt.close(fig)


def plot_success(path, entries, dataset=None, order=None):
    """entries: (tracker name, success curve, AUC)."""
    _plot(path, metrics.SUCCESS_THRESHOLDS, entries, _title("Success plots of OPE", dataset), "Overlap threshold",
          "Success rate", "lower left", order)


def plot_precision(path, entries, dataset=None, order=None):
    """entries: (tracker name, precision curve, precision at 20 pixels)."""
    _plot(path, metrics.PRECISION_THRESHOLDS, entries, _title("Precision plots of OPE", dataset),
          "Location error threshold (pixels)", "Precision", "lower right", order)


def plot_norm_precision(path, entries, dataset=None, order=None):
    """entries: (tracker name, normalised precision curve, value at 0.2)."""
    _plot(path, metrics.NORM_PRECISION_THRESHOLDS, entries, _title("Normalized precision plots of OPE", dataset),
          "Normalized location error threshold", "Normalized precision", "lower right", order)


def _title(title, dataset):
    return f"{title} on {dataset}" if dataset else title


def write_plots(folder, trackers, dataset=None, order=None):
    """success.png, precision.png and norm_precision.png of scored trackers, written into `folder`.

    The folder is built whole or not at all; each file is replaced atomically.
    """
    plots = [("success.png", plot_success, [(t.name, t.success, t.auc) for t in trackers]),
             ("precision.png", plot_precision, [(t.name, t.precision, t.precision20) for t in trackers]),
             ("norm_precision.png", plot_norm_precision,
              [(t.name, t.norm_precision, t.norm_precision20) for t in trackers])]
    drawn = []
    for name, draw, entries in plots:
        buffer = io.BytesIO()
        draw(buffer, entries, dataset, order)
        drawn.append((name, buffer.getvalue()))
    with OutputFolder(folder) as out:
        for name, data in drawn:
            out.write(name, data)
        out.commit()
