"""The velmora bindings give the library's numbers to the bit.

Worked values are single-precision results with alpha 4.0 and sigma 0.03; they are compared
through their float32 bit patterns, never with a tolerance.
"""

import math
import pathlib
import re

import numpy as np
import pytest

import velmora
from conftest import DEFAULTS

f32 = np.float32


def bits(value):
    """The float32 bit pattern(s) of a number, a numeric string or an array."""
    return np.asarray(value, dtype=f32).view(np.uint32)


def assert_bits(actual, expected):
    np.testing.assert_array_equal(bits(actual), bits(expected))


def trackers(*boxes_per_tracker):
    """A (trackers, frames, 4) float32 array from one list of boxes per tracker."""
    return np.array(boxes_per_tracker, dtype=f32)


TWO = trackers([(0, 0, 10, 10)], [(5, 0, 10, 10)])
THREE = trackers([(0, 0, 100, 100)], [(30, 0, 100, 100)], [(0, 40, 100, 100)])
WIDE = trackers([(0, 0, 1000, 1000)], [(60, 0, 1000, 1000)], [(60, 0, 1000, 1000)])


# ---- Box geometry ----

GEOMETRY = [  # a, b, distance4d_2, attraction, normalized_attraction
    ((0, 0, 10, 10), (0, 0, 10, 10), "0", "33.333336", "1"),
    ((0, 0, 10, 10), (5, 0, 10, 10), "0.25", "3.5714285", "0.10714285"),
    ((0, 0, 10, 10), (0, 0, 30, 10), "0.3125", "2.919708", "0.08759124"),
    ((100, 50, 40, 80), (110, 40, 60, 60), "0.2567347", "3.4875443", "0.10462633"),
]


@pytest.mark.parametrize("a, b, distance, attraction, normalized", GEOMETRY)
def test_box_geometry_matches_worked_values_in_both_orders(a, b, distance, attraction, normalized):
    for x, y in ((a, b), (b, a)):
        assert_bits(velmora.distance4d_2(x, y), distance)
        assert_bits(velmora.attraction(x, y), attraction)
        assert_bits(velmora.normalized_attraction(x, y), normalized)


def test_box_geometry_reads_parameters_and_explicit_sigma():
    a, b = (0, 0, 10, 10), (0, 0, 30, 10)
    with velmora.parameters(alpha=1.0):
        assert_bits(velmora.distance4d_2(a, b), "1.25")
    assert_bits(velmora.distance4d_2(a, b), "0.3125")
    # An explicit sigma is used as given; None reads the parameter at the call.
    assert_bits(velmora.attraction(a, a, sigma=0.5), "2")
    assert_bits(velmora.normalized_attraction(a, a, sigma=0.5), "1")
    with velmora.parameters(sigma=0.5):
        assert_bits(velmora.attraction(a, a), "2")
    assert math.isnan(velmora.distance4d_2((0, 0, 0, 10), (5, 0, 0, 10)))
    # Doubling every coordinate keeps the distance.
    assert_bits(velmora.distance4d_2((200, 100, 80, 160), (220, 80, 120, 120)), "0.2567347")


def test_inputs_are_rounded_to_float32_like_numpy():
    rng = np.random.default_rng(11)
    for _ in range(50):
        a, b = rng.uniform(0.1, 300, size=(2, 4))
        assert_bits(velmora.distance4d_2(a, b), velmora.distance4d_2(a.astype(f32), b.astype(f32)))
    as_list = [[[0.1, 0.2, 100.3, 99.7]], [[30.1, 0.2, 100.3, 99.7]], [[0.1, 40.2, 100.3, 99.7]]]
    as_float64 = np.array(as_list)
    expected = velmora.fuse(as_float64.astype(f32))
    assert expected.dtype == f32 and expected.shape == (1, 4)
    assert_bits(velmora.fuse(as_float64), expected)
    assert_bits(velmora.fuse(as_list), expected)
    assert_bits(velmora.fuse([np.asarray(t) for t in as_list]), expected)
    # Integers convert; views that are not contiguous too.
    assert_bits(velmora.fuse(THREE.astype(np.int64)), velmora.fuse(THREE))
    wide = np.repeat(THREE, 4, axis=1)
    assert_bits(velmora.fuse(wide[:, ::2]), velmora.fuse(wide[:, :2]))


# ---- Fusion ----

def test_frame_attraction_terms_follow_selection_positions():
    total, terms = velmora.frame_attraction(TWO, (0, 0, 10, 10), 0)
    assert_bits(total, "36.904766")
    assert_bits(terms, ["33.333336", "3.5714285"])
    total, terms = velmora.frame_attraction(TWO, (5, 0, 10, 10), 0)
    assert_bits(total, "36.904766")
    assert_bits(terms, ["3.5714285", "33.333336"])
    total, terms = velmora.frame_attraction(TWO, (0, 0, 10, 10), 0, weights=[0.5, 2.0])
    assert_bits(total, "22.619049")
    assert_bits(terms, ["8.333334", "14.285714"])
    _, terms = velmora.frame_attraction(TWO, (0, 0, 10, 10), 0, selection=[1, 0])
    assert_bits(terms, ["3.5714285", "33.333336"])
    total, terms = velmora.frame_attraction(TWO, (0, 0, 0, 10), 0)
    assert total == 0.0 and terms.tolist() == [0.0, 0.0]
    _, terms = velmora.frame_attraction(TWO, (0, 0, 10, 10), 0, weights=[0.0, 1.0])
    assert terms[0] == 0.0
    # None selects every tracker; an explicit empty selection selects none.
    total, terms = velmora.frame_attraction(TWO, (0, 0, 10, 10), 0, selection=[])
    assert total == 0.0 and terms.shape == (0,) and terms.dtype == f32


def test_fuse_frame_chooses_and_refines_like_the_worked_values():
    cases = [  # trackers, selection, weights, without refinement, with refinement
        (TWO, None, None, (0, 0, 10, 10), (0, 0, 10, 10)),
        (THREE, None, None, (0, 0, 100, 100), (2, 1, 100, 100)),
        (WIDE, None, None, (60, 0, 1000, 1000), (45, 0, 1000, 1000)),
        (THREE, [2, 0], None, (0, 40, 100, 100), (0, 39, 100, 100)),
        (THREE, [2, 0], [1.0, 1.0, 1.5], (0, 40, 100, 100), None),
    ]
    for group, selection, weights, plain, refined in cases:
        box = velmora.fuse_frame(group, 0, selection=selection, weights=weights, refine=False)
        assert box.dtype == f32 and box.shape == (4,)
        assert_bits(box, plain)
        if refined is not None:
            assert_bits(velmora.fuse_frame(group, 0, selection=selection, weights=weights), refined)


def test_fuse_fuses_every_frame_on_its_own():
    two_frames = np.repeat(THREE, 2, axis=1)
    assert_bits(velmora.fuse(two_frames), [(2, 1, 100, 100)] * 2)
    assert_bits(velmora.fuse(two_frames, refine=False), [(0, 0, 100, 100)] * 2)
    rng = np.random.default_rng(3)
    group = (rng.uniform(0, 20, size=(4, 6, 4)) + (0, 0, 30, 30)).astype(f32)
    fused = velmora.fuse(group, selection=[3, 1, 2], weights=[1, 0.5, 2, 1])
    for f in range(6):
        assert_bits(fused[f], velmora.fuse_frame(group, f, selection=[3, 1, 2], weights=[1, 0.5, 2, 1]))
    assert velmora.fuse(np.zeros((2, 0, 4), f32)).shape == (0, 4)


def test_strongest_box_reports_positions_and_totals():
    position, totals = velmora.strongest_box(THREE, 0)
    assert position == 0
    assert_bits(totals, ["46.929825", "45.238098", "42.167923"])
    position, totals = velmora.strongest_box(THREE, 0, selection=[1, 2])
    assert position == 0
    assert_bits(totals, ["36.904766", "36.904766"])
    position, totals = velmora.strongest_box(THREE, 0, selection=[2, 0], weights=[1.0, 1.0, 1.5])
    assert position == 0
    assert_bits(totals, ["80.26317", "45.175438"])
    position, totals = velmora.strongest_box(trackers([(0, 0, 0, 10)], [(3, 3, 0, 5)]), 0)
    assert position == -1 and totals.tolist() == [0.0, 0.0]


def test_gradient_ascent_returns_a_new_box_within_its_budget():
    cases = [  # trackers, start, result
        (THREE, (0, 0, 100, 100), (2, 1, 100, 100)),
        (THREE, (10, 10, 100, 100), (5, 5, 100, 100)),
        (TWO, (10, 10, 10, 10), (9, 9, 10, 10)),
        (WIDE, (60, 0, 1000, 1000), (41, 0, 1000, 1000)),
        (TWO, (0, 0, 0, 0), (0, 0, 0, 0)),
        (TWO, (0, 0, 0, 50), (0, 0, 0, 50)),
    ]
    for group, start, result in cases:
        box = np.array(start, dtype=f32)
        assert_bits(velmora.gradient_ascent(box, group, 0), result)
        assert_bits(box, start)


# Integer boxes for which the two trajectory modes choose differently.
DIVERGING = trackers(
    [(8, 9, 10, 10), (0, 9, 10, 10), (5, 6, 10, 10)],
    [(7, 3, 10, 10), (11, 0, 10, 10), (3, 4, 10, 10)],
    [(6, 4, 10, 10), (1, 0, 10, 10), (0, 0, 10, 10)],
)


def test_fuse_trajectory_modes_and_flags():
    back = velmora.fuse_trajectory(DIVERGING, refine=False)
    skip = velmora.fuse_trajectory(DIVERGING, backtracking=False, refine=False)
    assert back.shape == (3, 4) and back.dtype == f32
    assert not np.array_equal(back, skip)
    # Without back-tracking a frame's box depends on no later frame; both modes take the best
    # position of the last frame.
    for frames in (1, 2):
        assert_bits(velmora.fuse_trajectory(DIVERGING[:, :frames], backtracking=False, refine=False),
                    skip[:frames])
    assert_bits(back[2], skip[2])
    # Every output box is one of the trackers' boxes of its frame; refinement then climbs.
    for f in range(3):
        assert any(np.array_equal(back[f], DIVERGING[k, f]) for k in range(3))
        assert_bits(velmora.fuse_trajectory(DIVERGING)[f], velmora.gradient_ascent(back[f], DIVERGING, f))
    assert_bits(velmora.fuse_trajectory(DIVERGING, selection=None), velmora.fuse_trajectory(DIVERGING, selection=[0, 1, 2]))
    for backtracking in (True, False):
        alone = velmora.fuse_trajectory(DIVERGING, selection=[1], backtracking=backtracking, refine=False)
        assert_bits(alone, DIVERGING[1])
    assert velmora.fuse_trajectory(np.zeros((2, 0, 4), f32)).shape == (0, 4)


def test_fuse_trajectory_without_agreement_reward_takes_each_frames_strongest_box():
    rng = np.random.default_rng(5)
    group = (rng.uniform(0, 30, size=(4, 8, 4)) + (0, 0, 40, 40)).astype(f32)
    with velmora.parameters(beta=0.0):
        for backtracking in (True, False):
            fused = velmora.fuse_trajectory(group, backtracking=backtracking, refine=False)
            for f in range(8):
                position, _ = velmora.strongest_box(group, f)
                assert_bits(fused[f], group[position, f])


# ---- Evaluation against annotation ----

def test_track_quality_modes():
    truth = np.array([(0, 0, 10, 10), (2, 0, 10, 10), (4, 1, 10, 10), (6, 2, 10, 12), (8, 3, 10, 12)], f32)
    n = len(truth)
    for center_distance in (False, True):
        # One box scores 1.0 in every mode, whatever the annotation.
        assert velmora.track_quality(truth[:1], np.zeros((0, 4)), shift=7, center_distance=center_distance) == 1.0
        with pytest.raises(ValueError, match=r"^track: no box to score$"):
            velmora.track_quality(np.zeros((0, 4)), truth, center_distance=center_distance)
        # A NaN threshold never passes: only frame 0 counts.
        assert_bits(velmora.track_quality(truth, truth, threshold=math.nan, center_distance=center_distance),
                    f32(1) / f32(n))
    assert velmora.track_quality(truth, truth) == 1.0
    for threshold in (0.0, 0.5, 1.0):
        assert velmora.track_quality(truth, truth, threshold=threshold) == 1.0
    assert_bits(velmora.track_quality(truth, truth, center_distance=True), f32(1) / f32(n))
    assert velmora.track_quality(truth, truth, threshold=0.0, center_distance=True) == 1.0
    # Just below -1 is a threshold: every overlap passes it, no distance does.
    assert velmora.track_quality(truth, truth[::-1], threshold=-1.0001) == 1.0
    assert_bits(velmora.track_quality(truth, truth, threshold=-1.0001, center_distance=True), f32(1) / f32(n))
    apart = np.array([(0, 0, 10, 10), (50, 50, 10, 10)], f32)
    assert_bits(velmora.track_quality(apart, truth[:2]), (f32(1) + f32(-0.0001)) / f32(2))
    assert velmora.track_quality(apart, truth[:2], threshold=0.0) == 0.5
    # shift -1 pairs track box 1 with annotation box 0; a run may end on the last annotation box.
    assert velmora.track_quality(np.array([(9, 9, 1, 1), truth[0]], f32), truth, shift=-1) == 1.0
    assert velmora.track_quality(truth[2:], truth, shift=2) == 1.0


def test_track_attraction_sums_from_start_and_divides_by_n_minus_one():
    truth = np.array([(0, 0, 10, 10), (5, 0, 10, 10), (0, 0, 10, 10), (0, 0, 30, 10)], f32)
    same = truth.copy()
    assert_bits(velmora.track_attraction(same, truth), "33.333336")   # 3 * (1/sigma) / 3
    assert_bits(velmora.track_attraction(same[:2], truth), "33.333336")
    assert_bits(velmora.track_attraction(same[:2], truth, start=0), "66.66667")
    shifted = np.array([(0, 0, 10, 10), (0, 0, 10, 10)], f32)
    assert_bits(velmora.track_attraction(shifted, truth, shift=2), "2.919708")
    assert velmora.track_attraction(same, truth, start=4) == 0.0
    assert velmora.track_attraction(same, truth, start=-3) == 0.0
    assert math.isnan(velmora.track_attraction(same[:1], truth))
    assert velmora.track_attraction(same[:1], truth, start=0) == math.inf
    assert velmora.track_attraction(np.zeros((0, 4)), truth) == 0.0


@pytest.mark.parametrize("refine", [False, True])
def test_streams_give_the_whole_sequence_calls_boxes_to_the_bit(refine):
    rng = np.random.default_rng(5)
    frames = 30
    tracks = (np.array([100, 80, 40, 60]) + rng.normal(0, 4, size=(6, frames, 4))).astype(f32)
    tracks[2, 7] = math.nan  # a lost box: the others attract
    options = dict(selection=[4, 0, 2, 1, 5], weights=[1.0, 0.5, 2.0, 1.0, 0.8, 1.2], refine=refine)

    def run(**kwargs):
        stream = velmora.OnlineFuser(6, **options, **kwargs)
        pieces = [stream.push(tracks[:, f]) for f in range(frames)] + [stream.finish()]
        return [len(p) for p in pieces], np.concatenate(pieces)

    whole = dict(options, refine=refine)
    cases = [(dict(), velmora.fuse(tracks, **whole), [1] * frames + [0]),
             (dict(trajectory=True), velmora.fuse_trajectory(tracks, backtracking=False, **whole), [1] * frames + [0]),
             (dict(trajectory=True, lag=None), velmora.fuse_trajectory(tracks, **whole), [0] * frames + [frames]),
             (dict(trajectory=True, lag=frames - 1), velmora.fuse_trajectory(tracks, **whole),
              [0] * (frames - 1) + [1, frames - 1])]
    lag = 4  # frame t: the back-tracked path of frames 0 .. t + 4
    lagged = np.array([velmora.fuse_trajectory(tracks[:, :min(t + lag, frames - 1) + 1], **whole)[t]
                       for t in range(frames)])
    cases.append((dict(trajectory=True, lag=lag), lagged, [0] * lag + [1] * (frames - lag) + [lag]))
    for kwargs, expected, counts in cases:
        got_counts, got = run(**kwargs)
        assert got_counts == counts, kwargs
        assert_bits(got, expected)
    # The parameters are those in force when the stream is made, or given to it.
    with velmora.parameters(sigma=0.1, beta=5):
        stream = velmora.OnlineFuser(6, trajectory=True, lag=None, **options)
        given = velmora.OnlineFuser(6, trajectory=True, lag=None, alpha=2, **options)
    for f in range(frames):
        stream.push(tracks[:, f])
        given.push(tracks[:, f])
    assert_bits(stream.finish(), velmora.fuse_trajectory(tracks, sigma=0.1, beta=5, **whole))
    assert_bits(given.finish(), velmora.fuse_trajectory(tracks, alpha=2, sigma=0.1, beta=5, **whole))


# ---- Data sets ----

def walk(rng, frames):
    """An annotation track: a 40 x 60 box on a random walk of whole units."""
    truth = np.empty((frames, 4), f32)
    truth[:, :2] = 100 + np.round(np.cumsum(rng.normal(0, 3, size=(frames, 2)), axis=0))
    truth[:, 2:] = (40, 60)
    return truth


def biased_data_set(seed=1, sequences=3, frames=20):
    """Trackers 0 and 1 follow the annotation with noise; trackers 2 and 3 agree perfectly with
    each other 14 units to the right of it, which pulls the fusion away. Two runs per sequence."""
    rng = np.random.default_rng(seed)
    data, annotation = [], []
    for _ in range(sequences):
        truth = walk(rng, frames)
        group = np.repeat(truth[None], 4, axis=0)
        group[:2, :, :2] += rng.normal(0, 1.5, size=(2, frames, 2)).astype(f32)
        group[2:, :, 0] += 14
        data.append([(group[:, :8], 1), (group[:, 8:], 9)])
        annotation.append(truth)
    return data, annotation


def test_evaluate_dataset_composes_fusion_and_track_quality():
    rng = np.random.default_rng(2)
    truth = walk(rng, 12)
    group = (np.repeat(truth[None], 3, axis=0) + rng.normal(0, 2, size=(3, 12, 4))).astype(f32)
    run = group[:, 4:]
    for trajectory, fusion in ((False, velmora.fuse), (True, velmora.fuse_trajectory)):
        score = velmora.evaluate_dataset([[(run, 5)]], [truth], trajectory=trajectory)
        quality = f32(velmora.track_quality(fusion(run), truth, shift=4))
        n = f32(run.shape[1])
        assert_bits(score, (n * quality) / n)
    # Trackers that all equal the annotation fuse to it: score 1.0, also from start_frame 5.
    exact = np.repeat(truth[None], 3, axis=0)
    assert velmora.evaluate_dataset([[exact]], [truth]) == 1.0
    assert velmora.evaluate_dataset([[(exact[:, 4:], 5)]], [truth], trajectory=True) == 1.0
    assert velmora.evaluate_dataset([[(exact[:, 4:], 4)]], [truth]) < 1.0
    # The mean over sequences: a perfect sequence and the same imperfect one.
    imperfect = velmora.evaluate_dataset([[run]], [truth[4:]])
    both = velmora.evaluate_dataset([[exact], [run]], [truth, truth[4:]])
    assert_bits(both, (f32(1) + f32(imperfect)) / f32(2))


def test_evaluate_dataset_selection_and_weights_reach_the_fusion():
    data, annotation = biased_data_set()
    everything = velmora.evaluate_dataset(data, annotation)
    assert velmora.evaluate_dataset(data, annotation, selection=[0, 1, 3]) > everything
    assert velmora.evaluate_dataset(data, annotation, weights=[1, 1, 0.1, 0.1]) > everything
    # A run given bare starts at frame 1.
    bare = [[group for group, _ in sequence[:1]] for sequence in data]
    tupled = [[(group, 1) for group, _ in sequence[:1]] for sequence in data]
    assert_bits(velmora.evaluate_dataset(bare, annotation), velmora.evaluate_dataset(tupled, annotation))


def test_tracker_weights_learn_mean_attraction_to_the_annotation():
    rng = np.random.default_rng(4)
    truth = walk(rng, 9)
    noisy = (truth + rng.normal(0, 2, size=truth.shape)).astype(f32)
    group = np.stack([truth, noisy, noisy + (30, 0, 0, 0)]).astype(f32)
    weights = velmora.tracker_weights([[(group[:, 4:], 5)]], [truth])
    assert weights.dtype == f32 and weights.shape == (400,)
    assert np.all(weights[3:] == 0)
    # A tracker equal to the annotation gets 1/sigma; with 4 frames after the first the weight
    # is track_attraction * 4 / 4, exact.
    assert_bits(weights[0], "33.333336")
    for k in range(3):
        assert_bits(weights[k], velmora.track_attraction(group[k, 4:], truth, shift=4))
    assert weights[1] > weights[2] > 0
    # Runs of one frame add nothing; more trackers than 400 give one entry per tracker.
    with_short = velmora.tracker_weights([[(group[:, 4:], 5), (group[:, :1], 1)], []], [truth, truth])
    assert_bits(with_short, weights)
    many = np.repeat(group[:1, :2], 401, axis=0)
    assert velmora.tracker_weights([[many]], [truth]).shape == (401,)


def test_global_removal_drops_trackers_that_lower_the_score():
    data, annotation = biased_data_set()
    everything = velmora.evaluate_dataset(data, annotation)
    assert velmora.evaluate_dataset(data, annotation, selection=[0, 1, 3]) > everything
    for trajectory in (False, True):
        # Trackers 2 and 3 tie for the lowest weight: only tracker 2, the first of them, is
        # tried, and its drop stands; the trial on tracker 0 (weight 1.0) does not.
        assert velmora.global_removal(data, annotation, [1, 1, 0.999, 0.999], trajectory=trajectory) == [0, 1, 3]
        # A tracker of weight 0 is never tried, so it stays.
        assert velmora.global_removal(data, annotation, [1, 1, 0, 1], trajectory=trajectory) == [0, 1, 2, 3]
    # None weighs every tracker 1.0: one trial, on tracker 0, which does not help.
    assert velmora.global_removal(data, annotation, None) == [0, 1, 2, 3]
    # The weights of tracker_weights are accepted as they are (400 entries).
    kept = velmora.global_removal(data, annotation, velmora.tracker_weights(data, annotation))
    assert kept == sorted(kept) and set(kept) <= {0, 1, 2, 3}


def test_a_held_data_set_gives_what_its_lists_give():
    data, annotation = biased_data_set()
    held = velmora.DataSet()
    for runs, truth in zip(data, annotation):
        held.add(runs, truth)
    assert (len(held), held.trackers, held.frames) == (len(data), 4, sum(r[0].shape[1] for s in data for r in s))
    for trajectory in (False, True):
        assert_bits(velmora.evaluate_dataset(held, trajectory=trajectory, selection=[0, 2]),
                    velmora.evaluate_dataset(data, annotation, trajectory=trajectory, selection=[0, 2]))
    assert_bits(velmora.tracker_weights(held), velmora.tracker_weights(data, annotation))
    assert velmora.global_removal(held, weights=[1, 1, 0.999, 0.999]) == [0, 1, 3]
    with pytest.raises(TypeError, match="a velmora.DataSet holds its own annotation"):
        velmora.evaluate_dataset(held, annotation)
    held.add([(data[0][0][0][:3], 1)], annotation[0])  # three trackers: refused when read, naming the run
    with pytest.raises(ValueError, match=r"data\[3\]\[0\]: 3 trackers, but the first run has 4"):
        velmora.tracker_weights(held)


def test_tracker_performances_and_local_removal():
    same = trackers([(0, 0, 10, 10)] * 2, [(0, 0, 10, 10)] * 2)
    assert_bits(velmora.tracker_performances(same), ["133.33334", "133.33334"])  # 2 frames * 2 / sigma
    rng = np.random.default_rng(6)
    group = (rng.uniform(0, 4, size=(4, 5, 4)) + (100, 100, 50, 50)).astype(f32)
    group[1, :, 0] += 60   # tracker 1 agrees least with the others
    group[3, :, 1] += 40   # tracker 3 next
    performances = velmora.tracker_performances(group)
    assert performances.dtype == f32 and performances.shape == (4,)
    assert_bits(velmora.tracker_performances(group, selection=[2, 0]),
                velmora.tracker_performances(group, selection=[0, 2])[::-1])
    zero_width = group.copy()
    zero_width[0, 2, 2] = 0
    assert velmora.tracker_performances(zero_width)[0] < performances[0]
    assert velmora.tracker_performances(np.zeros((2, 0, 4), f32)).tolist() == [0.0, 0.0]

    assert velmora.local_removal(group, gamma=0) == [0, 1, 2, 3]
    assert velmora.local_removal(group, selection=[3, 1, 2], gamma=1) == [3, 2]
    assert velmora.local_removal(group, gamma=2) == [0, 2]
    assert velmora.local_removal(group, selection=[2, 0], gamma=2) == []
    # gamma None reads the parameter; an explicit gamma leaves the parameter as it was.
    velmora.set_params(gamma=1)
    assert velmora.local_removal(group) == [0, 2, 3]
    assert velmora.local_removal(group, gamma=2) == [0, 2]
    assert velmora.get_params()["gamma"] == 1


def test_documented_example_runs_and_prints_what_it_says(capsys):
    text = (pathlib.Path(__file__).parents[2] / "docs" / "python.md").read_text()
    code = re.search(r"```python\n(.*?)```", text, re.S).group(1)
    exec(compile(code, "docs/python.md", "exec"), {})
    printed = capsys.readouterr().out.splitlines()
    assert printed[0] == "0.9732142686843872" and printed[1] == "1.0" and printed[3] == "[0, 1, 2]"
    assert velmora.get_params() == DEFAULTS
