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
import dataclasses
import sys

from . import benchmark, check_params, outputs, rendering, streaming, streams
from .messages import PROG, Reporter
from .textfiles import InputError
from ._version import __version__


# ---- The commands: each makes one call into the benchmark layer and renders its record ----


_out = streams.write


def _names(text):
    """The names of a comma-separated list (--trackers, --fused)."""
    return [n.strip() for n in text.split(",") if n.strip()]


def _request(kind, args):
    """The command's request: each of its fields from the option of that name."""
    values = {f.name: getattr(args, f.name) for f in dataclasses.fields(kind) if hasattr(args, f.name)}
    if "trackers" in values:
        values["trackers"] = _names(values["trackers"]) if values["trackers"] else None
    if "fused" in values:
        values["fused"] = _names(values["fused"]) if values["fused"] else ()
    return kind(**values)


def _run_fuse(args, reporter):
    request = _request(benchmark.FuseRequest, args)
    fuse = benchmark.fuse_files_job if request.given_files() else benchmark.fuse_job
    with fuse(request, reporter) as job:
        text = rendering.fuse_report(job)
    if text:
        _out(text)
    return 0


def _run_eval(args, reporter):
    with benchmark.eval_job(_request(benchmark.EvalRequest, args), reporter) as job:
        text = rendering.eval_report(job)
    _out(text)
    return 0


def _run_weights(args, reporter):
    with benchmark.weights_job(_request(benchmark.WeightsRequest, args), reporter) as job:
        text = rendering.weights_report(job)
    _out(text)
    return 0


def _run_select(args, reporter):
    with benchmark.select_job(_request(benchmark.SelectRequest, args), reporter) as job:
        text = rendering.select_report(job)
    _out(text)
    return 0


def _run_crossval(args, reporter):
    with benchmark.crossval_job(_request(benchmark.CrossvalRequest, args), reporter) as job:
        text = rendering.crossval_report(job)
    _out(text)
    return 0


# ---- stream ----

def _run_stream(args, reporter):
    if args.lag is not None and not args.trajectory:
        args.parser.error("--lag applies to --trajectory only")
    streaming.fuse_stream(sys.stdin.buffer, _out, args.trackers, args.weights, args.selection, args.trajectory,
                          args.lag, not args.no_refine, reporter, alpha=args.alpha, beta=args.beta, sigma=args.sigma)
    return 0


# ---- Command line ----

_FORMAT = argparse.RawDescriptionHelpFormatter  # keeps the paragraphs of the descriptions


def _parameter(name):
    """The type of the option of the fusion parameter `name`: a number the library accepts for it,
    as velmora.check_params, the one check of a parameter's value, says."""
    def parameter(text):
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        try:
            check_params(**{name: value})
        except ValueError as e:
            raise argparse.ArgumentTypeError(str(e).split(": ", 1)[1]) from None
        return value
    return parameter


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
    g.add_argument("--alpha", type=_parameter("alpha"), help="divides the size terms of the box distance (default 4)")
    if beta:
        g.add_argument("--beta", type=_parameter("beta"),
                       help="weight of the agreement between consecutive frames in the trajectory (default 20)")
    g.add_argument("--sigma", type=_parameter("sigma"), help="additive constant of every box attraction (default 0.03)")


def _add_common(p):
    """The options every command on result folders takes (all of them read an annotation)."""
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
    p.add_argument("--protocol", choices=sorted(benchmark.PROTOCOLS), default="pysot",
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
    p.add_argument("--protocol", choices=sorted(benchmark.PROTOCOLS), default="pysot", help="as in eval")
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
            try:
                status = args.run(args, reporter)
            except benchmark.UsageError as e:  # bad usage found on the way
                args.parser.error(str(e))
        except SystemExit as e:
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
