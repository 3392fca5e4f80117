"""Shared by the Python tests: every test starts from the library's initial parameters; the
command-line tests share a small benchmark with what real ones have."""
import os

import numpy as np
import pytest

import velmora
from velmora import cli
from velmora import textfiles

DEFAULTS = {"alpha": 4.0, "beta": 20.0, "gamma": -1, "sigma": np.float32(0.03).item()}


@pytest.fixture(autouse=True)
def default_parameters():
    velmora.set_params(**DEFAULTS)
    yield
    velmora.set_params(**DEFAULTS)


# ---- The command line's benchmark ----

NAN = [np.nan] * 4
ZERO = [0, 0, 0, 0]


def bits(a):
    return np.asarray(a, dtype=np.float32).view(np.uint32)


def write_boxes(path, boxes, sep=",", newline="\n", fmt="{:g}"):
    path.parent.mkdir(parents=True, exist_ok=True)
    lines = [sep.join("nan" if np.isnan(v) else fmt.format(v) for v in box) for box in boxes]
    path.write_bytes(newline.join(lines).encode())  # no final line end
    return path


@pytest.fixture
def run(capsys):
    """Runs the command in this process: (exit status, standard output, standard error)."""

    def run(*argv):
        try:
            status = cli.main([str(a) for a in argv])
        except SystemExit as e:
            status = e.code
        out, err = capsys.readouterr()
        return status, out, err

    return run


# A benchmark with what real ones have: names that differ in case and separators, CRLF, tabs,
# NaN and zero lines, absence flags, a tracker missing a sequence, a short file, stray files.
BASKETBALL = np.array([[10 + 2 * f, 20, 40, 50] for f in range(6)], dtype=np.float64)
CAR = np.array([[100, 100 + f, 30, 30] for f in range(6)], dtype=np.float64)
JOGGING = np.array([[50, 50, 20, 60]] * 5, dtype=np.float64)


def with_lost(track, lost):
    track = track.copy()
    for frame, box in lost.items():
        track[frame] = box
    return track


# The trackers' results, lost frames included.
CAR_A = with_lost(CAR, {4: NAN})
BASKET_B = with_lost(BASKETBALL + [5, 0, 0, 0], {3: NAN})
CAR_B = with_lost(CAR + [3, 3, 0, 0], {2: ZERO, 4: ZERO})
BASKET_C = with_lost(BASKETBALL + [0, -5, 2, 0], {3: ZERO})
CAR_C = with_lost(CAR + [-4, 0, 4, 4], {4: NAN})


@pytest.fixture
def bench(tmp_path):
    anno = tmp_path / "anno"
    write_boxes(anno / "Basketball.txt", BASKETBALL, sep=" ")
    write_boxes(anno / "car-1" / "groundtruth.txt", CAR, newline="\r\n")
    (anno / "car-1" / "absent.txt").write_text("0\n0\n1\n0\n0\n0\n")
    write_boxes(anno / "Jogging" / "groundtruth_rect.1.txt", JOGGING, sep="\t")
    write_boxes(anno / "lonely.txt", BASKETBALL[:3])

    res = tmp_path / "results"
    write_boxes(res / "A" / "basketball.txt", BASKETBALL)
    write_boxes(res / "A" / "car_1.txt", CAR_A, sep=", ")
    write_boxes(res / "A" / "Jogging-1.txt", JOGGING)
    write_boxes(res / "A" / "extra.txt", JOGGING)

    write_boxes(res / "B" / "BASKETBALL.txt", BASKET_B, newline="\r\n")
    write_boxes(res / "B" / "CAR-1.txt", CAR_B, sep="\t")
    write_boxes(res / "B" / "jogging.1.txt", JOGGING[:4])  # one line short

    write_boxes(res / "C" / "Basketball.txt", BASKET_C, fmt="{:.6f}")
    write_boxes(res / "C" / "car-1.txt", CAR_C)
    return tmp_path


def library_stack(*tracks):
    """The trackers as the fusion gets them: float32, lost boxes as zero boxes."""
    stack = np.array(tracks, dtype=np.float32)
    stack[np.isnan(stack).any(axis=2) | ~(stack[:, :, 2] > 0) | ~(stack[:, :, 3] > 0)] = 0
    return stack


def results_in(folder):
    """The files of a folder that hold results: hidden files (velmora's own record) aside."""
    return sorted(name for name in os.listdir(folder) if not name.startswith("."))


def read(path):
    return textfiles.read_boxes(path).astype(np.float32)
