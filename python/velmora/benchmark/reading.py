"""Reading a benchmark's files: annotated sequences and result files, and what reading them found.

Result files are read ahead on two threads while the caller scores or fuses the sequence before.
"""

import collections
import concurrent.futures
import itertools
import os
from dataclasses import dataclass

import numpy as np

from .. import layouts, metrics, textfiles
from ..textfiles import InputError
from .common import plural


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
    bound = textfiles.read_resolution(sequence.meta_path) if sequence.meta_path else None
    return Truth(sequence.name, sequence.path, boxes, absent, int(flagged.sum()), int(nan_lines.sum()), cover, bound)


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
            more = f" ({plural(files - 1, 'more file')} of this tracker alike)" if files > 1 else ""
            reporter.warn(f"tracker {tracker!r}: {message}{more}")
        for tracker, (boxes, files, first) in self.negative.items():
            reporter.warn(f"tracker {tracker!r}: {plural(boxes, 'box', 'boxes')} with a negative width or height "
                          f"in {plural(files, 'file')} (first at {first}), read as lost")
        for tracker, files in self.polygons.items():
            reporter.note(f"tracker {tracker!r}: {plural(files, 'file')} hold polygons, read as their bounding boxes")
        for tracker, files in self.corners.items():
            if self.corners_applied:
                reporter.note(f"tracker {tracker!r}: the first line of {plural(files, 'file')} read as corners "
                              "x1,y1,x2,y2")
            else:
                reporter.warn(f"tracker {tracker!r}: the first line of {plural(files, 'file')} matches the "
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
    first = truth.boxes[0]
    corner = [x, y, w - x, h - y]
    if metrics.iou([x, y, w, h], first) < 0.5 and metrics.iou(corner, first) >= 0.9:  # NaN compares false
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


def align(tracks, paths, frames, truth_path, reporter, log=None, names=None):
    """Every track at `frames` frames: a short one is lost in the frames it lacks, a long one cut.

    The differences are reported through `log`, once per tracker of `names`, when given."""
    aligned = []
    log = log or ReadLog()
    names = names or [None] * len(tracks)
    for boxes, path, name in zip(tracks, paths, names):
        if len(boxes) != frames:
            if len(boxes) < frames:
                log.length(name, f"{path}: {plural(len(boxes), 'box', 'boxes')} for {plural(frames, 'frame')}"
                                 f"{' of ' + truth_path if truth_path else ''}; it takes no part in the "
                                 f"{plural(frames - len(boxes), 'frame')} it lacks", reporter)
                boxes = np.concatenate([boxes, np.full((frames - len(boxes), 4), np.nan)])
            else:
                log.length(name, f"{path}: {plural(len(boxes), 'box', 'boxes')} for the "
                                 f"{plural(frames, 'frame')} of {truth_path}; the frames past its end are left out",
                           reporter)
                boxes = boxes[:frames]
        aligned.append(boxes)
    return aligned


def _read_runs(bench, key, repetition):
    """The raw boxes of every tracker's repetition of one sequence (a job for _read_ahead)."""
    paths = [t.sequences[key].runs[repetition] for t in bench.trackers]
    return [(path, textfiles.read_box_file(path, t.layout == "VOT")) for t, path in zip(bench.trackers, paths)]


def _sequence_tracks(bench, raw, log, reporter, truth=None):
    """The trackers' boxes of one sequence and repetition, all at the length of the annotation or the longest."""
    tracks = [_interpret(boxes, path, t.layout, truth, log, t.name, bench.corners)
              for t, (path, boxes) in zip(bench.trackers, raw)]
    frames = len(truth.boxes) if truth is not None else max(len(t) for t in tracks)
    return align(tracks, [path for path, _ in raw], frames, truth and truth.path, reporter, log,
                    [t.name for t in bench.trackers])


def read_tracks(bench, key, truth, reporter):
    """Every tracker's boxes of the first repetition of sequence `key`, at the length of `truth`, its
    annotation as read."""
    return _sequence_tracks(bench, _read_runs(bench, key, 0), ReadLog(), reporter, truth)


def read_runs(bench, runs, reporter, use_flags=False):
    """Yields (run, truth, tracks) for each (sequence key, repetition) of `runs`, in order.

    `truth` is the sequence's annotation (None without one) and `tracks` every tracker's boxes of
    that repetition at the annotation's length (or the longest track's). Files are read ahead on
    two threads; what reading found is reported once, after the last run.
    """
    log = ReadLog()

    def read(run):
        key, k = run
        truth = None if bench.annotations is None else read_truth(bench.annotations.sequences[key], use_flags)
        return run, truth, _read_runs(bench, key, k)

    for run, truth, raw in _read_ahead(runs, read):
        yield run, truth, _sequence_tracks(bench, raw, log, reporter, truth)
    log.report(reporter)


def read_files(files, names, anno, reporter):
    """The result files of one sequence, one per tracker of `names`, at the length of `anno`, the
    sequence's annotation file (or of the longest track, without one); what reading found is
    reported."""
    truth = None
    if anno:
        if not os.path.isfile(anno):
            raise InputError(f"{anno}: with result files, --anno names the annotation file of their sequence")
        truth = read_truth(layouts.AnnotatedSequence(os.path.basename(anno)[:-4], anno), use_flags=False)
    log = ReadLog()
    tracks = [read_result(f, truth=truth, log=log, tracker=n) for f, n in zip(files, names)]
    log.report(reporter)
    frames = len(truth.boxes) if truth is not None else max(len(t) for t in tracks)
    return align(tracks, files, frames, anno, reporter)


def _cut(result, path, truth, reporter, protocol, log, tracker):
    """(result, annotation, absent, visible) at the frames both have, or the result padded as the
    protocol says; a difference is reported through `log`, once per tracker."""
    if len(result) == 0:
        raise InputError(f"{path}: no boxes")
    boxes, absent, visible = truth.boxes, truth.absent, truth.visible
    if len(result) < len(boxes) and protocol.short_results == "padded":
        log.length(tracker, f"{path}: {plural(len(result), 'box', 'boxes')} for the {plural(len(boxes), 'frame')} "
                            f"of {truth.path}; the missing frames score as zero boxes", reporter)
    elif len(result) != len(boxes):
        frames = min(len(result), len(boxes))
        log.length(tracker, f"{path}: {plural(len(result), 'box', 'boxes')} for the {plural(len(boxes), 'frame')} "
                            f"of {truth.path}; scoring the {plural(frames, 'frame')} both have", reporter)
        result, boxes, absent, visible = result[:frames], boxes[:frames], absent[:frames], visible[:frames]
    return result, boxes, absent, visible


def read_scored(bench, use_flags, protocol, reporter):
    """Yields (key, truth, runs, times) for each sequence of `bench`, in order: its annotation, and
    per tracker name the (result, annotation boxes, absent, visible) of each repetition, at the
    frames `protocol` scores, and the seconds per frame of each of its timing logs. Files are read
    ahead on two threads; what reading found is reported once, after the last sequence."""
    log = ReadLog()

    def read(key):
        truth = read_truth(bench.annotations.sequences[key], use_flags)
        raw = {t.name: [textfiles.read_box_file(path, t.layout == "VOT") for path in t.sequences[key].runs]
               for t in bench.trackers}
        times = {t.name: [textfiles.read_values(path) for path in t.sequences[key].times] for t in bench.trackers}
        return key, truth, raw, times

    for key, truth, raw, times in _read_ahead(bench.keys, read):
        runs = {}
        for t in bench.trackers:
            paths = t.sequences[key].runs
            runs[t.name] = [_cut(_interpret(boxes, path, t.layout, truth, log, t.name, bench.corners), path, truth,
                                 reporter, protocol, log, t.name) for path, boxes in zip(paths, raw[t.name])]
        yield key, truth, runs, times
    log.report(reporter)
