"""The workflows of the velmora command, one function a command.

Each takes a request (plain values, one field per option of its command) and a Reporter, finds
and matches the inputs, registers every file it reads, checks every output before any work,
computes, and yields a result record, all inside one transaction of outputs: the caller renders
the record (writing the staged outputs) inside the block, and every output is renamed in
together when the block ends without error.

    with benchmark.eval_job(EvalRequest(paths=["results"], anno="annos"), reporter) as job:
        text = rendering.eval_report(job)
"""

import contextlib
import os
from dataclasses import dataclass, field

import numpy as np

from .. import layouts, sequences, textfiles
from ..outputs import Inputs, Outputs
from ..textfiles import InputError
from .common import library, listing, parameters_in_force, require_plotting
from .fused import fuse_files, fuse_results
from .heldout import crossval, folds, split
from .learning import build_dataset, learn_weights_streaming, select_trackers
from .matching import describe, match, register_inputs, weight_list
from .scoring import by_attribute, evaluate


class UsageError(Exception):
    """Options that do not go together, or that name what is not there: the command's usage is at fault."""


@dataclass(kw_only=True)
class Request:
    """What every command may name: its results, their annotation, and which trackers and sequences."""

    paths: list
    anno: str = None
    trackers: list = None  # the tracker names of --trackers, in order
    selection: str = None  # a file of tracker names
    sequences: str = None  # a file of sequence names
    dataset: str = None
    first_line_corners: bool = False
    no_absence: bool = False
    weights: str = None  # a weights file
    alpha: float = None
    beta: float = None
    sigma: float = None
    argv: list = field(default_factory=list)  # the command's arguments, as the outputs record them

    def parameters(self, beta=True):
        names = ("alpha", "beta", "sigma") if beta else ("alpha", "sigma")
        return {k: getattr(self, k) for k in names}


@dataclass(kw_only=True)
class FusingRequest(Request):
    """A command that fuses: how."""

    trajectory: bool = False
    no_backtracking: bool = False
    no_refine: bool = False

    def check_mode(self):
        if self.no_backtracking and not self.trajectory:
            raise UsageError("--no-backtracking applies to --trajectory only")

    def options(self):
        return dict(trajectory=self.trajectory, backtracking=not self.no_backtracking, refine=not self.no_refine)


@dataclass(kw_only=True)
class FuseRequest(FusingRequest):
    output: str = None
    lag: int = None
    layout: str = None
    repetition: int = None

    def check_mode(self):
        super().check_mode()
        if self.lag is not None and (not self.trajectory or self.no_backtracking):
            raise UsageError("--lag applies to --trajectory only (--lag 0 is --no-backtracking)")

    def options(self):
        return dict(super().options(), lag=self.lag)

    def given_files(self):
        """True when the paths are the result files of one sequence, False when they are results
        folders; anything else is refused."""
        files = [p for p in self.paths if os.path.isfile(p)]
        for p in self.paths:
            if p not in files and not os.path.isdir(p):
                raise InputError(f"{p}: no such file or folder")
        if files and len(files) < len(self.paths):
            raise UsageError("give either the result files of one sequence or results folders, not both")
        return bool(files)


@dataclass(kw_only=True)
class ScoringRequest(Request):
    """A command that scores: under which protocol, and the tables it writes."""

    protocol: str = "pysot"
    format: str = "text"
    csv: str = None
    json: str = None
    html: str = None
    per_sequence: bool = False

    def report_files(self, out):
        """The staged --csv, --json and --html files of the transaction `out`, by option."""
        return {option: out.file(getattr(self, option), "--" + option) for option in ("csv", "json", "html")
                if getattr(self, option)}


@dataclass(kw_only=True)
class EvalRequest(ScoringRequest):
    plot: str = None
    plot_format: str = "png"
    attributes: str = None  # "" for the annotation's own attribute files
    fused: list = ()  # the names of fused tracks


@dataclass(kw_only=True)
class WeightsRequest(Request):
    output: str = None


@dataclass(kw_only=True)
class SelectRequest(Request):
    output: str = None
    trajectory: bool = False


@dataclass(kw_only=True)
class CrossvalRequest(FusingRequest, ScoringRequest):
    folds: int = None
    seed: int = 0
    train: str = None
    test: str = None
    no_select: bool = False
    name: str = "Velmora"
    output: str = None


# ---- Results ----

@dataclass
class FuseJob:
    request: FuseRequest
    tracks: np.ndarray = None  # the fused track of given result files (None for results folders)
    target: object = None  # its -o file in the transaction, or None for standard output


@dataclass
class EvalJob:
    request: EvalRequest
    evaluation: object  # benchmark.Evaluation
    rows: list  # by_attribute's rows, empty without --attributes
    files: dict  # "csv", "json", "html" -> the staged output file
    plot: object  # the staged plot folder, or None
    parameters: dict  # the library's parameters in force


@dataclass
class WeightsJob:
    request: WeightsRequest
    dataset: object  # benchmark.DataSet, without data
    weights: np.ndarray
    target: object


@dataclass
class SelectJob:
    request: SelectRequest
    dataset: object
    selection: object  # benchmark.Selection
    target: object


@dataclass
class CrossvalJob:
    request: CrossvalRequest
    bench: object  # benchmark.Benchmark
    held: object  # benchmark.HeldOut
    how: str  # how the folds were made, in words
    mode: str  # how the tracks were fused, in words
    files: dict
    folder: object  # the staged -o folder, or None
    parameters: dict  # the library's parameters in force
    fused_parameters: dict  # and those the fusion used


# ---- What a command reads ----

@dataclass
class Lists:
    """The lists a request names, read before anything else."""

    trackers: list = None  # the tracker names of --trackers or --selection, in order
    sequences: list = None  # the sequence names of --sequences
    weights: dict = None  # tracker name -> weight, from --weights
    train: list = None  # the sequence names of --train and --test
    test: list = None


def _read_lists(request):
    trackers = None
    if request.trackers is not None:
        if len(set(request.trackers)) != len(request.trackers):
            raise UsageError("--trackers names a tracker twice")
        trackers = list(request.trackers)
    elif request.selection:
        trackers = textfiles.read_names(request.selection)
    train, test = (getattr(request, option, None) for option in ("train", "test"))
    return Lists(trackers, textfiles.read_names(request.sequences) if request.sequences else None,
                 textfiles.read_weights(request.weights) if request.weights else None,
                 textfiles.read_names(train) if train else None, textfiles.read_names(test) if test else None)


@contextlib.contextmanager
def _refused(where):
    """Turns the library's refusal of an input (ValueError) into an error naming the input."""
    try:
        yield
    except ValueError as e:
        raise InputError(f"{where}: the library refused the input: {e}") from None


def _say_what_was_read(bench, reporter, flagged=None, nan_lines=0):
    for line in describe(bench, None if flagged is None else (flagged, nan_lines)):
        reporter.note(line)


@dataclass
class Annotated:
    """What a command works on: the matched benchmark, its trackers' weights (a list in their order,
    or None), the lists the request named, and the transaction of its outputs."""

    bench: object  # benchmark.Benchmark
    weights: list
    lists: Lists
    out: Outputs


@contextlib.contextmanager
def _annotated(request, reporter):
    """The matched annotated benchmark of a command, inside the transaction that checked its outputs."""
    lists = _read_lists(request)
    annotations = layouts.find_annotations(request.anno) if request.anno else None
    try:
        bench = match(layouts.find_results(request.paths, request.dataset), annotations, reporter, lists.trackers,
                      request.first_line_corners, lists.sequences)
    except sequences.ListError as e:
        raise InputError(f"{request.sequences}: {e}") from None
    except InputError as e:
        if lists.trackers is not None and request.trackers is not None:
            raise UsageError(str(e)) from None
        raise InputError(f"{request.selection}: {e}" if request.selection else str(e)) from None
    weights = weight_list(lists.weights, [t.name for t in bench.trackers], request.weights)
    # Every file and folder the command reads, registered before any output is checked.
    files = [getattr(request, option, None) for option in ("weights", "selection", "sequences", "train", "test")]
    inputs = register_inputs(bench, use_flags=not request.no_absence, files=[p for p in files if p],
                             attributes=getattr(request, "attributes", None))
    with Outputs(inputs) as out:
        yield Annotated(bench, weights, lists, out)
        out.commit()


# ---- fuse ----

@contextlib.contextmanager
def fuse_job(request, reporter):
    """Fuses every sequence of results folders into the folder -o."""
    request.check_mode()
    if not request.output:
        raise UsageError("fusing results folders needs -o/--output, the folder of the fused results")
    options = dict(request.options(), **request.parameters())
    with _annotated(request, reporter) as work:
        folder = work.out.folder(request.output, "-o")
        trackers = listing(t.name for t in work.bench.trackers)
        _say_what_was_read(work.bench, reporter)
        mode = "trajectory optimisation" if request.trajectory else "frame by frame"
        reporter.note(f"fusing {len(work.bench.trackers)} trackers ({trackers}) on {len(work.bench.keys)} sequences, "
                      f"{mode}")
        with _refused(request.paths[0]):
            fuse_results(work.bench, folder, work.weights, repetition=request.repetition, reporter=reporter,
                         layout=request.layout, **options)
        yield FuseJob(request)


@contextlib.contextmanager
def fuse_files_job(request, reporter):
    """Fuses the result files of one sequence, to -o or to standard output."""
    request.check_mode()
    if request.sequences:
        raise UsageError("--sequences applies to results folders, not to the result files of one sequence")
    files, names = request.paths, _file_tracker_names(request.paths)
    options = dict(request.options(), **request.parameters())
    lists = _read_lists(request)
    if lists.trackers is not None:
        unknown = [n for n in lists.trackers if n not in names]
        if unknown:
            message = f"no tracker named {listing(unknown)} (known: {listing(sorted(names), 10)})"
            if request.trackers is not None:
                raise UsageError(message)
            raise InputError(f"{request.selection}: {message}")
        files = [files[names.index(n)] for n in lists.trackers]
        names = lists.trackers
    weights = weight_list(lists.weights, names, request.weights)
    inputs = Inputs()
    for path, name in zip(files, names):
        inputs.folder(os.path.dirname(os.path.abspath(path)), f"the results of tracker {name}", tracker=True)
    for path in files + [p for p in (request.anno, request.weights, request.selection) if p]:
        inputs.file(path)
    with Outputs(inputs) as out:
        target = out.file(request.output, "-o") if request.output else None
        with _refused(files[0]):
            tracks = fuse_files(files, names, request.anno, weights, reporter, **options)
        yield FuseJob(request, tracks, target)
        if target is not None:
            out.commit()


def _file_tracker_names(files):
    parents = [os.path.basename(os.path.dirname(os.path.abspath(f))) for f in files]
    return parents if len(set(parents)) == len(parents) else list(files)


# ---- eval ----

@contextlib.contextmanager
def eval_job(request, reporter):
    """Scores tracker folders against their annotation (and per attribute, with `attributes`)."""
    for option in ("plot", "html"):
        if getattr(request, option):
            require_plotting("--" + option)
    with _annotated(request, reporter) as work:
        bench, out = work.bench, work.out
        files = request.report_files(out)
        plot = out.folder(request.plot, "--plot") if request.plot else None
        attributes = None
        if request.attributes is not None:
            from .. import attributes as attribute_files
            attributes = attribute_files.read_attributes(request.attributes or None, bench.annotations, reporter)
        fused = list(request.fused)
        unknown = [n for n in fused if n not in {t.name for t in bench.trackers}]
        if unknown:
            raise UsageError(f"--fused: no tracker named {listing(unknown)} (known: "
                             f"{listing(sorted(t.name for t in bench.trackers), 10)})")
        evaluation = evaluate(bench, not request.no_absence, reporter, request.protocol, fused,
                              timelines=bool(request.html))
        _say_what_was_read(bench, reporter, evaluation.flagged, evaluation.nan_lines)
        rows = by_attribute(evaluation, bench, attributes) if attributes is not None else []
        if attributes is not None and not rows:
            reporter.warn(f"--attributes {request.attributes or request.anno}: names no attribute of the "
                          f"{len(evaluation.sequences)} sequences scored; no rows per attribute")
        yield EvalJob(request, evaluation, rows, files, plot, library().get_params())


# ---- weights and select ----

@contextlib.contextmanager
def weights_job(request, reporter):
    """Learns one weight per tracker: its mean attraction to the annotation."""
    with _annotated(request, reporter) as work, _refused(request.anno):
        bench = work.bench
        target = work.out.file(request.output, "-o") if request.output else None
        reporter.note(f"learning weights of {len(bench.trackers)} trackers on {len(bench.keys)} sequences")
        dataset, weights = learn_weights_streaming(bench, not request.no_absence, reporter,
                                                   **request.parameters(beta=False))
        _say_what_was_read(bench, reporter, dataset.flagged, dataset.nan_lines)
        yield WeightsJob(request, dataset, weights, target)


@contextlib.contextmanager
def select_job(request, reporter):
    """Global tracker removal: drops the trackers whose absence raises the fused data set's mean overlap."""
    with _annotated(request, reporter) as work, _refused(request.anno):
        target = work.out.file(request.output, "-o") if request.output else None
        dataset = build_dataset(work.bench, not request.no_absence, request.trajectory, reporter)
        _say_what_was_read(work.bench, reporter, dataset.flagged, dataset.nan_lines)
        weights = work.weights
        if weights is None:
            reporter.note(f"learning weights of {len(dataset.names)} trackers on {len(dataset.sequences)} sequences")
        reporter.note(f"global tracker removal over {len(dataset.sequences)} sequences "
                      f"({'trajectory optimisation' if request.trajectory else 'frame by frame'})")
        selection = select_trackers(dataset, weights, request.trajectory, **request.parameters())
        yield SelectJob(request, dataset, selection, target)


# ---- crossval ----

@contextlib.contextmanager
def crossval_job(request, reporter):
    """Held-out learning: weights and a selection learnt on some sequences fuse the others, scored."""
    if (request.train is None) != (request.test is None):
        raise UsageError("--train and --test go together")
    if request.train is not None and request.folds is not None:
        raise UsageError("give either --folds or --train and --test")
    request.check_mode()
    if request.html:
        require_plotting("--html")
    with _annotated(request, reporter) as work:
        bench, out = work.bench, work.out
        files = request.report_files(out)
        folder = out.folder(request.output, "-o") if request.output else None
        if request.train is not None:
            splits = split(bench, work.lists.train, work.lists.test, reporter)
            how = f"trained on {request.train}, tested on {request.test}"
        else:
            splits = folds(bench, request.folds or 5, request.seed)
            how = f"{len(splits)} folds (seed {request.seed})"
        mode = "trajectory optimisation" if request.trajectory else "frame by frame"
        reporter.note(f"held-out learning on {len(bench.keys)} sequences: {how}, {mode}")
        with _refused(request.anno):
            held = crossval(bench, splits, request.trajectory, not request.no_backtracking, not request.no_refine,
                            not request.no_select, not request.no_absence, request.protocol, request.name, reporter,
                            timelines=bool(request.html), **request.parameters())
        _say_what_was_read(bench, reporter, held.evaluation.flagged, held.evaluation.nan_lines)
        yield CrossvalJob(request, bench, held, how, mode, files, folder, library().get_params(),
                          parameters_in_force(request.parameters()))
