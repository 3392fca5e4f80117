"""Input the library cannot take raises ValueError or TypeError naming the argument.

Each case here would otherwise stop the process on one of the library's assertions, read out
of range, leave a score of 0 / 0, or end the process outright (local removal with gamma unset).
"""

import math

import numpy as np
import pytest

import velmora
from conftest import DEFAULTS

f32 = np.float32


# Two trackers over three frames, and an annotation of five frames.
T = np.array([[(0, 0, 10, 10)] * 3, [(5, 0, 10, 10)] * 3], f32)
ANNO = np.array([(0, 0, 10, 10)] * 5, f32)
LOST = np.array([[(0, 0, 10, 10), (0, 0, 0, 10), (0, 0, 10, 10)],
                 [(5, 0, 10, 10), (math.nan, 0, 10, 10), (5, 0, 10, 10)]], f32)

CASES = [
    # id, call, exception, message pattern
    ("trackers-type", lambda: velmora.fuse("boxes"), TypeError, r"trackers: expected .*got str"),
    ("trackers-none", lambda: velmora.fuse(None), TypeError, r"trackers: expected .*got NoneType"),
    ("trackers-dtype", lambda: velmora.fuse(T.astype(np.complex64)), TypeError,
     r"trackers: expected real numbers, got dtype complex64"),
    ("trackers-objects", lambda: velmora.fuse([[(0, 0, None, 10)]]), TypeError,
     r"trackers\[0\]: expected real numbers, got dtype object"),
    ("trackers-shape", lambda: velmora.fuse(np.zeros((2, 3), f32)), ValueError,
     r"trackers: expected shape \(tracks, frames, 4\), got shape \(2, 3\)"),
    ("track-shape", lambda: velmora.fuse([[0, 0, 10, 10]]), ValueError,
     r"trackers\[0\]: expected a track of shape \(frames, 4\), got shape \(4,\)"),
    ("ragged-track", lambda: velmora.fuse([[[0, 0, 10, 10], [0, 0, 10]]]), ValueError,
     r"trackers\[0\]: cannot be read as an array of numbers"),
    ("unequal-tracks", lambda: velmora.fuse([T[0], T[1, :2]]), ValueError,
     r"trackers: tracker 1 has 2 frames, tracker 0 has 3"),
    ("no-tracker", lambda: velmora.fuse([]), ValueError, r"trackers: no tracker given"),
    ("box-shape", lambda: velmora.frame_attraction(T, (0, 0, 10), 0), ValueError,
     r"box: expected a box of shape \(4,\), got shape \(3,\)"),
    ("box-type", lambda: velmora.distance4d_2("0 0 1 1", (0, 0, 1, 1)), TypeError, r"a: expected a box"),
    ("frame-range", lambda: velmora.fuse_frame(T, 3), ValueError, r"frame: 3 is out of range for 3 frames"),
    ("frame-negative", lambda: velmora.strongest_box(T, -1), ValueError, r"frame: -1 is out of range"),
    ("frame-type", lambda: velmora.gradient_ascent((0, 0, 10, 10), T, 1.0), TypeError,
     r"frame: expected an int, got float"),
    ("selection-range", lambda: velmora.fuse(T, selection=[0, 2]), ValueError,
     r"selection: tracker index 2 is out of range for 2 trackers"),
    ("selection-negative", lambda: velmora.tracker_performances(T, selection=[-1]), ValueError,
     r"selection: tracker index -1 is out of range"),
    ("selection-dtype", lambda: velmora.fuse(T, selection=[0.0]), TypeError,
     r"selection: expected ints, got dtype float64"),
    ("selection-scalar", lambda: velmora.fuse(T, selection=1), TypeError,
     r"selection: expected a sequence of tracker indices, got int"),
    ("selection-shape", lambda: velmora.fuse(T, selection=[[0]]), ValueError,
     r"selection: expected a flat list of tracker indices, got shape \(1, 1\)"),
    ("weights-short", lambda: velmora.fuse(T, weights=[1.0]), ValueError,
     r"weights: 1 entry given, none for tracker 1; give one weight per tracker index \(at least 2\) or none"),
    ("weights-short-for-selection", lambda: velmora.fuse_frame(T, 0, selection=[1], weights=[1.0]), ValueError,
     r"weights: 1 entry given, none for tracker 1"),
    ("weights-dtype", lambda: velmora.fuse(T, weights=["a", "b"]), TypeError,
     r"weights: expected real numbers, got dtype <U1"),
    ("weights-scalar", lambda: velmora.fuse(T, weights=2.0), TypeError,
     r"weights: expected a sequence of tracker weights, got float"),
    ("int-range", lambda: velmora.track_quality(ANNO, ANNO, shift=2 ** 40), ValueError,
     r"shift: 1099511627776 does not fit a 32-bit int"),
    ("int-type", lambda: velmora.track_quality(ANNO, ANNO, shift=1.5), TypeError, r"shift: expected an int, got float"),
    ("float-type", lambda: velmora.track_quality(ANNO, ANNO, threshold="0.5"), TypeError,
     r"threshold: expected a number, got str"),
    ("quality-past-annotation", lambda: velmora.track_quality(ANNO[:3], ANNO, shift=3), ValueError,
     r"shift: 3 pairs track box 2 with annotation box 5, past the 5 boxes of the annotation"),
    ("quality-before-annotation", lambda: velmora.track_quality(ANNO[:3], ANNO, shift=-2), ValueError,
     r"shift: -2 pairs track box 1 with annotation box -1"),
    ("attraction-past-annotation", lambda: velmora.track_attraction(ANNO, ANNO[:4]), ValueError,
     r"shift: 0 pairs track box 4 with annotation box 4, past the 4 boxes"),
    ("attraction-before-annotation", lambda: velmora.track_attraction(ANNO[:3], ANNO, shift=-1, start=0), ValueError,
     r"shift: -1 pairs track box 0 with annotation box -1"),
    ("data-type", lambda: velmora.evaluate_dataset("data", [ANNO]), TypeError,
     r"data: expected a list of sequences or a velmora.DataSet, got str"),
    ("data-empty", lambda: velmora.evaluate_dataset([], [ANNO]), ValueError, r"data: the data set has no sequence"),
    ("weights-data-empty", lambda: velmora.tracker_weights([], []), ValueError, r"data: the data set has no sequence"),
    ("sequence-without-run", lambda: velmora.evaluate_dataset([[T], []], [ANNO, ANNO]), ValueError,
     r"data\[1\]: the sequence has no run"),
    ("first-sequence-without-run", lambda: velmora.tracker_weights([[], [T]], [ANNO, ANNO]), ValueError,
     r"data\[0\]: the sequence has no run \(the first run fixes the tracker count\)"),
    ("sequence-is-a-run", lambda: velmora.evaluate_dataset([(T, 1)], [ANNO]), TypeError,
     r"data\[0\]: a sequence is a list of runs, got a single \(trackers, start_frame\) run"),
    ("run-tuple", lambda: velmora.evaluate_dataset([[(T, 1, 2)]], [ANNO]), TypeError,
     r"data\[0\]\[0\]: a run is a \(trackers, start_frame\) tuple or a trackers array, got a tuple of 3"),
    ("run-start-type", lambda: velmora.evaluate_dataset([[(T, 1.0)]], [ANNO]), TypeError,
     r"data\[0\]\[0\] start_frame: expected an int, got float"),
    ("run-trackers", lambda: velmora.evaluate_dataset([[T, T[:1]]], [ANNO]), ValueError,
     r"data\[0\]\[1\]: 1 tracker, but the first run has 2; every run needs the same trackers"),
    ("run-trackers-weights", lambda: velmora.tracker_weights([[T], [T[:1]]], [ANNO, ANNO]), ValueError,
     r"data\[1\]\[0\]: 1 tracker, but the first run has 2"),
    ("run-unequal-tracks", lambda: velmora.evaluate_dataset([[[T[0], T[1, :2]]]], [ANNO]), ValueError,
     r"data\[0\]\[0\]: tracker 1 has 2 frames, tracker 0 has 3"),
    ("run-without-frame", lambda: velmora.evaluate_dataset([[T[:, :0]]], [ANNO]), ValueError,
     r"data\[0\]\[0\]: the run has no frame"),
    ("run-start-below-1", lambda: velmora.evaluate_dataset([[(T, 0)]], [ANNO]), ValueError,
     r"data\[0\]\[0\]: start_frame 0 is below 1"),
    ("run-past-annotation", lambda: velmora.evaluate_dataset([[(T, 4)]], [ANNO]), ValueError,
     r"data\[0\]\[0\]: 3 frames from start_frame 4 reach past the 5 boxes of annotation\[0\]"),
    ("weights-run-past-annotation", lambda: velmora.tracker_weights([[(T, 3)], [(T, 2)]], [ANNO, ANNO[:3]]),
     ValueError, r"data\[1\]\[0\]: 3 frames from start_frame 2 reach past the 3 boxes of annotation\[1\]"),
    ("annotation-short", lambda: velmora.evaluate_dataset([[T], [T]], [ANNO]), ValueError,
     r"annotation: 1 track for 2 sequences; every sequence needs its annotation track"),
    ("annotation-empty", lambda: velmora.tracker_weights([[T], []], [ANNO, np.zeros((0, 4))]), ValueError,
     r"annotation\[1\]: the annotation track of sequence 1 has no box"),
    ("dataset-selection", lambda: velmora.evaluate_dataset([[T]], [ANNO], selection=[2]), ValueError,
     r"selection: tracker index 2 is out of range for 2 trackers"),
    ("dataset-weights", lambda: velmora.evaluate_dataset([[T]], [ANNO], selection=[1], weights=[1]), ValueError,
     r"weights: 1 entry given, none for tracker 1"),
    ("weights-no-later-frame", lambda: velmora.tracker_weights([[T[:, :1]], [T[:, :1]]], [ANNO, ANNO]), ValueError,
     r"data: no run has a frame after its first, so no weight can be learnt"),
    ("global-weights-short", lambda: velmora.global_removal([[T]], [ANNO], [0.5]), ValueError,
     r"weights: 1 entry for 2 trackers; global removal needs one weight per tracker"),
    ("global-weights-empty", lambda: velmora.global_removal([[T]], [ANNO], []), ValueError,
     r"weights: 0 entries for 2 trackers"),
    ("local-gamma-unset", lambda: velmora.local_removal(T), ValueError,
     r"gamma: unset; pass gamma= or set the gamma parameter first"),
    ("local-gamma-minus-one", lambda: velmora.local_removal(T, gamma=-1), ValueError, r"gamma: unset"),
    ("local-gamma-too-large", lambda: velmora.local_removal(T, selection=[1], gamma=2), ValueError,
     r"gamma: must be from 0 to the 1 selected tracker, got 2"),
    ("local-gamma-negative", lambda: velmora.local_removal(T, gamma=-3), ValueError, r"gamma: must be from 0 to the "
     r"2 selected trackers, got -3"),
    ("tracker-box-negative", lambda: velmora.fuse(T * (1, 1, -1, 1)), ValueError,
     r"trackers: tracker 0, frame 0: box \(0, 0, -10, 10\) has a negative width or height"),
    ("tracker-box-infinite", lambda: velmora.strongest_box(T + (0, math.inf, 0, 0), 0), ValueError,
     r"trackers: tracker 0, frame 0: box \(0, inf, 10, 10\) has a coordinate that is not finite"),
    ("run-box-negative", lambda: velmora.tracker_weights([[(T * (1, 1, 1, -1), 1)]], [ANNO]), ValueError,
     r"data\[0\]\[0\]: tracker 0, frame 0: box"),
    ("annotation-nan", lambda: velmora.track_quality(ANNO, ANNO * (1, 1, 1, np.nan)), ValueError,
     r"annotation, frame 1: annotation box \(0, 0, 10, nan\) is NaN"),
    ("annotation-nan-in-data", lambda: velmora.evaluate_dataset([[T]], [ANNO * (1, np.nan, 1, 1)]), ValueError,
     r"annotation\[0\], frame 1: annotation box"),
    ("annotation-negative", lambda: velmora.track_attraction(ANNO, ANNO * (1, 1, -1, 1)), ValueError,
     r"has a negative width or height"),
    ("local-gamma-type", lambda: velmora.local_removal(T, gamma=1.0), TypeError, r"gamma: expected an int, got float"),
    ("trajectory-frame", lambda: velmora.fuse_trajectory(LOST), ValueError,
     r"trackers: no selected box attracts in frame 1 \(each has width or height 0, a coordinate that is not "
     r"finite, or weight 0\), which trajectory fusion cannot score"),
    ("trajectory-zero-height", lambda: velmora.fuse_trajectory(T * (1, 1, 1, 0)), ValueError,
     r"trackers: no selected box attracts in frame 0"),
    ("trajectory-zero-weights", lambda: velmora.fuse_trajectory(T, selection=[1], weights=[1, 0]), ValueError,
     r"trackers: no selected box attracts in frame 0"),
    ("trajectory-overflow", lambda: velmora.fuse_trajectory(T, weights=[1e30, 1]), ValueError,
     r"weights: the selected weights are too large for the sigma parameter 0.03: frame scores could overflow"),
    ("weights-infinite", lambda: velmora.fuse_trajectory(T, weights=[math.inf, 1]), ValueError,
     r"weights: the weight of tracker 0 is inf; every weight must be finite as a float32"),
    ("weights-infinite-frame", lambda: velmora.fuse(T, weights=[1, math.inf]), ValueError,
     r"weights: the weight of tracker 1 is inf"),
    ("weights-nan", lambda: velmora.evaluate_dataset([[T]], [ANNO], weights=[math.nan, 1]), ValueError,
     r"weights: the weight of tracker 0 is nan"),
    ("weights-nan-removal", lambda: velmora.global_removal([[T]], [ANNO], [1, math.nan]), ValueError,
     r"weights: the weight of tracker 1 is nan"),
    ("weights-overflow-frame", lambda: velmora.fuse(T, weights=[1e30, 1]), ValueError,
     r"weights: the selected weights are too large for the sigma parameter 0.03: frame scores could overflow"),
    ("weights-overflow-performances", lambda: velmora.tracker_performances(T, weights=[1, 1e25]), ValueError,
     r"weights: the selected weights are too large"),
    ("refine-none", lambda: velmora.fuse(T, refine=None), TypeError, r"refine: expected True or False, got NoneType"),
    ("trajectory-flag", lambda: velmora.evaluate_dataset([[T]], [ANNO], trajectory="yes"), TypeError,
     r"trajectory: expected True or False, got str"),
    ("quality-empty-track", lambda: velmora.track_quality(np.zeros((0, 4)), ANNO), ValueError,
     r"track: no box to score"),
    ("annotation-area-overflow", lambda: velmora.track_quality(ANNO, ANNO * (1, 1, 2e18, 2e18)), ValueError,
     r"annotation, frame 1: annotation box .* is too large: its area overflows float32"),
    ("dataset-trajectory-frame", lambda: velmora.evaluate_dataset([[T], [LOST]], [ANNO, ANNO], trajectory=True),
     ValueError, r"data\[1\]\[0\]: no selected box attracts in frame 1"),
    ("global-trajectory-alone",
     lambda: velmora.global_removal([[T], [LOST[[0, 0]]]], [ANNO, ANNO], [1, 2], trajectory=True), ValueError,
     r"data: global removal with trajectory fusion may keep tracker 0 alone, and its box in data\[1\]\[0\] "
     r"frame 1 does not attract"),
    ("global-trajectory-kept",
     lambda: velmora.global_removal([[LOST]], [ANNO], [2, 2], trajectory=True), ValueError,
     r"data: global removal with trajectory fusion may keep only trackers \[1\] \(the ones it never drops\), "
     r"and none of their boxes in data\[0\]\[0\] frame 1 attracts"),
    ("stream-trackers", lambda: velmora.OnlineFuser(0), ValueError, r"n_trackers: must be 1 or more, got 0"),
    ("stream-lag", lambda: velmora.OnlineFuser(2, trajectory=True, lag=-1), ValueError, r"lag: must be 0 or more"),
    ("stream-lag-frames", lambda: velmora.OnlineFuser(2, lag=None), ValueError, r"lag: .*needs trajectory=True"),
    ("stream-selection", lambda: velmora.OnlineFuser(2, selection=[2]), ValueError,
     r"selection: tracker index 2 is out of range for 2 trackers"),
    ("stream-weights", lambda: velmora.OnlineFuser(2, weights=[1]), ValueError, r"weights: 1 entry given"),
    ("stream-sigma", lambda: velmora.OnlineFuser(2, sigma=0), ValueError, r"sigma: must be above 0"),
    ("stream-refine-none", lambda: velmora.OnlineFuser(2, refine=None), TypeError,
     r"refine: expected True or False, got NoneType"),
    ("stream-infinite-weight", lambda: velmora.OnlineFuser(2, trajectory=True, weights=[math.inf, 1]), ValueError,
     r"weights: the weight of tracker 0 is inf; every weight must be finite"),
    ("set-params-type", lambda: velmora.set_params(gamma=2.5), TypeError, r"gamma: expected an int, got float"),
    ("set-params-string", lambda: velmora.set_params(sigma="0.1"), TypeError, r"sigma: expected a number, got str"),
    ("set-params-range", lambda: velmora.set_params(gamma=2 ** 31), ValueError,
     r"gamma: 2147483648 does not fit a 32-bit int"),
]


@pytest.mark.parametrize("call, exception, message", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_bad_input_raises_before_the_library_runs(call, exception, message):
    with pytest.raises(exception, match=message) as raised:
        call()
    assert type(raised.value) is exception


@pytest.mark.parametrize("name, value", [
    ("alpha", 0.0), ("alpha", -1.0), ("alpha", math.nan), ("alpha", math.inf), ("alpha", 1e300), ("alpha", 1e-50),
    ("sigma", 0.0), ("sigma", -0.5), ("sigma", math.nan), ("sigma", 1e39), ("beta", math.nan), ("beta", -math.inf),
    ("beta", 1e39), ("gamma", -2)])
def test_unusable_parameters_are_refused_wherever_they_are_given(name, value):
    message = rf"^{name}: must be"
    with pytest.raises(ValueError, match=message):
        velmora.set_params(**{name: value})
    with pytest.raises(ValueError, match=message):
        with velmora.parameters(**{name: value}):
            pytest.fail("the block must not run")
    if name != "gamma":
        call = velmora.evaluate_dataset if name == "beta" else velmora.fuse
        with pytest.raises(ValueError, match=message):
            call(*(([[T]], [ANNO]) if name == "beta" else (T,)), **{name: value})
    assert velmora.get_params() == DEFAULTS


def test_a_beta_that_would_overflow_the_path_scores_is_refused():
    # Finite as a float32, but three frames of 1e38 each pass the float32 range: the path
    # scores would turn infinite and the trajectory follow the first tracker.
    with pytest.raises(ValueError, match=r"beta: 1e\+38 is too large for trajectory fusion of 3 frames"):
        velmora.fuse_trajectory(T, beta=1e38)
    with pytest.raises(ValueError, match=r"beta: "):
        velmora.global_removal([[T]], [ANNO], [1, 2], trajectory=True, beta=-1e38)
    assert velmora.fuse(T, sigma=0.5).shape == (3, 4)  # frame by frame reads no beta
    assert velmora.fuse_trajectory(T, beta=-5.0).shape == (3, 4)  # a negative beta is the library's to handle


def test_local_removal_refuses_performances_it_cannot_rank():
    # With a tiny sigma every frame score is about 1e30: no performance is below the 1e25 that
    # the removal ranks from.
    with velmora.parameters(sigma=1e-30):
        with pytest.raises(ValueError, match=r"gamma: only 0 of the selected trackers have a performance below 1e25"):
            velmora.local_removal(T, gamma=1)
        assert velmora.local_removal(T, gamma=0) == [0, 1]
    assert velmora.get_params()["gamma"] == -1


def test_refused_calls_accept_what_the_library_handles():
    # The checks are no stricter than needed where the library copes on its own.
    assert velmora.fuse(LOST).shape == (3, 4)                        # lost frames fuse frame by frame
    assert velmora.fuse(T * (1, 1, np.nan, 1)).shape == (3, 4)       # NaN boxes are lost too
    assert velmora.tracker_weights([[T], []], [ANNO, ANNO]).shape == (400,)  # later sequences may lack runs
    assert velmora.evaluate_dataset([[T[:, :1]]], [ANNO[:1]]) == 1.0  # a run of one frame
    assert velmora.track_quality(ANNO[:1], np.zeros((0, 4)), shift=-7) == 1.0
    assert velmora.track_attraction(ANNO[:3], ANNO[:1], start=-1) == 0.0
    # A NaN box of a scored track is a lost target, scored as the zero box (not a NaN mean).
    lost, zero = ANNO[:3].copy(), ANNO[:3].copy()
    lost[1, 2], zero[1] = math.nan, 0
    for score in (velmora.track_quality, velmora.track_attraction):
        assert score(lost, ANNO) == score(zero, ANNO) and not math.isnan(score(lost, ANNO))
    # Global removal with trajectory fusion passes when a tracker it never drops (here the
    # second of two equal weights) attracts in every frame, although the other loses the target.
    lost_and_steady = np.array([LOST[1], T[0]])
    assert set(velmora.global_removal([[lost_and_steady]], [ANNO], [2, 2], trajectory=True)) <= {0, 1}
    with pytest.raises(ValueError, match=r"may keep tracker 0 alone"):
        velmora.global_removal([[lost_and_steady]], [ANNO], [1, 2], trajectory=True)


def test_a_stream_refuses_a_bad_frame_as_the_whole_sequence_calls_do_and_goes_on():
    stream = velmora.OnlineFuser(2, trajectory=True, lag=1)
    assert stream.push(T[:, 0]).shape == (0, 4)
    bad = [(np.zeros((3, 4)), r"boxes: expected one box per tracker, shape \(2, 4\), got shape \(3, 4\)"),
           (LOST[:, 1], r"boxes: no selected box attracts in frame 1"),
           ([(0, 0, -1, 10), (5, 0, 10, 10)], r"boxes: tracker 0, frame 1: box \(0, 0, -1, 10\) has a negative"),
           ("boxes", r"boxes: expected an \(n_trackers, 4\) array")]
    for boxes, message in bad:
        with pytest.raises((ValueError, TypeError), match=message):
            stream.push(boxes)
    assert (stream.pushed, stream.pending) == (1, 1)
    out = np.concatenate([stream.push(T[:, 1]), stream.push(T[:, 2]), stream.finish()])
    np.testing.assert_array_equal(out, velmora.fuse_trajectory(T, backtracking=True))
    assert stream.finished and stream.finish().shape == (0, 4)
    with pytest.raises(RuntimeError, match=r"push: the stream is finished"):
        stream.push(T[:, 0])
