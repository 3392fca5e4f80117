"""Velmora: fusion of single-object visual trackers, for numpy users.

Every function runs the C++ library libVelmora.so, so results are its single-precision numbers
to the bit. Boxes are (x, y, width, height) as float32, a track a (frames, 4) array, the trackers
of a sequence a (trackers, frames, 4) array; a selection lists tracker indices (None: all), weights
are indexed by tracker (None: 1.0 each). The parameters alpha, beta, gamma and sigma are read and
set with get_params(), set_params(), ``velmora.params`` or ``with velmora.parameters(...)``, and
every function that reads one also takes it as a keyword for that call alone. Input the library
cannot take raises ValueError (TypeError for the wrong kind of argument) naming the argument.

Live fusion: velmora.OnlineFuser takes one frame of boxes at a time and returns each fused box
as soon as it is final.

help() of each function gives its contract; docs/python.md in the source tree the whole picture,
and velmora.benchmark the workflows on benchmark result folders.
"""

import contextlib
import threading

from ._version import __version__
from ._core import (
    DataSet,
    check_params,
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
    "get_params", "set_params", "check_params", "parameters", "params", "DataSet", "OnlineFuser",
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
