"""Scoring trackers as benchmarks do: every measure of a protocol, per sequence and over a data set."""

import functools
from dataclasses import dataclass, field

import numpy as np

from .. import metrics
from ..textfiles import InputError
from ..messages import Reporter
from .common import library
from .reading import read_scored


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


def score_track(result, boxes, absent, visible, bound, protocol, name="", timeline=False):
    """(the toolkits' measures, the library's mean overlap) of one result on one sequence.

    The library's own measure counts the first frame as 1 and reads no absence flags. With
    `timeline`, the measures also hold the overlap over time (metrics.overlap_timeline).
    """
    score = metrics.score_sequence(result, boxes, absent, name, protocol, visible, bound)
    if timeline:
        score.timeline = metrics.overlap_timeline(result, boxes, absent, protocol)
    frames = min(len(result), len(boxes))
    return score, library().track_quality(metrics.as_library_boxes(result[:frames]), metrics.as_library_boxes(boxes[:frames]))


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
    per_tracker = {t.name: ([], [], [], []) for t in bench.trackers}
    flagged = nan_lines = 0
    with reporter.progress("eval", len(bench.keys)) as progress:
        for key, truth, runs, times in read_scored(bench, use_flags, protocol, reporter):
            flagged += truth.flagged
            nan_lines += truth.nan_lines
            for tracker in bench.trackers:
                sequences, overlaps, seconds, repetitions = per_tracker[tracker.name]
                scored = [score_track(*run, truth.bound, protocol, timeline=timelines) for run in runs[tracker.name]]
                repetitions.append([score for score, _ in scored])
                sequences.append(metrics.mean_score(repetitions[-1], bench.names[key]))
                overlaps.append(float(np.mean([overlap for _, overlap in scored])))
                seconds.extend(times[tracker.name])
            progress.step()
    scores = [TrackerScore(t.name, *per_tracker[t.name][:2], protocol, per_tracker[t.name][2],
                           t.provenance is not None or t.name in fused, t.provenance, per_tracker[t.name][3])
              for t in bench.trackers]
    return Evaluation(protocol.ranked(scores), [bench.names[k] for k in bench.keys], flagged, nan_lines, protocol)


def by_attribute(evaluation, bench, attributes):
    """(attribute, sequence count, [TrackerScore over its sequences]) for each attribute that some
    scored sequence has; `attributes` maps sequence keys to attribute names (velmora.attributes)."""
    from .. import attributes as attribute_files
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
