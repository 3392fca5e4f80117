"""The velmora command: fuse tracker result files, score them as benchmarks do, choose trackers.

    velmora fuse     fuse the trackers of one sequence or of every sequence of a results root
    velmora eval     score tracker folders against an annotation folder (success, precision, ...)
    velmora weights  learn tracker weights on an annotated results root
    velmora select   drop the trackers that do not help the fusion on an annotated results root

Results go to files or standard output, messages and progress to standard error. Exit status:
0 on success, 1 on input the tool cannot use (the message names the file), 2 on bad usage.
"""

import argparse
import contextlib
import os
import sys
import time

import numpy as np

from . import io as vio
from . import metrics
from ._version import __version__

PROG = "velmora"
_clock = time.monotonic


def _library():
    # The compiled package is imported on first use, so that --help and the pure-Python parts
    # never depend on it.
    import velmora
    return velmora


class Reporter:
    """Warnings and progress on standard error; --quiet silences the progress only."""

    def __init__(self, quiet=False, stream=None):
        self.quiet = quiet
        self.stream = stream if stream is not None else sys.stderr
        self.midline = False  # a progress line on a terminal, not yet ended

    def _print(self, text):
        if self.midline:
            print(file=self.stream)
            self.midline = False
        print(text, file=self.stream, flush=True)

    def warn(self, message):
        self._print(f"{PROG}: warning: {message}")

    def note(self, message):
        if not self.quiet:
            self._print(f"{PROG}: {message}")

    def progress(self, what, total):
        return _Progress(self, what, total)


class _Progress:
    """'done of total' lines, shown only for work that has been running for over a second."""

    def __init__(self, reporter, what, total):
        self.reporter = reporter
        self.what = what
        self.total = total
        self.done = 0
        self.start = _clock()
        self.last = None
        self.tty = reporter.stream.isatty() if hasattr(reporter.stream, "isatty") else False

    def step(self):
        self.done += 1
        if self.reporter.quiet:
            return
        now = _clock()
        if now - self.start < 1.0:
            return
        # A terminal line is rewritten in place; a log gets at most one line a second.
        interval = 0.2 if self.tty else 1.0
        if self.last is not None and now - self.last < interval and self.done < self.total:
            return
        self.last = now
        text = f"{PROG}: {self.what}: {self.done}/{self.total} sequences"
        if self.tty:
            print("\r" + text, end="", file=self.reporter.stream, flush=True)
            self.reporter.midline = True
        else:
            print(text, file=self.reporter.stream, flush=True)

    def close(self):
        if self.reporter.midline:
            print(file=self.reporter.stream, flush=True)
            self.reporter.midline = False


# ---- Helpers shared by the subcommands ----

def _listing(names, limit=5):
    names = list(names)
    shown = ", ".join(names[:limit])
    return shown + (f" and {len(names) - limit} more" if len(names) > limit else "")


def _parameters(args):
    values = {k: getattr(args, k, None) for k in ("alpha", "beta", "sigma")}
    values = {k: v for k, v in values.items() if v is not None}
    if not values:
        return contextlib.nullcontext()
    return _library().parameters(**values)


def _as_library_boxes(boxes):
    """float32 boxes for the library, each lost box (NaN, or no positive size) as the zero box.

    A zero box gets no attraction as a candidate (its width is 0), and it keeps NaN out of the
    library's sums, where a NaN annotation or result box would make scores and weights NaN.
    """
    boxes = np.array(boxes, dtype=np.float32)
    boxes[vio.lost_frames(boxes)] = 0.0
    return boxes


def _restrict(trackers, args):
    """The trackers named by --trackers or --selection, in that order; all of them otherwise."""
    names = None
    if getattr(args, "trackers", None):
        names = [n.strip() for n in args.trackers.split(",") if n.strip()]
        source = "--trackers"
        if len(set(names)) != len(names):
            args.parser.error(f"{source} names a tracker twice")
    elif getattr(args, "selection", None):
        names = vio.read_names(args.selection)
        source = args.selection
    if names is None:
        return trackers
    known = dict(trackers)
    unknown = [n for n in names if n not in known]
    if unknown:
        message = f"no tracker named {_listing(unknown)} (known: {_listing(sorted(known), 10)})"
        if source == "--trackers":
            args.parser.error(message)
        raise vio.InputError(f"{source}: {message}")
    return [(n, known[n]) for n in names]


def _tracker_weights(names, args):
    if not getattr(args, "weights", None):
        return None
    table = vio.read_weights(args.weights)
    missing = [n for n in names if n not in table]
    if missing:
        raise vio.InputError(f"{args.weights}: no weight for tracker {_listing(missing)}")
    return [table[n] for n in names]


def _discover(paths, args):
    """[(tracker name, {sequence key: (sequence name, path)})] in the order the trackers are used."""
    trackers = _restrict(sorted(vio.find_trackers(paths)), args)
    return [(name, vio.tracker_files(folder)) for name, folder in trackers]


def _shared_sequences(trackers, reporter, keys=None):
    """Sequence keys that every tracker has (and that are in `keys`, when given), in name order.

    Sequences that only some trackers have are reported and left out: nothing is guessed.
    """
    everywhere = set.intersection(*(set(files) for _, files in trackers))
    somewhere = set.union(*(set(files) for _, files in trackers))
    if keys is not None:
        everywhere &= set(keys)
        somewhere &= set(keys)
    partial = sorted(somewhere - everywhere)
    for key in partial[:10]:
        lacking = [name for name, files in trackers if key not in files]
        shown = next(files[key][0] for _, files in trackers if key in files)
        reporter.warn(f"sequence {shown!r} left out: no result file from {_listing(lacking)}")
    if len(partial) > 10:
        reporter.warn(f"{len(partial) - 10} more sequences left out for the same reason")
    return sorted(everywhere)


def _read_tracker_boxes(trackers, key):
    """The boxes of every tracker for one sequence; all trackers must report the same number of frames."""
    boxes, first = [], None
    for _, files in trackers:
        path = files[key][1]
        b = vio.read_boxes(path)
        if first is None:
            first = (path, len(b))
        elif len(b) != first[1]:
            raise vio.InputError(f"{path}: {len(b)} boxes, but {first[0]} has {first[1]}; the trackers of a "
                                 "sequence need one box each per frame")
        boxes.append(b)
    return boxes


# ---- fuse ----

def _stretches(mask):
    """(start, end) of each run of True in a bool array."""
    edges = np.flatnonzero(np.diff(np.concatenate(([0], mask.astype(np.int8), [0]))))
    return list(zip(edges[0::2], edges[1::2]))


def _constant_stretches(present):
    """(start, end, column) for each run of frames in which the same trackers have a box."""
    frames = present.shape[1]
    changes = np.flatnonzero((present[:, 1:] != present[:, :-1]).any(axis=0)) + 1
    bounds = [0, *changes.tolist(), frames]
    return [(s, e, present[:, s]) for s, e in zip(bounds[:-1], bounds[1:])]


def fuse_sequence(boxes, weights=None, trajectory=False, backtracking=True, refine=True, name="", reporter=None):
    """Fuses one sequence's tracker boxes, a list of (frames, 4) arrays; returns (frames, 4) float32.

    Frame by frame, a tracker that lost the target (a NaN box, or one without positive size)
    takes no part in that frame: each stretch of frames with the same trackers present is fused
    with those trackers as the selection. A frame in which every tracker lost the target stays
    lost, written as the zero box.

    The trajectory optimisation links frames through one tracker set, so lost boxes take part as
    zero boxes, which attract the others only weakly. It needs a box in every frame, so it runs on
    each stretch of frames between those where every tracker lost the target; where its path
    passes through a lost box, that frame takes the frame-by-frame fusion of the trackers present.
    """
    lib = _library()
    reporter = reporter or Reporter()
    stack = np.stack([_as_library_boxes(b) for b in boxes])
    trackers, frames = stack.shape[:2]
    present = ~np.stack([vio.lost_frames(b) for b in stack])
    if weights is not None:
        present &= (np.asarray(weights, dtype=np.float32) != 0)[:, None]  # a weight of 0 attracts nothing
    somebody = present.any(axis=0)
    result = np.zeros((frames, 4), dtype=np.float32)
    if frames == 0:
        return result

    def frame_by_frame(start, end, column):
        selection = np.flatnonzero(column).tolist()
        part = np.ascontiguousarray(stack[:, start:end])
        return lib.fuse(part, selection=None if len(selection) == trackers else selection, weights=weights,
                        refine=refine)

    if not trajectory:
        for start, end, column in _constant_stretches(present):
            if column.any():
                result[start:end] = frame_by_frame(start, end, column)
    else:
        for start, end in _stretches(somebody):
            part = np.ascontiguousarray(stack[:, start:end])
            result[start:end] = lib.fuse_trajectory(part, weights=weights, backtracking=backtracking, refine=refine)
        stray = np.flatnonzero(somebody & vio.lost_frames(result))
        for f in stray:
            result[f] = frame_by_frame(f, f + 1, present[:, f])
        if len(stray):
            reporter.warn(f"sequence {name!r}: the trajectory passed through a lost box in {len(stray)} frame(s) "
                          f"(first at line {stray[0] + 1}); they take the frame-by-frame fusion")
    lost = np.flatnonzero(~somebody)
    if len(lost):
        result[lost] = 0.0
        reporter.warn(f"sequence {name!r}: no tracker has a usable box in {len(lost)} frame(s) "
                      f"(first at line {lost[0] + 1}); they are written as lost (0,0,0,0)")
    return result


@contextlib.contextmanager
def _refused(where):
    """Turns the library's refusal of an input (ValueError) into an error naming the input."""
    try:
        yield
    except ValueError as e:
        raise vio.InputError(f"{where}: the library refused the input: {e}") from None


def _fuse_options(args):
    return dict(trajectory=args.trajectory, backtracking=not args.no_backtracking, refine=not args.no_refine)


def _run_fuse(args, reporter):
    paths = args.paths
    files = [p for p in paths if os.path.isfile(p)]
    folders = [p for p in paths if os.path.isdir(p)]
    for p in paths:
        if p not in files and p not in folders:
            raise vio.InputError(f"{p}: no such file or folder")
    if files and folders:
        args.parser.error("give either the result files of one sequence or results folders, not both")
    if args.no_backtracking and not args.trajectory:
        args.parser.error("--no-backtracking applies to --trajectory only")
    if files:
        if args.output and any(_same_file(args.output, f) for f in files):
            args.parser.error(f"-o {args.output} is one of the result files")
        return _fuse_files(args, files, reporter)
    if not args.output:
        args.parser.error("fusing results folders needs -o/--output, the folder of the fused results")
    return _fuse_folders(args, folders, reporter)


def _same_file(a, b):
    return os.path.realpath(a) == os.path.realpath(b)


def _file_tracker_names(files):
    parents = [os.path.basename(os.path.dirname(os.path.abspath(f))) for f in files]
    return parents if len(set(parents)) == len(parents) else list(files)


def _fuse_files(args, files, reporter):
    trackers = [(name, {"": (os.path.basename(f)[:-4], f)}) for name, f in zip(_file_tracker_names(files), files)]
    trackers = _restrict(trackers, args)
    names = [name for name, _ in trackers]
    weights = _tracker_weights(names, args)
    boxes = _read_tracker_boxes(trackers, "")
    with _refused(files[0]), _parameters(args):
        fused = fuse_sequence(boxes, weights, name=trackers[0][1][""][0], reporter=reporter, **_fuse_options(args))
    if args.output:
        vio.write_boxes(args.output, fused)
    else:
        sys.stdout.write(vio.format_boxes(fused))
    return 0


def _fuse_folders(args, folders, reporter):
    trackers = _discover(folders, args)
    names = [name for name, _ in trackers]
    weights = _tracker_weights(names, args)
    for name, files in trackers:
        if files and _same_file(args.output, os.path.dirname(next(iter(files.values()))[1])):
            args.parser.error(f"-o {args.output} is the folder of tracker {name}")
    keys = _shared_sequences(trackers, reporter)
    if not keys:
        raise vio.InputError(f"{folders[0]}: no sequence has a result file from every tracker ({_listing(names)})")
    try:
        os.makedirs(args.output, exist_ok=True)
    except OSError as e:
        raise vio.InputError(f"{args.output}: cannot create the folder: {e.strerror or e}") from None
    mode = "trajectory optimisation" if args.trajectory else "frame by frame"
    reporter.note(f"fusing {len(names)} trackers ({_listing(names)}) on {len(keys)} sequences, {mode}")
    progress = reporter.progress("fuse", len(keys))
    with _parameters(args):
        for key in keys:
            sequence = trackers[0][1][key][0]
            boxes = _read_tracker_boxes(trackers, key)
            with _refused(trackers[0][1][key][1]):
                fused = fuse_sequence(boxes, weights, name=sequence, reporter=reporter, **_fuse_options(args))
            vio.write_boxes(os.path.join(args.output, sequence + ".txt"), fused)
            progress.step()
    progress.close()
    return 0


# ---- eval ----

def _annotated(trackers, annotations, reporter):
    """Shared sequence keys, with warnings for what matches nothing."""
    keys = _shared_sequences(trackers, reporter, annotations)
    covered = set.union(*(set(files) for _, files in trackers))
    unused = sorted(set(annotations) - covered)
    if unused:
        reporter.warn(f"{len(unused)} annotated sequence(s) have no result from any tracker: "
                      f"{_listing(annotations[k].name for k in unused)}")
    for name, files in trackers:
        extra = sorted(set(files) - set(annotations))
        if extra:
            reporter.warn(f"tracker {name!r}: {len(extra)} result file(s) match no annotated sequence: "
                          f"{_listing(files[k][0] + '.txt' for k in extra)}")
    return keys


def _cut(result, result_path, annotation, absent, annotation_path, reporter):
    """(result, annotation, absent) cut to the frames both have; a difference is reported."""
    if len(result) == 0:
        raise vio.InputError(f"{result_path}: no boxes")
    if len(result) != len(annotation):
        frames = min(len(result), len(annotation))
        reporter.warn(f"{result_path}: {len(result)} boxes for the {len(annotation)} frames of {annotation_path}; "
                      f"scoring the {frames} frames both have")
        result, annotation = result[:frames], annotation[:frames]
        absent = absent[:frames] if absent is not None else None
    return result, annotation, absent


def _read_annotation(entry, use_flags):
    boxes, absent = entry.read(use_flags)
    if len(boxes) == 0:
        raise vio.InputError(f"{entry.path}: no boxes")
    return boxes, absent


class TrackerScore:
    """A tracker's scores over a data set: the mean curves, the library's mean overlap, frames scored."""

    def __init__(self, name, sequences, overlaps):
        self.name = name
        self.sequences = sequences
        self.success, self.precision, self.norm_precision = metrics.mean_curves(sequences)
        self.overlap = float(np.mean(overlaps))
        self.frames = sum(s.frames for s in sequences)

    @property
    def auc(self):
        return float(self.success.mean())

    @property
    def precision20(self):
        return float(self.precision[metrics.PRECISION_AT])

    @property
    def norm_precision20(self):
        return float(self.norm_precision[metrics.NORM_PRECISION_AT])


def evaluate(paths, annotation_root, use_flags=True, reporter=None, args=None):
    """Scores every tracker folder under `paths` on the annotated sequences they all have."""
    reporter = reporter or Reporter()
    lib = _library()
    trackers = _discover(paths, args)
    annotations = vio.find_annotations(annotation_root)
    keys = _annotated(trackers, annotations, reporter)
    if not keys:
        raise vio.InputError(f"{annotation_root}: no annotated sequence has a result file from every tracker")
    per_tracker = {name: ([], []) for name, _ in trackers}
    progress = reporter.progress("eval", len(keys))
    for key in keys:
        entry = annotations[key]
        boxes, absent = _read_annotation(entry, use_flags)
        for name, files in trackers:
            path = files[key][1]
            result, annotation, flags = _cut(vio.read_boxes(path), path, boxes, absent, entry.path, reporter)
            scores, overlaps = per_tracker[name]
            scores.append(metrics.score_sequence(result, annotation, flags))
            # The library's own measure: mean overlap with the first frame counted as 1, no flags.
            overlaps.append(lib.track_quality(_as_library_boxes(result), _as_library_boxes(annotation)))
        progress.step()
    progress.close()
    results = [TrackerScore(name, *per_tracker[name]) for name, _ in trackers]
    results.sort(key=lambda r: (-r.auc, r.name))
    return results, [annotations[k].name for k in keys]


def format_table(results):
    width = max([len("Tracker")] + [len(r.name) for r in results])
    lines = [f"{'Tracker':<{width}}  {'AUC':>6}  {'Prec@20':>7}  {'NPrec@0.2':>9}  {'Overlap':>7}  {'Frames':>8}"]
    for r in results:
        lines.append(f"{r.name:<{width}}  {r.auc:6.3f}  {r.precision20:7.3f}  {r.norm_precision20:9.3f}  "
                     f"{r.overlap:7.3f}  {r.frames:8d}")
    return "\n".join(lines) + "\n"


def _csv_field(text):
    return '"' + text.replace('"', '""') + '"' if any(c in text for c in ',"\n') else text


def format_csv(results):
    lines = ["tracker,auc,precision_20px,norm_precision_0.2,mean_overlap,sequences,frames"]
    for r in results:
        lines.append(f"{_csv_field(r.name)},{r.auc!r},{r.precision20!r},{r.norm_precision20!r},{r.overlap!r},"
                     f"{len(r.sequences)},{r.frames}")
    return "\n".join(lines) + "\n"


def _run_eval(args, reporter):
    results, sequences = evaluate(args.paths, args.anno, not args.no_absence, reporter, args)
    dataset = args.dataset or os.path.basename(os.path.normpath(os.path.abspath(args.anno)))
    count = f"{len(sequences)} sequence" + ("s" if len(sequences) != 1 else "")
    sys.stdout.write(f"{dataset}: {count}\n" + format_table(results))
    if args.csv:
        vio.write_text(args.csv, format_csv(results))
    if args.plot:
        from . import plots
        order = [r.name for r in results]  # colours by rank in the success plot
        try:
            os.makedirs(args.plot, exist_ok=True)
        except OSError as e:
            raise vio.InputError(f"{args.plot}: cannot create the folder: {e.strerror or e}") from None
        plots.plot_success(os.path.join(args.plot, "success.png"), [(r.name, r.success, r.auc) for r in results],
                           dataset, order)
        plots.plot_precision(os.path.join(args.plot, "precision.png"),
                             [(r.name, r.precision, r.precision20) for r in results], dataset, order)
        plots.plot_norm_precision(os.path.join(args.plot, "norm_precision.png"),
                                  [(r.name, r.norm_precision, r.norm_precision20) for r in results], dataset, order)
    return 0


# ---- weights and select ----

class DataSet:
    """An annotated results root in the library's form: one run per stretch of usable frames."""

    def __init__(self, names, sequences, data, annotation, frames, left_out):
        self.names = names  # tracker order: the index of a tracker in every run
        self.sequences = sequences
        self.data = data  # per sequence, a list of (trackers array, 1-based start frame)
        self.annotation = annotation
        self.frames = frames  # frames in runs
        self.left_out = left_out  # frames of shared sequences that are in no run


def build_dataset(paths, annotation_root, args, reporter, every_tracker=False):
    """Reads the trackers and the annotation into the library's data-set form.

    A frame is usable when its annotation box has a positive size and is not flagged absent (and,
    with every_tracker, when no tracker lost the target: the trajectory optimisation needs a box of
    every tracker it might keep). Each stretch of at least two usable frames is one run, starting at
    its first frame; usually that is one run per sequence, starting at frame 1.
    """
    trackers = _discover(paths, args)
    names = [name for name, _ in trackers]
    annotations = vio.find_annotations(annotation_root)
    keys = _annotated(trackers, annotations, reporter)
    sequences, data, annotation = [], [], []
    frames = left_out = 0
    progress = reporter.progress("reading", len(keys))
    for key in keys:
        entry = annotations[key]
        boxes, absent = _read_annotation(entry, not args.no_absence)
        tracks = _read_tracker_boxes(trackers, key)
        path = trackers[0][1][key][1]
        _, truth, flags = _cut(tracks[0], path, boxes, absent, entry.path, reporter)
        length = len(truth)
        usable = ~vio.lost_frames(truth)
        if flags is not None:
            usable &= ~flags
        stack = np.stack([_as_library_boxes(t[:length]) for t in tracks])
        if every_tracker:
            for track in stack:
                usable &= ~vio.lost_frames(track)
        runs = [(np.ascontiguousarray(stack[:, s:e]), int(s) + 1) for s, e in _stretches(usable) if e - s >= 2]
        used = sum(run[0].shape[1] for run in runs)
        left_out += length - used
        progress.step()
        if not runs:
            reporter.warn(f"sequence {entry.name!r} left out: no two consecutive usable frames")
            continue
        sequences.append(entry.name)
        data.append(runs)
        annotation.append(_as_library_boxes(truth))
        frames += used
    progress.close()
    if not data:
        raise vio.InputError(f"{annotation_root}: no annotated sequence with results from every tracker and "
                             "usable frames")
    if left_out:
        why = "annotation empty or absent" + (", or some tracker lost" if every_tracker else "")
        reporter.note(f"{left_out} frame(s) left out ({why})")
    return DataSet(names, sequences, data, annotation, frames, left_out)


def learn_weights(dataset):
    return np.asarray(_library().tracker_weights(dataset.data, dataset.annotation), dtype=np.float32)[
        :len(dataset.names)]


def _emit(args, write, text_of):
    if args.output:
        write(args.output)
    else:
        sys.stdout.write(text_of())


def _run_weights(args, reporter):
    with _refused(args.anno), _parameters(args):
        dataset = build_dataset(args.paths, args.anno, args, reporter)
        reporter.note(f"learning weights of {len(dataset.names)} trackers on {len(dataset.sequences)} sequences")
        weights = learn_weights(dataset)
    comment = (f"velmora tracker weights: mean attraction to the annotation over {len(dataset.sequences)} "
               f"sequences ({dataset.frames} frames)")
    _emit(args, lambda path: vio.write_weights(path, dataset.names, weights, comment),
          lambda: f"# {comment}\n" + "".join(f"{n}\t{vio._format_number(w)}\n" for n, w in zip(dataset.names,
                                                                                            weights)))
    if args.output:
        for name, w in sorted(zip(dataset.names, weights), key=lambda p: -p[1]):
            print(f"{name}\t{w:.4f}")
    return 0


def _run_select(args, reporter):
    lib = _library()
    with _refused(args.anno), _parameters(args):
        dataset = build_dataset(args.paths, args.anno, args, reporter, every_tracker=args.trajectory)
        weights = _tracker_weights(dataset.names, args)
        if weights is None:
            reporter.note(f"learning weights of {len(dataset.names)} trackers on {len(dataset.sequences)} sequences")
            weights = [float(w) for w in learn_weights(dataset)]
        reporter.note(f"global tracker removal over {len(dataset.sequences)} sequences "
                      f"({'trajectory optimisation' if args.trajectory else 'frame by frame'})")
        kept = list(lib.global_removal(dataset.data, dataset.annotation, weights, trajectory=args.trajectory))
        # An empty list stands for every tracker, the way the fusion reads it.
        kept = kept or list(range(len(dataset.names)))
        before = lib.evaluate_dataset(dataset.data, dataset.annotation, trajectory=args.trajectory, weights=weights)
        after = lib.evaluate_dataset(dataset.data, dataset.annotation, trajectory=args.trajectory, selection=kept,
                                     weights=weights)
    names = [dataset.names[k] for k in kept]
    comment = (f"velmora tracker selection: {len(names)} of {len(dataset.names)} trackers kept, mean overlap "
               f"{before:.4f} with all, {after:.4f} with these")
    _emit(args, lambda path: vio.write_names(path, names, comment),
          lambda: f"# {comment}\n" + "".join(n + "\n" for n in names))
    if args.output:
        print(comment.split(": ", 1)[1])
        print("kept: " + ", ".join(names))
    return 0


# ---- Command line ----

_FORMAT = argparse.RawDescriptionHelpFormatter  # keeps the paragraphs of the descriptions


def _positive_float(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not np.isfinite(value) or value <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive number: {text!r}")
    return value


def _non_negative_float(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not np.isfinite(value) or value < 0:
        raise argparse.ArgumentTypeError(f"must be a number of 0 or more: {text!r}")
    return value


def _add_parameters(p, beta=True):
    g = p.add_argument_group("fusion parameters (library defaults when omitted)")
    g.add_argument("--alpha", type=_positive_float, help="divides the size terms of the box distance (default 4)")
    if beta:
        g.add_argument("--beta", type=_non_negative_float,
                       help="weight of the agreement between consecutive frames in the trajectory (default 20)")
    g.add_argument("--sigma", type=_positive_float, help="additive constant of every box attraction (default 0.03)")


def _add_common(p):
    p.add_argument("-q", "--quiet", action="store_true", help="no progress messages on standard error")


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
folder -o DIR as <sequence>.txt, a tracker folder that 'velmora eval' reads like any other).

Frame by frame, a tracker whose box is lost (a NaN or zero line) takes no part in that frame; the
trajectory optimisation takes lost boxes as zero boxes. A frame in which every tracker lost the
target is written as 0,0,0,0. Trackers are named after their folders.""")
    p.add_argument("paths", nargs="+", metavar="PATH", help="result files of one sequence, or results folders")
    p.add_argument("-o", "--output", metavar="OUT", help="fused file (one sequence) or folder (results folders)")
    p.add_argument("--trajectory", action="store_true", help="trajectory optimisation instead of frame-by-frame fusion")
    p.add_argument("--no-backtracking", action="store_true",
                   help="with --trajectory: each frame takes the best path ending there (no look-ahead)")
    p.add_argument("--no-refine", action="store_true",
                   help="keep the chosen tracker boxes, without the unit-step climb")
    p.add_argument("--weights", metavar="FILE", help="tracker weights, as 'velmora weights' writes them")
    _add_trackers(p)
    _add_parameters(p)
    _add_common(p)
    p.set_defaults(run=_run_fuse, parser=p)

    p = sub.add_parser("eval", formatter_class=_FORMAT, help="score trackers against an annotation folder",
                       description="""Scores tracker folders with the one-pass measures of tracking benchmarks.

Prints, best first: AUC of the success plot (21 overlap thresholds 0..1), precision at 20 pixels,
normalised precision at 0.2, the library's own mean overlap (first frame counted as 1, no absence
flags) and the frames scored. Only the annotated sequences that every tracker has are scored; the
others are reported. A result file with more or fewer boxes than its annotation is reported and
scored on the frames both have. Absence flags (absent.txt, full_occlusion.txt, out_of_view.txt in a
sequence folder) take the flagged frames out of every count but not out of the divisor.""")
    _add_annotated(p)
    p.add_argument("--csv", metavar="FILE", help="also write the table as CSV")
    p.add_argument("--plot", metavar="DIR", help="draw success.png, precision.png and norm_precision.png there")
    p.add_argument("--dataset", metavar="NAME", help="data-set name in the output (default: the annotation folder's)")
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
    return parser


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    reporter = Reporter(args.quiet)
    try:
        return args.run(args, reporter)
    except vio.InputError as e:
        message = " ".join(str(e).split("\n"))
        print(f"{PROG}: error: {message}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of standard output went away (velmora ... | head); nothing left to say.
        with contextlib.suppress(OSError):
            sys.stdout = open(os.devnull, "w")
        return 1


if __name__ == "__main__":
    sys.exit(main())
