"""Success and precision plots as tracking papers show them, as PNG, PDF or SVG files.

Each curve's legend entry carries its score in brackets ("[0.652] ATOM"), best first. `order`
(tracker names) fixes each tracker's colour and line style, so that it looks the same in every
plot. Neighbours in that order differ in colour and in line style at once, so twenty trackers
have twenty looks, and two curves that coincide still show both (a dashed line over a solid
one). Fused tracks stand out: black and heavier, drawn over the others.
"""

import io
import os

import matplotlib

matplotlib.use("Agg")  # files only, never a window; must precede pyplot
import matplotlib.pyplot as plt  # noqa: E402

from . import metrics  # noqa: E402
from .outputs import into_folder, write_file  # noqa: E402

__all__ = ["FORMATS", "plot_success", "plot_precision", "plot_norm_precision", "write_plots"]

FORMATS = ("png", "pdf", "svg")
plt.rcParams["svg.fonttype"] = "none"  # SVG text stays text: searchable and editable

_COLORS = ("#d62728", "#1f77b4", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22",
           "#17becf")
_STYLES = ("-", "--", "-.", ":")
_FUSED_STYLES = ("-", "--", ":", "-.")


def _looks(names, fused=()):
    """(colour, line style, width) per name, in the order given: neighbours differ in both colour and style."""
    looks, single, combined = {}, 0, 0
    for name in names:
        if name in fused:
            looks[name] = ("#000000", _FUSED_STYLES[combined % len(_FUSED_STYLES)], 3.0)
            combined += 1
        else:
            looks[name] = (_COLORS[single % len(_COLORS)], _STYLES[single % len(_STYLES)], 1.8)
            single += 1
    return looks


def _plot(path, thresholds, entries, title, xlabel, ylabel, legend_loc, order, fused=(), fmt=None):
    """entries: (name, curve, score); drawn and listed in descending order of score.

    `path` is a file name (its extension gives the format) or a binary file (give `fmt`).
    """
    entries = sorted(entries, key=lambda e: (-e[2], e[0]))
    looks = _looks(order if order is not None else [e[0] for e in entries], fused)
    fig, ax = plt.subplots(figsize=(6.4, 4.8), dpi=100)
    try:
        for rank, (name, curve, score) in enumerate(entries):
            color, style, width = looks[name]
            # The best lie on top; fused tracks above every single tracker.
            ax.plot(thresholds, curve, color=color, linestyle=style, linewidth=width,
                    zorder=(3 if name in fused else 2) + (len(entries) - rank) / (len(entries) + 1),
                    label=f"[{score:.3f}] {name}")
        ax.set_xlim(thresholds[0], thresholds[-1])
        ax.set_ylim(0, 1)
        ax.set_xlabel(xlabel)
        ax.set_ylabel(ylabel)
        ax.set_title(title)
        ax.grid(True, linestyle=":", linewidth=0.8)
        ax.legend(loc=legend_loc, fontsize="small" if len(entries) <= 12 else "x-small", frameon=True,
                  ncol=1 if len(entries) <= 12 else 2)
        fig.tight_layout()
        if hasattr(path, "write"):
            fig.savefig(path, format=fmt)
        else:  # a file name: written atomically, in the format its extension names
            fmt = fmt or os.path.splitext(str(path))[1].lstrip(".").lower() or "png"
            write_file(path, lambda f: fig.savefig(f, format=fmt))
    finally:
        plt.close(fig)


def plot_success(path, entries, dataset=None, order=None, fused=(), fmt=None, subtitle=None):
    """entries: (tracker name, success curve, AUC)."""
    _plot(path, metrics.SUCCESS_THRESHOLDS, entries, _title("Success plots of OPE", dataset, subtitle),
          "Overlap threshold", "Success rate", "lower left", order, fused, fmt)


def plot_precision(path, entries, dataset=None, order=None, fused=(), fmt=None):
    """entries: (tracker name, precision curve, precision at 20 pixels)."""
    _plot(path, metrics.PRECISION_THRESHOLDS, entries, _title("Precision plots of OPE", dataset),
          "Location error threshold (pixels)", "Precision", "lower right", order, fused, fmt)


def plot_norm_precision(path, entries, dataset=None, order=None, fused=(), fmt=None):
    """entries: (tracker name, normalised precision curve, value at 0.2)."""
    _plot(path, metrics.NORM_PRECISION_THRESHOLDS, entries, _title("Normalized precision plots of OPE", dataset),
          "Normalized location error threshold", "Normalized precision", "lower right", order, fused, fmt)


def _title(title, dataset, subtitle=None):
    title = f"{title} on {dataset}" if dataset else title
    return f"{title}\n{subtitle}" if subtitle else title


def write_plots(folder, trackers, dataset=None, order=None, fmt="png", attributes=()):
    """The success, precision and normalised precision plots of scored trackers, written into `folder`.

    `attributes`: (attribute, sequence count, its TrackerScores), one success plot each, named
    success_<attribute>.<fmt>. `folder` is a path (a new folder, or one velmora wrote, replaced as
    a whole) or a folder of the caller's transaction (velmora.outputs.Outputs).
    """
    fused = {t.name for t in trackers if getattr(t, "fused", False)}
    plots = [(f"success.{fmt}", plot_success, [(t.name, t.success, t.auc) for t in trackers], {}),
             (f"precision.{fmt}", plot_precision, [(t.name, t.precision, t.precision20) for t in trackers], {}),
             (f"norm_precision.{fmt}", plot_norm_precision,
              [(t.name, t.norm_precision, t.norm_precision20) for t in trackers], {})]
    for attribute, count, scores in attributes:
        subtitle = f"{attribute} ({count} sequence{'s' if count != 1 else ''})"
        safe = "".join(c if c.isalnum() or c in "-_" else "_" for c in attribute)
        plots.append((f"success_{safe}.{fmt}", plot_success, [(t.name, t.success, t.auc) for t in scores],
                      {"subtitle": subtitle}))
    drawn = []
    for name, draw, entries, extra in plots:
        buffer = io.BytesIO()
        draw(buffer, entries, dataset, order, fused, fmt, **extra)
        drawn.append((name, buffer.getvalue()))
    with into_folder(folder, option="--plot") as out:
        out.record.setdefault("plots", dataset)
        for name, data in drawn:
            out.write(name, data)
