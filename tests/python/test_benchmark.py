"""The community's layouts read end to end, scored by hand: LaSOT toolkit flags, GOT-10k repetitions,
labels and timing, pytracking runs and prefixes, VOT codes and polygons, corner-written first lines,
pysot roots; and the benchmark layer as a Python API."""

import collections.abc
import csv
import json

import numpy as np
import pytest

from velmora import benchmark, textfiles
from conftest import read, results_in, write_boxes

S = [100, 100, 10, 10]
THIRD = [105, 100, 10, 10]  # overlap 50 / 150 with S
FAR = [300, 300, 10, 10]
Z = [0, 0, 0, 0]


def scores(run, *argv):
    """eval's CSV rows by tracker, and its standard error."""
    status, _, err = run("eval", *argv, "--csv", argv[0].parent / "scores.csv")
    assert status == 0, err
    with open(argv[0].parent / "scores.csv") as f:
        return {row["tracker"]: row for row in csv.DictReader(f)}, err


def test_lasot_toolkit_annotation_with_its_absent_folder(tmp_path, run):
    write_boxes(tmp_path / "annos" / "bird-1.txt", [S] * 4)
    (tmp_path / "annos" / "absent").mkdir()
    (tmp_path / "annos" / "absent" / "bird-1.txt").write_text("0\n1\n0\n0\n")
    write_boxes(tmp_path / "res" / "T" / "bird-1.txt", [S] * 4)
    rows, err = scores(run, tmp_path / "res", "--anno", tmp_path / "annos")
    assert "annotation: LaSOT toolkit (annos/ with absent/) layout" in err and "1 frame flagged absent" in err
    assert float(rows["T"]["auc"]) == 20 * 3 / 4 / 21  # the absent frame counts nowhere
    rows, err = scores(run, tmp_path / "res", "--anno", tmp_path / "annos", "--no-absence")
    assert float(rows["T"]["auc"]) == 20 / 21 and "0 frames flagged absent" in err


def test_got10k_repetitions_labels_timing_and_submission_layout(tmp_path, run):
    seq = "GOT-10k_Val_000001"
    anno = tmp_path / "val"
    (anno / seq).mkdir(parents=True)
    (anno / "list.txt").write_text(seq + "\n")
    write_boxes(anno / seq / "groundtruth.txt", [S] * 4)
    (anno / seq / "absence.label").write_text("0\n0\n1\n0\n")
    (anno / seq / "cover.label").write_text("8\n8\n0\n8\n")
    for tracker, runs in (("A", [[S, S, FAR, S], [S, THIRD, S, Z]]), ("B", [[S, THIRD, S, S]])):
        for k, boxes in enumerate(runs, 1):
            write_boxes(tmp_path / "res" / tracker / seq / f"{seq}_{k:03d}.txt", boxes)
        (tmp_path / "res" / tracker / seq / f"{seq}_time.txt").write_text("0.1,0.2\n" * 4)
    rows, err = scores(run, tmp_path / "res", "--anno", anno, "--protocol", "got10k")
    assert "GOT-10k layout" in err and "1-2 repetitions" in err
    # Frames 1 and 3 count (frame 0 never, frame 2 is covered), both repetitions pooled.
    a = rows["A"]
    assert (float(a["ao"]), float(a["sr50"]), float(a["sr75"])) == ((1 + 1 + 1 / 3 + 0) / 4, 0.5, 0.5)
    assert float(a["fps"]) == 7.5
    # The table's frames are those AO pools: frames 1 and 3 of both of A's repetitions.
    _, out, _ = run("eval", tmp_path / "res", "--anno", anno, "--protocol", "got10k")
    assert [line.split()[-1] for line in out.splitlines()[1:4]] == ["Frames", "2", "4"]
    # Beside the pooled AO, its spread over A's repetitions: 1 and (1/3 + 0) / 2.
    assert "A: AO 0.583 ± 0.417 over 2 repetitions, each scored on its own (0.583 pooled)" in out
    assert "B: AO" not in out
    status, _, err = run("fuse", tmp_path / "res", "-o", tmp_path / "fused", "-q")
    assert status == 0, err
    # Repetition 1 of A with repetition 1 of B: GOT-10k's layout, for its server, with the time
    # of each frame: A's 0.1 s and B's 0.1 s, plus the fusion's own.
    assert sorted(p.name for p in (tmp_path / "fused" / seq).iterdir()) == [f"{seq}_001.txt", f"{seq}_time.txt"]
    times = np.loadtxt(tmp_path / "fused" / seq / f"{seq}_time.txt")
    assert times.shape == (4,) and (times >= 0.2).all() and (times < 0.25).all() and len(set(times)) == 1
    # Mixed layouts give the plain layout and say so; --layout got10k writes GOT-10k's, saying
    # that the plain tracker has no timing.
    write_boxes(tmp_path / "res" / "P" / f"{seq}.txt", [S] * 4)
    status, _, err = run("fuse", tmp_path / "res", "-o", tmp_path / "mixed")
    assert status == 0 and "several layouts (GOT-10k, plain): writing the plain layout" in err
    assert results_in(tmp_path / "mixed") == [f"{seq}.txt"] and "in the plain layout" in err
    status, _, err = run("fuse", tmp_path / "res", "-o", tmp_path / "submission", "--layout", "got10k")
    assert status == 0 and results_in(tmp_path / "submission" / seq) == [f"{seq}_001.txt"]
    assert f"no <sequence>_time.txt written for 1 sequence ({seq}): no timing logs from P" in err


def test_pytracking_runs_prefixes_and_companion_files_in_a_mixed_collection(tmp_path, run):
    write_boxes(tmp_path / "anno" / "Bee.txt", [S] * 3)
    res = tmp_path / "nfs"
    for k, boxes in enumerate([[S, S, S], [S, THIRD, THIRD]]):
        folder = res / "A" / f"default_{k:03d}"
        write_boxes(folder / "nfs_Bee.txt", boxes, sep="\t")
        (folder / "nfs_Bee_object_presence_scores.txt").write_text("0.9\n0.8\n0.7\n")
        (folder / "nfs_Bee_time.txt").write_text("0.05\n0.05\n0.05\n")
    write_boxes(res / "B" / "nfs_Bee.txt", [S, S, THIRD])
    write_boxes(res / "C" / "Bee.txt", [S, THIRD, THIRD])
    rows, err = scores(run, res, "--anno", tmp_path / "anno")
    assert "data-set prefix taken off the file names of A, B" in err
    # A's two runs average their curves: overlaps 1, 1, 1 and 1, 1/3, 1/3.
    assert float(rows["A"]["auc"]) == pytest.approx(np.mean([20 / 21, (7 + 13 / 3) / 21]), abs=1e-15)
    assert float(rows["A"]["fps"]) == 20.0
    status, _, err = run("fuse", res, "-o", tmp_path / "fused", "--anno", tmp_path / "anno", "-q")
    assert status == 0, err
    assert results_in(tmp_path / "fused") == ["Bee.txt"]


def test_vot_codes_and_polygons(tmp_path, run):
    write_boxes(tmp_path / "anno" / "ball" / "groundtruth.txt", [S] * 5)
    lines = ["1", "100,100,10,10", "2", "0", "100,100,110,100,110,110,100,110"]  # the last a polygon of S
    for tracker in ("KCF", "SRDCF"):
        path = tmp_path / "res" / tracker / "baseline" / "ball" / "ball_001.txt"
        path.parent.mkdir(parents=True)
        path.write_text("\n".join(lines) + "\n")
    rows, err = scores(run, tmp_path / "res", "--anno", tmp_path / "anno")
    assert "VOT layout" in err and "hold polygons, read as their bounding boxes" in err
    # Frame 0 is the box the tracker was given, frames 2 and 3 (failure, skipped) are lost.
    assert float(rows["KCF"]["auc"]) == 20 * 3 / 5 / 21
    # Fused, the track is no reset-based run: VOT's layout for runs without resets, lost frames as
    # the zero boxes the warning names.
    status, _, err = run("fuse", tmp_path / "res", "-o", tmp_path / "fused", "--anno", tmp_path / "anno")
    assert status == 0, err
    assert results_in(tmp_path / "fused") == ["unsupervised"] and "not as a baseline run" in err
    assert "no tracker has a usable box in 2 frames (first at line 3); they are written as lost (0,0,0,0)" in err
    fused = (tmp_path / "fused" / "unsupervised" / "ball" / "ball_001.txt").read_text().splitlines()
    assert fused == ["1", "100.0,100.0,10.0,10.0", "0.0,0.0,0.0,0.0", "0.0,0.0,0.0,0.0", "100.0,100.0,10.0,10.0"]
    rows, _ = scores(run, tmp_path / "fused", "--anno", tmp_path / "anno")
    assert float(rows["fused"]["auc"]) == 20 * 3 / 5 / 21


def test_a_first_line_written_as_corners_is_reported_and_read_so_on_request(tmp_path, run):
    write_boxes(tmp_path / "anno" / "s.txt", [S] * 3)
    write_boxes(tmp_path / "res" / "T" / "s.txt", [[100, 100, 110, 110], S, S])
    rows, err = scores(run, tmp_path / "res", "--anno", tmp_path / "anno")
    assert "tracker 'T': the first line of 1 file matches the annotation only when read as corners" in err
    assert float(rows["T"]["auc"]) == pytest.approx((1 + 19 * 2 / 3) / 21, abs=1e-15)  # overlap 1 / 121 in frame 0
    rows, err = scores(run, tmp_path / "res", "--anno", tmp_path / "anno", "--first-line-corners")
    assert float(rows["T"]["auc"]) == 20 / 21 and "read as corners" in err


def test_pysot_root_and_the_api_of_the_benchmark_layer(tmp_path):
    write_boxes(tmp_path / "anno" / "Car.txt", [S] * 3)
    write_boxes(tmp_path / "results" / "OTB100" / "Good" / "Car.txt", [S] * 3)
    write_boxes(tmp_path / "results" / "OTB100" / "Poor" / "car.txt", [S, THIRD, FAR])
    results = benchmark.find_results([tmp_path / "results"])
    assert results.roots[0][1] == "pysot results root, data set OTB100"
    bench = benchmark.match(results, benchmark.find_annotations(tmp_path / "anno"))
    evaluation = benchmark.evaluate(bench)
    assert [t.name for t in evaluation.trackers] == ["Good", "Poor"] and evaluation.sequences == ["Car"]
    assert evaluation.trackers[1].auc == (20 + 7) / 3 / 21
    benchmark.fuse_results(bench, tmp_path / "fused")
    assert read(tmp_path / "fused" / "Car.txt").shape == (3, 4)  # the annotation's spelling
    # Weights by tracker name, taken as they are by the selection and the fusion, which fuses
    # the trackers selected: here Good alone, whose boxes come back.
    dataset = benchmark.build_dataset(bench)
    weights = benchmark.learn_weights(dataset)
    assert isinstance(weights, collections.abc.Mapping) and list(weights) == ["Good", "Poor"]
    assert benchmark.select_trackers(dataset, weights).weights == weights
    benchmark.fuse_results(bench, tmp_path / "good", {"Poor": 0.5, "Good": 2.0}, selection=["Good"])
    np.testing.assert_array_equal(read(tmp_path / "good" / "Car.txt"), [S] * 3)
    assert benchmark.describe(bench)[1].endswith("; 0 frames flagged absent")
    with pytest.raises(benchmark.InputError, match="which the command reads"):
        benchmark.fuse_results(bench, tmp_path / "results" / "OTB100" / "Fused")


def test_one_spelling_of_sequence_names_per_folder(bench, run):
    # No annotation: the spelling most trackers use (here each its own: the first tracker's).
    status, _, err = run("fuse", bench / "results", "-o", bench / "fused", "-q")
    assert status == 0 and results_in(bench / "fused") == ["basketball.txt", "car_1.txt"]
    # The annotation's spelling differs: the folder is replaced whole, so no two spellings of one
    # sequence (which no reader takes) ever stand side by side.
    status, _, err = run("fuse", bench / "results", "-o", bench / "fused", "--anno", bench / "anno", "-q")
    assert status == 0 and results_in(bench / "fused") == ["Basketball.txt", "car-1.txt"]
    status, _, err = run("fuse", bench / "results", "-o", bench / "annotated", "--anno", bench / "anno", "-q")
    assert status == 0 and results_in(bench / "annotated") == ["Basketball.txt", "car-1.txt"]


def test_crossval_prints_the_numbers_of_the_tracks_it_writes(tmp_path, run):
    # A box of width 8.2: as a float32 in memory and as the text written it is two doubles, whose
    # normalised centre distances fall on either side of a threshold.
    for s in range(4):
        write_boxes(tmp_path / "anno" / f"s{s}.txt", [S] * 3)
        for tracker in "AB":
            write_boxes(tmp_path / "res" / tracker / f"s{s}.txt", [[100, 100, 8.2, 10]] * 3)
    status, _, err = run("crossval", tmp_path / "res", "--anno", tmp_path / "anno", "--folds", "2", "--no-refine",
                         "-o", tmp_path / "out" / "Fused", "--json", tmp_path / "cv.json", "-q")
    assert status == 0, err
    status, _, err = run("eval", tmp_path / "out", "--anno", tmp_path / "anno", "--json", tmp_path / "ev.json")
    assert status == 0, err
    printed, = (t for t in json.loads((tmp_path / "cv.json").read_text())["datasets"][0]["trackers"]
                if t["name"] == "Velmora (held-out)")
    read_back, = json.loads((tmp_path / "ev.json").read_text())["datasets"][0]["trackers"]
    assert printed["curves"] == read_back["curves"] and printed["measures"]["auc"] == read_back["measures"]["auc"]
    # Beside it the untuned fusion: every tracker, equal weights, as fuse gives it without options.
    untuned, = (t for t in json.loads((tmp_path / "cv.json").read_text())["datasets"][0]["trackers"]
                if t["name"] == "Velmora (untuned)")
    run("fuse", tmp_path / "res", "-o", tmp_path / "plain" / "Fused", "--no-refine", "-q")
    run("eval", tmp_path / "plain", "--anno", tmp_path / "anno", "--json", tmp_path / "plain.json")
    fused, = json.loads((tmp_path / "plain.json").read_text())["datasets"][0]["trackers"]
    assert untuned["curves"] == fused["curves"] and untuned["provenance"]["learnt on"].startswith("nothing")


def test_fusing_given_result_files_through_the_api_gives_what_fuse_writes(bench, run):
    res, anno = bench / "results", bench / "anno" / "car-1" / "groundtruth.txt"
    files = [res / "A" / "car_1.txt", res / "B" / "CAR-1.txt", res / "C" / "car-1.txt"]
    status, out, err = run("fuse", *files, "--anno", anno)
    assert status == 0, err
    fused = benchmark.fuse_files([str(f) for f in files], ["A", "B", "C"], str(anno))
    assert fused.dtype == np.float32 and len(fused) == len(read(anno))
    assert textfiles.format_boxes(fused) == out


def test_a_job_refuses_options_that_do_not_go_together_before_reading_anything(tmp_path):
    request = benchmark.FuseRequest(paths=[str(tmp_path)], trajectory=False, no_backtracking=True, output="o")
    with pytest.raises(benchmark.UsageError, match="--no-backtracking applies to --trajectory only"):
        with benchmark.fuse_job(request, None):
            pass
    assert list(tmp_path.iterdir()) == []
