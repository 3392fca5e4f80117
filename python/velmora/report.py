"""The reports of an evaluation: tables for a terminal, a CSV file or a paper (Markdown, LaTeX), per
sequence and per attribute, and the results as JSON (results.schema.json says what they hold)."""

import json
import math
import os

from .benchmark.common import require_plotting

__all__ = ["MEASURES", "columns", "format_table", "format_csv", "format_sequences", "format_sequences_csv", "beats",
           "format_spreads", "attribute_title", "format_attributes", "SCHEMA", "dataset_json", "results_json",
           "require_plotting"]

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
    "pooled_frames": ("Frames", lambda t: t.pooled_frames, "{:d}"),  # the frames AO pools
}


def columns(evaluation):
    """The measures a summary shows: GOT-10k's under its protocol, else the one-pass ones."""
    if evaluation.protocol.got10k:
        names = ["ao", "sr50", "sr75"]
    else:
        names = ["auc", "precision", "norm_precision", "op50", "op75", "overlap"]
    if any(t.times for t in evaluation.trackers):
        names.append("fps")
    return names + ["pooled_frames" if evaluation.protocol.got10k else "frames"]


def _text(value, form):
    return "-" if isinstance(value, float) and math.isnan(value) else form.format(value)


def _grid(headings, rows, style, left=1):
    """A table in a style: 'text' (aligned columns), 'markdown' or 'latex'; the first `left`
    columns are text, the others numbers."""
    if style == "markdown":
        lines = ["| " + " | ".join(headings) + " |", "|" + " --- |" * left + " ---: |" * (len(headings) - left)]
        lines += ["| " + " | ".join(row) + " |" for row in rows]
    elif style == "latex":
        escape = str.maketrans({c: "\\" + c for c in "&%$#_{}"})
        lines = ["\\begin{tabular}{" + "l" * left + "r" * (len(headings) - left) + "}", "\\hline",
                 " & ".join(h.translate(escape) for h in headings) + " \\\\", "\\hline"]
        lines += [" & ".join(cell.translate(escape) for cell in row) + " \\\\" for row in rows]
        lines += ["\\hline", "\\end{tabular}"]
    else:
        widths = [max(len(r[i]) for r in [headings] + rows) for i in range(len(headings))]
        lines = ["  ".join(cell.ljust(widths[i]) if i < left else cell.rjust(max(widths[i], 6))
                           for i, cell in enumerate(row)) for row in [headings] + rows]
    return "\n".join(line.rstrip() for line in lines) + "\n"


def _title(text, style):
    return {"text": f"{text}\n", "markdown": f"**{text}**\n\n", "latex": f"% {text}\n"}[style]


def format_table(evaluation, style="text"):
    """The summary table, best first: 'text' for a terminal, 'markdown' or 'latex' for a paper."""
    names = columns(evaluation)
    headings = ["Tracker"] + [MEASURES[n][0] for n in names]
    rows = [[t.name] + [_text(MEASURES[n][1](t), MEASURES[n][2]) for n in names] for t in evaluation.trackers]
    return _grid(headings, rows, style)


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


# ---- Per sequence ----

_SEQUENCE_MEASURES = ("auc", "precision", "norm_precision")


def _sequence_values(score):
    return {"auc": score.auc, "precision": score.precision20, "norm_precision": score.norm_precision20}


def format_sequences(evaluation, style="text"):
    """One row per sequence and tracker: AUC, precision, normalised precision, frames, absent frames."""
    rows = [[sequence, t.name, f"{t.sequences[i].auc:.3f}", f"{t.sequences[i].precision20:.3f}",
             f"{t.sequences[i].norm_precision20:.3f}", str(t.sequences[i].frames), str(t.sequences[i].absent)]
            for i, sequence in enumerate(evaluation.sequences) for t in evaluation.trackers]
    return _grid(["Sequence", "Tracker", "AUC", "Prec@20", "NPrec@0.2", "Frames", "Absent"], rows, style, left=2)


def format_sequences_csv(evaluation):
    lines = ["tracker,sequence,auc,precision_20px,norm_precision_0.2,frames,absent_frames"]
    for i, sequence in enumerate(evaluation.sequences):
        for t in evaluation.trackers:
            s = t.sequences[i]
            lines.append(f"{_csv_field(t.name)},{_csv_field(sequence)},{s.auc!r},{s.precision20!r},"
                         f"{s.norm_precision20!r},{s.frames},{s.absent}")
    return "\n".join(lines) + "\n"


def beats(evaluation):
    """For each fused track: in how many sequences its AUC is above that of the best single tracker
    (by data-set AUC), and above that of every single tracker. Lines of text."""
    single = [t for t in evaluation.trackers if not t.fused]
    lines = []
    if not single:
        return lines
    best = max(single, key=lambda t: t.auc)
    count = len(evaluation.sequences)
    for fused in (t for t in evaluation.trackers if t.fused):
        above_best = sum(f.auc > b.auc for f, b in zip(fused.sequences, best.sequences))
        above_all = sum(all(f.auc > t.sequences[i].auc for t in single) for i, f in enumerate(fused.sequences))
        lines.append(f"{fused.name}: AUC above that of {best.name}, the best single tracker, in {above_best} of "
                     f"{count} sequences; above every single tracker's in {above_all}")
    return lines


def format_spreads(spreads):
    """Lines for trackers with repetitions: the mean and standard deviation over the repetitions
    beside the pooled figure (velmora.repetitions)."""
    return [f"{s.tracker}: {s.measure} {s.mean:.3f} ± {s.std:.3f} over {len(s.values)} repetitions, each scored on "
            f"its own ({s.pooled:.3f} pooled)" for s in spreads]


# ---- Per attribute ----

def attribute_title(attribute):
    """An attribute as tables and plot titles show it: 'Illumination Variation (IV)'."""
    from .attributes import full_name
    return full_name(attribute)


def format_attributes(rows, style="text"):
    """rows: (attribute, sequence count, [TrackerScore over its sequences]); AUC and precision, each
    attribute under its full name."""
    parts = []
    for attribute, count, trackers in rows:
        table = [[t.name, f"{t.auc:.3f}", f"{t.precision20:.3f}"]
                 for t in sorted(trackers, key=lambda t: (-t.auc, t.name))]
        parts.append(_title(f"{attribute_title(attribute)}, {count} sequence{'s' if count != 1 else ''}", style) +
                     _grid(["Tracker", "AUC", "Prec@20"], table, style))
    return "\n".join(parts)


# ---- Plots ----

# ---- JSON ----

SCHEMA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results.schema.json")


def _number(value):
    value = float(value)
    return None if math.isnan(value) else value


def _curves(score):
    return {"success": [float(v) for v in score.success], "precision": [float(v) for v in score.precision],
            "norm_precision": [float(v) for v in score.norm_precision]}


def _measures(tracker):
    values = {name: _number(MEASURES[name][1](tracker)) for name in _CSV}
    values["frames"] = tracker.frames
    values["sequences"] = len(tracker.sequences)
    return values


def dataset_json(evaluation, name, per_sequence=False, attribute_rows=()):
    """One data set's part of the JSON results: every measure and curve of every tracker."""
    from . import metrics
    trackers = []
    for t in evaluation.trackers:
        entry = {"name": t.name, "fused": bool(t.fused), "provenance": t.provenance, "measures": _measures(t),
                 "curves": _curves(t)}
        if per_sequence:
            entry["sequences"] = [
                {"name": s.name, "measures": {**{k: _number(v) for k, v in _sequence_values(s).items()},
                                              "frames": s.frames, "absent_frames": s.absent},
                 "curves": _curves(s)} for s in t.sequences]
        trackers.append(entry)
    return {
        "name": name,
        "protocol": evaluation.protocol.name,
        "sequences": list(evaluation.sequences),
        "absent_frames": evaluation.flagged,
        "nan_annotation_lines": evaluation.nan_lines,
        "thresholds": {"success": metrics.SUCCESS_THRESHOLDS.tolist(),
                       "precision": metrics.PRECISION_THRESHOLDS.astype(float).tolist(),
                       "norm_precision": metrics.NORM_PRECISION_THRESHOLDS.tolist()},
        "trackers": trackers,
        "attributes": [{"name": attribute, "sequences": count,
                        "trackers": [{"name": t.name, "auc": _number(t.auc), "precision": _number(t.precision20)}
                                     for t in rows]} for attribute, count, rows in attribute_rows],
    }


def results_json(datasets, command, parameters, extra=None):
    """The whole JSON document: provenance (Velmora's version, the command, the parameters) and data sets."""
    from . import __version__
    document = {"velmora": __version__, "command": list(command),
                "parameters": {k: (_number(v) if k != "gamma" else int(v)) for k, v in parameters.items()},
                "datasets": datasets}
    if extra:
        document.update(extra)
    return json.dumps(document, indent=1, allow_nan=False) + "\n"
