"""The one-pass evaluation measures that tracking benchmarks publish.

Every function takes result and annotation boxes as (frames, 4) arrays of x, y, width, height
and works in double precision, as the community's toolkits do. Each per-sequence curve is a count
of frames divided by the number of annotation frames; a data set's curve is the mean of its
sequences' curves. Frames flagged absent are counted in no curve point but stay in the divisor,
the convention behind published LaSOT numbers.

- success: intersection over union in continuous coordinates, clamped to [0, 1]; a frame whose
  annotation box has no positive width or height scores -1. A curve point counts the frames whose
  overlap is strictly above the threshold (0, 0.05, ..., 1). The area under the curve (AUC) is the
  mean of the 21 points.
- precision: distance of the box centres (x + w/2, y + h/2); a frame whose annotation centre has
  a coordinate of 0 or less gets distance -1, which lies within every threshold (the common
  toolkit's convention, kept so that published numbers come out the same). A point counts the
  frames at distance <= threshold (0, 1, ..., 50 pixels); precision is the point at 20 pixels.
- normalised precision: the same with the centres divided by the annotation box's width and height
  before the distance, thresholds 0, 0.01, ..., 0.5, reported at 0.2.

A NaN box (a lost target, or an unusable annotation) counts in no point.
"""

import numpy as np

__all__ = [
    "SUCCESS_THRESHOLDS", "PRECISION_THRESHOLDS", "NORM_PRECISION_THRESHOLDS", "PRECISION_AT", "NORM_PRECISION_AT",
    "overlaps", "center_errors", "normalized_center_errors", "success_curve", "precision_curve",
    "norm_precision_curve", "SequenceScore", "score_sequence", "mean_score", "mean_curves",
]

SUCCESS_THRESHOLDS = np.arange(0, 1.05, 0.05)
PRECISION_THRESHOLDS = np.arange(0, 51, 1)
NORM_PRECISION_THRESHOLDS = np.arange(0, 0.51, 0.01)
PRECISION_AT = 20  # index of 20 pixels in PRECISION_THRESHOLDS
NORM_PRECISION_AT = 20  # index of 0.2 in NORM_PRECISION_THRESHOLDS

assert len(SUCCESS_THRESHOLDS) == 21 and len(PRECISION_THRESHOLDS) == 51 and len(NORM_PRECISION_THRESHOLDS) == 51


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


def overlaps(result, annotation):
    """Intersection over union per frame, in [0, 1]; -1 where the annotation box is empty."""
    r, a = _pair(result, annotation)
    with np.errstate(invalid="ignore", divide="ignore"):
        left = np.maximum(r[:, 0], a[:, 0])
        right = np.minimum(r[:, 0] + r[:, 2], a[:, 0] + a[:, 2])
        top = np.maximum(r[:, 1], a[:, 1])
        bottom = np.minimum(r[:, 1] + r[:, 3], a[:, 1] + a[:, 3])
        # np.maximum keeps a NaN, so a lost result box stays NaN through to the counts.
        intersection = np.maximum(right - left, 0) * np.maximum(bottom - top, 0)
        union = r[:, 2] * r[:, 3] + a[:, 2] * a[:, 3] - intersection
        iou = np.where(union > 0, intersection / union, np.where(np.isnan(union), np.nan, 0.0))
        iou = np.clip(iou, 0.0, 1.0)
        iou[(a[:, 2] <= 0) | (a[:, 3] <= 0)] = -1.0
    return iou


def _centers(boxes):
    return boxes[:, :2] + boxes[:, 2:] / 2


def center_errors(result, annotation):
    """Distance of the box centres per frame; -1 where an annotation centre coordinate is <= 0."""
    r, a = _pair(result, annotation)
    ca = _centers(a)
    with np.errstate(invalid="ignore"):
        distance = np.sqrt(((_centers(r) - ca) ** 2).sum(axis=1))
        distance[(ca <= 0).any(axis=1)] = -1.0
    return distance


def normalized_center_errors(result, annotation):
    """Distance of the centres divided by the annotation box's width and height, -1 as above."""
    r, a = _pair(result, annotation)
    with np.errstate(invalid="ignore", divide="ignore"):
        size = a[:, 2:]
        cr = _centers(r) / size
        ca = _centers(a) / size
        distance = np.sqrt(((cr - ca) ** 2).sum(axis=1))
        distance[(ca <= 0).any(axis=1)] = -1.0
    return distance


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
    if len(values) == 0:
        raise ValueError("a curve needs at least one frame")
    with np.errstate(invalid="ignore"):
        if above:
            counts = (values[None, :] > thresholds[:, None]).sum(axis=1)
        else:
            counts = (values[None, :] <= thresholds[:, None]).sum(axis=1)
    return counts / len(values)


def success_curve(result, annotation, absent=None):
    """Fraction of frames with overlap strictly above each of SUCCESS_THRESHOLDS."""
    return _curve(_present(overlaps(result, annotation), absent), SUCCESS_THRESHOLDS, above=True)


def precision_curve(result, annotation, absent=None):
    """Fraction of frames with centre distance <= each of PRECISION_THRESHOLDS (pixels)."""
    return _curve(_present(center_errors(result, annotation), absent), PRECISION_THRESHOLDS, above=False)


def norm_precision_curve(result, annotation, absent=None):
    """Fraction of frames with normalised centre distance <= each of NORM_PRECISION_THRESHOLDS."""
    return _curve(_present(normalized_center_errors(result, annotation), absent), NORM_PRECISION_THRESHOLDS,
                  above=False)


class SequenceScore:
    """The three curves of one tracker on one sequence, the frames scored and those absent."""

    def __init__(self, success, precision, norm_precision, frames, absent=0, name=""):
        self.success = success
        self.precision = precision
        self.norm_precision = norm_precision
        self.frames = frames
        self.absent = absent
        self.name = name

    @property
    def auc(self):
        return float(self.success.mean())

    @property
    def precision20(self):
        return float(self.precision[PRECISION_AT])

    @property
    def norm_precision20(self):
        return float(self.norm_precision[NORM_PRECISION_AT])


def score_sequence(result, annotation, absent=None, name=""):
    absent_frames = 0 if absent is None else int(np.count_nonzero(absent))
    return SequenceScore(success_curve(result, annotation, absent), precision_curve(result, annotation, absent),
                         norm_precision_curve(result, annotation, absent), len(annotation), absent_frames, name)


def mean_score(scores, name=""):
    """One sequence's score from those of its repetitions: the mean curves (as GOT-10k averages)."""
    if len(scores) == 1:
        scores[0].name = name
        return scores[0]
    return SequenceScore(*mean_curves(scores), scores[0].frames, scores[0].absent, name)


def mean_curves(scores):
    """A data set's curves from its sequences' SequenceScores: (success, precision, norm precision)."""
    if not scores:
        raise ValueError("no sequence to average")
    return (np.mean([s.success for s in scores], axis=0), np.mean([s.precision for s in scores], axis=0),
            np.mean([s.norm_precision for s in scores], axis=0))
