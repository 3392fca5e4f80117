"""The benchmark layer: tracker results and annotations from folders, scored and fused.

The command line is a thin layer over these functions; they serve a notebook as well::

    from velmora import benchmark
    results = benchmark.find_results(["results/LaSOT"])
    annotations = benchmark.find_annotations("LaSOT/annos")
    scores = benchmark.evaluate(results, annotations)
    for tracker in scores.trackers:
        print(tracker.name, tracker.auc, tracker.precision20)

Every function reports what it read or assumed, and its warnings, through a Reporter (by
default one that writes warnings to standard error and keeps quiet otherwise). The fusion
parameters alpha, beta and sigma are passed to the library for each call only.
"""

import collections
import collections.abc
import concurrent.futures
import functools
import io
import itertools
import math
import time
from dataclasses import dataclass, field

import numpy as np

from . import textfiles
from . import layouts, metrics
from .textfiles import InputError
from .layouts import find_annotations, find_results
from .messages import Reporter
from . import outputs
from .outputs import Inputs

__all__ = [
    "find_results", "find_annotations", "Truth", "read_truth", "Benchmark", "match", "register_inputs", "describe",
    "evaluate", "Evaluation", "TrackerScore", "by_attribute", "Strip", "sequence_strips", "fuse_sequence",
    "fuse_results", "write_fused", "DataSet", "build_dataset", "learn_weights", "learn_weights_streaming", "Selection", "select_trackers", "folds",
    "split", "Fold", "HeldOut", "crossval",
]


def _library():
    import velmora  # the package's own functions, which check their input
    return velmora


def _listing(names, limit=5):
    names = list(names)
    shown = ", ".join(names[:limit])
    return shown + (f" and {len(names) - limit} more" if len(names) > limit else "")


def _plural(n, noun, plural=None):
    return f"{n:,} {noun if n == 1 else plural or noun + 's'}"


# ---- Reading ----

@dataclass
class Truth:
    """One annotated sequence as read: boxes (float64), frames not to count, and why."""

    name: str
    path: str
    boxes: np.ndarray
    absent: np.ndarray  # bool per frame: flagged, or a NaN annotation line
    flagged: int  # frames the absence flags mark
    nan_lines: int  # frames whose annotation line is NaN
    cover: np.ndarray = None  # GOT-10k's visible share per frame, 0 to 8
    bound: tuple = None  # the image's (width, height), where the annotation says

    @property
    def visible(self):
        """The frames whose target GOT-10k's measures count: cover above 0, else not absent."""
        return self.cover > 0 if self.cover is not None else ~self.absent


def read_truth(sequence, use_flags=True):
    """Reads an annotated sequence: its boxes, and its absent frames unless use_flags is False.

    A NaN annotation line (UAV123 marks frames without the target so) is an absent frame always.
    """
    boxes = textfiles.read_boxes(sequence.path)
    if len(boxes) == 0:
        raise InputError(f"{sequence.path}: no boxes")
    nan_lines = np.isnan(boxes).any(axis=1)
    with np.errstate(over="ignore", invalid="ignore"):
        area = boxes[:, 2].astype(np.float32) * boxes[:, 3].astype(np.float32)
    huge = np.flatnonzero(np.isinf(area))
    if len(huge):  # the library's overlap of such a box is inf / inf
        raise InputError(f"{sequence.path}:{huge[0] + 1}: the box's width times height overflows float32; an "
                         "annotation box must be smaller")
    absent = nan_lines.copy()
    flagged = np.zeros(len(boxes), dtype=bool)
    if use_flags:
        for path in sequence.flag_paths:
            flags = textfiles.read_flags(path)
            if len(flags) != len(boxes):
                raise InputError(f"{path}: {len(flags)} flags for the {len(boxes)} frames of {sequence.path}")
            flagged |= flags
    absent |= flagged
    cover = None
    if sequence.cover_path is not None:
        cover = textfiles.read_labels(sequence.cover_path, 8, "a cover level 0 to 8")
        if len(cover) != len(boxes):
            raise InputError(f"{sequence.cover_path}: {len(cover)} labels for the {len(boxes)} frames of "
                             f"{sequence.path}")
    bound = _resolution(sequence.meta_path) if sequence.meta_path else None
    return Truth(sequence.name, sequence.path, boxes, absent, int(flagged.sum()), int(nan_lines.sum()), cover, bound)


def _resolution(path):
    """The image size in a GOT-10k meta_info.ini ('resolution: (1280, 720)').

    GOT-10k's measures clip the boxes to the image, so a file that does not give the size is an
    error, not a sequence scored without clipping.
    """
    for number, line in enumerate(textfiles._text_lines(path, textfiles._read_bytes(path)), 1):
        key, _, value = line.partition(":")
        if key.strip() == "resolution":
            try:
                width, height = (float(v) for v in value.strip().strip("()").split(","))
            except ValueError:
                width = height = math.nan
            if not (0 < width < math.inf and 0 < height < math.inf):
                raise InputError(f"{path}:{number}: cannot read {value.strip()!r} as the image size "
                                 "'(width, height)'")
            return width, height
    raise InputError(f"{path}: no line 'resolution: (width, height)', the image size GOT-10k's measures clip to")


class ReadLog:
    """What reading the result files found that a user should hear about once, per tracker."""

    def __init__(self):
        self.negative = collections.defaultdict(lambda: [0, 0, None])  # tracker -> [boxes, files, first]
        self.polygons = collections.defaultdict(int)  # tracker -> files
        self.corners = collections.defaultdict(int)  # tracker -> files whose first line reads as corners
        self.corners_applied = False
        self.lengths = {}  # tracker -> [files, the first file's message]

    def length(self, tracker, message, reporter):
        """A result file of the wrong length: said once per tracker, with a count and the first example."""
        if tracker is None:
            reporter.warn(message)
            return
        entry = self.lengths.setdefault(tracker, [0, message])
        entry[0] += 1

    def report(self, reporter):
        for tracker, (files, message) in self.lengths.items():
            more = f" ({_plural(files - 1, 'more file')} of this tracker alike)" if files > 1 else ""
            reporter.warn(f"tracker {tracker!r}: {message}{more}")
        for tracker, (boxes, files, first) in self.negative.items():
            reporter.warn(f"tracker {tracker!r}: {_plural(boxes, 'box', 'boxes')} with a negative width or height "
                          f"in {_plural(files, 'file')} (first at {first}), read as lost")
        for tracker, files in self.polygons.items():
            reporter.note(f"tracker {tracker!r}: {_plural(files, 'file')} hold polygons, read as their bounding boxes")
        for tracker, files in self.corners.items():
            if self.corners_applied:
                reporter.note(f"tracker {tracker!r}: the first line of {_plural(files, 'file')} read as corners "
                              "x1,y1,x2,y2")
            else:
                reporter.warn(f"tracker {tracker!r}: the first line of {_plural(files, 'file')} matches the "
                              "annotation only when read as corners x1,y1,x2,y2; --first-line-corners reads them so")


def read_result(path, layout="plain", truth=None, log=None, tracker="", corners=False):
    """Reads one result file as (frames, 4) float64 boxes, a lost target as NaN.

    A box with a negative width or height is lost. In VOT results a code line (0 skipped, 2
    failure) is a lost frame and an initialisation (1) takes the annotation's box, the box the
    tracker was given; without annotation it is lost. With `corners`, a first line that matches
    the annotation's first box only when read as corners x1, y1, x2, y2 is read so.
    """
    return _interpret(textfiles.read_box_file(path, codes=layout == "VOT"), path, layout, truth, log, tracker, corners)


def _first_line_as_corners(boxes, truth):
    """The first box read as corners when only so does it match the annotation's first box, else None.

    Some published result sets write their first line (the initialisation) as x1, y1, x2, y2.
    """
    if len(boxes) == 0 or truth is None or not len(truth.boxes):
        return None
    x, y, w, h = (float(v) for v in boxes[0])
    first = [float(v) for v in truth.boxes[0]]

    def overlap(box):
        width = max(min(box[0] + box[2], first[0] + first[2]) - max(box[0], first[0]), 0.0)
        height = max(min(box[1] + box[3], first[1] + first[3]) - max(box[1], first[1]), 0.0)
        union = box[2] * box[3] + first[2] * first[3] - width * height
        return width * height / union if union > 0 else 0.0

    corner = [x, y, w - x, h - y]
    if overlap([x, y, w, h]) < 0.5 and overlap(corner) >= 0.9:  # NaN compares false: never read so
        return np.array(corner)
    return None


def _interpret(raw, path, layout, truth, log, tracker, corners=False):
    boxes, kinds = raw
    with np.errstate(invalid="ignore"):
        negative = (boxes[:, 2] < 0) | (boxes[:, 3] < 0)
    if negative.any():
        boxes[negative] = np.nan
        if log is not None:
            entry = log.negative[tracker]
            entry[0] += int(negative.sum())
            entry[1] += 1
            entry[2] = entry[2] or f"{path}:{int(np.argmax(negative)) + 1}"
    if log is not None and (kinds == -2).any():
        log.polygons[tracker] += 1
    if layout == "VOT" and truth is not None:
        start = np.flatnonzero(kinds[:len(truth.boxes)] == 1)
        boxes[start] = truth.boxes[start]
    corner = _first_line_as_corners(boxes, truth)
    if corner is not None:
        if log is not None:
            log.corners[tracker] += 1
            log.corners_applied = corners
        if corners:
            boxes[0] = corner
    return boxes


def _read_ahead(items, read, ahead=4):
    """read(item) for each item, in order, with the next few read meanwhile on two threads.

    The extension's reader runs without the GIL, so the files of the sequences ahead are read
    and parsed while this thread scores or fuses the current one; at most `ahead` are held.
    """
    items = iter(items)
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=2)
    try:
        pending = collections.deque(pool.submit(read, item) for item in itertools.islice(items, ahead))
        while pending:
            done = pending.popleft().result()
            for item in itertools.islice(items, 1):
                pending.append(pool.submit(read, item))
            yield done
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


# ---- What a command reads ----

@dataclass
class Benchmark:
    """Results matched with their annotation: the sequences every tracker has, in name order."""

    results: layouts.Results
    annotations: layouts.Annotations  # or None
    keys: list
    names: dict  # sequence key -> the name outputs use
    corners: bool = False  # read a first line that matches the annotation only as corners so

    @property
    def trackers(self):
        return self.results.trackers


def _spelling(results, key, annotations):
    """The annotation's spelling of a sequence name, else the one most trackers use."""
    if annotations is not None and key in annotations.sequences:
        return annotations.sequences[key].name
    spellings = collections.Counter(t.sequences[key].name for t in results.trackers if key in t.sequences)
    return spellings.most_common(1)[0][0]  # among equals, the first tracker's


def match(results, annotations=None, reporter=None, trackers=None, first_line_corners=False, sequences=None):
    """The sequences that every tracker has (and that are annotated, when an annotation is given).

    `trackers` (names, in order) restricts and orders the trackers. `sequences` (names, as a
    sequence list gives them) restricts the sequences: every tracker must have each of them.
    `first_line_corners` reads a result's first line as corners x1, y1, x2, y2 where only that
    reading matches the annotation. Folders given in each other's place are refused. Sequences
    that only some trackers have, annotated sequences without results and result files without
    annotation are reported; nothing is guessed.
    """
    from . import sequences as lists
    reporter = reporter or Reporter(quiet=True)
    if trackers is not None:
        known = {t.name: t for t in results.trackers}
        unknown = [n for n in trackers if n not in known]
        if unknown:
            raise InputError(f"no tracker named {_listing(unknown)} (known: {_listing(sorted(known), 10)})")
        results = layouts.Results([known[n] for n in trackers], results.roots)
    if not results.trackers:
        raise InputError("no tracker to read")
    if annotations is not None:
        lists.check_roles(results, annotations)
    if sequences is not None:
        everywhere = set(lists.listed_keys(sequences, results, annotations))
    else:
        if annotations is not None:
            annotated = set(annotations.sequences)
            for tracker in results.trackers:
                extra = sorted(set(tracker.sequences) - annotated)
                if extra:
                    reporter.warn(f"tracker {tracker.name!r}: {_plural(len(extra), 'result file')} match no "
                                  f"annotated sequence: {_listing(tracker.sequences[k].name for k in extra)}")
        everywhere = lists.report_coverage(results, annotations, lambda k: _spelling(results, k, annotations),
                                           reporter)
    names = {key: _spelling(results, key, annotations) for key in everywhere}
    keys = sorted(everywhere, key=lambda k: (names[k].lower(), names[k]))
    for first, second in lists.identical_trackers(results.trackers, keys):
        reporter.warn(f"trackers {first.name!r} and {second.name!r} have byte-identical result files "
                      f"({first.folder}, {second.folder}): fused, they count as two trackers")
    return Benchmark(results, annotations, keys, names, first_line_corners)


def register_inputs(bench, inputs=None, use_flags=True):
    """Every file and folder that reading `bench` touches, for the checks of the outputs."""
    inputs = inputs or Inputs()
    for path, what in bench.results.roots:
        inputs.folder(path, what)
    for tracker in bench.trackers:
        inputs.folder(tracker.folder, f"the results of tracker {tracker.name}", tracker=True)
        for result in tracker.sequences.values():
            for path in result.runs + result.times:
                inputs.file(path)
    if bench.annotations is not None:
        inputs.folder(bench.annotations.root, "the annotation")
        for sequence in bench.annotations.sequences.values():
            inputs.file(sequence.path)
            for path in (sequence.flag_paths if use_flags else ()) + tuple(
                    p for p in (sequence.cover_path, sequence.attribute_path, sequence.meta_path) if p):
                inputs.file(path)
    return inputs


def describe(bench, absent=None):
    """What was read, in two lines: the results and their layouts, the annotation and its flags.

    `absent` is (frames flagged absent, NaN annotation lines) when known; otherwise the absence
    flags of the matched sequences are counted here (without reading their boxes).
    """
    if absent is None and bench.annotations is not None:
        flagged = 0
        for key in bench.keys:
            paths = bench.annotations.sequences[key].flag_paths
            if paths:
                flags = [textfiles.read_flags(p) for p in paths]
                if len({len(f) for f in flags}) > 1:
                    raise InputError(f"{paths[0]}: {len(flags[0])} flags, but {paths[1]} holds {len(flags[1])}")
                flagged += int(np.logical_or.reduce(flags).sum())
        absent = (flagged, 0)
    trackers = bench.trackers
    layouts_seen = ", ".join(sorted({t.layout for t in trackers}))
    repetitions = sorted({t.repetitions for t in trackers})
    reps = "1 repetition" if repetitions == [1] else \
        f"{'-'.join(str(r) for r in (repetitions[0], repetitions[-1]) if r)} repetitions"
    roots = "; ".join(f"{path} ({what})" for path, what in bench.results.roots)
    lines = [f"read {_plural(len(trackers), 'tracker')} ({layouts_seen} layout) from {roots}: "
             f"{_plural(len(bench.keys), 'sequence')}, {reps}"]
    prefixed = [t.name for t in trackers if t.prefix]
    if prefixed:
        lines[0] += f"; data-set prefix taken off the file names of {_listing(prefixed)}"
    if bench.annotations is not None:
        text = f"annotation: {bench.annotations.layout} layout in {bench.annotations.root}"
        if absent is not None:
            flagged, nan_lines = absent
            text += f"; {_plural(flagged, 'frame')} flagged absent"
            if nan_lines:
                text += f", {_plural(nan_lines, 'NaN annotation line')} taken as absent"
        lines.append(text)
    return lines


# ---- Scores ----

@dataclass
class TrackerScore(metrics.CurveMeasures):
    """A tracker's scores over a data set: per sequence, and their means under the protocol."""

    name: str
    sequences: list  # metrics.SequenceScore per sequence, in the benchmark's order
    overlaps: list  # the library's mean overlap per sequence
    protocol: metrics.Protocol = metrics.DEFAULT
    times: list = field(default_factory=list)  # per-frame seconds from the timing logs
    fused: bool = False  # a fused track, not a single tracker
    provenance: dict = None  # how velmora fuse made it
    runs: list = field(default_factory=list)  # per sequence, the SequenceScore of each repetition

    @functools.cached_property
    def _curves(self):
        return metrics.mean_curves(self.sequences, self.protocol)

    @property
    def success(self):
        return self._curves[0]

    @property
    def precision(self):
        return self._curves[1]

    @property
    def norm_precision(self):
        return self._curves[2]

    @functools.cached_property
    def got10k(self):
        return metrics.got10k_measures(self.sequences)

    @property
    def ao(self):
        return self.got10k[0]

    @property
    def sr50(self):
        return self.got10k[1]

    @property
    def sr75(self):
        return self.got10k[2]

    @property
    def fps(self):
        return metrics.frames_per_second(self.times)

    @property
    def overlap(self):
        return float(np.mean(self.overlaps))

    @property
    def frames(self):
        return sum(s.frames for s in self.sequences)

    @property
    def pooled_frames(self):
        """The frames GOT-10k's measures pool (after the first, target visible, every repetition)."""
        return sum(s.got10k[1] for s in self.sequences)


@dataclass
class Evaluation:
    trackers: list  # TrackerScore, best AUC first
    sequences: list  # sequence names, in the order of every TrackerScore's sequences
    flagged: int = 0
    nan_lines: int = 0
    protocol: metrics.Protocol = metrics.DEFAULT


def _cut(result, path, truth, reporter, protocol, log=None, tracker=None):
    """(result, annotation, absent, visible) at the frames both have, or the result padded as the
    protocol says; a difference is reported (through `log`, once per tracker, when given)."""
    if len(result) == 0:
        raise InputError(f"{path}: no boxes")
    boxes, absent, visible = truth.boxes, truth.absent, truth.visible
    log = log or ReadLog()
    if len(result) < len(boxes) and protocol.short_results == "padded":
        log.length(tracker, f"{path}: {_plural(len(result), 'box', 'boxes')} for the {_plural(len(boxes), 'frame')} "
                            f"of {truth.path}; the missing frames score as zero boxes", reporter)
    elif len(result) != len(boxes):
        frames = min(len(result), len(boxes))
        log.length(tracker, f"{path}: {_plural(len(result), 'box', 'boxes')} for the {_plural(len(boxes), 'frame')} "
                            f"of {truth.path}; scoring the {_plural(frames, 'frame')} both have", reporter)
        result, boxes, absent, visible = result[:frames], boxes[:frames], absent[:frames], visible[:frames]
    return result, boxes, absent, visible


def _as_library_boxes(boxes):
    """float32 boxes for the library, each lost box (NaN, or no positive size) as the zero box."""
    boxes = np.array(boxes, dtype=np.float32)
    boxes[textfiles.lost_frames(boxes)] = 0.0
    return boxes


def _score_track(result, boxes, absent, visible, bound, protocol, name="", timeline=False):
    """(the toolkits' measures, the library's mean overlap) of one result on one sequence.

    The library's own measure counts the first frame as 1 and reads no absence flags. With
    `timeline`, the measures also hold the overlap over time (metrics.overlap_timeline).
    """
    score = metrics.score_sequence(result, boxes, absent, name, protocol, visible, bound)
    if timeline:
        score.timeline = metrics.overlap_timeline(result, boxes, absent, protocol)
    frames = min(len(result), len(boxes))
    return score, _library().track_quality(_as_library_boxes(result[:frames]), _as_library_boxes(boxes[:frames]))


def _best_first(scores, protocol):
    """By AUC, or by AO under GOT-10k's protocol; names break ties."""
    return sorted(scores, key=lambda s: (-(s.ao if protocol.got10k else s.auc), s.name))


def evaluate(bench, use_flags=True, reporter=None, protocol="pysot", fused=(), timelines=False):
    """Scores every tracker of a matched benchmark on its sequences; best AUC first.

    `protocol` names the toolkit whose rules the scores follow (velmora.metrics.PROTOCOLS). A
    tracker's repetitions of a sequence are scored one by one and their curves averaged;
    GOT-10k's measures pool their frames. Timing logs give the trackers' speed. The trackers named
    in `fused`, and the folders velmora fuse wrote, are fused tracks. With `timelines`, every
    sequence's measures also hold its overlap over time (for sequence_strips).
    """
    reporter = reporter or Reporter(quiet=True)
    protocol = metrics.PROTOCOLS[protocol] if isinstance(protocol, str) else protocol
    if not bench.keys:
        raise InputError(f"{bench.annotations.root}: no annotated sequence has a result file from every tracker")
    log = ReadLog()
    per_tracker = {t.name: ([], [], [], []) for t in bench.trackers}
    flagged = nan_lines = 0
    use_codes = {t.name: t.layout == "VOT" for t in bench.trackers}

    def read(key):
        truth = read_truth(bench.annotations.sequences[key], use_flags)
        raw = {t.name: [textfiles.read_box_file(path, use_codes[t.name]) for path in t.sequences[key].runs]
               for t in bench.trackers}
        return key, truth, raw

    with reporter.progress("eval", len(bench.keys)) as progress:
        for key, truth, raw in _read_ahead(bench.keys, read):
            flagged += truth.flagged
            nan_lines += truth.nan_lines
            for tracker in bench.trackers:
                sequences, library, times, runs = per_tracker[tracker.name]
                scores, overlaps = [], []
                files = tracker.sequences[key]
                for path, boxes in zip(files.runs, raw[tracker.name]):
                    result = _interpret(boxes, path, tracker.layout, truth, log, tracker.name, bench.corners)
                    score, overlap = _score_track(*_cut(result, path, truth, reporter, protocol, log, tracker.name),
                                                  truth.bound, protocol, timeline=timelines)
                    scores.append(score)
                    overlaps.append(overlap)
                runs.append(list(scores))
                sequences.append(metrics.mean_score(scores, bench.names[key]))
                library.append(float(np.mean(overlaps)))
                times.extend(textfiles.read_values(path) for path in files.times)
            progress.step()
    log.report(reporter)
    scores = [TrackerScore(t.name, *per_tracker[t.name][:2], protocol, per_tracker[t.name][2],
                           t.provenance is not None or t.name in fused, t.provenance, per_tracker[t.name][3])
              for t in bench.trackers]
    return Evaluation(_best_first(scores, protocol), [bench.names[k] for k in bench.keys], flagged, nan_lines, protocol)


def by_attribute(evaluation, bench, attributes):
    """(attribute, sequence count, [TrackerScore over its sequences]) for each attribute that some
    scored sequence has; `attributes` maps sequence keys to attribute names (velmora.attributes)."""
    from . import attributes as attribute_files
    index = {key: i for i, key in enumerate(bench.keys)}
    rows = []
    for attribute, keys in attribute_files.groups(attributes, bench.keys).items():
        positions = [index[k] for k in keys]
        rows.append((attribute, len(keys), [
            TrackerScore(t.name, [t.sequences[i] for i in positions], [t.overlaps[i] for i in positions], t.protocol,
                         [], t.fused, t.provenance) for t in evaluation.trackers]))
    return rows


@dataclass
class Strip:
    """One sequence's overlap over time (metrics.overlap_timeline): each fused track's, the data set's
    best single tracker's, and the range of the other single trackers', stretch by stretch."""

    sequence: str
    frames: int
    fused: list  # (name, timeline) per fused track, best first
    best: tuple  # (name, timeline), or None without single trackers
    low: np.ndarray = None  # per stretch, the lowest and highest of the other single trackers (NaN
    high: np.ndarray = None  # where none counts); None without other single trackers


def sequence_strips(evaluation):
    """A Strip per sequence of an evaluation made with timelines, in its sequence order."""
    fused = [t for t in evaluation.trackers if t.fused]
    single = [t for t in evaluation.trackers if not t.fused]  # best first, as the protocol ranks them
    strips = []
    for i, name in enumerate(evaluation.sequences):
        if any(t.sequences[i].timeline is None for t in evaluation.trackers):
            raise ValueError("the evaluation holds no overlap timelines (evaluate with timelines=True)")
        strip = Strip(name, evaluation.trackers[0].sequences[i].frames,
                      [(t.name, t.sequences[i].timeline) for t in fused],
                      (single[0].name, single[0].sequences[i].timeline) if single else None)
        if len(single) > 1:
            others = np.stack([t.sequences[i].timeline for t in single[1:]])
            strip.low, strip.high = np.fmin.reduce(others), np.fmax.reduce(others)  # NaN only where all are
        strips.append(strip)
    return strips


# ---- Fusion ----

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


def fuse_sequence(boxes, weights=None, trajectory=False, backtracking=True, refine=True, name="", reporter=None,
                  lag=None, **parameters):
    """Fuses one sequence's tracker boxes, a list of (frames, 4) arrays; returns (frames, 4) float32.

    Frame by frame, a tracker that lost the target (a NaN box, or one without positive size)
    takes no part in that frame: each stretch of frames with the same trackers present is fused
    with those trackers as the selection. A frame in which every tracker lost the target stays
    lost, written as the zero box.

    The trajectory optimisation links frames through one tracker set, so lost boxes take part as
    zero boxes, which attract the others only weakly. It needs a box in every frame, so it runs on
    each stretch of frames between those where every tracker lost the target; where its path
    passes through a lost box, that frame takes the frame-by-frame fusion of the trackers present.
    With a `lag`, the trajectory is what a live run with that lag gives (velmora.streaming).
    `parameters` (alpha, beta, sigma) hold for this call only.
    """
    if trajectory and lag is not None:
        from . import streaming
        return streaming.fuse_live(boxes, weights, lag, refine, name, reporter or Reporter(quiet=True), **parameters)
    lib = _library()
    reporter = reporter or Reporter(quiet=True)
    stack = np.stack([_as_library_boxes(b) for b in boxes])
    trackers, frames = stack.shape[:2]
    present = ~np.stack([textfiles.lost_frames(b) for b in stack])
    if weights is not None:
        present &= (np.asarray(weights, dtype=np.float32) != 0)[:, None]  # a weight of 0 attracts nothing
    somebody = present.any(axis=0)
    result = np.zeros((frames, 4), dtype=np.float32)
    if frames == 0:
        return result
    frame_parameters = {k: v for k, v in parameters.items() if k != "beta"}

    def frame_by_frame(start, end, column):
        selection = np.flatnonzero(column).tolist()
        part = np.ascontiguousarray(stack[:, start:end])
        return lib.fuse(part, selection=None if len(selection) == trackers else selection, weights=weights,
                        refine=refine, **frame_parameters)

    if not trajectory:
        for start, end, column in _constant_stretches(present):
            if column.any():
                result[start:end] = frame_by_frame(start, end, column)
    else:
        for start, end in _stretches(somebody):
            part = np.ascontiguousarray(stack[:, start:end])
            result[start:end] = lib.fuse_trajectory(part, weights=weights, backtracking=backtracking, refine=refine,
                                                    **parameters)
        stray = np.flatnonzero(somebody & textfiles.lost_frames(result))
        for f in stray:
            result[f] = frame_by_frame(f, f + 1, present[:, f])
        if len(stray):
            reporter.warn(f"sequence {name!r}: the trajectory passed through a lost box in "
                          f"{_plural(len(stray), 'frame')} (first at line {stray[0] + 1}); "
                          f"{'they take' if len(stray) > 1 else 'it takes'} the frame-by-frame fusion")
    lost = np.flatnonzero(~somebody)
    if len(lost):
        result[lost] = 0.0
        reporter.warn(f"sequence {name!r}: no tracker has a usable box in {_plural(len(lost), 'frame')} "
                      f"(first at line {lost[0] + 1}); {'they are' if len(lost) > 1 else 'it is'} written as lost "
                      "(0,0,0,0)")
    return result


def _aligned(tracks, paths, frames, truth_path, reporter, log=None, names=None):
    """Every track at `frames` frames: a short one is lost in the frames it lacks, a long one cut.

    The differences are reported through `log`, once per tracker of `names`, when given."""
    aligned = []
    log = log or ReadLog()
    names = names or [None] * len(tracks)
    for boxes, path, name in zip(tracks, paths, names):
        if len(boxes) != frames:
            if len(boxes) < frames:
                log.length(name, f"{path}: {_plural(len(boxes), 'box', 'boxes')} for {_plural(frames, 'frame')}"
                                 f"{' of ' + truth_path if truth_path else ''}; it takes no part in the "
                                 f"{_plural(frames - len(boxes), 'frame')} it lacks", reporter)
                boxes = np.concatenate([boxes, np.full((frames - len(boxes), 4), np.nan)])
            else:
                log.length(name, f"{path}: {_plural(len(boxes), 'box', 'boxes')} for the "
                                 f"{_plural(frames, 'frame')} of {truth_path}; the frames past its end are left out",
                           reporter)
                boxes = boxes[:frames]
        aligned.append(boxes)
    return aligned


def _read_runs(bench, key, repetition):
    """The raw boxes of every tracker's repetition of one sequence (a job for _read_ahead)."""
    return [(t.sequences[key].runs[repetition], textfiles.read_box_file(t.sequences[key].runs[repetition], t.layout == "VOT"))
            for t in bench.trackers]


def _sequence_tracks(bench, raw, log, reporter, truth=None):
    """The trackers' boxes of one sequence and repetition, all at the length of the annotation or the longest."""
    tracks = [_interpret(boxes, path, t.layout, truth, log, t.name, bench.corners)
              for t, (path, boxes) in zip(bench.trackers, raw)]
    frames = len(truth.boxes) if truth is not None else max(len(t) for t in tracks)
    return _aligned(tracks, [path for path, _ in raw], frames, truth and truth.path, reporter, log,
                    [t.name for t in bench.trackers])


def _repetitions(bench, repetition, reporter):
    counts = {t.name: min(len(s.runs) for s in t.sequences.values()) for t in bench.trackers}
    shared = min(counts.values())
    if repetition is not None:
        if not 1 <= repetition <= shared:
            raise InputError(f"--repetition {repetition}: the trackers have {_plural(shared, 'repetition')} in "
                             "common")
        return [repetition - 1]
    if max(counts.values()) > 1:
        reporter.note(f"fusing repetition k of every tracker with repetition k, for k = 1 to {shared}")
    return list(range(shared))


def _weight_list(weights, names, where="weights"):
    """Weights as a list in the order of `names`: from a mapping of tracker names (what learn_weights
    gives), or from a sequence already in that order."""
    if weights is None:
        return None
    if isinstance(weights, collections.abc.Mapping):
        missing = [n for n in names if n not in weights]
        if missing:
            raise InputError(f"{where}: no weight for tracker {_listing(missing)}")
        return [float(weights[n]) for n in names]
    weights = [float(w) for w in weights]
    if len(weights) != len(names):
        raise InputError(f"{where}: {len(weights)} weights for {_plural(len(names), 'tracker')}")
    return weights


def _selected(bench, selection):
    """The benchmark restricted to the trackers named in `selection`, in tracker order."""
    if selection is None:
        return bench
    known = {t.name for t in bench.trackers}
    unknown = [n for n in selection if n not in known]
    if unknown:
        raise InputError(f"selection: no tracker named {_listing(unknown)} (known: {_listing(sorted(known), 10)})")
    chosen = set(selection)
    results = layouts.Results([t for t in bench.trackers if t.name in chosen], bench.results.roots)
    return Benchmark(results, bench.annotations, bench.keys, bench.names, bench.corners)


def fuse_results(bench, output, weights=None, trajectory=False, backtracking=True, refine=True, repetition=None,
                 reporter=None, inputs=None, provenance=None, selection=None, layout=None, lag=None, **parameters):
    """Fuses every sequence of a matched benchmark into the folder `output`, as a tracker folder.

    `weights` maps tracker names to weights (as learn_weights returns them) or lists one weight
    per tracker of `bench`, in its order; `selection` names the trackers to fuse (default: all).
    Every input is read and every sequence fused before the first file is written; the folder
    appears whole or not at all. `output` is a path (a new folder, or one velmora wrote, which
    is replaced whole; anything else is refused before any reading) or a folder of the caller's
    transaction (velmora.outputs.Outputs). A tracker with fewer boxes than the annotation (or than the
    longest tracker, without annotation) takes no part in the frames it lacks. Output files take
    the annotation's spelling of a sequence name, else the one most trackers use.

    `layout` ('plain', 'got10k', 'vot'; default: the one all inputs share, else plain) is one of
    velmora.submissions' layouts. GOT-10k's gives ``<sequence>/<sequence>_00k.txt`` for each
    repetition k and ``<sequence>_time.txt`` when every tracker has timing logs; VOT's gives runs
    without resets, ``unsupervised/<sequence>/<sequence>_00k.txt``; the plain layout gives
    ``<sequence>.txt`` of one repetition (the first, or `repetition`).
    The folder also holds ``.velmora.json``: how the tracks were made (the trackers, weights,
    mode, parameters, and whatever `provenance` adds), which eval reports. Returns the number of
    sequences written.
    """
    reporter = reporter or Reporter(quiet=True)
    if not isinstance(output, outputs.OutputFolder):  # a path: checked against every input here
        inputs = inputs or register_inputs(bench)
    weights = _weight_list(weights, [t.name for t in bench.trackers])
    if selection is not None:
        index = {t.name: i for i, t in enumerate(bench.trackers)}
        bench = _selected(bench, selection)
        weights = None if weights is None else [weights[index[t.name]] for t in bench.trackers]
    with outputs.into_folder(output, inputs) as folder:
        return _fuse_into(folder, bench, weights, trajectory, backtracking, refine, repetition, reporter, provenance,
                          layout, lag, parameters)


def _fuse_into(folder, bench, weights, trajectory, backtracking, refine, repetition, reporter, provenance, layout,
               lag, parameters):
    from . import submissions
    if not bench.keys:
        raise InputError(f"{bench.results.roots[0][0]}: no sequence has a result file from every tracker "
                         f"({_listing(t.name for t in bench.trackers)})")
    layout = submissions.choose_layout(bench.trackers, layout, reporter)
    repetitions = _repetitions(bench, repetition, reporter) if layout != "plain" or repetition is not None else [0]
    if layout == "plain" and any(t.repetitions > 1 for t in bench.trackers) and repetition is None:
        reporter.note("fusing the first repetition of every tracker (--repetition chooses another)")
    log = ReadLog()
    jobs = [(key, k) for key in bench.keys for k in repetitions]

    def read(job):
        key, k = job
        truth = None if bench.annotations is None else read_truth(bench.annotations.sequences[key], use_flags=False)
        return job, truth, _read_runs(bench, key, k)

    fused, seconds = {}, {}
    with reporter.progress("fuse", len(jobs)) as progress:
        for (key, k), truth, raw in _read_ahead(jobs, read):
            tracks = _sequence_tracks(bench, raw, log, reporter, truth)
            start = time.perf_counter()
            fused[key, k] = fuse_sequence(tracks, weights, trajectory, backtracking, refine, bench.names[key],
                                          reporter, lag, **parameters)
            seconds[key, k] = time.perf_counter() - start
            progress.step()
    log.report(reporter)
    files = [f for (key, k), boxes in fused.items() for f in submissions.submission_files(layout, bench.names[key],
                                                                                           k, boxes)]
    timed = ""
    if layout == "GOT-10k":
        timing, timed = submissions.timing_files(bench.trackers, bench.keys, bench.names, fused, seconds, repetitions,
                                                 reporter)
        files += timing
    record = {"trackers": [t.name for t in bench.trackers],
              "weights": None if weights is None else dict(zip((t.name for t in bench.trackers), map(float, weights))),
              "mode": "trajectory optimisation" if trajectory else "frame by frame", "refine": refine,
              "backtracking": backtracking, "layout": layout, **({"lag": lag} if trajectory and lag is not None else {}),
              "parameters": _parameters_in_force(parameters), **(provenance or {})}
    write_fused(folder, files, record)
    reporter.note(f"wrote {_plural(len(bench.keys), 'sequence')} to {folder.path} in the "
                  f"{submissions.describe_layout(layout)}{timed}")
    return len(bench.keys)


def write_fused(output, files, record):
    """Writes (path, bytes) files and the record of how they were made into a folder, all at once.

    `output` is a path, or a folder of the caller's transaction (velmora.outputs.Outputs). A
    path must name a new folder or one velmora wrote that holds nothing else; its old content
    is replaced as a whole.
    """
    with outputs.into_folder(output) as folder:
        folder.record.update(record)
        for path, data in files:
            folder.write(path, data)


def _parameters_in_force(parameters):
    """The library's parameters as a call with these keywords reads them."""
    values = _library().get_params()
    values.update({k: float(v) for k, v in parameters.items() if v is not None})
    return values


# ---- Data sets for learning ----

@dataclass
class DataSet:
    """An annotated benchmark in the library's form: one run per stretch of usable frames."""

    names: list  # tracker order: the index of a tracker in every run
    sequences: list
    library: object  # velmora.DataSet: per sequence, runs of float32 boxes and the annotation
    frames: int  # frames in runs
    left_out: int  # frames of shared sequences that are in no run
    flagged: int = 0
    nan_lines: int = 0


class _Runs:
    """The runs of an annotated benchmark in the library's form, sequence by sequence.

    A frame is usable when its annotation box has a positive size and is not absent (and, with
    every_tracker, when no tracker lost the target: the trajectory optimisation needs a box of
    every tracker it might keep). Each stretch of at least two usable frames is one run, starting
    at its first frame; usually that is one run per sequence, starting at frame 1. Iterating
    yields (sequence name, runs, float32 annotation) and counts what was read and left out.
    """

    def __init__(self, bench, use_flags, every_tracker, reporter):
        if bench.annotations is None or not bench.keys:
            raise InputError("no annotated sequence has a result file from every tracker")
        self.bench, self.use_flags, self.every_tracker, self.reporter = bench, use_flags, every_tracker, reporter
        self.sequences, self.frames, self.left_out, self.flagged, self.nan_lines = [], 0, 0, 0, 0

    def __iter__(self):
        bench, log = self.bench, ReadLog()

        def read(key):
            return read_truth(bench.annotations.sequences[key], self.use_flags), _read_runs(bench, key, 0)

        with self.reporter.progress("reading", len(bench.keys)) as progress:
            for truth, raw in _read_ahead(bench.keys, read):
                self.flagged += truth.flagged
                self.nan_lines += truth.nan_lines
                tracks = _sequence_tracks(bench, raw, log, self.reporter, truth)
                usable = ~textfiles.lost_frames(truth.boxes) & ~truth.absent
                stack = np.stack([_as_library_boxes(t) for t in tracks])
                if self.every_tracker:
                    for track in stack:
                        usable &= ~textfiles.lost_frames(track)
                runs = [(np.ascontiguousarray(stack[:, s:e]), int(s) + 1) for s, e in _stretches(usable)
                        if e - s >= 2]
                used = sum(run[0].shape[1] for run in runs)
                self.left_out += len(truth.boxes) - used
                progress.step()
                if not runs:
                    self.reporter.warn(f"sequence {truth.name!r} left out: no two consecutive usable frames")
                    continue
                self.sequences.append(truth.name)
                self.frames += used
                yield truth.name, runs, _as_library_boxes(truth.boxes)
        log.report(self.reporter)
        if not self.sequences:
            raise InputError(f"{bench.annotations.root}: no annotated sequence with results from every tracker "
                             "and usable frames")
        if self.left_out:
            why = "annotation empty or absent" + (", or some tracker lost" if self.every_tracker else "")
            self.reporter.note(f"{_plural(self.left_out, 'frame')} left out ({why})")

    def dataset(self, library):
        return DataSet([t.name for t in self.bench.trackers], self.sequences, library, self.frames, self.left_out,
                       self.flagged, self.nan_lines)


def build_dataset(bench, use_flags=True, every_tracker=False, reporter=None):
    """Reads a matched benchmark into the library's data-set form, the first repetition of each tracker.

    See _Runs for the frames used. The runs go straight into a velmora.DataSet, one sequence at
    a time, so the boxes are held once, in the library's form.
    """
    runs = _Runs(bench, use_flags, every_tracker, reporter or Reporter(quiet=True))
    held = _library().DataSet()
    for _, sequence, annotation in runs:
        held.add(sequence, annotation)
    return runs.dataset(held)


def learn_weights(dataset, **parameters):
    """{tracker name: weight}, in tracker order: each tracker's mean attraction to the annotation (a
    float32 value). fuse_results and select_trackers take the mapping as it is."""
    weights = _library().tracker_weights(dataset.library, **parameters)
    return {name: float(w) for name, w in zip(dataset.names, np.asarray(weights, dtype=np.float32))}


def learn_weights_streaming(bench, use_flags=True, reporter=None, **parameters):
    """The weights learn_weights gives for build_dataset(bench), learnt one sequence at a time, as
    an array in tracker order.

    Only one sequence is held at a time. Each tracker's weight is the library's: its mean
    attraction to the annotation in every run (velmora.track_attraction, which the weights are
    made of), times the run's frames after the first, summed over the runs in order and divided by
    their total, in float32: the library's own operations in the library's order, which a test
    holds to the bit. Returns (the data set's description, without data; the weights).
    """
    lib = _library()
    runs = _Runs(bench, use_flags, False, reporter or Reporter(quiet=True))
    sums = np.zeros(len(bench.trackers), dtype=np.float32)
    total = 0
    for _, sequence, annotation in runs:
        for stack, start in sequence:
            frames = np.float32(stack.shape[1] - 1)
            for k, track in enumerate(stack):
                mean = np.float32(lib.track_attraction(track, annotation, shift=start - 1, start=1, **parameters))
                sums[k] = sums[k] + mean * frames
            total += stack.shape[1] - 1
    return runs.dataset(None), sums / np.float32(total)


@dataclass
class Selection:
    kept: list  # tracker names, in tracker order
    before: float  # the data set's mean overlap with every tracker
    after: float  # and with the kept ones
    weights: dict = field(default_factory=dict)  # tracker name -> the weight used


def select_trackers(dataset, weights=None, trajectory=False, **parameters):
    """Global tracker removal over the data set, with the given weights (a mapping of tracker names, as
    learn_weights gives them, or a list in tracker order) or learnt ones."""
    lib = _library()
    if weights is None:
        weights = learn_weights(dataset, **{k: v for k, v in parameters.items() if k != "beta"})
    weights = _weight_list(weights, dataset.names)
    kept = list(lib.global_removal(dataset.library, weights=weights, trajectory=trajectory, **parameters))
    # An empty list stands for every tracker, the way the fusion reads it.
    kept = kept or list(range(len(dataset.names)))
    before = lib.evaluate_dataset(dataset.library, trajectory=trajectory, weights=weights, **parameters)
    after = lib.evaluate_dataset(dataset.library, trajectory=trajectory, selection=kept, weights=weights,
                                 **parameters)
    return Selection([dataset.names[k] for k in kept], before, after, dict(zip(dataset.names, weights)))


# ---- Held-out learning ----

def folds(bench, k, seed=0):
    """K disjoint folds of the benchmark's sequences: their names in order, shuffled with `seed`, dealt
    out in K nearly equal parts. Returns [(train keys, test keys)], each in name order."""
    if not 2 <= k <= len(bench.keys):
        raise InputError(f"--folds {k}: needs from 2 to {len(bench.keys)} folds for {len(bench.keys)} sequences")
    order = np.random.default_rng(seed).permutation(len(bench.keys))
    splits = []
    for i in range(k):
        test = set(order[i::k].tolist())
        splits.append(([key for j, key in enumerate(bench.keys) if j not in test],
                       [key for j, key in enumerate(bench.keys) if j in test]))
    return splits


def split(bench, train_names, test_names, reporter=None):
    """The one fold of given training and test lists of sequence names: [(train keys, test keys)]."""
    reporter = reporter or Reporter(quiet=True)
    known = {layouts.sequence_key(bench.names[k]): k for k in bench.keys}
    parts = []
    for what, names in (("training", train_names), ("test", test_names)):
        keys = [layouts.sequence_key(n) for n in names]
        missing = [n for n, k in zip(names, keys) if k not in known]
        if missing:
            reporter.warn(f"{_plural(len(missing), 'sequence')} of the {what} list have no results from every "
                          f"tracker: {_listing(missing)}")
        parts.append(sorted({known[k] for k in keys if k in known}, key=bench.keys.index))
    both = set(parts[0]) & set(parts[1])
    if both:
        raise InputError(f"the training and test lists share {_plural(len(both), 'sequence')}: "
                         f"{_listing(bench.names[k] for k in sorted(both, key=bench.keys.index))}")
    if not parts[0] or not parts[1]:
        raise InputError("the training or the test list names no sequence that every tracker has")
    return [tuple(parts)]


@dataclass
class Fold:
    train: list  # sequence names
    test: list
    weights: dict  # tracker name -> weight
    selection: list  # tracker names kept


@dataclass
class HeldOut:
    """Held-out fusion beside every tracker and beside the in-sample fusion."""

    evaluation: Evaluation  # the single trackers, the held-out and the in-sample fused tracks
    folds: list  # Fold per fold
    fused: dict  # sequence key -> the held-out fused track (float32)


def crossval(bench, splits, trajectory=False, backtracking=True, refine=True, select=True, use_flags=True,
             protocol="pysot", name="Velmora", reporter=None, timelines=False, **parameters):
    """Learns weights and a selection on each split's training sequences, fuses its test sequences with
    them, and scores the fused tracks beside every tracker, beside the in-sample fusion (learnt on
    the very sequences scored, which flatters it) and beside the untuned fusion (every tracker,
    equal weights, nothing learnt), which shows what learning brings.

    The learning data are read once for all parts; each training part's library data set is made
    from them. `timelines` as in evaluate.
    """
    reporter = reporter or Reporter(quiet=True)
    protocol = metrics.PROTOCOLS[protocol] if isinstance(protocol, str) else protocol
    for number, (train, test) in enumerate(splits, 1):
        shared = set(train) & set(test)
        if shared:  # a held-out score of sequences learnt on is no held-out score
            raise InputError(f"fold {number}: the training and test parts share {_plural(len(shared), 'sequence')}: "
                             f"{_listing(sorted(bench.names[k] for k in shared))}; they must be disjoint")
    lib = _library()
    scored = sorted({k for _, test in splits for k in test}, key=bench.keys.index)
    wanted = set(scored) | {k for train, _ in splits for k in train}
    subset = Benchmark(bench.results, bench.annotations, [k for k in bench.keys if k in wanted], bench.names,
                       bench.corners)
    # The runs of usable frames of every sequence, read once for all the training parts.
    stacks = {layouts.sequence_key(sequence): (sequence_runs, annotation)
              for sequence, sequence_runs, annotation in _Runs(subset, use_flags, trajectory, reporter)}
    truths = {k: read_truth(bench.annotations.sequences[k], use_flags) for k in scored}
    frame_parameters = {k: v for k, v in parameters.items() if k != "beta"}

    def learn(keys):
        held = lib.DataSet()
        for key in keys:
            if key in stacks:
                held.add(*stacks[key])
        if not len(held):
            raise InputError("a training part has no sequence with usable frames")
        weights = [float(w) for w in lib.tracker_weights(held, **frame_parameters)[:len(bench.trackers)]]
        kept = list(range(len(bench.trackers)))
        if select:
            kept = list(lib.global_removal(held, weights=weights, trajectory=trajectory, **parameters)) or kept
        return weights, kept

    def fuse(keys, weights, kept, fused, say=reporter):
        for key in keys:
            tracks = _read_tracks_of(bench, key, truths[key], say)
            fused[key] = fuse_sequence([tracks[i] for i in kept], [weights[i] for i in kept], trajectory,
                                       backtracking, refine, bench.names[key], say, **parameters)

    held_out, folds_made = {}, []
    with reporter.progress("crossval", len(splits)) as progress:
        for train, test in splits:
            weights, kept = learn(train)
            fuse(test, weights, kept, held_out)
            folds_made.append(Fold([bench.names[k] for k in train], [bench.names[k] for k in test],
                                   {t.name: w for t, w in zip(bench.trackers, weights)},
                                   [bench.trackers[i].name for i in kept]))
            progress.step()
    # The same sequences fused again: what their fusion said is not said twice.
    again = Reporter(quiet=True, stream=io.StringIO())
    in_sample, untuned = {}, {}
    weights, kept = learn(scored)
    fuse(scored, weights, kept, in_sample, again)
    everyone = list(range(len(bench.trackers)))
    fuse(scored, [1.0] * len(everyone), everyone, untuned, again)

    single = evaluate(Benchmark(bench.results, bench.annotations, scored, bench.names, bench.corners), use_flags,
                      reporter, protocol, timelines=timelines)
    rows = list(single.trackers)
    for label, tracks, record in (
            (f"{name} (held-out)", held_out, {"learnt on": "the other sequences"}),
            (f"{name} (in-sample)", in_sample, {"learnt on": "the sequences scored", "weights": dict(
                zip((t.name for t in bench.trackers), weights)), "selection": [bench.trackers[i].name for i in kept]}),
            (f"{name} (untuned)", untuned, {"learnt on": "nothing: every tracker, each with weight 1"})):
        # Scored as written: the numbers of the files -o writes, which eval then reads.
        measured = [_score_track(textfiles.as_written(tracks[k]), truths[k].boxes, truths[k].absent, truths[k].visible,
                                 truths[k].bound, protocol, bench.names[k], timelines) for k in scored]
        rows.append(TrackerScore(label, [m[0] for m in measured], [m[1] for m in measured], protocol, [], True,
                                 record))
    evaluation = Evaluation(_best_first(rows, protocol), [bench.names[k] for k in scored], single.flagged,
                            single.nan_lines, protocol)
    return HeldOut(evaluation, folds_made, held_out)


def _read_tracks_of(bench, key, truth, reporter):
    """Every tracker's boxes of a sequence's first repetition, at the annotation's length."""
    return _sequence_tracks(bench, _read_runs(bench, key, 0), ReadLog(), reporter, truth)
