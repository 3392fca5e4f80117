"""One self-contained HTML page of an evaluation: the summary table, the plots, a table and an
overlap strip per sequence and, for held-out learning, the folds.

Styles, the sorting script and the plots (SVG images) are inline and the page's content security
policy forbids fetching anything, so it opens offline in any browser and can be mailed as one
file. Each sequence's strip shows its overlap over time, in stretches of frames: the fused
tracks, the data set's best single tracker (grey line), the range of the other single trackers
(grey band), and where the first fused track lies above (green) or below (red) the best single
tracker. The page holds no date: the same evaluation gives the same bytes.
"""

import base64
import html
import math
import os

import numpy as np

from . import benchmark, plots, report

__all__ = ["evaluation_page"]

_HERE = os.path.dirname(os.path.abspath(__file__))
_POLICY = "default-src 'none'; img-src data:; style-src 'unsafe-inline'; script-src 'unsafe-inline'"
_WIN, _LOSS, _BAND, _BEST = "#1a9850", "#d73027", "#d9d9d9", "#595959"


def _asset(name):
    with open(os.path.join(_HERE, name), encoding="utf-8") as f:
        return f.read()


def _e(text):
    return html.escape(str(text), quote=True)


def _number(value):
    """(data-v, shown text) of a measure; NaN (no frame counted) sorts last and shows as a dash."""
    value = float(value)
    return ("", "-") if math.isnan(value) else (repr(value), f"{value:.3f}")


def _attribute(name, value):
    """` name="value"`, or nothing when there is no value."""
    return f' {name}="{_e(value)}"' if value else ""


def _class(name):
    return _attribute("class", name)


def _cell(value, css=""):
    v, text = _number(value)
    return f'<td data-v="{v}"{_class(css)}>{text}</td>'


def _table(table_id, headings, rows, caption=""):
    """A sortable table: headings are (text, "number" | "text" | None), rows their cells' HTML."""
    head = "".join(f'<th scope="col"{_attribute("data-sort", kind)}>{_e(text)}</th>' for text, kind in headings)
    caption = f"<caption>{_e(caption)}</caption>" if caption else ""
    return (f'<div class="scroll"><table id="{table_id}" class="sortable">{caption}<thead><tr>{head}</tr></thead>'
            f"<tbody>\n" + "\n".join(rows) + "\n</tbody></table></div>")


# ---- Strips ----

def _y(value):
    return int(round(100 - 100 * float(value)))


def _runs(*series):
    """(start, end) of each stretch where every series has a value."""
    present = np.logical_and.reduce([~np.isnan(s) for s in series])
    edges = np.flatnonzero(np.diff(np.concatenate(([0], present.astype(np.int8), [0]))))
    return list(zip(edges[0::2].tolist(), edges[1::2].tolist()))


def _steps(values):
    """Relative line segments through the points at x, x + 1, ...: "1-3 1 0 ..." in viewBox units (the
    space before a minus sign is not needed)."""
    ys = [_y(v) for v in values]
    return " ".join(f"1{b - a}" if b < a else f"1 {b - a}" for a, b in zip(ys, ys[1:]))


def _line(values):
    """An SVG path through a timeline's points, broken where it has no value."""
    parts = []
    for start, end in _runs(values):
        part = values[start:end]
        if end - start == 1:
            parts.append(f"M{start - 0.4:g} {_y(part[0])}h0.8")  # a lone point: a short dash
        else:
            parts.append(f"M{start} {_y(part[0])}l{_steps(part)}")
    return "".join(parts)


def _area(upper, lower, where=None):
    """An SVG path of the area between two timelines, where both have values (and `where` holds)."""
    parts = []
    for start, end in _runs(upper, lower, *(() if where is None else (np.where(where, 0.0, np.nan),))):
        top, bottom = upper[start:end], lower[start:end]
        if end - start == 1:  # a lone stretch: a narrow bar
            parts.append(f"M{start - 0.4:g} {_y(top[0])}h0.8V{_y(bottom[0])}h-0.8z")
            continue
        back = bottom[::-1]
        parts.append(f"M{start} {_y(top[0])}l{_steps(top)}L{end - 1} {_y(back[0])}l"
                     + " ".join(f"-1{d}" if d < 0 else f"-1 {d}" for d in np.diff([_y(v) for v in back])) + "z")
    return "".join(parts)


def _strip(strip, colors):
    """One sequence's strip as inline SVG, stretched to the width of its cell."""
    width = max(len(strip.best[1]) if strip.best else len(strip.fused[0][1]), 2) - 1
    shapes = [f'<rect x="0" y="0" width="{width}" height="100" fill="#fbfbfb"/>',
              '<path d="M0 50H%d" stroke="#e8e8e8" stroke-width="1" vector-effect="non-scaling-stroke"/>' % width]
    if strip.low is not None:
        shapes.append(f'<path class="band" d="{_area(strip.high, strip.low)}" fill="{_BAND}"/>')
    if strip.best is not None and strip.fused:
        fused, best = strip.fused[0][1], strip.best[1]
        for kind, color, upper, lower, wanted in (("win", _WIN, np.fmax(fused, best), best, fused > best),
                                                  ("loss", _LOSS, best, np.fmin(fused, best), fused < best)):
            # Only the stretches where one lies above the other, and a point either side, where the
            # area closes: most of a sequence usually has neither.
            wanted = wanted | np.concatenate((wanted[1:], [False])) | np.concatenate(([False], wanted[:-1]))
            if wanted.any():
                shapes.append(f'<path class="{kind}" d="{_area(upper, lower, wanted)}" fill="{color}" '
                              'fill-opacity="0.45"/>')
    if strip.best is not None:
        shapes.append(f'<path class="best" d="{_line(strip.best[1])}" fill="none" stroke="{_BEST}" '
                      'stroke-width="1.2" vector-effect="non-scaling-stroke"/>')
    for name, timeline in reversed(strip.fused):  # the first fused track on top
        shapes.append(f'<path class="fused" d="{_line(timeline)}" fill="none" stroke="{colors[name]}" '
                      'stroke-width="1.6" vector-effect="non-scaling-stroke"/>')
    title = f"{strip.sequence}: overlap over {strip.frames} frames"
    return (f'<svg viewBox="0 0 {width} 100" preserveAspectRatio="none" role="img"><title>{_e(title)}</title>'
            + "".join(shapes) + "</svg>")


def _swatch(kind, color):
    if kind == "line":
        return f'<svg width="28" height="10"><path d="M0 5H28" stroke="{color}" stroke-width="2"/></svg>'
    return f'<svg width="18" height="12"><rect width="18" height="12" fill="{color}" fill-opacity="0.6"/></svg>'


# ---- Sections ----

def _summary(evaluation):
    names = report.columns(evaluation)
    headings = [("Tracker", "text")] + [(report.MEASURES[n][0], "number") for n in names]
    rows = []
    for t in evaluation.trackers:
        cells = [f"<td>{_e(t.name)}</td>"]
        for n in names:
            value = report.MEASURES[n][1](t)
            if n == "frames":
                cells.append(f'<td data-v="{value}">{value}</td>')
            elif n == "fps":
                v, _ = _number(value)
                cells.append(f'<td data-v="{v}">{"-" if not v else format(value, ".1f")}</td>')
            else:
                cells.append(_cell(value))
        rows.append(f'<tr{_class("fused" if t.fused else "")}>' + "".join(cells) + "</tr>")
    return _table("summary", headings, rows)


def _figures(evaluation, dataset, attributes):
    order = [t.name for t in evaluation.trackers]
    drawn = plots.figures(evaluation.trackers, dataset, order, "svg", attributes, evaluation.protocol)

    def figure(name, caption, data):
        uri = "data:image/svg+xml;base64," + base64.b64encode(data).decode("ascii")
        return f'<figure data-plot="{_e(name)}"><img src="{uri}" alt="{_e(caption)} plot"></figure>'

    main = "".join(figure(*d) for d in drawn[:3])
    text = f'<h2 id="plots">Plots</h2><div class="plots">{main}</div>'
    if attributes:
        text += ('<h2 id="attributes">By attribute</h2><div class="plots">'
                 + "".join(figure(*d) for d in drawn[3:]) + "</div>")
    return text


def _sequence_score(score, protocol):
    return score.ao if protocol.got10k else score.auc


def _sequences(evaluation):
    """The per-sequence table with the strips, and the table of every tracker on every sequence."""
    protocol, measure = evaluation.protocol, "AO" if evaluation.protocol.got10k else "AUC"
    strips = benchmark.sequence_strips(evaluation)
    fused = [t for t in evaluation.trackers if t.fused]
    single = [t for t in evaluation.trackers if not t.fused]
    colors = {name: look.color for name, look in plots.looks([t.name for t in evaluation.trackers],
                                                           {t.name for t in fused}).items()}
    legend = [f"{_swatch('line', colors[t.name])} {_e(t.name)}" for t in fused]
    if single:
        legend.append(f"{_swatch('line', _BEST)} {_e(single[0].name)} (best single tracker)")
    if len(single) > 1:
        legend.append(f"{_swatch('area', _BAND)} range of the other {len(single) - 1} single trackers")
    if fused and single:
        legend += [f"{_swatch('area', _WIN)} {_e(fused[0].name)} above {_e(single[0].name)}",
                   f"{_swatch('area', _LOSS)} {_e(fused[0].name)} below {_e(single[0].name)}"]
    headings = [("Sequence", "text"), ("Frames", "number")]
    headings += [(f"{t.name} {measure}", "number") for t in fused]
    if single:
        headings.append((f"{single[0].name} {measure}", "number"))
    if fused and single:
        headings.append((f"Gain of {fused[0].name}", "number"))
    headings.append(("Overlap over time", None))
    rows = []
    for i, strip in enumerate(strips):
        cells = [f"<td>{_e(strip.sequence)}</td>", f'<td data-v="{strip.frames}">{strip.frames}</td>']
        cells += [_cell(_sequence_score(t.sequences[i], protocol)) for t in fused]
        if single:
            cells.append(_cell(_sequence_score(single[0].sequences[i], protocol)))
        if fused and single:
            gain = _sequence_score(fused[0].sequences[i], protocol) - _sequence_score(single[0].sequences[i], protocol)
            v, _ = _number(gain)
            kind = "win" if gain > 0 else "loss" if gain < 0 else ""
            cells.append(f'<td data-v="{v}" class="{kind}">{"-" if not v else format(gain, "+.3f")}</td>')
        cells.append(f'<td class="strip">{_strip(strip, colors)}</td>')
        rows.append("<tr>" + "".join(cells) + "</tr>")
    text = (f'<h2 id="sequences">Sequences</h2><p>Overlap with the annotation over each sequence, from its first '
            f'frame (left) to its last (right), 0 at the bottom and 1 at the top, each point the mean of a stretch '
            f'of frames.</p><div class="legend">{"".join(f"<span>{item}</span>" for item in legend)}</div>'
            + _table("sequences", headings, rows))
    # Every tracker on every sequence, the best of each row marked.
    headings = [("Sequence", "text")] + [(t.name, "number") for t in evaluation.trackers]
    rows = []
    for i, name in enumerate(evaluation.sequences):
        values = [_sequence_score(t.sequences[i], protocol) for t in evaluation.trackers]
        top = max((v for v in values if not math.isnan(v)), default=math.nan)
        rows.append(f"<tr><td>{_e(name)}</td>" + "".join(_cell(v, "best" if v == top else "") for v in values)
                    + "</tr>")
    return text + (f'<h2 id="per-sequence">{measure} of every tracker per sequence</h2>'
                   + _table("per-sequence", headings, rows))


def _folds(folds):
    """Held-out learning: each fold's test sequences, and the weights and selection learnt for it."""
    trackers = list(folds[0].weights)
    headings = [("Tracker", "text")] + [(f"Fold {k}", "number") for k in range(1, len(folds) + 1)]
    rows = []
    for name in trackers:
        cells = [f"<td>{_e(name)}</td>"]
        for fold in folds:
            kept = name in fold.selection
            cells.append(f'<td data-v="{fold.weights[name]!r}" class="{"kept" if kept else "dropped"}" '
                         f'title="{"kept" if kept else "dropped"}">{fold.weights[name]:.4g}</td>')
        rows.append("<tr>" + "".join(cells) + "</tr>")
    listing = "".join(f"<li>Fold {k}: learnt on {len(f.train)} sequences, tested on {len(f.test)}: "
                      f"{_e(', '.join(f.test))}</li>" for k, f in enumerate(folds, 1))
    return ('<h2 id="folds">Folds</h2><p>Each fold\'s weights were learnt on its training sequences; its test '
            'sequences were fused with the trackers kept (bold; dropped ones struck through).</p>'
            + _table("folds", headings, rows) + f"<ul>{listing}</ul>")


def evaluation_page(evaluation, dataset, attributes=(), folds=(), command=(), summary="", beats=()):
    """The page of an evaluation made with timelines (benchmark.evaluate(..., timelines=True)).

    `attributes`: benchmark.by_attribute's rows, a success plot each; `folds`: benchmark.Fold per
    fold of held-out learning; `command`: the command line, shown; `summary`: a line under the
    heading; `beats`: the lines shown under the summary table (report.beats). Returns the page as
    text.
    """
    from . import __version__
    frames = sum(s.frames for s in evaluation.trackers[0].sequences)
    count = len(evaluation.sequences)
    facts = (f"{count} sequence{'s' if count != 1 else ''}, {frames:,} frames, {len(evaluation.trackers)} "
             f"trackers, {evaluation.protocol.name} protocol; velmora {__version__}")
    # The figures come last: every other part is plain text from the evaluation.
    folded, listed = _folds(folds) if folds else "", _sequences(evaluation)
    parts = [f"<h1>{_e(dataset)}</h1>", f'<p class="meta">{_e(summary)}</p>' if summary else "",
             f'<p class="meta">{_e(facts)}</p>',
             f'<p class="meta">Command: <code>{_e(" ".join(command))}</code></p>' if command else "",
             '<h2 id="summary-table">Summary</h2>', _summary(evaluation),
             f'<ul class="beats">{"".join(f"<li>{_e(line)}</li>" for line in beats)}</ul>' if beats else "",
             _figures(evaluation, dataset, attributes), folded, listed]
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            f'<meta http-equiv="Content-Security-Policy" content="{_POLICY}">'
            '<meta name="viewport" content="width=device-width, initial-scale=1">'
            f"<title>{_e(dataset)}: velmora</title><style>\n{_asset('page.css')}</style></head>\n<body>\n"
            + "\n".join(p for p in parts if p) + f"\n<script>\n{_asset('page.js')}</script>\n</body></html>\n")
