"""The benchmark measures on tiny cases worked out by hand."""

import numpy as np
import pytest

from velmora import metrics

SQUARE = [0, 0, 10, 10]


def repeat(box, n):
    return np.array([box] * n, dtype=np.float64)


class TestOverlap:
    def test_hand_computed_overlaps(self):
        result = np.array([[5, 0, 10, 10],  # 50 / 150
                           [0, 0, 10, 10],  # identical
                           [10, 0, 10, 10],  # touching edges: 0
                           [2, 2, 6, 6],  # inside: 36 / 100
                           [-5, -5, 30, 30],  # contains it: 100 / 900
                           [0, 0, 0, 0],  # lost as zeros
                           [np.nan] * 4])  # lost as NaN
        iou = metrics.overlaps(result, repeat(SQUARE, len(result)))
        np.testing.assert_array_equal(iou[:6], [50 / 150, 1, 0, 36 / 100, 100 / 900, 0])
        assert np.isnan(iou[6])

    def test_empty_annotation_box_scores_minus_one(self):
        iou = metrics.overlaps(repeat(SQUARE, 3), [[0, 0, 0, 10], [0, 0, 10, -1], [0, 0, 0, 0]])
        np.testing.assert_array_equal(iou, [-1, -1, -1])

    def test_lengths_must_match(self):
        with pytest.raises(ValueError, match="3 result boxes for 2"):
            metrics.overlaps(repeat(SQUARE, 3), repeat(SQUARE, 2))

    @pytest.mark.parametrize("protocol, bins, expected", [
        # Frames: 50/150 | 1 | lost (0) | absent | unscored annotation | 36/100 | lost, then filled by the
        # previous box under lasot's rules (as the NaN box is); the first frame is the annotation's there.
        ("pysot", 10, [1 / 3, 1, 0, np.nan, np.nan, 0.36, 0]),
        ("pysot", 3, [(1 / 3 + 1 + 0) / 3, np.nan, (0.36 + 0) / 2]),  # frames 0-2, 3-4, 5-6
        ("lasot", 3, [1, np.nan, 0.36]),
    ])
    def test_overlap_timeline_averages_stretches_of_the_counted_frames(self, protocol, bins, expected):
        result = np.array([[5, 0, 10, 10], SQUARE, [np.nan] * 4, SQUARE, SQUARE, [2, 2, 6, 6], [0, 0, 0, 0]],
                          dtype=np.float64)
        annotation = repeat(SQUARE, 7)
        annotation[4] = [0, 0, 0, 10]  # not scored
        absent = np.array([0, 0, 0, 1, 0, 0, 0], dtype=bool)
        if protocol == "lasot":
            annotation[:, :2] += 1  # lasot scores annotation boxes whose four numbers are above 0
            result[:, :2] += 1
            result[2] = [np.nan] * 4
        timeline = metrics.overlap_timeline(result, annotation, absent, metrics.PROTOCOLS[protocol], bins)
        assert timeline.dtype == np.float32
        np.testing.assert_allclose(timeline, expected, rtol=1e-6)


class TestSuccess:
    def test_known_curve(self):
        # Overlap 1/3 in every frame: above the thresholds 0 .. 0.3 (7 points), not above 0.35.
        curve = metrics.success_curve(repeat([5, 0, 10, 10], 4), repeat(SQUARE, 4))
        np.testing.assert_array_equal(curve, [1] * 7 + [0] * 14)
        assert curve.mean() == 7 / 21

    def test_perfect_overlap_misses_only_the_last_point(self):
        # "Strictly above": an overlap of 1 does not pass the threshold 1.
        curve = metrics.success_curve(repeat(SQUARE, 2), repeat(SQUARE, 2))
        np.testing.assert_array_equal(curve, [1] * 20 + [0])

    def test_divisor_is_the_number_of_annotation_frames(self):
        result = np.array([SQUARE, [5, 0, 10, 10], [np.nan] * 4, [50, 50, 10, 10]])
        anno = np.array([SQUARE, SQUARE, SQUARE, [0, 0, 0, 0]])
        # Frame 0: 1, frame 1: 1/3, frame 2: lost, frame 3: empty annotation (-1, below every threshold).
        curve = metrics.success_curve(result, anno)
        np.testing.assert_array_equal(curve, [2 / 4] * 7 + [1 / 4] * 13 + [0])

    def test_absent_frames_leave_the_counts_but_not_the_divisor(self):
        curve = metrics.success_curve(repeat(SQUARE, 4), repeat(SQUARE, 4), absent=[False, True, False, True])
        np.testing.assert_array_equal(curve, [2 / 4] * 20 + [0])


class TestPrecision:
    def test_precision_at_twenty_pixels(self):
        # Centre offsets of 3-4-5 triangles: 5, 20 (exactly on the threshold, counts), 25.
        result = np.array([[3, 4, 10, 10], [12, 16, 10, 10], [15, 20, 10, 10], SQUARE])
        curve = metrics.precision_curve(result, repeat([0, 0, 10, 10], 4))
        assert curve[metrics.PRECISION_AT] == 3 / 4
        expected = [1 / 4] * 5 + [2 / 4] * 15 + [3 / 4] * 5 + [1] * 26
        np.testing.assert_array_equal(curve, expected)

    def test_centres_use_half_the_size(self):
        # Same centre (10, 10), different sizes: distance 0.
        errors = metrics.center_errors([[5, 5, 10, 10]], [[0, 0, 20, 20]])
        np.testing.assert_array_equal(errors, [0])

    def test_annotation_centre_at_or_below_zero_counts_within_every_threshold(self):
        anno = np.array([[-20, 0, 10, 10], [-5, -5, 10, 10], [0, 0, 10, 10]])  # centres (-15, 5), (0, 0), (5, 5)
        result = np.array([[500, 500, 10, 10], [np.nan] * 4, [500, 500, 10, 10]])
        np.testing.assert_array_equal(metrics.center_errors(result, anno)[:2], [-1, -1])
        curve = metrics.precision_curve(result, anno)
        np.testing.assert_array_equal(curve, [2 / 3] * 51)

    def test_lost_result_counts_nowhere(self):
        curve = metrics.precision_curve([[np.nan] * 4, SQUARE], repeat(SQUARE, 2))
        np.testing.assert_array_equal(curve, [1 / 2] * 51)

    def test_absent_frames_leave_the_counts_even_with_an_empty_annotation(self):
        anno = np.array([SQUARE, [0, 0, 0, 0]])  # the second centre is (0, 0): distance -1
        np.testing.assert_array_equal(metrics.precision_curve(repeat(SQUARE, 2), anno), [1] * 51)
        np.testing.assert_array_equal(metrics.precision_curve(repeat(SQUARE, 2), anno, absent=[False, True]),
                                      [1 / 2] * 51)


class TestNormalizedPrecision:
    def test_centres_are_divided_by_the_annotation_size(self):
        # Annotation 16 x 32 with centre (8, 16): normalised (0.5, 0.5). Result centre (12, 16):
        # normalised (0.75, 0.5), distance 0.25. A 40-pixel vertical offset is 1.25.
        anno = repeat([0, 0, 16, 32], 2)
        result = np.array([[4, 0, 16, 32], [0, 40, 16, 32]])
        np.testing.assert_array_equal(metrics.normalized_center_errors(result, anno), [0.25, 1.25])
        curve = metrics.norm_precision_curve(result, anno)
        assert metrics.NORM_PRECISION_THRESHOLDS[25] == 0.25
        np.testing.assert_array_equal(curve, [0] * 25 + [1 / 2] * 26)
        assert curve[metrics.NORM_PRECISION_AT] == 0


class TestDataSet:
    def test_auc_is_the_mean_over_sequences_not_frames(self):
        long = metrics.score_sequence(repeat(SQUARE, 9), repeat(SQUARE, 9))  # AUC 20/21
        short = metrics.score_sequence(repeat([5, 0, 10, 10], 1), repeat(SQUARE, 1))  # AUC 7/21
        assert (long.frames, short.frames) == (9, 1)
        success, precision, norm_precision = metrics.mean_curves([long, short])
        assert success.mean() == np.mean([[1.0] * 20 + [0.0], [1.0] * 7 + [0.0] * 14], axis=0).mean()
        assert precision[metrics.PRECISION_AT] == 1
        assert norm_precision[metrics.NORM_PRECISION_AT] == 1 / 2

    def test_empty_inputs_are_refused(self):
        with pytest.raises(ValueError):
            metrics.success_curve(np.zeros((0, 4)), np.zeros((0, 4)))
        with pytest.raises(ValueError):
            metrics.mean_curves([])


class TestProtocols:
    # Five frames worked out by hand: an offset first frame, a zero box, an annotation box left of
    # the image edge (x < 0) and one of width 0.
    S = [1, 1, 10, 10]
    ANNO = np.array([S, S, S, [-2, 1, 10, 10], [1, 1, 0, 10]], dtype=np.float64)
    RESULT = np.array([[6, 1, 10, 10], S, [0, 0, 0, 0], [-2, 1, 10, 10], S], dtype=np.float64)

    @pytest.mark.parametrize("name, auc, precision, norm_precision", [
        # Overlaps 1/3, 1, 0, 1, -1; every centre within 20 pixels; normalised, only frames 1, 3.
        ("pysot", (7 * 3 / 5 + 13 * 2 / 5) / 21, 1.0, 2 / 5),
        # Frame 0 is the annotation; boxes with x <= 0 or width 0 are not scored: 1, 1, 0, -1, -1,
        # and count within every threshold of both precisions.
        ("otb", 20 * 2 / 5 / 21, 1.0, 4 / 5),
        # Also the zero box takes the box before it: 1, 1, 1, -1, -1.
        ("lasot", 20 * 3 / 5 / 21, 1.0, 1.0),
        # Scores x < 0; the width-0 annotation misses in precision, hits in normalised precision.
        ("pytracking", 20 * 4 / 5 / 21, 4 / 5, 1.0),
    ])
    def test_hand_computed_scores(self, name, auc, precision, norm_precision):
        score = metrics.score_sequence(self.RESULT, self.ANNO, protocol=metrics.PROTOCOLS[name])
        assert score.auc == pytest.approx(auc, abs=1e-15)
        assert (score.precision20, score.norm_precision20) == (precision, norm_precision)

    @pytest.mark.parametrize("width, pysot_counts", [(10, False), (15, True), (20, False), (25, True)])
    def test_normalised_precision_on_its_threshold_counts_as_pysot_counts(self, width, pysot_counts):
        # A result 0.2 of the annotation's width to the right: exactly on the threshold, and on
        # either side of it by an ulp in pysot's arithmetic (centres normalised one by one).
        anno = np.array([[100, 100, width, width]], dtype=np.float64)
        result = anno + [0.2 * width, 0, 0, 0]
        pysot = metrics.score_sequence(result, anno)
        assert pysot.norm_precision20 == pysot_counts
        assert metrics.score_sequence(result, anno, protocol=metrics.PROTOCOLS["otb"]).norm_precision20 == 1.0

    def test_pysot_precisions_are_pysots_arithmetic_on_near_ties(self):
        def centres(boxes):  # as pysot's benchmark computes them
            return np.array([boxes[:, 0] + (boxes[:, 2] - 1) / 2, boxes[:, 1] + (boxes[:, 3] - 1) / 2]).T

        def curve(result, anno, size, thresholds):
            gt, tr = centres(anno) / size, centres(result) / size
            dist = np.ones(len(gt)) * -1
            mask = np.sum(gt > 0, axis=1) == 2
            dist[mask] = np.sqrt(np.sum(np.power(gt[mask] - tr[mask], 2), axis=1))
            return np.array([np.sum(dist <= t) / len(gt) for t in thresholds])

        rng = np.random.default_rng(11)
        for _ in range(50):
            result, anno = near_ties(rng, 40)
            score = metrics.score_sequence(result, anno)
            np.testing.assert_array_equal(score.precision, curve(result, anno, 1, np.arange(0, 51, 1)))
            np.testing.assert_array_equal(score.norm_precision,
                                          curve(result, anno, anno[:, 2:4] + 1e-16, np.arange(0, 51, 1) / 100))

    def test_pytracking_pads_a_short_result_after_filling_lost_boxes(self):
        # One box for three frames: the padding stays zero boxes, which overlap nothing.
        score = metrics.score_sequence(repeat(self.S, 1), repeat(self.S, 3), protocol=metrics.PROTOCOLS["pytracking"])
        np.testing.assert_array_equal(score.success, [1 / 3] * 20 + [0])
        with pytest.raises(ValueError, match="1 result boxes for 3"):
            metrics.score_sequence(repeat(self.S, 1), repeat(self.S, 3))

    def test_lasot_leaves_sequences_that_score_nothing_out_of_the_mean(self):
        hit = metrics.score_sequence(repeat(self.S, 2), repeat(self.S, 2))
        miss = metrics.score_sequence(repeat([100, 100, 10, 10], 2), repeat(self.S, 2))
        assert metrics.mean_curves([hit, miss], metrics.PROTOCOLS["lasot"])[0].mean() == hit.auc
        assert metrics.mean_curves([hit, miss])[0].mean() == hit.auc / 2

    def test_got10k_measures_skip_the_first_and_hidden_frames_and_clip_to_the_image(self):
        anno = np.array([self.S, [0, 0, 12, 12], self.S, self.S])
        result = np.array([[50, 50, 10, 10], [0, 0, 10, 10], [5, 0, 10, 10], [np.nan] * 4])
        visible = np.array([True, True, False, True])  # frame 2 covered; frame 0 never counts
        # Frame 1: 100 / 144; frame 3: lost, 0.
        score = metrics.score_sequence(result, anno, visible=visible)
        assert score.got10k == (100 / 144, 2, 1, 0) and score.ao == 50 / 144
        # In a 10 x 10 image both boxes of frame 1 are the whole image: overlap 1.
        clipped = metrics.score_sequence(result, anno, visible=visible, bound=(10, 10))
        assert metrics.got10k_measures([clipped, score]) == ((1 + 100 / 144) / 4, 2 / 4, 1 / 4)
        assert metrics.frames_per_second([[0.1, 0.2], [0.0, np.nan]]) == 7.5


def test_curves_count_as_comparing_every_frame_with_every_threshold():
    # The curves place values among the thresholds by binary search; values at, just off and far
    # from every threshold, and -1, inf and NaN, must count as direct comparisons count them.
    rng = np.random.default_rng(0)
    for thresholds, above in ((metrics.SUCCESS_THRESHOLDS, True), (metrics.PRECISION_THRESHOLDS, False),
                              (metrics.NORM_PRECISION_THRESHOLDS, False)):
        pool = np.concatenate([thresholds, np.nextafter(thresholds, np.inf), np.nextafter(thresholds, -np.inf),
                               [-1, np.inf, np.nan], rng.uniform(-1, 60, 20)])
        for n in range(1, 60):
            values = rng.choice(pool, n)
            with np.errstate(invalid="ignore"):
                direct = ((values[None] > thresholds[:, None]) if above else (values[None] <= thresholds[:, None]))
            np.testing.assert_array_equal(metrics._curve(values, thresholds, above), direct.sum(axis=1) / n)


def near_ties(rng, frames):
    """Annotation and result boxes whose overlaps and centre distances are, in exact arithmetic, on a
    threshold, and in float arithmetic within an ulp or two of it: there a different order of the
    same operations counts differently. Decimal coordinates make the float operations round."""
    annotation = np.round(rng.uniform(1, 300, (frames, 4)), 1)
    annotation[:, 2:] = np.round(rng.uniform(5, 80, (frames, 2)), 1)
    result = annotation.copy()
    for f in range(frames):
        w, h = annotation[f, 2:]
        kind = rng.integers(5)
        if kind == 0:  # centres 20 (or 5, 50) pixels apart: 12-16-20 and 3-4-5 triangles
            result[f, :2] += rng.choice([12, -12]) * rng.choice([1, 0.25, 2.5]), rng.choice([16, -16]) * 1.0
        elif kind == 1:  # normalised centre offset of 0.2 (or 0.1, 0.5) of the annotation's size
            result[f, :2] += w * rng.choice([0.2, 0.1, 0.5]), h * rng.choice([0.0, 0.2])
        elif kind == 2:  # a shift that makes the overlap 1/2, 3/4 or a threshold in between
            t = rng.choice([0.5, 0.75, 0.25, 0.65])
            result[f, 0] += w * (1 - t) / (1 + t)
        else:  # integer boxes: exact arithmetic, values exactly on thresholds
            annotation[f] = np.round(annotation[f])
            result[f] = annotation[f] + rng.choice([0, 1, -1, 2, 5, 20], 4)
    return result, annotation


def test_the_one_pass_scorer_counts_as_the_numpy_path_does():
    rng = np.random.default_rng(5)
    for trial in range(200):
        frames = int(rng.integers(1, 60))
        result, annotation = near_ties(rng, frames)
        result[rng.random(frames) < 0.05] = np.nan
        result[rng.random(frames) < 0.05] = 0
        annotation[rng.random(frames) < 0.03] = np.nan
        absent = rng.random(frames) < 0.2 if trial % 2 else None
        visible = rng.random(frames) < 0.8
        bound = (300.0, 250.0) if trial % 3 == 0 else None
        for protocol in metrics.PROTOCOLS.values():
            fast, plain = (metrics.score_sequence(result, annotation, absent, protocol=protocol, visible=visible,
                                                  bound=bound, fast=f) for f in (True, False))
            for curve in ("success", "precision", "norm_precision"):
                np.testing.assert_array_equal(getattr(fast, curve), getattr(plain, curve))
            assert fast.got10k == plain.got10k
