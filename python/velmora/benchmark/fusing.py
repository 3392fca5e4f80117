"""Fusing one sequence: its trackers' boxes, lost ones included, into one track."""

import numpy as np

from .. import metrics
from ..messages import Reporter
from .common import library, plural, stretches


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
        from .. import streaming
        return streaming.fuse_live(boxes, weights, lag, refine, name, reporter or Reporter(quiet=True), **parameters)
    lib = library()
    reporter = reporter or Reporter(quiet=True)
    stack = np.stack([metrics.as_library_boxes(b) for b in boxes])
    trackers, frames = stack.shape[:2]
    present = ~np.stack([metrics.lost_frames(b) for b in stack])
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
        for start, end in stretches(somebody):
            part = np.ascontiguousarray(stack[:, start:end])
            result[start:end] = lib.fuse_trajectory(part, weights=weights, backtracking=backtracking, refine=refine,
                                                    **parameters)
        stray = np.flatnonzero(somebody & metrics.lost_frames(result))
        for f in stray:
            result[f] = frame_by_frame(f, f + 1, present[:, f])
        if len(stray):
            reporter.warn(f"sequence {name!r}: the trajectory passed through a lost box in "
                          f"{plural(len(stray), 'frame')} (first at line {stray[0] + 1}); "
                          f"{'they take' if len(stray) > 1 else 'it takes'} the frame-by-frame fusion")
    lost = np.flatnonzero(~somebody)
    if len(lost):
        result[lost] = 0.0
        reporter.warn(f"sequence {name!r}: no tracker has a usable box in {plural(len(lost), 'frame')} "
                      f"(first at line {lost[0] + 1}); {'they are' if len(lost) > 1 else 'it is'} written as lost "
                      "(0,0,0,0)")
    return result
