"""Success and precision plots as tracking papers show them, as PNG, PDF or SVG files.

Each curve's legend entry carries its score in brackets ("[0.652] ATOM"), best first; under
GOT-10k's protocol the success plot shows and orders by AO, as the summary table does. `order`
(tracker names) fixes each tracker's look, so that it looks the same in every plot. A look is a
colour, a dash pattern and a marker, each from its own cycle (12, 5 and 7 long: no two of the
first 60 single trackers share both colour and dash pattern, and neighbours in the order differ in
all three). Fused tracks stand out: heavier, in colours of their own, each with its own look,
drawn over the others. The legend sits beside the axes, one entry a line in 9-point type, with
samples long enough to show two periods of every dash pattern.

The same input gives the same bytes in every format: the files carry no date, and the SVG ids
come from a fixed salt.
"""

import io
import math
import os
import re
from collections import namedtuple

import matplotlib

matplotlib.use("Agg")  # files only, never a window; must precede pyplot
import matplotlib.pyplot as plt  # noqa: E402

from . import metrics  # noqa: E402
from .outputs import into_folder, write_file  # noqa: E402

__all__ = ["FORMATS", "Look", "looks", "plot_success", "plot_precision", "plot_norm_precision", "figures",
           "write_plots"]

FORMATS = ("png", "pdf", "svg")

Look = namedtuple("Look", "color dashes marker width")

# Cycle lengths 12, 5 and 7 are pairwise coprime: colour and dash pattern repeat together only
# every 60 trackers, all three every 420.
_COLORS = ("#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#17becf", "#8c564b", "#e377c2", "#7f7f7f",
           "#bcbd22", "#393b79", "#637939")
_DASHES = (None, (5, 2), (6, 2, 1, 2), (1, 1.3), (8, 2, 1, 2, 1, 2))  # in line widths; None is solid
_MARKERS = ("o", "s", "^", "D", "v", "P", "X")
_FUSED_COLORS = ("#000000", "#e7298a", "#00604f", "#7a4100")
_FUSED_DASHES = (None, (3, 1), (1, 0.8), (4, 1, 1, 1))
_FUSED_MARKERS = ("*", "h", "p", "8")
_WIDTH, _FUSED_WIDTH = 1.6, 2.8
_LEGEND_POINTS = 9
# Fixed settings of every figure: SVG text stays text (searchable, editable), SVG ids come from a
# fixed salt instead of a random one, and no file carries a date.
_RC = {"svg.fonttype": "none", "svg.hashsalt": "velmora", "font.size": 10}
_NO_DATE = {"svg": {"Date": None}, "pdf": {"CreationDate": None}}


def looks(names, fused=()):
    """The Look of each name, by its position among the single trackers or among the fused tracks."""
    chosen, single, combined = {}, 0, 0
    for name in names:
        if name in fused:
            chosen[name] = Look(_FUSED_COLORS[combined % len(_FUSED_COLORS)],
                               _FUSED_DASHES[combined % len(_FUSED_DASHES)],
                               _FUSED_MARKERS[combined % len(_FUSED_MARKERS)], _FUSED_WIDTH)
            combined += 1
        else:
            chosen[name] = Look(_COLORS[single % len(_COLORS)], _DASHES[single % len(_DASHES)],
                               _MARKERS[single % len(_MARKERS)], _WIDTH)
            single += 1
    return chosen


def _ranked(entries):
    """Best first; a score that is not a number (no frame counted) last."""
    return sorted(entries, key=lambda e: (math.isnan(e[2]), -e[2] if not math.isnan(e[2]) else 0.0, e[0]))


def _plot(path, thresholds, entries, title, xlabel, ylabel, measure, order, fused=(), fmt=None):
    """entries: (name, curve, score); drawn and listed in descending order of score.

    `path` is a file name (its extension gives the format) or a binary file (give `fmt`).
    """
    entries = _ranked(entries)
    names = list(order) if order is not None else []
    names += [e[0] for e in entries if e[0] not in names]
    styles = looks(names, fused)
    count = len(entries)
    columns = 1 if count <= 32 else 2
    # The axes keep their size; the figure grows with the legend beside them.
    rows = math.ceil(count / columns)
    height = max(4.4, 0.9 + rows * _LEGEND_POINTS * 1.45 / 72)
    step = max(1, (len(thresholds) - 1) // 5)  # a marker every fifth of the curve, staggered per tracker
    with plt.rc_context(_RC):
        fig, ax = plt.subplots(figsize=(5.6, height), dpi=100)
        try:
            fig.subplots_adjust(left=0.8 / 5.6, right=1 - 0.2 / 5.6, bottom=0.6 / height,
                                top=1 - (0.75 if "\n" in title else 0.5) / height)
            for rank, (name, curve, score) in enumerate(entries):
                look = styles[name]
                position = names.index(name)
                ax.plot(thresholds, curve, color=look.color, linewidth=look.width,
                        linestyle="-" if look.dashes is None else (0, look.dashes),
                        marker=look.marker, markersize=7 if name in fused else 5, markeredgewidth=0.8,
                        markevery=(position % step, step),
                        # The best lie on top; fused tracks above every single tracker.
                        zorder=(3 if name in fused else 2) + (count - rank) / (count + 1),
                        label=f"[{'n/a' if math.isnan(score) else format(score, '.3f')}] {name}")
            ax.set_xlim(thresholds[0], thresholds[-1])
            ax.set_ylim(0, 1)
            ax.set_xlabel(xlabel)
            ax.set_ylabel(ylabel)
            ax.set_title(title)
            ax.grid(True, linestyle=":", linewidth=0.8)
            ax.legend(loc="upper left", bbox_to_anchor=(1.02, 1.0), borderaxespad=0.0, fontsize=_LEGEND_POINTS,
                      title=measure, title_fontsize=_LEGEND_POINTS, frameon=False, ncol=columns, handlelength=4.5,
                      numpoints=1)
            fmt = fmt or os.path.splitext(str(path))[1].lstrip(".").lower() or "png"

            def save(f):
                fig.savefig(f, format=fmt, bbox_inches="tight", pad_inches=0.1, metadata=_NO_DATE.get(fmt))

            if hasattr(path, "write"):
                save(path)
            else:  # a file name: written atomically
                write_file(path, save)
        finally:
            plt.close(fig)


def plot_success(path, entries, dataset=None, order=None, fused=(), fmt=None, subtitle=None, measure="AUC"):
    """entries: (tracker name, success curve, AUC, or AO under GOT-10k's protocol: `measure` names it)."""
    _plot(path, metrics.SUCCESS_THRESHOLDS, entries, _title("Success plots of OPE", dataset, subtitle),
          "Overlap threshold", "Success rate", measure, order, fused, fmt)


def plot_precision(path, entries, dataset=None, order=None, fused=(), fmt=None):
    """entries: (tracker name, precision curve, precision at 20 pixels)."""
    _plot(path, metrics.PRECISION_THRESHOLDS, entries, _title("Precision plots of OPE", dataset),
          "Location error threshold (pixels)", "Precision", "Prec@20", order, fused, fmt)


def plot_norm_precision(path, entries, dataset=None, order=None, fused=(), fmt=None):
    """entries: (tracker name, normalised precision curve, value at 0.2)."""
    _plot(path, metrics.NORM_PRECISION_THRESHOLDS, entries, _title("Normalized precision plots of OPE", dataset),
          "Normalized location error threshold", "Normalized precision", "NPrec@0.2", order, fused, fmt)


def _title(title, dataset, subtitle=None):
    title = f"{title} on {dataset}" if dataset else title
    return f"{title}\n{subtitle}" if subtitle else title


def figures(trackers, dataset=None, order=None, fmt="png", attributes=(), protocol=None):
    """[(file name, caption, bytes)]: the success, precision and normalised precision plots of scored
    trackers, then one success plot per attribute.

    `attributes`: (attribute, sequence count, its TrackerScores); the attribute as given heads its
    plot, which is named success_<attribute>.<fmt>, or after the abbreviation in brackets that ends
    a full name ("Full Occlusion (FOC)": success_FOC.<fmt>). Under GOT-10k's `protocol` the success
    plots show and order by AO.
    """
    got10k = bool(protocol is not None and protocol.got10k)
    measure = "AO" if got10k else "AUC"

    def success(scores):
        return [(t.name, t.success, t.ao if got10k else t.auc) for t in scores]

    fused = {t.name for t in trackers if getattr(t, "fused", False)}
    plots = [(f"success.{fmt}", "Success", plot_success, success(trackers), {"measure": measure}),
             (f"precision.{fmt}", "Precision", plot_precision, [(t.name, t.precision, t.precision20) for t in trackers],
              {}),
             (f"norm_precision.{fmt}", "Normalized precision", plot_norm_precision,
              [(t.name, t.norm_precision, t.norm_precision20) for t in trackers], {})]
    for attribute, count, scores in attributes:
        sequences = f"{count} sequence{'s' if count != 1 else ''}"
        # "Full Occlusion (FOC)" heads its plot as it is and names the file by its abbreviation.
        short = re.fullmatch(r".*\(([^()]+)\)\s*", attribute)
        subtitle = f"{attribute}, {sequences}" if short else f"{attribute} ({sequences})"
        safe = "".join(c if c.isalnum() or c in "-_" else "_" for c in (short.group(1) if short else attribute))
        plots.append((f"success_{safe}.{fmt}", subtitle, plot_success, success(scores),
                      {"subtitle": subtitle, "measure": measure}))
    drawn = []
    for name, caption, draw, entries, extra in plots:
        buffer = io.BytesIO()
        draw(buffer, entries, dataset, order, fused, fmt, **extra)
        drawn.append((name, caption, buffer.getvalue()))
    return drawn


def write_plots(folder, trackers, dataset=None, order=None, fmt="png", attributes=(), protocol=None):
    """The plots of figures(), written into `folder`: a path (a new folder, or one velmora wrote,
    replaced as a whole) or a folder of the caller's transaction (velmora.outputs.Outputs)."""
    drawn = figures(trackers, dataset, order, fmt, attributes, protocol)
    with into_folder(folder, option="--plot") as out:
        out.record.setdefault("plots", dataset)
        for name, _, data in drawn:
            out.write(name, data)
