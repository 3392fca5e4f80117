"""The velmora command: fuse tracker result files, score them as benchmarks do, choose trackers.

    velmora fuse     fuse the trackers of one sequence or of every sequence of a results root
    velmora eval     score tracker folders against an annotation folder (success, precision, ...)
    velmora weights  learn tracker weights on an annotated results root
    velmora select   drop the trackers that do not help the fusion on an annotated results root
    velmora crossval learn weights and a selection on some sequences, score the fusion on the others
    velmora stream   fuse live trackers' boxes read from standard input, each frame as soon as it is final

Results go to files or standard output, messages and progress to standard error. Exit status:
0 on success, 1 on input the tool cannot use (the message names the file), 2 on bad usage.
"""

import argparse
import contextlib
import os
import sys

import numpy as np

from . import benchmark, layouts, metrics, repetitions, report, sequences, streaming
from .benchmark import fusing, reading
from .benchmark.common import listing
from . import textfiles
from .textfiles import InputError
from .messages import PROG, Reporter
from . import outputs, streams
from .outputs import Inputs, Outputs
from ._version import __version__

# ---- Output on standard output ----


_out = streams.write


def _listing(names, limit=5):
    return listing(names, limit)


def _plural(n, noun):
    return f"{n} {noun}{'s' if n != 1 else ''}"


# ---- Reading what a command names ----

def _restriction(args):
    """The tracker names of --trackers or --selection, in order, or None."""
    if getattr(args, "trackers", None):
        names = [n.strip() for n in args.trackers.split(",") if n.strip()]
        if len(set(names)) != len(names):
            args.parser.error("--trackers names a tracker twice")
        return names
    if getattr(args, "selection", None):
        return textfiles.read_names(args.selection)
    return None


def _match(args, reporter, annotations=None):
    results = benchmark.find_results(args.paths, getattr(args, "dataset", None))
    names = _restriction(args)
    listed = None
    if getattr(args, "sequences", None):
        listed = textfiles.read_names(args.sequences)
        try:
            return benchmark.match(results, annotations, reporter, names, getattr(args, "first_line_corners", False),
                                   listed)
        except sequences.ListError as e:
            raise InputError(f"{args.sequences}: {e}") from None
    try:
        return benchmark.match(results, annotations, reporter, names, getattr(args, "first_line_corners", False))
    except InputError as e:
        if names is not None and getattr(args, "trackers", None):
            args.parser.error(str(e))
        raise InputError(f"{args.selection}: {e}" if getattr(args, "selection", None) else str(e)) from None


def _inputs(bench, args):
    """Every file and folder the command reads, registered before any output is checked."""
    inputs = benchmark.register_inputs(bench, use_flags=not getattr(args, "no_absence", False))
    for option in ("weights", "selection", "sequences", "train", "test"):
        path = getattr(args, option, None)
        if path:
            inputs.file(path)
    attributes = getattr(args, "attributes", None)
    if attributes:
        if os.path.isdir(attributes):
            inputs.folder(attributes, "the attributes")
        else:
            inputs.file(attributes)
    return inputs



def _tracker_weights(names, args):
    if not getattr(args, "weights", None):
        return None
    table = textfiles.read_weights(args.weights)
    missing = [n for n in names if n not in table]
    if missing:
        raise InputError(f"{args.weights}: no weight for tracker {_listing(missing)}")
    return [table[n] for n in names]


def _parameters(args, beta=True):
    names = ("alpha", "beta", "sigma") if beta else ("alpha", "sigma")
    return {k: getattr(args, k, None) for k in names}


@contextlib.contextmanager
def _refused(where):
    """Turns the library's refusal of an input (ValueError) into an error naming the input."""
    try:
        yield
    except ValueError as e:
        raise InputError(f"{where}: the library refused the input: {e}") from None


def _say_what_was_read(bench, reporter, flagged=None, nan_lines=0):
    for line in benchmark.describe(bench, None if flagged is None else (flagged, nan_lines)):
        reporter.note(line)


# ---- fuse ----

def _fuse_options(args):
    return dict(trajectory=args.trajectory, backtracking=not args.no_backtracking, refine=not args.no_refine,
                lag=args.lag)


def _run_fuse(args, reporter):
    paths = args.paths
    files = [p for p in paths if os.path.isfile(p)]
    folders = [p for p in paths if os.path.isdir(p)]
    for p in paths:
        if p not in files and p not in folders:
            raise InputError(f"{p}: no such file or folder")
    if files and folders:
        args.parser.error("give either the result files of one sequence or results folders, not both")
    if files and args.sequences:
        args.parser.error("--sequences applies to results folders, not to the result files of one sequence")
    if args.no_backtracking and not args.trajectory:
        args.parser.error("--no-backtracking applies to --trajectory only")
    if args.lag is not None and (not args.trajectory or args.no_backtracking):
        args.parser.error("--lag applies to --trajectory only (--lag 0 is --no-backtracking)")
    if files:
        return _fuse_files(args, files, reporter)
    if not args.output:
        args.parser.error("fusing results folders needs -o/--output, the folder of the fused results")
    annotations = benchmark.find_annotations(args.anno) if args.anno else None
    bench = _match(args, reporter, annotations)
    with Outputs(_inputs(bench, args)) as out:
        folder = out.folder(args.output, "-o")
        weights = _tracker_weights([t.name for t in bench.trackers], args)
        _say_what_was_read(bench, reporter)
        mode = "trajectory optimisation" if args.trajectory else "frame by frame"
        reporter.note(f"fusing {len(bench.trackers)} trackers ({_listing(t.name for t in bench.trackers)}) on "
                      f"{len(bench.keys)} sequences, {mode}")
        with _refused(args.paths[0]):
            benchmark.fuse_results(bench, folder, weights, repetition=args.repetition, reporter=reporter,
                                   layout=args.layout, **_fuse_options(args), **_parameters(args))
        out.commit()
    return 0


def _file_tracker_names(files):
    parents = [os.path.basename(os.path.dirname(os.path.abspath(f))) for f in files]
    return parents if len(set(parents)) == len(parents) else list(files)


def _fuse_files(args, files, reporter):
    names = _file_tracker_names(files)
    chosen = _restriction(args)
    if chosen is not None:
        unknown = [n for n in chosen if n not in names]
        if unknown:
            message = f"no tracker named {_listing(unknown)} (known: {_listing(sorted(names), 10)})"
            if args.trackers:
                args.parser.error(message)
            raise InputError(f"{args.selection}: {message}")
        files = [files[names.index(n)] for n in chosen]
        names = chosen
    inputs = Inputs()
    for path, name in zip(files, names):
        inputs.folder(os.path.dirname(os.path.abspath(path)), f"the results of tracker {name}", tracker=True)
    for path in files + [p for p in (args.anno, args.weights, args.selection) if p]:
        inputs.file(path)
    with Outputs(inputs) as out:
        target = out.file(args.output, "-o") if args.output else None
        fused = _fuse_sequence_files(args, files, names, reporter)
        if target is None:
            _out(textfiles.format_boxes(fused))
            return 0
        target.write(textfiles.format_boxes(fused).encode())
        out.commit()
    return 0


def _fuse_sequence_files(args, files, names, reporter):
    weights = _tracker_weights(names, args)
    truth = None
    if args.anno:
        if not os.path.isfile(args.anno):
            raise InputError(f"{args.anno}: with result files, --anno names the annotation file of their sequence")
        truth = benchmark.read_truth(layouts.AnnotatedSequence(os.path.basename(args.anno)[:-4],
                                                                         args.anno), use_flags=False)
    log = benchmark.ReadLog()
    tracks = [benchmark.read_result(f, truth=truth, log=log, tracker=n) for f, n in zip(files, names)]
    log.report(reporter)
    frames = len(truth.boxes) if truth is not None else max(len(t) for t in tracks)
    tracks = reading._aligned(tracks, files, frames, args.anno, reporter)
    name = os.path.basename(files[0])[:-4]
    with _refused(files[0]):
        return benchmark.fuse_sequence(tracks, weights, name=name, reporter=reporter, **_fuse_options(args),
                                       **_parameters(args))


# ---- eval ----

def _heading(text, style):
    return {"text": f"{text}\n", "markdown": f"**{text}**\n\n", "latex": f"% {text}\n"}[style]



def _run_eval(args, reporter):
    for option in ("plot", "html"):
        if getattr(args, option):
            report.require_plotting("--" + option)
    annotations = benchmark.find_annotations(args.anno)
    bench = _match(args, reporter, annotations)
    with Outputs(_inputs(bench, args)) as out:
        files = {option: out.file(getattr(args, option), "--" + option) for option in ("csv", "json", "html")
                 if getattr(args, option)}
        plot = out.folder(args.plot, "--plot") if args.plot else None
        text = _evaluate(args, reporter, bench, annotations, files, plot)
        out.commit()
    _out(text)
    return 0


def _evaluate(args, reporter, bench, annotations, files, plot):
    """The scores of eval: its files staged, the text for standard output returned."""
    attributes = None
    if args.attributes is not None:
        from . import attributes as attribute_files
        attributes = attribute_files.read_attributes(args.attributes or None, annotations, reporter)
    fused = [n.strip() for n in args.fused.split(",") if n.strip()] if args.fused else []
    unknown = [n for n in fused if n not in {t.name for t in bench.trackers}]
    if unknown:
        args.parser.error(f"--fused: no tracker named {_listing(unknown)} (known: "
                          f"{_listing(sorted(t.name for t in bench.trackers), 10)})")
    evaluation = benchmark.evaluate(bench, not args.no_absence, reporter, args.protocol, fused,
                                    timelines=bool(args.html))
    _say_what_was_read(bench, reporter, evaluation.flagged, evaluation.nan_lines)
    rows = benchmark.by_attribute(evaluation, bench, attributes) if attributes is not None else []
    if attributes is not None and not rows:
        reporter.warn(f"--attributes {args.attributes or args.anno}: names no attribute of the "
                      f"{len(evaluation.sequences)} sequences scored; no rows per attribute")
    # Plots and the page title each attribute by its full name; the plot files keep the abbreviation.
    titled = [(report.attribute_title(attribute), count, scores) for attribute, count, scores in rows]
    dataset = args.dataset or os.path.basename(os.path.normpath(os.path.abspath(args.anno)))
    count = f"{len(evaluation.sequences)} sequence" + ("s" if len(evaluation.sequences) != 1 else "")
    if args.html:  # made before the first output is written
        from . import page
        html = page.evaluation_page(evaluation, dataset, titled, command=[PROG] + list(args.argv)).encode()
    if args.csv:
        text = report.format_sequences_csv(evaluation) if args.per_sequence else report.format_csv(evaluation)
        files["csv"].write(text.encode())
    if args.json:
        document = report.results_json(
            [report.dataset_json(evaluation, dataset, args.per_sequence, rows)], [PROG] + list(args.argv),
            _library_parameters())
        files["json"].write(document.encode())
    if plot is not None:
        from . import plots
        order = [r.name for r in evaluation.trackers]  # colours by rank in the success plot
        plots.write_plots(plot, evaluation.trackers, dataset, order, args.plot_format, titled, evaluation.protocol)
    if args.html:
        files["html"].write(html)
    text = _heading(f"{dataset}: {count}" + ("" if args.protocol == "pysot" else f", {args.protocol} protocol"),
                    args.format) + report.format_table(evaluation, args.format)
    if args.per_sequence:
        text += "\n" + report.format_sequences(evaluation, args.format)
    summary = report.beats(evaluation) + report.format_spreads(repetitions.spreads(evaluation))
    if summary:
        text += "\n" + "\n".join(summary) + "\n"
    if rows:
        text += "\n" + report.format_attributes(rows, args.format)
    return text


def _library_parameters():
    import velmora
    return velmora.get_params()


# ---- weights and select ----

def _emit(out, target, text, summary):
    """The file of weights or select: to its output (and its summary to standard output), or standard output."""
    if target is None:
        _out(text)
        return
    target.write(text.encode())
    out.commit()
    _out(summary)


def _annotated(args, reporter, out):
    """The matched benchmark of weights and select, and their -o file (None for standard output),
    checked against every input."""
    annotations = benchmark.find_annotations(args.anno)
    bench = _match(args, reporter, annotations)
    out.inputs = _inputs(bench, args)
    return bench, out.file(args.output, "-o") if args.output else None


def _run_weights(args, reporter):
    with Outputs() as out, _refused(args.anno):
        bench, target = _annotated(args, reporter, out)
        reporter.note(f"learning weights of {len(bench.trackers)} trackers on {len(bench.keys)} sequences")
        dataset, weights = benchmark.learn_weights_streaming(bench, not args.no_absence, reporter,
                                                             **_parameters(args, beta=False))
        _say_what_was_read(bench, reporter, dataset.flagged, dataset.nan_lines)
        comment = (f"velmora tracker weights: mean attraction to the annotation over {len(dataset.sequences)} "
                   f"sequences ({dataset.frames} frames)")
        _emit(out, target, textfiles.format_weights(dataset.names, weights, comment),
              "".join(f"{name}\t{w:.4f}\n" for name, w in sorted(zip(dataset.names, weights), key=lambda p: -p[1])))
    return 0


def _run_select(args, reporter):
    with Outputs() as out, _refused(args.anno):
        bench, target = _annotated(args, reporter, out)
        dataset = benchmark.build_dataset(bench, not args.no_absence, args.trajectory, reporter)
        _say_what_was_read(bench, reporter, dataset.flagged, dataset.nan_lines)
        weights = _tracker_weights(dataset.names, args)
        if weights is None:
            reporter.note(f"learning weights of {len(dataset.names)} trackers on {len(dataset.sequences)} sequences")
        reporter.note(f"global tracker removal over {len(dataset.sequences)} sequences "
                      f"({'trajectory optimisation' if args.trajectory else 'frame by frame'})")
        selection = benchmark.select_trackers(dataset, weights, args.trajectory, **_parameters(args))
        comment = (f"velmora tracker selection: {len(selection.kept)} of {len(dataset.names)} trackers kept, mean "
                   f"overlap {selection.before:.4f} with all, {selection.after:.4f} with these")
        _emit(out, target, textfiles.format_names(selection.kept, comment),
              comment.split(": ", 1)[1] + "\nkept: " + ", ".join(selection.kept) + "\n")
    return 0


# ---- crossval ----

def _run_crossval(args, reporter):
    if (args.train is None) != (args.test is None):
        args.parser.error("--train and --test go together")
    if args.train is not None and args.folds is not None:
        args.parser.error("give either --folds or --train and --test")
    if args.no_backtracking and not args.trajectory:
        args.parser.error("--no-backtracking applies to --trajectory only")
    if args.html:
        report.require_plotting("--html")
    annotations = benchmark.find_annotations(args.anno)
    bench = _match(args, reporter, annotations)
    with Outputs(_inputs(bench, args)) as out:
        files = {option: out.file(getattr(args, option), "--" + option) for option in ("csv", "json", "html")
                 if getattr(args, option)}
        folder = out.folder(args.output, "-o") if args.output else None
        text = _held_out(args, reporter, bench, files, folder)
        out.commit()
    _out(text)
    return 0


def _held_out(args, reporter, bench, files, folder):
    """The scores of crossval: its files staged, the text for standard output returned."""
    if args.train is not None:
        splits = benchmark.split(bench, textfiles.read_names(args.train), textfiles.read_names(args.test), reporter)
        how = f"trained on {args.train}, tested on {args.test}"
    else:
        splits = benchmark.folds(bench, args.folds or 5, args.seed)
        how = f"{len(splits)} folds (seed {args.seed})"
    mode = "trajectory optimisation" if args.trajectory else "frame by frame"
    reporter.note(f"held-out learning on {len(bench.keys)} sequences: {how}, {mode}")
    with _refused(args.anno):
        held = benchmark.crossval(bench, splits, args.trajectory, not args.no_backtracking, not args.no_refine,
                                  not args.no_select, not args.no_absence, args.protocol, args.name, reporter,
                                  timelines=bool(args.html), **_parameters(args))
    evaluation = held.evaluation
    _say_what_was_read(bench, reporter, evaluation.flagged, evaluation.nan_lines)
    dataset = args.dataset or os.path.basename(os.path.normpath(os.path.abspath(args.anno)))
    folds = [{"train": f.train, "test": f.test, "weights": f.weights, "selection": f.selection} for f in held.folds]
    record = {"protocol": "train/test lists" if args.train else "K folds", "mode": mode,
              "seed": None if args.train else args.seed, "folds": folds}
    if args.html:  # made before the first output is written
        from . import page
        html = page.evaluation_page(evaluation, dataset, folds=held.folds, command=[PROG] + list(args.argv),
                                    summary=f"{_plural(len(evaluation.sequences), 'sequence')} held out, {how}, "
                                            f"{mode}").encode()
    if args.csv:
        text = report.format_sequences_csv(evaluation) if args.per_sequence else report.format_csv(evaluation)
        files["csv"].write(text.encode())
    if args.json:
        document = report.results_json([report.dataset_json(evaluation, dataset, args.per_sequence)],
                                       [PROG] + list(args.argv), _library_parameters(), {"crossval": record})
        files["json"].write(document.encode())
    if folder is not None:
        fused = [(bench.names[k] + ".txt", textfiles.format_boxes(boxes).encode()) for k, boxes in held.fused.items()]
        benchmark.write_fused(folder, fused, {"trackers": [t.name for t in bench.trackers], "crossval": record,
                                              "parameters": fusing._parameters_in_force(_parameters(args))})
    if args.html:
        files["html"].write(html)
    count = f"{len(evaluation.sequences)} sequence" + ("s" if len(evaluation.sequences) != 1 else "")
    text = _heading(f"{dataset}: {count} held out, {how}, {mode}", args.format)
    text += report.format_table(evaluation, args.format)
    if args.per_sequence:
        text += "\n" + report.format_sequences(evaluation, args.format)
    lines = []
    for i, fold in enumerate(held.folds, 1):
        weights = ", ".join(f"{n} {w:.4g}" for n, w in fold.weights.items())
        lines.append(f"fold {i}: learnt on {len(fold.train)} sequences, tested on {len(fold.test)} "
                     f"({_listing(fold.test, 3)}); weights {weights}; kept {', '.join(fold.selection)}")
    return text + "\n" + "\n".join(report.beats(evaluation) + lines) + "\n"


# ---- stream ----

def _run_stream(args, reporter):
    if args.lag is not None and not args.trajectory:
        args.parser.error("--lag applies to --trajectory only")
    trackers = streaming.stream_trackers(args.trackers, args.weights, args.selection)
    lag = args.lag or 0
    live = streaming.LiveFusion(len(trackers.fused), trackers.weights, args.trajectory, lag if args.trajectory else 0,
                                not args.no_refine, **_parameters(args, beta=args.trajectory))
    named = f" (named by {trackers.source})" if trackers.source else ""
    fused = "all" if len(trackers.fused) == args.trackers else _listing([trackers.names[k] for k in trackers.fused])
    mode = f"trajectory optimisation, lag {lag}" if args.trajectory else "frame by frame"
    reporter.note(f"reading frames of {args.trackers} boxes from standard input, trackers "
                  f"{_listing(trackers.names)}{named}; fusing {fused}, {mode}; each fused box is written as soon as "
                  "it is final")
    try:
        streaming.run_stream(sys.stdin.buffer, _out, live, trackers)
    finally:
        live.report(reporter, "standard input")
    return 0


# ---- Command line ----

_FORMAT = argparse.RawDescriptionHelpFormatter  # keeps the paragraphs of the descriptions


def _number(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if np.isnan(value) or not textfiles.finite_float32(value):
        raise argparse.ArgumentTypeError(f"must be finite as a float32: {text!r}")
    return value


def _positive_number(text):
    value = _number(text)
    if not np.float32(value) > 0:
        raise argparse.ArgumentTypeError(f"must be above 0 as a float32: {text!r}")
    return value


def _whole(least):
    def whole(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < least:
            raise argparse.ArgumentTypeError(f"must be {least} or more: {text!r}")
        return value
    return whole


_count = _whole(1)


def _frames(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more: {text!r}")
    return value


def _add_parameters(p, beta=True):
    g = p.add_argument_group("fusion parameters (library defaults when omitted)")
    g.add_argument("--alpha", type=_positive_number, help="divides the size terms of the box distance (default 4)")
    if beta:
        g.add_argument("--beta", type=_number,
                       help="weight of the agreement between consecutive frames in the trajectory (default 20)")
    g.add_argument("--sigma", type=_positive_number, help="additive constant of every box attraction (default 0.03)")


def _add_common(p):
    if "--anno" in p._option_string_actions:
        p.add_argument("--first-line-corners", action="store_true",
                       help="read a result's first line as corners x1,y1,x2,y2 where only that reading matches the "
                            "annotation (a fault of some published result sets, which the command warns about)")
    p.add_argument("--sequences", metavar="FILE",
                   help="only the sequences this file names, one per line (as the LaSOT toolkit's testing_set.txt)")
    p.add_argument("--dataset", metavar="NAME",
                   help="the data set: picks its folder in a pysot results root, and names it in the output")
    p.add_argument("-q", "--quiet", action="store_true", help="no notes or progress on standard error")


def _add_annotated(p):
    """The results to read and their annotation, as eval, weights and select take them."""
    p.add_argument("paths", nargs="+", metavar="PATH", help="results roots or tracker folders")
    p.add_argument("--anno", required=True, metavar="DIR", help="annotation folder")
    p.add_argument("--no-absence", action="store_true", help="ignore absence flags: use every frame")


def _add_trackers(p):
    g = p.add_mutually_exclusive_group()
    g.add_argument("--trackers", metavar="NAMES", help="comma-separated tracker names to use, in this order")
    g.add_argument("--selection", metavar="FILE", help="file of tracker names to use, as 'velmora select' writes")


def build_parser():
    parser = argparse.ArgumentParser(prog=PROG, formatter_class=_FORMAT, description=__doc__.split("\n\n")[0],
                                     epilog="Run 'velmora COMMAND --help' for the options of a command.")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    p = sub.add_parser("fuse", formatter_class=_FORMAT,
                       help="fuse the trackers of one sequence or of a results root",
                       description="""Fuses tracker results into one track per sequence.

Give the result files of one sequence (one per tracker; written to -o FILE or standard output), or
results roots / tracker folders (every sequence that all trackers have is fused, written to the
folder -o DIR, a tracker folder that 'velmora eval' reads like any other).

Layouts (--layout; default: the one all inputs share, else plain):
  plain   <sequence>.txt
  got10k  <sequence>/<sequence>_001.txt (one per repetition) and <sequence>_time.txt, what GOT-10k's
          server takes: a frame's time is the trackers' times plus the fusion's own
  vot     unsupervised/<sequence>/<sequence>_001.txt, the VOT toolkit's runs without resets (first
          line 1): a fused track is never re-initialised, so VOT inputs are never written as baseline

Frame by frame, a tracker whose box is lost (a NaN or zero line) takes no part in that frame; the
trajectory optimisation takes lost boxes as zero boxes. A frame in which every tracker lost the
target is written as 0,0,0,0. A tracker with fewer boxes than the others (or than the annotation,
with --anno) takes no part in the frames it lacks. Trackers are named after their folders.""")
    p.add_argument("paths", nargs="+", metavar="PATH", help="result files of one sequence, or results folders")
    p.add_argument("-o", "--output", metavar="OUT", help="fused file (one sequence) or folder (results folders)")
    p.add_argument("--anno", metavar="PATH",
                   help="annotation folder (or file, with result files): the fused tracks cover its frames and "
                        "take its sequence names")
    p.add_argument("--trajectory", action="store_true", help="trajectory optimisation instead of frame-by-frame fusion")
    p.add_argument("--no-backtracking", action="store_true",
                   help="with --trajectory: each frame takes the best path ending there (no look-ahead)")
    p.add_argument("--lag", type=_frames, metavar="L",
                   help="with --trajectory: write what a live run with lag L gives ('velmora stream --lag L'): frame "
                        "t looks ahead to frame t + L only")
    p.add_argument("--no-refine", action="store_true",
                   help="keep the chosen tracker boxes, without the unit-step climb")
    p.add_argument("--weights", metavar="FILE", help="tracker weights, as 'velmora weights' writes them")
    p.add_argument("--layout", choices=["plain", "got10k", "vot"],
                   help="the output layout (default: the layout all inputs share, else plain)")
    p.add_argument("--repetition", type=_count, metavar="K",
                   help="fuse repetition K of every tracker (default: each repetition with its like in the "
                        "GOT-10k layout, else the first)")
    _add_trackers(p)
    _add_parameters(p)
    _add_common(p)
    p.set_defaults(run=_run_fuse, parser=p)

    p = sub.add_parser("eval", formatter_class=_FORMAT, help="score trackers against an annotation folder",
                       description="""Scores tracker folders with the one-pass measures of tracking benchmarks.

Prints, best first: AUC of the success plot (21 overlap thresholds 0..1), precision at 20 pixels,
normalised precision at 0.2, OP50 and OP75 (the shares of frames with an overlap above 0.5 and
0.75), the library's own mean overlap (first frame counted as 1, no absence flags) and the frames
scored. With --protocol got10k: GOT-10k's AO, SR0.5 and SR0.75, and the frames they pool. Trackers
with repetitions also get the mean and standard deviation of their AUC (AO) over the repetitions.
Only the annotated sequences that every tracker has are scored; the others are reported. A result file with more or fewer boxes than its annotation is reported and
scored on the frames both have. Absence flags (absent.txt, full_occlusion.txt, out_of_view.txt,
absence.label in a sequence folder, or the LaSOT toolkit's absent/ folder) take the flagged frames
out of every count but not out of the divisor.""")
    _add_annotated(p)
    p.add_argument("--protocol", choices=sorted(metrics.PROTOCOLS), default="pysot",
                   help="whose rules the scores follow: pysot (default), otb, lasot, pytracking, or got10k "
                        "(GOT-10k's AO and success rates first)")
    p.add_argument("--format", choices=["text", "markdown", "latex"], default="text",
                   help="the table on standard output: for a terminal (default), or ready for a paper")
    p.add_argument("--csv", metavar="FILE",
                   help="also write every measure as CSV (with --per-sequence: a row per tracker and sequence)")
    p.add_argument("--json", metavar="FILE",
                   help="also write every measure and curve as JSON, with how they were made (results.schema.json)")
    p.add_argument("--per-sequence", action="store_true",
                   help="also report every tracker on every sequence, and in how many sequences fused tracks beat "
                        "the single trackers")
    p.add_argument("--attributes", nargs="?", const="", metavar="SOURCE",
                   help="also report per attribute: from the annotation's own files (OTB's attrs.txt, the LaSOT "
                        "toolkit's att/), or from a folder of such files or a CSV file")
    p.add_argument("--fused", metavar="NAMES",
                   help="comma-separated trackers that are fused tracks (folders velmora fuse wrote are known)")
    p.add_argument("--plot", metavar="DIR",
                   help="draw the success, precision and normalised precision plots there (and one success plot "
                        "per attribute)")
    p.add_argument("--plot-format", choices=["png", "pdf", "svg"], default="png", help="image format of the plots")
    p.add_argument("--html", metavar="FILE",
                   help="also write one self-contained HTML page: the tables (sortable), the plots, and per sequence "
                        "its overlap over time")
    _add_trackers(p)
    _add_common(p)
    p.set_defaults(run=_run_eval, parser=p)

    p = sub.add_parser("weights", formatter_class=_FORMAT, help="learn tracker weights on an annotated results root",
                       description="""Learns one weight per tracker: its mean attraction to the annotation.

Trackers are the sub-folders of the results root(s), in name order; the weights file names them.
Frames whose annotation is empty or flagged absent are left out.""")
    _add_annotated(p)
    p.add_argument("-o", "--output", metavar="FILE", help="weights file (default: standard output)")
    _add_trackers(p)
    _add_parameters(p, beta=False)
    _add_common(p)
    p.set_defaults(run=_run_weights, parser=p)

    p = sub.add_parser("select", formatter_class=_FORMAT, help="drop the trackers that do not help the fusion",
                       description="""Global tracker removal: starting from all trackers, tries dropping them
in ascending order of weight and keeps a drop when the fused data set's mean overlap rises.

Writes the kept tracker names, one per line, for 'velmora fuse --selection'. Without --weights the
weights are learnt first, as 'velmora weights' does. With --trajectory, frames in which any tracker
lost the target are left out, since the trajectory optimisation needs a box in every frame.""")
    _add_annotated(p)
    p.add_argument("-o", "--output", metavar="FILE", help="selection file (default: standard output)")
    p.add_argument("--weights", metavar="FILE", help="tracker weights (default: learnt on the same data)")
    p.add_argument("--trajectory", action="store_true", help="score the fusion with trajectory optimisation")
    p.add_argument("--trackers", metavar="NAMES", help="comma-separated tracker names to choose from")
    _add_parameters(p)
    _add_common(p)
    p.set_defaults(run=_run_select, parser=p)

    p = sub.add_parser("crossval", formatter_class=_FORMAT, help="learn on some sequences, score fusion on the others",
                       description="""Held-out learning: weights and a tracker selection learnt on the training
sequences of each fold fuse its test sequences, and the fused tracks are scored beside every tracker
and beside the in-sample fusion (learnt on the very sequences it is scored on, which flatters it).

Folds: --folds K splits the sequences, in name order shuffled with --seed, into K nearly equal
parts, each held out once; --train FILE --test FILE take lists of sequence names, one per line
(as the LaSOT toolkit's testing_set.txt). -o writes the held-out fused tracks as a tracker folder
that eval and the plots treat like any other.""")
    _add_annotated(p)
    g = p.add_argument_group("folds")
    g.add_argument("--folds", type=_whole(2), metavar="K", help="K folds (default 5)")
    g.add_argument("--seed", type=_whole(0), default=0, help="the shuffle of the folds (default 0)")
    g.add_argument("--train", metavar="FILE", help="the training sequences, one name per line")
    g.add_argument("--test", metavar="FILE", help="the test sequences, one name per line")
    p.add_argument("--trajectory", action="store_true", help="trajectory optimisation instead of frame-by-frame fusion")
    p.add_argument("--no-backtracking", action="store_true", help="with --trajectory: no look-ahead")
    p.add_argument("--no-refine", action="store_true", help="keep the chosen tracker boxes")
    p.add_argument("--no-select", action="store_true", help="learn the weights only, keeping every tracker")
    p.add_argument("--name", default="Velmora", help="the name of the fused tracks in the report (default Velmora)")
    p.add_argument("-o", "--output", metavar="DIR", help="write the held-out fused tracks there, as a tracker folder")
    p.add_argument("--protocol", choices=sorted(metrics.PROTOCOLS), default="pysot", help="as in eval")
    p.add_argument("--format", choices=["text", "markdown", "latex"], default="text", help="as in eval")
    p.add_argument("--csv", metavar="FILE", help="as in eval")
    p.add_argument("--json", metavar="FILE", help="as in eval, with each fold's sequences, weights and selection")
    p.add_argument("--per-sequence", action="store_true", help="as in eval")
    p.add_argument("--html", metavar="FILE", help="as in eval, with each fold's weights and selection")
    _add_trackers(p)
    _add_parameters(p)
    _add_common(p)
    p.set_defaults(run=_run_crossval, parser=p)

    p = sub.add_parser("stream", formatter_class=_FORMAT, help="fuse live trackers' boxes from standard input",
                       description="""Live fusion: reads one frame per line from standard input, the boxes of
the N trackers one after another (4N numbers x, y, width, height, in the grammar of box files; a
NaN or zero box is a lost target), and writes each fused box as an x,y,width,height line to
standard output as soon as it is final, flushed at once, so that it can sit in a pipe behind live
trackers. The end of input finishes the stream.

Frame by frame, every line gives its own box at once. With --trajectory, frame t is final once
frame t + L has arrived (--lag L, default 0). Lost boxes follow the rules of 'velmora fuse', which
gives the same boxes on the same frames ('velmora fuse --trajectory --lag L'). The trackers of a
line are those of the --weights file, in its order (else numbers 0 to N-1, which --selection may
list). A bad line stops the stream with an error naming it; the boxes written before it stand.""")
    p.add_argument("--trackers", type=_count, required=True, metavar="N", help="boxes per line")
    p.add_argument("--trajectory", action="store_true", help="trajectory optimisation instead of frame-by-frame fusion")
    p.add_argument("--lag", type=_frames, metavar="L", help="with --trajectory: frames of look-ahead (default 0)")
    p.add_argument("--no-refine", action="store_true", help="keep the chosen tracker boxes")
    p.add_argument("--weights", metavar="FILE",
                   help="tracker weights, as 'velmora weights' writes them: one per tracker, in line order")
    p.add_argument("--selection", metavar="FILE", help="the trackers to fuse, as 'velmora select' writes them")
    _add_parameters(p)
    p.add_argument("-q", "--quiet", action="store_true", help="no notes on standard error")
    p.set_defaults(run=_run_stream, parser=p)
    return parser


def main(argv=None):
    streams.open_standard_streams()
    argv = sys.argv[1:] if argv is None else [str(a) for a in argv]
    reporter = Reporter()
    with outputs.interrupts():  # signals unwind the command; no temporary outlives it
        return _run(argv, reporter)


def _run(argv, reporter):
    try:
        try:
            args = build_parser().parse_args(argv)
        except SystemExit as e:  # --help, --version, or bad usage (argparse said why)
            streams.flush()
            return e.code
        except BrokenPipeError:
            raise
        except OSError as e:  # --help or --version on a full disk
            raise InputError(f"standard output: cannot write: {e.strerror or e}") from None
        args.argv = argv
        reporter.quiet = args.quiet
        try:
            status = args.run(args, reporter)
        except SystemExit as e:  # bad usage found on the way
            return e.code
        streams.flush()
        return status
    except InputError as e:
        reporter.error("error: " + " ".join(str(e).split("\n")))
        return 1
    except BrokenPipeError:
        streams.silence()
        return 1
    except KeyboardInterrupt as e:
        reporter.error("interrupted")
        return 128 + (e.args[0] if e.args and isinstance(e.args[0], int) else 2)
    except MemoryError:
        reporter.error("error: out of memory")
        return 1
    except Exception as e:  # a fault of this tool: one line, never a traceback
        reporter.error(f"error: internal error ({type(e).__name__}: {e}); please report it")
        return 1


if __name__ == "__main__":
    sys.exit(main())
