"""What each command says and writes, rendered from its job's result record (velmora.benchmark.jobs).

Each function writes the job's staged outputs (the transaction renames them in when the job's
block ends) and returns the text for standard output.
"""

import os

from . import benchmark, repetitions, report, textfiles
from .benchmark.common import listing
from .messages import PROG


def _plural(n, noun):
    return f"{n} {noun}{'s' if n != 1 else ''}"


def heading(text, style):
    """A table's heading line in the style of the table (text, markdown or latex)."""
    return {"text": f"{text}\n", "markdown": f"**{text}**\n\n", "latex": f"% {text}\n"}[style]


def dataset_name(request):
    """The data set's name in the outputs: --dataset, else the annotation folder's name."""
    return request.dataset or os.path.basename(os.path.normpath(os.path.abspath(request.anno)))


def _command(request):
    return [PROG] + list(request.argv)


def _scores_csv(evaluation, per_sequence):
    return report.format_sequences_csv(evaluation) if per_sequence else report.format_csv(evaluation)


def fuse_report(job):
    """The fused track of given result files, into -o or as the text for standard output."""
    if job.tracks is None:  # results folders: fuse_results staged the folder
        return ""
    text = textfiles.format_boxes(job.tracks)
    if job.target is None:
        return text
    job.target.write(text.encode())
    return ""


def eval_report(job):
    request, evaluation, rows = job.request, job.evaluation, job.rows
    # Plots and the page title each attribute by its full name; the plot files keep the abbreviation.
    titled = [(report.attribute_title(attribute), count, scores) for attribute, count, scores in rows]
    dataset = dataset_name(request)
    count = f"{len(evaluation.sequences)} sequence" + ("s" if len(evaluation.sequences) != 1 else "")
    spreads = repetitions.spreads(evaluation)
    beats = report.beats(evaluation)
    if request.html:
        from . import page
        job.files["html"].write(page.evaluation_page(evaluation, dataset, titled, command=_command(request),
                                                     beats=beats).encode())
    if job.plot is not None:
        from . import plots
        order = [r.name for r in evaluation.trackers]  # colours by rank in the success plot
        plots.write_plots(job.plot, evaluation.trackers, dataset, order, request.plot_format, titled,
                          evaluation.protocol)
    if request.csv:
        job.files["csv"].write(_scores_csv(evaluation, request.per_sequence).encode())
    if request.json:
        document = report.results_json(
            [report.dataset_json(evaluation, dataset, request.per_sequence, rows)], _command(request), job.parameters)
        job.files["json"].write(document.encode())
    text = heading(f"{dataset}: {count}" + ("" if request.protocol == "pysot" else f", {request.protocol} protocol"),
                   request.format) + report.format_table(evaluation, request.format)
    if request.per_sequence:
        text += "\n" + report.format_sequences(evaluation, request.format)
    summary = beats + report.format_spreads(spreads)
    if summary:
        text += "\n" + "\n".join(summary) + "\n"
    if rows:
        text += "\n" + report.format_attributes(rows, request.format)
    return text


def _emit(target, text, summary):
    """The file of weights or select into -o (and its summary for standard output), or the file itself."""
    if target is None:
        return text
    target.write(text.encode())
    return summary


def weights_report(job):
    dataset, weights = job.dataset, job.weights
    comment = (f"velmora tracker weights: mean attraction to the annotation over {len(dataset.sequences)} "
               f"sequences ({dataset.frames} frames)")
    return _emit(job.target, textfiles.format_weights(dataset.names, weights, comment),
                 "".join(f"{name}\t{w:.4f}\n" for name, w in sorted(zip(dataset.names, weights), key=lambda p: -p[1])))


def select_report(job):
    dataset, selection = job.dataset, job.selection
    comment = (f"velmora tracker selection: {len(selection.kept)} of {len(dataset.names)} trackers kept, mean "
               f"overlap {selection.before:.4f} with all, {selection.after:.4f} with these")
    return _emit(job.target, textfiles.format_names(selection.kept, comment),
                 comment.split(": ", 1)[1] + "\nkept: " + ", ".join(selection.kept) + "\n")


def crossval_report(job):
    request, bench, held, how, mode = job.request, job.bench, job.held, job.how, job.mode
    evaluation = held.evaluation
    dataset = dataset_name(request)
    folds = [{"train": f.train, "test": f.test, "weights": f.weights, "selection": f.selection} for f in held.folds]
    record = {"protocol": "train/test lists" if request.train else "K folds", "mode": mode,
              "seed": None if request.train else request.seed, "folds": folds}
    if request.html:  # made before the first output is written
        from . import page
        html = page.evaluation_page(evaluation, dataset, folds=held.folds, command=_command(request),
                                    summary=f"{_plural(len(evaluation.sequences), 'sequence')} held out, {how}, "
                                            f"{mode}", beats=report.beats(evaluation)).encode()
    if request.csv:
        job.files["csv"].write(_scores_csv(evaluation, request.per_sequence).encode())
    if request.json:
        document = report.results_json([report.dataset_json(evaluation, dataset, request.per_sequence)],
                                       _command(request), job.parameters, {"crossval": record})
        job.files["json"].write(document.encode())
    if job.folder is not None:
        fused = [(bench.names[k] + ".txt", textfiles.format_boxes(boxes).encode()) for k, boxes in held.fused.items()]
        benchmark.write_fused(job.folder, fused, {"trackers": [t.name for t in bench.trackers], "crossval": record,
                                                  "parameters": job.fused_parameters})
    if request.html:
        job.files["html"].write(html)
    count = f"{len(evaluation.sequences)} sequence" + ("s" if len(evaluation.sequences) != 1 else "")
    text = heading(f"{dataset}: {count} held out, {how}, {mode}", request.format)
    text += report.format_table(evaluation, request.format)
    if request.per_sequence:
        text += "\n" + report.format_sequences(evaluation, request.format)
    lines = []
    for i, fold in enumerate(held.folds, 1):
        weights = ", ".join(f"{n} {w:.4g}" for n, w in fold.weights.items())
        lines.append(f"fold {i}: learnt on {len(fold.train)} sequences, tested on {len(fold.test)} "
                     f"({listing(fold.test, 3)}); weights {weights}; kept {', '.join(fold.selection)}")
    return text + "\n" + "\n".join(report.beats(evaluation) + lines) + "\n"
