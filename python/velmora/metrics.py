"""The one-pass evaluation measures that tracking benchmarks publish, under each toolkit's rules.

Every function takes result and annotation boxes as (frames, 4) arrays of x, y, width, height
and works in double precision, as the community's toolkits do. Each per-sequence curve is a count
of frames divided by the number of annotation frames; a data set's curve is the mean of its
sequences' curves. Frames flagged absent are counted in no curve point but stay in the divisor,
the convention behind published LaSOT numbers.

- success: intersection over union in continuous coordinates, clamped to [0, 1]; a frame whose
  annotation box is not scored (see the protocols) scores -1. A curve point counts the frames
  whose overlap is strictly above the threshold (0, 0.05, ..., 1). The area under the curve (AUC)
  is the mean of the 21 points; OP50 and OP75 are the points at 0.5 and 0.75.
- precision: distance of the box centres (x + w/2, y + h/2); a frame whose annotation is not
  scored gets distance -1, which lies within every threshold (the common toolkits' convention,
  kept so that published numbers come out the same), or +inf where a toolkit counts it as a miss.
  A point counts the frames at distance <= threshold (0, 1, ..., 50 pixels); precision is the
  point at 20 pixels.
- normalised precision: the same with the centres divided by the annotation box's width and height
  before the distance (pysot adds 1e-16 to them first), thresholds 0, 0.01, ..., 0.5, reported at
  0.2.
- GOT-10k's average overlap (AO) and success rates (SR0.5, SR0.75): the mean overlap, and the
  share of overlaps strictly above 0.5 and 0.75, over the frames after the first whose target is
  visible (cover label above 0, or not flagged absent), pooled over every frame of every
  sequence and repetition, as GOT-10k's toolkit pools them.

A NaN box (a lost target, or an unusable annotation) counts in no point.

Protocols: the toolkits agree on thresholds and measures but differ in a few rules, named here
after the toolkit that follows them. ``pysot`` (the default) scores the first frame as the
tracker reported it and every box as it is, scores annotation boxes of positive width and height,
and counts a frame whose annotation centre has a coordinate of 0 or less within every precision
threshold; it takes a box's centre as pysot does, x + (w - 1) / 2, and divides each centre by the
annotation's size before their difference, so that a frame on a threshold counts as in pysot.
``otb`` (the OTB toolkit) and ``lasot`` (the LaSOT toolkit) replace the first frame by the
annotation and score only annotation boxes whose four numbers are all above 0; ``lasot`` also
replaces a lost box (NaN, or no positive width and height) by the previous one and leaves out of
the data-set mean any sequence whose whole curve is 0. ``pytracking`` replaces the first frame by
the annotation, a box of zero width or height (or NaN) by the previous one, pads a short result
with zero boxes, scores annotation boxes of positive width and height, and counts an unscored
frame as a miss in precision but within every threshold of normalised precision. ``got10k``
reports GOT-10k's AO, SR0.5 and SR0.75 first (its curves follow ``pysot``).
"""

from dataclasses import dataclass

import numpy as np

from . import _core

__all__ = [
    "SUCCESS_THRESHOLDS", "PRECISION_THRESHOLDS", "NORM_PRECISION_THRESHOLDS", "PRECISION_AT", "NORM_PRECISION_AT",
    "OP50_AT", "OP75_AT", "Protocol", "PROTOCOLS", "CurveMeasures", "overlaps", "center_errors",
    "normalized_center_errors", "success_curve", "precision_curve", "norm_precision_curve", "SequenceScore",
    "score_sequence", "mean_score", "mean_curves", "got10k_measures", "frames_per_second", "TIMELINE_BINS",
    "overlap_timeline", "iou", "lost_frames", "as_library_boxes",
]

SUCCESS_THRESHOLDS = np.arange(0, 1.05, 0.05)
PRECISION_THRESHOLDS = np.arange(0, 51, 1)
NORM_PRECISION_THRESHOLDS = np.arange(0, 51, 1) / 100  # pysot's: 0.35, 0.41, 0.47 differ from arange's
PRECISION_AT = 20  # index of 20 pixels in PRECISION_THRESHOLDS
NORM_PRECISION_AT = 20  # index of 0.2 in NORM_PRECISION_THRESHOLDS
OP50_AT, OP75_AT = 10, 15  # indices of 0.5 and 0.75 in SUCCESS_THRESHOLDS

assert len(SUCCESS_THRESHOLDS) == 21 and len(PRECISION_THRESHOLDS) == 51 and len(NORM_PRECISION_THRESHOLDS) == 51
assert SUCCESS_THRESHOLDS[OP50_AT] == 0.5 and SUCCESS_THRESHOLDS[OP75_AT] == 0.75
assert PRECISION_THRESHOLDS[PRECISION_AT] == 20 and NORM_PRECISION_THRESHOLDS[NORM_PRECISION_AT] == 0.2


@dataclass(frozen=True)
class Protocol:
    """The rules in which the toolkits differ (see the module's text)."""

    name: str
    first_frame: str = "scored"  # "scored" as reported, or "annotation": replaced by the annotation box
    lost_boxes: str = "scored"  # "scored" as they are, or "previous": replaced by the previous box
    lost: str = "nan"  # which boxes "previous" replaces: "nan-or-empty" (w or h <= 0) or "zero" (w or h == 0)
    short_results: str = "cut"  # "cut": scored on the frames both have; "padded" with zero boxes
    scored: str = "size"  # annotation boxes scored: "size" (w, h > 0) or "positive" (x, y, w, h > 0)
    centre_test: str = "centre"  # which frames precision leaves unscored: "centre" (a centre coordinate
    # of 0 or less), or "scored" (the annotation boxes that success leaves unscored)
    unscored_centre: float = -1.0  # the centre error of an unscored frame: -1 (within every threshold) or inf
    unscored_normalized: float = -1.0
    size_epsilon: float = 0.0  # added to the annotation's width and height before normalising
    centres: str = "middle"  # "middle": x + w / 2, normalising the difference; "pysot": x + (w - 1) / 2,
    # each centre normalised before the difference, pysot's operations in its order
    drop_empty: bool = False  # the data-set mean leaves out sequences whose curve is 0 throughout
    got10k: bool = False  # GOT-10k's measures lead the report

    def ranked(self, scores):
        """Best first: by AUC, or by AO under GOT-10k's protocol; names break ties."""
        return sorted(scores, key=lambda s: (-(s.ao if self.got10k else s.auc), s.name))


PROTOCOLS = {p.name: p for p in (
    Protocol("pysot", size_epsilon=1e-16, centres="pysot"),
    Protocol("otb", first_frame="annotation", scored="positive", centre_test="scored"),
    Protocol("lasot", first_frame="annotation", lost_boxes="previous", lost="nan-or-empty", scored="positive",
             centre_test="scored", drop_empty=True),
    Protocol("pytracking", first_frame="annotation", lost_boxes="previous", lost="zero", short_results="padded",
             centre_test="scored", unscored_centre=np.inf),
    Protocol("got10k", got10k=True),
)}
DEFAULT = PROTOCOLS["pysot"]


# ---- Lost boxes ----

def lost_frames(boxes):
    """True where a box stands for a lost target: a NaN in it, or no positive width and height."""
    boxes = np.asarray(boxes)
    with np.errstate(invalid="ignore"):
        return np.isnan(boxes).any(axis=1) | ~(boxes[:, 2] > 0) | ~(boxes[:, 3] > 0)


def as_library_boxes(boxes):
    """float32 boxes for the library, each lost box (NaN, or no positive size) as the zero box."""
    boxes = np.array(boxes, dtype=np.float32)
    boxes[lost_frames(boxes)] = 0.0
    return boxes


def _boxes(boxes):
    boxes = np.asarray(boxes, dtype=np.float64)
    if boxes.ndim != 2 or boxes.shape[1] != 4:
        raise ValueError(f"boxes must have shape (frames, 4), not {boxes.shape}")
    return boxes


def _pair(result, annotation):
    result, annotation = _boxes(result), _boxes(annotation)
    if len(result) != len(annotation):
        raise ValueError(f"{len(result)} result boxes for {len(annotation)} annotation boxes")
    return result, annotation


# The helpers below take boxes as columns (x, y, width, height: one array each) and run under
# _quiet(): NaN and empty boxes are expected, and their warnings would only be noise.
def _quiet():
    return np.errstate(invalid="ignore", divide="ignore")


def _intersection_and_union(r, a):
    """The areas of the boxes' intersection and union, from their columns (or from two boxes)."""
    # np.maximum keeps a NaN, so a lost result box stays NaN through to the counts.
    width = np.maximum(np.minimum(r[0] + r[2], a[0] + a[2]) - np.maximum(r[0], a[0]), 0)
    height = np.maximum(np.minimum(r[1] + r[3], a[1] + a[3]) - np.maximum(r[1], a[1]), 0)
    intersection = width * height
    return intersection, r[2] * r[3] + a[2] * a[3] - intersection


def _iou(r, a):
    """Intersection over union of the boxes' columns, clamped to [0, 1]; NaN stays NaN."""
    intersection, union = _intersection_and_union(r, a)
    iou = np.where(union > 0, intersection / union, np.where(np.isnan(union), np.nan, 0.0))
    return np.clip(iou, 0.0, 1.0)


def iou(r, a):
    """Intersection over union of two boxes (x, y, width, height) or of the boxes' columns, in
    [0, 1]; 0 where the union is empty, NaN where a box holds a NaN."""
    with _quiet():
        return _iou(np.asarray(r, dtype=np.float64), np.asarray(a, dtype=np.float64))


def overlaps(result, annotation, protocol=DEFAULT):
    """Intersection over union per frame, in [0, 1]; -1 where the annotation box is not scored."""
    r, a = _pair(result, annotation)
    with _quiet():
        return _overlaps(r.T, a.T, protocol)


def _scored(a, protocol):
    if protocol.scored == "positive":
        return (a[0] > 0) & (a[1] > 0) & (a[2] > 0) & (a[3] > 0)
    return ~((a[2] <= 0) | (a[3] <= 0))


def _overlaps(r, a, protocol):
    iou = _iou(r, a)
    iou[~_scored(a, protocol)] = -1.0
    return iou


def _distances(r, a, unscored, protocol, normalized):
    if protocol.centres == "pysot":
        cx, cy = a[0] + (a[2] - 1) / 2, a[1] + (a[3] - 1) / 2
        rx, ry = r[0] + (r[2] - 1) / 2, r[1] + (r[3] - 1) / 2
        if normalized:
            width, height = a[2] + protocol.size_epsilon, a[3] + protocol.size_epsilon
            cx, cy, rx, ry = cx / width, cy / height, rx / width, ry / height
        dx, dy = cx - rx, cy - ry
        distance = np.sqrt(dx * dx + dy * dy)
        invalid = (cx <= 0) | (cy <= 0) if protocol.centre_test == "centre" else ~_scored(a, protocol)
        distance[invalid] = unscored
        return distance
    cx, cy = a[0] + a[2] / 2, a[1] + a[3] / 2
    dx, dy = r[0] + r[2] / 2 - cx, r[1] + r[3] / 2 - cy
    if normalized:
        width, height = a[2] + protocol.size_epsilon, a[3] + protocol.size_epsilon
        dx, dy, cx, cy = dx / width, dy / height, cx / width, cy / height
    distance = np.sqrt(dx * dx + dy * dy)
    invalid = (cx <= 0) | (cy <= 0) if protocol.centre_test == "centre" else ~_scored(a, protocol)
    distance[invalid] = unscored
    return distance


def center_errors(result, annotation, protocol=DEFAULT):
    """Distance of the box centres per frame; -1 (or inf) where the annotation is not scored."""
    r, a = _pair(result, annotation)
    with _quiet():
        return _distances(r.T, a.T, protocol.unscored_centre, protocol, normalized=False)


def normalized_center_errors(result, annotation, protocol=DEFAULT):
    """Distance of the centres divided by the annotation box's width and height, -1 as above."""
    r, a = _pair(result, annotation)
    with _quiet():
        return _distances(r.T, a.T, protocol.unscored_normalized, protocol, normalized=True)


def _present(values, absent):
    if absent is None:
        return values
    absent = np.asarray(absent, dtype=bool)
    if absent.shape != values.shape:
        raise ValueError(f"{len(absent)} absence flags for {len(values)} frames")
    values = values.copy()
    values[absent] = np.nan  # a NaN passes no threshold test: counted nowhere, still in the divisor
    return values


def _curve(values, thresholds, above):
    """Share of the frames above (or at most at) each threshold; NaN counts nowhere.

    Each value is placed among the few thresholds by binary search, and the counts are sums of
    those places: the same comparisons as testing every frame at every threshold, in far fewer
    operations.
    """
    if len(values) == 0:
        raise ValueError("a curve needs at least one frame")
    below = np.searchsorted(thresholds, values[~np.isnan(values)], side="left")  # thresholds under each value
    at_or_after = np.cumsum(np.bincount(below, minlength=len(thresholds) + 1))[:len(thresholds)]
    return ((at_or_after[-1] + np.count_nonzero(below == len(thresholds)) - at_or_after) if above
            else at_or_after) / len(values)


def success_curve(result, annotation, absent=None, protocol=DEFAULT):
    """Fraction of frames with overlap strictly above each of SUCCESS_THRESHOLDS."""
    return _curve(_present(overlaps(result, annotation, protocol), absent), SUCCESS_THRESHOLDS, above=True)


def precision_curve(result, annotation, absent=None, protocol=DEFAULT):
    """Fraction of frames with centre distance <= each of PRECISION_THRESHOLDS (pixels)."""
    return _curve(_present(center_errors(result, annotation, protocol), absent), PRECISION_THRESHOLDS,
                  above=False)


def norm_precision_curve(result, annotation, absent=None, protocol=DEFAULT):
    """Fraction of frames with normalised centre distance <= each of NORM_PRECISION_THRESHOLDS."""
    return _curve(_present(normalized_center_errors(result, annotation, protocol), absent),
                  NORM_PRECISION_THRESHOLDS, above=False)


class CurveMeasures:
    """The measures read off the three curves (`success`, `precision`, `norm_precision`)."""

    @property
    def auc(self):
        return float(self.success.mean())

    @property
    def precision20(self):
        return float(self.precision[PRECISION_AT])

    @property
    def norm_precision20(self):
        return float(self.norm_precision[NORM_PRECISION_AT])

    @property
    def op50(self):
        return float(self.success[OP50_AT])

    @property
    def op75(self):
        return float(self.success[OP75_AT])


class SequenceScore(CurveMeasures):
    """One tracker's curves on one sequence, the frames scored and absent, and GOT-10k's counts."""

    def __init__(self, success, precision, norm_precision, frames, absent=0, name="", got10k=(0.0, 0, 0, 0),
                 timeline=None):
        self.success = success
        self.precision = precision
        self.norm_precision = norm_precision
        self.frames = frames
        self.absent = absent
        self.name = name
        # Over the frames after the first whose target is visible: the sum of their overlaps, their
        # number, and the numbers above 0.5 and above 0.75. Pooled, these give AO, SR0.5, SR0.75.
        self.got10k = got10k
        self.timeline = timeline  # overlap over time (overlap_timeline), where it was asked for

    @property
    def ao(self):
        return got10k_measures([self])[0]


def _as_the_toolkit_reads(result, annotation, protocol):
    """The result as the protocol scores it: its first frame and lost boxes replaced, where it says so."""
    if protocol.first_frame == "annotation" and len(result):
        result = result.copy()
        result[0] = annotation[0]
    if protocol.lost_boxes == "previous" and len(result) > 1:
        if protocol.lost == "zero":  # pytracking's own rule: a negative size is a box it keeps
            lost = np.isnan(result).any(axis=1) | (result[:, 2] == 0) | (result[:, 3] == 0)
        else:
            lost = lost_frames(result)
        lost[0] = False
        lost &= ~np.isnan(annotation).any(axis=1)
        if lost.any():
            # Each lost box takes the last box before it that was kept, as the toolkits' forward fill does.
            source = np.where(lost, 0, np.arange(len(result)))
            result = result[np.maximum.accumulate(source)]
    return result


def _got10k_iou(r, a, bound):
    """GOT-10k's overlap: both boxes clipped to the image first, when its size is known."""
    r, a = np.array(r), np.array(a)
    if bound is not None:
        for box in (r, a):
            box[0] = np.clip(box[0], 0, bound[0])
            box[1] = np.clip(box[1], 0, bound[1])
            box[2] = np.clip(box[2], 0, bound[0] - box[0])
            box[3] = np.clip(box[3], 0, bound[1] - box[1])
    intersection, union = _intersection_and_union(r, a)
    return np.clip(intersection / (union + np.finfo(float).eps), 0.0, 1.0)


def score_sequence(result, annotation, absent=None, name="", protocol=DEFAULT, visible=None, bound=None, fast=True):
    """The curves of one result on one sequence under `protocol`.

    `visible` (a bool per frame) says which frames GOT-10k's measures count (default: those not
    absent); the first frame never counts there. `bound` is the image's (width, height), to which
    GOT-10k clips both boxes. `fast` counts in the extension, in one pass; False in numpy, as
    this module states the measures (the tests hold the two to the same numbers).
    """
    with _quiet():
        return _score_sequence(_boxes(result), _boxes(annotation), absent, name, protocol, visible, bound, fast)


def _score_sequence(result, annotation, absent, name, protocol, visible, bound, fast=True):
    frames = len(annotation)
    if len(result) > frames or (len(result) < frames and protocol.short_results != "padded"):
        raise ValueError(f"{len(result)} result boxes for {frames} annotation boxes")
    scored = _as_the_toolkit_reads(result, annotation[:len(result)], protocol)
    if len(result) < frames:  # padded after the replacements, so the padding scores nothing
        padding = np.zeros((frames - len(result), 4))
        result, scored = np.concatenate([result, padding]), np.concatenate([scored, padding])
    if visible is None:
        visible = np.ones(frames, dtype=bool) if absent is None else ~np.asarray(absent, dtype=bool)
    visible = np.array(visible, dtype=bool)
    visible[:1] = False
    absent_frames = 0 if absent is None else int(np.count_nonzero(absent))
    if fast:
        # The extension counts the same comparisons of the same values in one pass over the frames.
        success, precision, norm_precision, counted, above50, above75 = _core.score_boxes(
            scored, result, annotation, absent, visible, bound, SUCCESS_THRESHOLDS, PRECISION_THRESHOLDS,
            NORM_PRECISION_THRESHOLDS, protocol.scored == "positive", protocol.centre_test == "scored",
            protocol.unscored_centre, protocol.unscored_normalized, protocol.size_epsilon, protocol.centres == "pysot")
        curves = (success / frames, precision / frames, norm_precision / frames)
        counts = (float(counted.sum()), len(counted), int(above50), int(above75))
        return SequenceScore(*curves, frames, absent_frames, name, counts)
    r, a = scored.T, annotation.T
    curves = (_curve(_present(_overlaps(r, a, protocol), absent), SUCCESS_THRESHOLDS, above=True),
              _curve(_present(_distances(r, a, protocol.unscored_centre, protocol, False), absent),
                     PRECISION_THRESHOLDS, above=False),
              _curve(_present(_distances(r, a, protocol.unscored_normalized, protocol, True), absent),
                     NORM_PRECISION_THRESHOLDS, above=False))
    # GOT-10k scores the result as reported; a lost box overlaps nothing.
    counted = np.nan_to_num(_got10k_iou(result[visible].T, annotation[visible].T, bound), nan=0.0)
    counts = (float(counted.sum()), len(counted), int((counted > 0.5).sum()), int((counted > 0.75).sum()))
    return SequenceScore(*curves, frames, absent_frames, name, counts)


TIMELINE_BINS = 200  # the most points of an overlap timeline: a strip a few hundred pixels wide


def overlap_timeline(result, annotation, absent=None, protocol=DEFAULT, bins=TIMELINE_BINS):
    """A sequence's overlap over time, for a picture: the mean overlap in each of `bins` equal
    stretches of frames (each frame its own, in a sequence of fewer frames), as float32.

    The result is read as the protocol scores it (its first frame and lost boxes replaced where it
    says so; a short one padded with zero boxes); a lost box overlaps 0. Frames flagged absent or
    whose annotation is not scored count in no stretch; a stretch without any is NaN.
    """
    with _quiet():
        result, annotation = _boxes(result), _boxes(annotation)
        frames = len(annotation)
        result = _as_the_toolkit_reads(result[:frames], annotation[:len(result)], protocol)
        if len(result) < frames:
            result = np.concatenate([result, np.zeros((frames - len(result), 4))])
        values = _overlaps(result.T, annotation.T, protocol)
        values[np.isnan(values)] = 0.0
        counted = values >= 0
        if absent is not None:
            counted &= ~np.asarray(absent, dtype=bool)
        parts = min(bins, frames)
        stretch = np.arange(frames) * parts // frames
        sums = np.bincount(stretch, np.where(counted, values, 0.0), parts)
        counts = np.bincount(stretch, counted, parts)
        return np.where(counts > 0, sums / np.maximum(counts, 1), np.nan).astype(np.float32)


def mean_score(scores, name=""):
    """One sequence's score from those of its repetitions: the mean curves; GOT-10k pools the overlaps."""
    if len(scores) == 1:
        scores[0].name = name
        return scores[0]
    first = scores[0]
    timelines = [s.timeline for s in scores]
    timeline = None if any(t is None for t in timelines) else np.mean(timelines, axis=0).astype(np.float32)
    return SequenceScore(*mean_curves(scores), first.frames, first.absent, name,
                         tuple(sum(values) for values in zip(*(s.got10k for s in scores))), timeline)


def mean_curves(scores, protocol=DEFAULT):
    """A data set's curves from its sequences' SequenceScores: (success, precision, norm precision).

    With the LaSOT toolkit's rules, a sequence whose curve is 0 throughout leaves that curve's mean.
    """
    if not scores:
        raise ValueError("no sequence to average")
    means = []
    for curves in ([s.success for s in scores], [s.precision for s in scores], [s.norm_precision for s in scores]):
        curves = np.array(curves)
        if protocol.drop_empty:
            kept = curves.sum(axis=1) > np.finfo(np.float64).eps
            curves = curves[kept] if kept.any() else curves
        means.append(curves.mean(axis=0))
    return tuple(means)


def got10k_measures(scores):
    """(AO, SR0.5, SR0.75) over every counted frame of the given sequence scores, pooled; NaN when none."""
    total, counted, above50, above75 = (sum(values) for values in zip(*(s.got10k for s in scores))) \
        if scores else (0.0, 0, 0, 0)
    if counted == 0:
        return (float("nan"),) * 3
    return total / counted, above50 / counted, above75 / counted


def frames_per_second(times):
    """GOT-10k's speed from per-frame times in seconds: the mean of 1 / t over the positive times."""
    times = np.concatenate([np.ravel(t) for t in times]) if len(times) else np.zeros(0)
    times = times[~np.isnan(times) & (times > 0)]
    return float(np.mean(1.0 / times)) if len(times) else float("nan")
