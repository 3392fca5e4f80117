"""Learning from an annotated benchmark: its data set in the library's form, weights, a selection."""

from dataclasses import dataclass, field

import numpy as np

from .. import metrics
from ..textfiles import InputError
from ..messages import Reporter
from .common import library, plural, stretches
from .matching import weight_list
from .reading import read_runs


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
        bench = self.bench
        with self.reporter.progress("reading", len(bench.keys)) as progress:
            for _, truth, tracks in read_runs(bench, [(key, 0) for key in bench.keys], self.reporter, self.use_flags):
                self.flagged += truth.flagged
                self.nan_lines += truth.nan_lines
                usable = ~metrics.lost_frames(truth.boxes) & ~truth.absent
                stack = np.stack([metrics.as_library_boxes(t) for t in tracks])
                if self.every_tracker:
                    for track in stack:
                        usable &= ~metrics.lost_frames(track)
                runs = [(np.ascontiguousarray(stack[:, s:e]), int(s) + 1) for s, e in stretches(usable)
                        if e - s >= 2]
                used = sum(run[0].shape[1] for run in runs)
                self.left_out += len(truth.boxes) - used
                progress.step()
                if not runs:
                    self.reporter.warn(f"sequence {truth.name!r} left out: no two consecutive usable frames")
                    continue
                self.sequences.append(truth.name)
                self.frames += used
                yield truth.name, runs, metrics.as_library_boxes(truth.boxes)
        if not self.sequences:
            raise InputError(f"{bench.annotations.root}: no annotated sequence with results from every tracker "
                             "and usable frames")
        if self.left_out:
            why = "annotation empty or absent" + (", or some tracker lost" if self.every_tracker else "")
            self.reporter.note(f"{plural(self.left_out, 'frame')} left out ({why})")

    def dataset(self, library):
        return DataSet([t.name for t in self.bench.trackers], self.sequences, library, self.frames, self.left_out,
                       self.flagged, self.nan_lines)


def build_dataset(bench, use_flags=True, every_tracker=False, reporter=None):
    """Reads a matched benchmark into the library's data-set form, the first repetition of each tracker.

    See _Runs for the frames used. The runs go straight into a velmora.DataSet, one sequence at
    a time, so the boxes are held once, in the library's form.
    """
    runs = _Runs(bench, use_flags, every_tracker, reporter or Reporter(quiet=True))
    held = library().DataSet()
    for _, sequence, annotation in runs:
        held.add(sequence, annotation)
    return runs.dataset(held)


def learn_weights(dataset, **parameters):
    """{tracker name: weight}, in tracker order: each tracker's mean attraction to the annotation (a
    float32 value). fuse_results and select_trackers take the mapping as it is."""
    weights = library().tracker_weights(dataset.library, **parameters)
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
    lib = library()
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
    lib = library()
    if weights is None:
        weights = learn_weights(dataset, **{k: v for k, v in parameters.items() if k != "beta"})
    weights = weight_list(weights, dataset.names)
    kept = list(lib.global_removal(dataset.library, weights=weights, trajectory=trajectory, **parameters))
    # An empty list stands for every tracker, the way the fusion reads it.
    kept = kept or list(range(len(dataset.names)))
    before = lib.evaluate_dataset(dataset.library, trajectory=trajectory, weights=weights, **parameters)
    after = lib.evaluate_dataset(dataset.library, trajectory=trajectory, selection=kept, weights=weights,
                                 **parameters)
    return Selection([dataset.names[k] for k in kept], before, after, dict(zip(dataset.names, weights)))
