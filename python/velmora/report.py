"""The tables of an evaluation: for a terminal, a CSV file, or a paper (Markdown, LaTeX)."""

import math

__all__ = ["MEASURES", "columns", "format_table", "format_csv"]

# name: (heading, the value of a TrackerScore, its text)
MEASURES = {
    "auc": ("AUC", lambda t: t.auc, "{:.3f}"),
    "precision": ("Prec@20", lambda t: t.precision20, "{:.3f}"),
    "norm_precision": ("NPrec@0.2", lambda t: t.norm_precision20, "{:.3f}"),
    "op50": ("OP50", lambda t: t.op50, "{:.3f}"),
    "op75": ("OP75", lambda t: t.op75, "{:.3f}"),
    "ao": ("AO", lambda t: t.ao, "{:.3f}"),
    "sr50": ("SR0.5", lambda t: t.sr50, "{:.3f}"),
    "sr75": ("SR0.75", lambda t: t.sr75, "{:.3f}"),
    "overlap": ("Overlap", lambda t: t.overlap, "{:.3f}"),
    "fps": ("FPS", lambda t: t.fps, "{:.1f}"),
    "frames": ("Frames", lambda t: t.frames, "{:d}"),
}


def columns(evaluation):
    """The measures a summary shows: GOT-10k's under its protocol, else the one-pass ones."""
    if evaluation.protocol.got10k:
        names = ["ao", "sr50", "sr75"]
    else:
        names = ["auc", "precision", "norm_precision", "op50", "op75", "overlap"]
    if any(t.times for t in evaluation.trackers):
        names.append("fps")
    return names + ["frames"]


def _text(value, form):
    return "-" if isinstance(value, float) and math.isnan(value) else form.format(value)


def format_table(evaluation, style="text"):
    """The summary table, best first: 'text' for a terminal, 'markdown' or 'latex' for a paper."""
    names = columns(evaluation)
    headings = ["Tracker"] + [MEASURES[n][0] for n in names]
    rows = [[t.name] + [_text(MEASURES[n][1](t), MEASURES[n][2]) for n in names] for t in evaluation.trackers]
    if style == "markdown":
        lines = ["| " + " | ".join(headings) + " |", "| --- |" + " ---: |" * len(names)]
        lines += ["| " + " | ".join(row) + " |" for row in rows]
    elif style == "latex":
        escape = str.maketrans({c: "\\" + c for c in "&%$#_{}"})
        lines = ["\\begin{tabular}{l" + "r" * len(names) + "}", "\\hline",
                 " & ".join(h.translate(escape) for h in headings) + " \\\\", "\\hline"]
        lines += [" & ".join(cell.translate(escape) for cell in row) + " \\\\" for row in rows]
        lines += ["\\hline", "\\end{tabular}"]
    else:
        widths = [max(len(r[i]) for r in [headings] + rows) for i in range(len(headings))]
        lines = ["  ".join(cell.ljust(widths[0]) if i == 0 else cell.rjust(max(widths[i], 6))
                           for i, cell in enumerate(row)) for row in [headings] + rows]
    return "\n".join(line.rstrip() for line in lines) + "\n"


def _csv_field(text):
    return '"' + text.replace('"', '""') + '"' if any(c in text for c in ',"\n') else text


_CSV = ["auc", "precision", "norm_precision", "op50", "op75", "ao", "sr50", "sr75", "overlap", "fps"]
_CSV_HEADINGS = ["auc", "precision_20px", "norm_precision_0.2", "op50", "op75", "ao", "sr50", "sr75",
                 "mean_overlap", "fps"]


def format_csv(evaluation):
    """Every measure of every tracker at full precision, one row per tracker."""
    lines = [",".join(["tracker"] + _CSV_HEADINGS + ["sequences", "frames"])]
    for t in evaluation.trackers:
        values = [repr(float(MEASURES[n][1](t))) for n in _CSV]
        lines.append(",".join([_csv_field(t.name)] + values + [str(len(t.sequences)), str(t.frames)]))
    return "\n".join(lines) + "\n"
