"""The four parameters through the bindings, and calls from several Python threads."""

import threading

import numpy as np
import pytest

import velmora
from conftest import DEFAULTS

f32 = np.float32
BOXES = ((0, 0, 10, 10), (0, 0, 30, 10))  # distance 0.3125 with alpha 4, 1.25 with alpha 1


def test_parameters_start_at_the_library_defaults_and_read_live():
    assert velmora.get_params() == DEFAULTS
    assert (velmora.params.alpha, velmora.params.beta, velmora.params.gamma, velmora.params.sigma) == (
        4.0, 20.0, -1, f32(0.03).item())
    velmora.params.alpha = 1
    assert velmora.get_params()["alpha"] == 1.0
    assert velmora.distance4d_2(*BOXES) == 1.25
    velmora.set_params(alpha=4.0, sigma=0.1, gamma=np.int64(3))
    assert velmora.params.sigma == f32(0.1).item()   # rounded to float32
    assert velmora.params.gamma == 3 and velmora.params.alpha == 4.0 and velmora.params.beta == 20.0
    assert velmora.distance4d_2(*BOXES) == 0.3125


def test_a_bad_value_changes_no_parameter():
    with pytest.raises(TypeError, match="gamma: expected an int, got float"):
        velmora.set_params(alpha=1.0, gamma=2.5, sigma=0.5)
    assert velmora.get_params() == DEFAULTS
    with pytest.raises(TypeError, match="value: expected a number, got None"):
        velmora.params.sigma = None
    with pytest.raises(TypeError, match="alpha: expected a number, got str"):
        velmora.params.alpha = "1"
    assert velmora.get_params() == DEFAULTS


def test_parameters_context_manager_restores_all_four():
    with velmora.parameters(alpha=1.0, gamma=2) as inside:
        assert inside == dict(DEFAULTS, alpha=1.0, gamma=2)
        assert velmora.distance4d_2(*BOXES) == 1.25
        with velmora.parameters(sigma=0.5):
            assert velmora.params.alpha == 1.0 and velmora.params.sigma == 0.5
        assert velmora.params.sigma == DEFAULTS["sigma"]
        velmora.params.beta = 3.0   # changed inside the block without the manager: restored too
    assert velmora.get_params() == DEFAULTS
    assert velmora.distance4d_2(*BOXES) == 0.3125


def test_parameters_context_manager_restores_after_an_exception():
    with pytest.raises(ZeroDivisionError):
        with velmora.parameters(alpha=1.0, beta=2.0, gamma=1, sigma=0.25):
            assert velmora.distance4d_2(*BOXES) == 1.25
            1 / 0
    assert velmora.get_params() == DEFAULTS
    # Also when the library call in the block refuses its input.
    with pytest.raises(ValueError):
        with velmora.parameters(sigma=0.0):
            velmora.fuse_trajectory(np.array([[(0, 0, 10, 10)]], f32))
    assert velmora.get_params() == DEFAULTS
    # A bad value enters no block and changes nothing.
    with pytest.raises(TypeError):
        with velmora.parameters(alpha=2.0, gamma="1"):
            pytest.fail("the block must not run")
    assert velmora.get_params() == DEFAULTS


# ---- Threads ----

def data_set(seed=3, sequences=6, frames=25, trackers=5):
    rng = np.random.default_rng(seed)
    data, annotation = [], []
    for _ in range(sequences):
        truth = np.empty((frames, 4), f32)
        truth[:, :2] = 100 + np.cumsum(rng.normal(0, 3, size=(frames, 2)), axis=0)
        truth[:, 2:] = (40, 60)
        group = (truth + rng.normal(0, 3, size=(trackers, frames, 4))).astype(f32)
        data.append([(group[:, :10], 1), (group[:, 10:], 11)])
        annotation.append(truth)
    return data, annotation


def run_in_threads(work, count):
    results, errors = [None] * count, []

    def target(i):
        try:
            results[i] = work(i)
        except BaseException as e:  # reported by the test, not lost in the thread
            errors.append(e)

    threads = [threading.Thread(target=target, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    return results


def test_calls_from_several_threads_give_the_serial_results():
    data, annotation = data_set()
    serial = {trajectory: velmora.evaluate_dataset(data, annotation, trajectory=trajectory)
              for trajectory in (False, True)}
    weights = velmora.tracker_weights(data, annotation)
    removal = velmora.global_removal(data, annotation, weights)
    fused = velmora.fuse_trajectory(data[0][0][0])

    def work(i):
        trajectory = i % 2 == 1
        return (velmora.evaluate_dataset(data, annotation, trajectory=trajectory),
                velmora.tracker_weights(data, annotation),
                velmora.global_removal(data, annotation, weights),
                velmora.fuse_trajectory(data[0][0][0]))

    for i, (score, w, kept, track) in enumerate(run_in_threads(work, 4)):
        assert f32(score).view(np.uint32) == f32(serial[i % 2 == 1]).view(np.uint32)
        np.testing.assert_array_equal(w.view(np.uint32), weights.view(np.uint32))
        assert kept == removal
        np.testing.assert_array_equal(track.view(np.uint32), fused.view(np.uint32))


def test_a_parameter_change_never_lands_inside_a_running_call():
    # One thread evaluates again and again while another switches sigma back and forth; every
    # score must be one of the two scores of a whole call under one sigma.
    data, annotation = data_set(sequences=4)
    scores = {}
    for sigma in (0.03, 0.3):
        with velmora.parameters(sigma=sigma):
            scores[f32(sigma).item()] = velmora.evaluate_dataset(data, annotation, trajectory=True)
    assert len(set(scores.values())) == 2
    done = threading.Event()

    def evaluate(i):
        if i == 0:
            try:
                return [velmora.evaluate_dataset(data, annotation, trajectory=True) for _ in range(15)]
            finally:
                done.set()
        switches = 0
        while not done.is_set():
            velmora.params.sigma = 0.3 if switches % 2 == 0 else 0.03
            switches += 1
        return switches

    results, _ = run_in_threads(evaluate, 2)
    assert set(results) <= set(scores.values())
