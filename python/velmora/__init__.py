"""Velmora: fusion of single-object visual trackers, for numpy users.

Every function runs the C++ library libVelmora.so, so results are its single-precision numbers
to the bit.

Conventions:

- A box is (x, y, width, height), top-left corner first, as float32. A track is a (frames, 4)
  array, frame 0 first. The trackers of one sequence are a (trackers, frames, 4) array or a list
  of (frames, 4) arrays, all of the same length. Other float dtypes, integers and nested lists
  are converted to float32 (float64 is rounded to the nearest float32).
- Frames are 0-based; a run's start_frame is 1-based.
- A data set is a list of sequences, a sequence a list of runs, and a run a
  (trackers, start_frame) tuple or a bare trackers array (start_frame 1). The annotation holds
  one (frames, 4) track per sequence. A velmora.DataSet holds both in the library's own form,
  converted once: for large data sets and for several calls on the same one.
- A selection lists tracker indices in visiting order; None (or an empty list) means all
  trackers. A *position* in a selection is not a tracker index: strongest_box, frame_attraction,
  tracker_performances and local_removal's order follow positions.
- Weights are indexed by tracker index; None (or an empty list) means 1.0 for every tracker.
- Results are float32 numpy arrays, Python floats holding float32 values, or lists of ints.

Input the library cannot take (wrong shapes, indices out of range, runs reaching past their
annotation, frames that trajectory fusion cannot score, ...) raises ValueError, or TypeError for
an argument of the wrong kind, before the library runs; the message names the argument.

Parameters: alpha (4.0), beta (20.0), gamma (-1, unset) and sigma (0.03) tune the library. alpha
and sigma must be above 0 and finite as float32, beta finite; anything else raises ValueError
naming the parameter. Every function that reads a parameter also takes it as a keyword for that
one call (``velmora.fuse(tracks, sigma=0.1)``), which no other thread sees: the way to vary the
parameters in threaded code. Read and set the shared values with get_params() and set_params(),
as ``velmora.params.alpha``, or for one block with ``with velmora.parameters(sigma=0.05): ...``.
A change waits for calls running in other threads, and applies to every thread afterwards; the
blocks of different threads take turns, so their changes never interleave.

Live fusion: velmora.OnlineFuser takes one frame of boxes at a time and returns each fused box
as soon as it is final (frame by frame, or by trajectory optimisation with a lag).

The long calls (fuse, fuse_trajectory, evaluate_dataset, tracker_weights, global_removal, ...)
release the GIL, so several Python threads can run them at once.
"""

import contextlib
import threading

from ._version import __version__
from ._core import (
    DataSet,
    OnlineFuser,
    attraction,
    distance4d_2,
    evaluate_dataset,
    frame_attraction,
    fuse,
    fuse_frame,
    fuse_trajectory,
    get_params,
    global_removal,
    gradient_ascent,
    local_removal,
    normalized_attraction,
    strongest_box,
    track_attraction,
    track_quality,
    tracker_performances,
    tracker_weights,
)
from . import _core

__all__ = [
    "distance4d_2", "attraction", "normalized_attraction",
    "frame_attraction", "fuse_frame", "fuse", "fuse_trajectory", "strongest_box", "gradient_ascent",
    "track_quality", "track_attraction", "evaluate_dataset",
    "tracker_weights", "global_removal", "tracker_performances", "local_removal",
    "get_params", "set_params", "parameters", "params", "DataSet", "OnlineFuser",
]


# Held by a parameters() block for its whole length, and by every change of a parameter, so that
# the blocks of different threads take turns; re-entrant, so blocks nest within one thread.
_changes = threading.RLock()


def set_params(alpha=None, beta=None, gamma=None, sigma=None):
    """Sets the given parameters (None leaves one as it is); see _core.set_params.

    Waits while a parameters() block of another thread runs.
    """
    with _changes:
        _core.set_params(alpha=alpha, beta=beta, gamma=gamma, sigma=sigma)


@contextlib.contextmanager
def parameters(alpha=None, beta=None, gamma=None, sigma=None):
    """Sets the given parameters for a ``with`` block and restores all four afterwards.

    None leaves a parameter as it is. The previous values come back when the block ends, also
    when it raises. Yields the parameters in force inside the block, as get_params() gives them.
    The parameters are global: other threads' calls see the change while the block runs, but
    the blocks and parameter changes of other threads wait until it ends.
    """
    with _changes:
        saved = get_params()
        set_params(alpha=alpha, beta=beta, gamma=gamma, sigma=sigma)
        try:
            yield get_params()
        finally:
            _core.set_params(**saved)


def _set_one(setter, value):
    with _changes:
        setter(value)


class _Params:
    """The four library parameters as attributes: ``velmora.params.sigma = 0.05``.

    Each read asks the library, so the values never go stale.
    """

    __slots__ = ()

    alpha = property(lambda self: _core.get_alpha(), lambda self, v: _set_one(_core.set_alpha, v),
                     doc="Divides the two size terms of the box distance (float32, default 4.0).")
    beta = property(lambda self: _core.get_beta(), lambda self, v: _set_one(_core.set_beta, v),
                    doc="Weight of the agreement reward of trajectory fusion (float32, default 20.0).")
    gamma = property(lambda self: _core.get_gamma(), lambda self, v: _set_one(_core.set_gamma, v),
                     doc="Number of trackers local_removal drops (int, default -1: unset).")
    sigma = property(lambda self: _core.get_sigma(), lambda self, v: _set_one(_core.set_sigma, v),
                     doc="Additive constant of every attraction (float32, default 0.03).")

    def __repr__(self):
        return "velmora.params({})".format(", ".join(f"{k}={v!r}" for k, v in get_params().items()))


params = _Params()
