# Types of the compiled extension velmora._core, for editors and type checkers. The bindings take
# any array-like for boxes and tracks (converted to float32) and any int- or float-like for
# numbers; tests/python/test_package.py holds the parameter names to the extension's own.
from typing import Any, List, Optional, Sequence, SupportsFloat, SupportsIndex, Tuple, TypedDict, Union

import numpy as np
import numpy.typing as npt

_Box = npt.ArrayLike  # (x, y, width, height)
_Track = npt.ArrayLike  # (frames, 4)
_Trackers = npt.ArrayLike  # (trackers, frames, 4), or a list of (frames, 4) tracks
_Selection = Optional[npt.ArrayLike]  # tracker indices in visiting order; None: all trackers
_Weights = Optional[npt.ArrayLike]  # one weight per tracker index; None: 1.0 for every tracker
_Run = Union[Tuple[_Trackers, SupportsIndex], _Trackers]  # (trackers, start_frame) or bare trackers
_DataSet = Sequence[Sequence[_Run]]
_Annotation = Sequence[_Track]  # one track per sequence
_Float32Array = npt.NDArray[np.float32]

class _Params(TypedDict):
    alpha: float
    beta: float
    gamma: int
    sigma: float

__version__: str

_P = Optional[SupportsFloat]  # a parameter for this call only; None: the one in force

class DataSet:
    """A data set kept in the library's form between calls."""
    def __init__(self) -> None: ...
    def add(self, runs: Sequence[_Run], annotation: _Track) -> None: ...
    def __len__(self) -> int: ...
    @property
    def trackers(self) -> int: ...
    @property
    def frames(self) -> int: ...

_Data = Union[_DataSet, DataSet]

def distance4d_2(a: _Box, b: _Box, *, alpha: _P = None) -> float: ...
def attraction(a: _Box, b: _Box, sigma: _P = None, *, alpha: _P = None) -> float: ...
def normalized_attraction(a: _Box, b: _Box, sigma: _P = None, *, alpha: _P = None) -> float: ...
def frame_attraction(
    trackers: _Trackers, box: _Box, frame: SupportsIndex, selection: _Selection = None, weights: _Weights = None, *,
    alpha: _P = None, sigma: _P = None
) -> Tuple[float, _Float32Array]: ...
def fuse_frame(
    trackers: _Trackers, frame: SupportsIndex, selection: _Selection = None, weights: _Weights = None,
    refine: bool = True, *, alpha: _P = None, sigma: _P = None
) -> _Float32Array: ...
def fuse(
    trackers: _Trackers, selection: _Selection = None, weights: _Weights = None, refine: bool = True, *,
    alpha: _P = None, sigma: _P = None
) -> _Float32Array: ...
def fuse_trajectory(
    trackers: _Trackers, selection: _Selection = None, weights: _Weights = None, backtracking: bool = True,
    refine: bool = True, *, alpha: _P = None, beta: _P = None, sigma: _P = None
) -> _Float32Array: ...
def strongest_box(
    trackers: _Trackers, frame: SupportsIndex, selection: _Selection = None, weights: _Weights = None, *,
    alpha: _P = None, sigma: _P = None
) -> Tuple[int, _Float32Array]: ...
def gradient_ascent(
    box: _Box, trackers: _Trackers, frame: SupportsIndex, selection: _Selection = None, weights: _Weights = None, *,
    alpha: _P = None, sigma: _P = None
) -> _Float32Array: ...
def track_quality(
    track: _Track, annotation: _Track, shift: SupportsIndex = 0, threshold: SupportsFloat = -1.0,
    center_distance: bool = False
) -> float: ...
def track_attraction(
    track: _Track, annotation: _Track, shift: SupportsIndex = 0, start: SupportsIndex = 1, *, alpha: _P = None,
    sigma: _P = None
) -> float: ...
def evaluate_dataset(
    data: _Data, annotation: Optional[_Annotation] = None, trajectory: bool = False, selection: _Selection = None,
    weights: _Weights = None, *, alpha: _P = None, beta: _P = None, sigma: _P = None
) -> float: ...
def tracker_weights(
    data: _Data, annotation: Optional[_Annotation] = None, *, alpha: _P = None, sigma: _P = None
) -> _Float32Array: ...
def global_removal(
    data: _Data, annotation: Optional[_Annotation] = None, weights: _Weights = None, trajectory: bool = False, *,
    alpha: _P = None, beta: _P = None, sigma: _P = None
) -> List[int]: ...
def tracker_performances(
    trackers: _Trackers, selection: _Selection = None, weights: _Weights = None, *, alpha: _P = None, sigma: _P = None
) -> _Float32Array: ...
def local_removal(
    trackers: _Trackers, selection: _Selection = None, weights: _Weights = None, gamma: Optional[SupportsIndex] = None,
    *, alpha: _P = None, sigma: _P = None
) -> List[int]: ...
def read_box_file(
    path: bytes, codes: bool = False
) -> Union[Tuple[npt.NDArray[np.float64], npt.NDArray[np.int8], None], Tuple[None, None, Tuple[int, str, bytes]]]: ...
def score_boxes(
    scored: npt.ArrayLike, raw: npt.ArrayLike, annotation: npt.ArrayLike, absent: Optional[npt.ArrayLike],
    visible: npt.ArrayLike, bound: Optional[Tuple[float, float]], success: npt.ArrayLike, precision: npt.ArrayLike,
    norm_precision: npt.ArrayLike, scored_positive: bool, centre_by_scored: bool, unscored_centre: float,
    unscored_normalized: float, size_epsilon: float
) -> Tuple[npt.NDArray[np.int_], npt.NDArray[np.int_], npt.NDArray[np.int_], npt.NDArray[np.float64], int, int]: ...
def read_value_file(
    path: bytes, top: int = -1
) -> Union[Tuple[npt.NDArray[Any], None], Tuple[None, Tuple[int, str, bytes]]]: ...
def get_params() -> _Params: ...
def set_params(
    alpha: Optional[SupportsFloat] = None, beta: Optional[SupportsFloat] = None, gamma: Optional[SupportsIndex] = None,
    sigma: Optional[SupportsFloat] = None
) -> None: ...
def get_alpha() -> float: ...
def get_beta() -> float: ...
def get_gamma() -> int: ...
def get_sigma() -> float: ...
def set_alpha(value: SupportsFloat) -> None: ...
def set_beta(value: SupportsFloat) -> None: ...
def set_gamma(value: SupportsIndex) -> None: ...
def set_sigma(value: SupportsFloat) -> None: ...
