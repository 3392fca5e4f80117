"""The velmora command on small benchmark folders made here: fuse, eval, weights, select."""

import csv
import io
import os
import select
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import velmora
from velmora import textfiles
from velmora import messages, metrics

from conftest import (BASKET_B, BASKET_C, BASKETBALL, CAR, CAR_A, CAR_B, CAR_C, JOGGING, NAN, ZERO, bits,
                      library_stack, read, results_in, write_boxes)


class TestFuse:
    def test_results_root_gives_a_tracker_folder_of_the_shared_sequences(self, bench, run):
        status, out, err = run("fuse", bench / "results", "-o", bench / "fused" / "Velmora")
        assert status == 0 and out == ""
        assert results_in(bench / "fused" / "Velmora") == ["basketball.txt", "car_1.txt"]
        assert "1 sequence left out, which only some trackers have: Jogging-1 (no result file from C)" in err
        assert "sequence 'car_1': no tracker has a usable box in 1 frame (first at line 5); it is written" in err

        stack = library_stack(BASKETBALL, BASKET_B, BASKET_C)
        fused = read(bench / "fused" / "Velmora" / "basketball.txt")
        assert fused.shape == (6, 4)
        every = [0, 1, 2, 4, 5]
        np.testing.assert_array_equal(bits(fused[every]), bits(velmora.fuse(stack)[every]))
        # Frame 3: B's line is NaN and C's zeros; only A takes part.
        np.testing.assert_array_equal(bits(fused[3]), bits(velmora.fuse_frame(stack, 3, selection=[0])))

    def test_lost_trackers_take_no_part_and_a_frame_nobody_has_stays_lost(self, bench, run):
        run("fuse", bench / "results", "-o", bench / "out")
        stack = library_stack(CAR_A, CAR_B, CAR_C)
        fused = read(bench / "out" / "car_1.txt")
        np.testing.assert_array_equal(bits(fused[2]), bits(velmora.fuse_frame(stack, 2, selection=[0, 2])))
        np.testing.assert_array_equal(fused[4], ZERO)
        np.testing.assert_array_equal(bits(fused[[0, 1, 3, 5]]), bits(velmora.fuse(stack)[[0, 1, 3, 5]]))

    def test_files_of_one_sequence_to_standard_output(self, bench, run):
        r = bench / "results"
        status, out, err = run("fuse", r / "A" / "car_1.txt", r / "B" / "CAR-1.txt", r / "C" / "car-1.txt", "-q")
        assert status == 0
        run("fuse", r, "-o", bench / "out", "-q")
        assert out == (bench / "out" / "car_1.txt").read_text()
        assert all(line.count(",") == 3 for line in out.splitlines())

    def test_trajectory_runs_between_frames_that_nobody_has(self, bench, run):
        status, _, err = run("fuse", bench / "results", "-o", bench / "out", "--trajectory")
        assert status == 0, err
        stack = library_stack(CAR_A, CAR_B, CAR_C)
        fused = read(bench / "out" / "car_1.txt")
        np.testing.assert_array_equal(bits(fused[:4]), bits(velmora.fuse_trajectory(stack[:, :4])))
        np.testing.assert_array_equal(fused[4], ZERO)
        np.testing.assert_array_equal(bits(fused[5:]), bits(velmora.fuse_trajectory(stack[:, 5:])))

    def test_trajectory_through_a_lost_box_takes_the_frame_by_frame_fusion(self, tmp_path, run):
        # A and C agree from frame 1 on and outscore B there, but have no box in frame 0: the
        # best path starts on A's zero box, which cannot be the fused box of frame 0.
        x, y = [0, 0, 20, 20], [300, 300, 20, 20]
        a = np.array([ZERO, x, x, x], dtype=np.float64)
        b = np.array([y, y, y, y], dtype=np.float64)
        for name, track in [("A", a), ("B", b), ("C", a)]:
            write_boxes(tmp_path / "r" / name / "s.txt", track)
        stack = library_stack(a, b, a)
        assert (velmora.fuse_trajectory(stack)[0] == 0).all()  # the premise
        status, _, err = run("fuse", tmp_path / "r", "-o", tmp_path / "out", "--trajectory")
        assert status == 0
        assert "the trajectory passed through a lost box in 1 frame (first at line 1); it takes" in err
        fused = read(tmp_path / "out" / "s.txt")
        np.testing.assert_array_equal(bits(fused[0]), bits(velmora.fuse_frame(stack, 0, selection=[1])))
        np.testing.assert_array_equal(bits(fused[1:]), bits(velmora.fuse_trajectory(stack)[1:]))

    def test_weights_and_selection_files(self, bench, run):
        (bench / "w.txt").write_text("# learnt\nA\t2.5\nB\t0.5\nC\t1\n")
        (bench / "sel.txt").write_text("C\nA\n")
        status, _, err = run("fuse", bench / "results", "-o", bench / "out", "--weights", bench / "w.txt",
                             "--selection", bench / "sel.txt", "--no-refine")
        assert status == 0, err
        # C and A in that order, with their weights; the files are named as C names them.
        assert results_in(bench / "out") == ["Basketball.txt", "car-1.txt"]
        stack = library_stack(CAR_C, CAR_A)
        fused = read(bench / "out" / "car-1.txt")
        expected = velmora.fuse(stack, weights=[1.0, 2.5], refine=False)
        np.testing.assert_array_equal(bits(fused[[0, 1, 2, 3, 5]]), bits(expected[[0, 1, 2, 3, 5]]))

    def test_parameters_reach_the_library_and_are_restored(self, bench, run):
        before = velmora.get_params()
        r = bench / "results"
        files = [r / "A" / "basketball.txt", r / "B" / "BASKETBALL.txt", r / "C" / "Basketball.txt"]
        status, out, _ = run("fuse", *files, "--sigma", "0.5", "--alpha", "1")
        assert status == 0
        assert velmora.get_params() == before
        stack = library_stack(BASKETBALL, BASKET_B, BASKET_C)
        with velmora.parameters(sigma=0.5, alpha=1):
            expected = velmora.fuse(stack[:, :3])
        fused = np.array([line.split(",") for line in out.splitlines()], dtype=np.float64).astype(np.float32)
        np.testing.assert_array_equal(bits(fused[:3]), bits(expected))

    def test_empty_files_fuse_to_an_empty_file(self, tmp_path, run):
        files = [write_boxes(tmp_path / name / "s.txt", []) for name in ["A", "B"]]
        status, out, _ = run("fuse", *files, "--trajectory")
        assert (status, out) == (0, "")

    def test_a_short_tracker_takes_no_part_in_the_frames_it_lacks(self, bench, run):
        # B's jogging.1 is one line short, as published results often are: like eval, fuse
        # goes on, with one warning naming the file, and B is lost in its missing frame.
        status, out, err = run("fuse", bench / "results", "-o", bench / "out", "--trackers", "A,B")
        assert status == 0 and out == ""
        short = bench / "results" / "B" / "jogging.1.txt"
        assert f"tracker 'B': {short}: 4 boxes for 5 frames; it takes no part in the 1 frame it lacks\n" in err
        fused = read(bench / "out" / "Jogging-1.txt")
        stack = library_stack(JOGGING, np.concatenate([JOGGING[:4], [NAN]]))
        np.testing.assert_array_equal(bits(fused[:4]), bits(velmora.fuse(stack[:, :4])))
        np.testing.assert_array_equal(bits(fused[4]), bits(velmora.fuse_frame(stack, 4, selection=[0])))
        # With the annotation, the fused track covers the annotated frames and takes its names.
        status, _, err = run("fuse", bench / "results", "-o", bench / "out2", "--anno", bench / "anno", "-q")
        assert status == 0 and results_in(bench / "out2") == ["Basketball.txt", "car-1.txt"]


def hand_benchmark(root):
    """One sequence of four frames, the square (0, 0, 10, 10), and trackers of known scores."""
    square = [[0, 0, 10, 10]] * 4
    write_boxes(root / "anno" / "s.txt", square)
    write_boxes(root / "res" / "Perfect" / "s.txt", square)
    write_boxes(root / "res" / "Half" / "s.txt", [[5, 0, 10, 10]] * 4)  # overlap 50 / 150 everywhere
    write_boxes(root / "res" / "Short" / "s.txt", square[:3])
    return root


class TestEval:
    def test_hand_computed_scores_table_and_csv(self, tmp_path, run):
        root = hand_benchmark(tmp_path)
        status, out, err = run("eval", root / "res", "--anno", root / "anno", "--csv", root / "t.csv")
        assert status == 0
        assert f"{root / 'res' / 'Short' / 's.txt'}: 3 boxes for the 4 frames of {root / 'anno' / 's.txt'}; " \
               "scoring the 3 frames both have" in err
        assert out.splitlines() == [
            "anno: 1 sequence",
            "Tracker     AUC  Prec@20  NPrec@0.2    OP50    OP75  Overlap  Frames",
            "Perfect   0.952    1.000      1.000   1.000   1.000    1.000       4",
            "Short     0.952    1.000      1.000   1.000   1.000    1.000       3",
            "Half      0.333    1.000      0.000   0.000   0.000    0.500       4",
        ]
        rows = {row["tracker"]: row for row in csv.DictReader(open(root / "t.csv"))}
        assert list(rows) == ["Perfect", "Short", "Half"]
        assert float(rows["Perfect"]["auc"]) == np.array([1.0] * 20 + [0.0]).mean()
        assert float(rows["Half"]["auc"]) == np.array([1.0] * 7 + [0.0] * 14).mean()
        assert float(rows["Half"]["precision_20px"]) == 1.0  # centres 5 pixels apart
        assert float(rows["Half"]["norm_precision_0.2"]) == 0.0  # 5 / 10 = 0.5 of the width
        # The library's mean overlap counts frame 0 as 1: (1 + 3 * (1/3)) / 4 in float32.
        assert float(rows["Half"]["mean_overlap"]) == velmora.track_quality([[5, 0, 10, 10]] * 4,
                                                                            [[0, 0, 10, 10]] * 4)
        assert float(rows["Half"]["mean_overlap"]) == pytest.approx(0.5, abs=1e-7)  # 1/3 rounded to float32
        assert (rows["Short"]["sequences"], rows["Short"]["frames"]) == ("1", "3")

    def test_reports_what_matches_nothing(self, bench, run):
        status, out, err = run("eval", bench / "results", "--anno", bench / "anno")
        assert status == 0
        assert out.startswith("anno: 2 sequences\n")
        assert "1 sequence left out, which only some trackers have: Jogging.1 (no result file from C)" in err
        assert "velmora: left out: 1 annotated sequence that no tracker has\n" in err
        assert "tracker 'A': 1 result file match no annotated sequence: extra" in err
        _, _, quiet = run("eval", bench / "results", "--anno", bench / "anno", "-q")
        assert "left out: 1 annotated" not in quiet and "Jogging.1" in quiet

    @pytest.mark.parametrize("results, anno, message", [
        # The annotation given as results, a tracker folder as the annotation.
        ("anno", "results/A", "anno: given as results, but it has an annotation's layout (sequence folders with "
                              "groundtruth files, such as car-1/); the annotation given is {}/results/A"),
        # The LaSOT toolkit's annos/, whose absent/ and att/ would be lost.
        ("annos", "results/A", "annos: given as results, but it has an annotation's layout (the LaSOT toolkit's "
                               "annos/, with absent/ and att/)"),
        ("results", "results/A", "results/A: given as the annotation, but it is the results of tracker A"),
    ])
    def test_folders_given_in_each_others_place_are_refused(self, bench, run, results, anno, message):
        for sub in ("absent", "att"):
            write_boxes(bench / "annos" / sub / "Basketball.txt", [[0]] * 6)
        write_boxes(bench / "annos" / "Basketball.txt", BASKETBALL)
        status, out, err = run("eval", bench / results, "--anno", bench / anno)
        assert status == 1 and out == "" and len(err.splitlines()) == 1
        assert err.startswith(f"velmora: error: {bench}/" + message.format(bench)), err

    @pytest.mark.parametrize("command", ["eval", "fuse", "weights", "select", "crossval"])
    def test_a_sequence_list_restricts_every_command(self, bench, run, command):
        listed = bench / "testing_set.txt"
        listed.write_text("basketball\nCAR_1\n")
        extra = {"fuse": ["-o", bench / "out"], "crossval": ["--folds", "2"]}.get(command, [])
        anno = [] if command == "fuse" else ["--anno", bench / "anno"]
        status, out, err = run(command, bench / "results", *anno, "--sequences", listed, *extra)
        assert status == 0 and "sequence left out" not in err and "match no annotated" not in err, err
        if command == "eval":
            assert out.startswith("anno: 2 sequences\n")
        listed.write_text("basketball\nJogging-1\n")
        status, out, err = run(command, bench / "results", *anno, "--sequences", listed, *extra)
        assert status == 1 and err == (f"velmora: error: {listed}: sequence 'Jogging-1' is listed but tracker C "
                                       f"has no result for it in {bench / 'results' / 'C'}\n")

    def test_absence_flags(self, bench, run):
        csv_path = bench / "t.csv"

        def auc_of_a(*extra):
            run("eval", bench / "results" / "A", "--anno", bench / "anno", "--csv", csv_path, *extra)
            return float(next(csv.DictReader(open(csv_path)))["auc"])

        # A's car-1 is the annotation but for the lost frame 4; frame 2 is flagged absent, so A's
        # perfect box there counts no more, while the divisor stays 6.
        flagged, unflagged = auc_of_a(), auc_of_a("--no-absence")
        absent = np.array([False, False, True, False, False, False])

        def auc(car_absent):
            scores = [metrics.score_sequence(BASKETBALL, BASKETBALL), metrics.score_sequence(CAR_A, CAR, car_absent),
                      metrics.score_sequence(JOGGING, JOGGING)]
            return metrics.mean_curves(scores)[0].mean()

        assert flagged == auc(absent)
        assert unflagged == auc(None)
        assert metrics.success_curve(CAR_A, CAR, absent)[0] == 4 / 6

    def test_plots_are_png_files(self, tmp_path, run):
        root = hand_benchmark(tmp_path)
        status, _, _ = run("eval", root / "res", "--anno", root / "anno", "--plot", root / "plots", "-q")
        assert status == 0
        for name in ["success.png", "precision.png", "norm_precision.png"]:
            data = (root / "plots" / name).read_bytes()
            assert data.startswith(b"\x89PNG\r\n\x1a\n") and len(data) > 1000

    def test_one_line_per_tracker_for_files_alike_and_plain_words(self, bench, run):
        # B short in two files: one warning with a count and the first example.
        write_boxes(bench / "results" / "B" / "CAR-1.txt", CAR_B[:5], sep="\t")
        shutil.copytree(bench / "results" / "A", bench / "results" / "A2")
        status, _, err = run("eval", bench / "results", "--anno", bench / "anno", "--trackers", "A,A2,B")
        short = [line for line in err.splitlines() if line.startswith("velmora: warning: tracker 'B':")]
        assert status == 0 and len(short) == 1 and short[0].endswith("(1 more file of this tracker alike)")
        assert "warning: trackers 'A' and 'A2' have byte-identical result files" in err
        _, out, _ = run("eval", "--help")
        assert "OP50 and OP75" in out

    def test_fused_track_evaluates_beside_the_trackers(self, bench, run):
        run("fuse", bench / "results", "-o", bench / "fused" / "Velmora", "-q")
        status, out, _ = run("eval", bench / "results", bench / "fused", "--anno", bench / "anno", "-q")
        assert status == 0
        table = out.split("\n\n")[0].splitlines()
        assert sorted(line.split()[0] for line in table[2:]) == ["A", "B", "C", "Velmora"]
        # The folder fuse wrote is known as a fused track: it is set against the best single tracker.
        assert out.split("\n\n")[1].startswith("Velmora: AUC above that of ")


def expected_dataset(trajectory=False):
    """The data set that weights and select build from the bench: per sequence, runs of usable frames."""
    basket = library_stack(BASKETBALL, BASKET_B, BASKET_C)
    car = library_stack(CAR_A, CAR_B, CAR_C)
    anno = [BASKETBALL.astype(np.float32), CAR.astype(np.float32)]
    if trajectory:  # frames where any tracker lost the target are left out
        return [[(basket[:, :3], 1), (basket[:, 4:], 5)], [(car[:, :2], 1)]], anno
    # car-1's frame 2 is flagged absent: two runs, starting at frames 1 and 4.
    return [[(basket, 1)], [(car[:, :2], 1), (car[:, 3:], 4)]], anno


class TestWeightsAndSelect:
    def test_weights_file(self, bench, run):
        path = bench / "w.txt"
        status, out, err = run("weights", bench / "results", "--trackers", "A,B,C", "--anno", bench / "anno",
                               "-o", path)
        assert status == 0, err
        learnt = textfiles.read_weights(path)
        assert list(learnt) == ["A", "B", "C"]
        expected = velmora.tracker_weights(*expected_dataset())[:3]
        np.testing.assert_array_equal(bits(list(learnt.values())), bits(expected))
        assert out.splitlines()[0].split("\t")[0] == "A"  # the best first

    def test_weights_to_standard_output(self, bench, run):
        status, out, _ = run("weights", bench / "results", "--anno", bench / "anno", "-q")
        assert status == 0
        assert out.startswith("# velmora tracker weights")
        assert [line.split("\t")[0] for line in out.splitlines()[1:]] == ["A", "B", "C"]

    @pytest.mark.parametrize("trajectory", [False, True])
    def test_select_writes_the_kept_trackers_that_fuse_reads(self, bench, run, trajectory):
        path = bench / "sel.txt"
        mode = ["--trajectory"] if trajectory else []
        status, out, err = run("select", bench / "results", "--anno", bench / "anno", "-o", path, *mode)
        assert status == 0, err
        data, anno = expected_dataset(trajectory)
        weights = velmora.tracker_weights(data, anno)[:3]
        kept = velmora.global_removal(data, anno, weights, trajectory=trajectory) or [0, 1, 2]
        assert textfiles.read_names(path) == [["A", "B", "C"][k] for k in kept]
        assert "kept: " + ", ".join(textfiles.read_names(path)) in out

        status, _, _ = run("fuse", bench / "results", "-o", bench / "a", "--selection", path, "-q")
        assert status == 0
        run("fuse", bench / "results", "-o", bench / "b", "--trackers", ",".join(textfiles.read_names(path)), "-q")
        for name in os.listdir(bench / "b"):
            assert (bench / "a" / name).read_text() == (bench / "b" / name).read_text()

    def test_select_with_a_weights_file(self, bench, run):
        (bench / "w.txt").write_text("A 3\nB 2\nC 1\n")
        status, out, _ = run("select", bench / "results", "--anno", bench / "anno", "--weights", bench / "w.txt")
        assert status == 0
        data, anno = expected_dataset()
        kept = velmora.global_removal(data, anno, [3.0, 2.0, 1.0]) or [0, 1, 2]
        assert [line for line in out.splitlines() if not line.startswith("#")] == [["A", "B", "C"][k] for k in kept]


class TestBadInput:
    def test_unreadable_line(self, bench, run):
        bad = bench / "results" / "B" / "CAR-1.txt"
        bad.write_text("1,2,3,4\n1,2,3\n")
        status, out, err = run("eval", bench / "results", "--anno", bench / "anno")
        assert status == 1 and out == ""
        assert err.splitlines()[-1] == \
            f"velmora: error: {bad}:2: cannot read '1,2,3' as four numbers x, y, width, height"

    @pytest.mark.parametrize("argv", [
        [],
        ["frobnicate"],
        ["eval", "somewhere"],  # no --anno
        ["fuse", "a.txt", "--trajectory", "--beta", "nan"],
        ["fuse", "a.txt", "--sigma", "1e300"],
        ["fuse", "a.txt", "--alpha", "1e-50"],
        ["fuse", "a.txt", "--trackers", "A", "--selection", "s.txt"],
        ["fuse", "{results}"],  # a results root needs -o
        ["fuse", "{results}", "-o", "out", "--trackers", "A,Nobody"],
        ["fuse", "{results}", "-o", "out", "--no-backtracking"],
        ["crossval", "{results}", "--anno", "{anno}", "--folds", "1"],
        ["crossval", "{results}", "--anno", "{anno}", "--seed", "-1"],
        ["eval", "{results}", "--anno", "{anno}", "--fused", "A,Nobody"],
    ])
    def test_bad_usage_exits_with_2(self, bench, run, argv):
        status, out, err = run(*[a.format(results=bench / "results", anno=bench / "anno") for a in argv])
        assert status == 2 and out == ""
        assert "usage: velmora" in err and err.count("error") == 1

    @pytest.mark.parametrize("argv, message", [
        (["fuse", "{b}/nothere.txt"], "{b}/nothere.txt: no such file or folder"),
        (["eval", "{b}/results", "--anno", "{b}/nowhere"], "{b}/nowhere: no such folder"),
        (["fuse", "{b}/results", "-o", "{b}/out", "--weights", "{b}/w.txt"], "{b}/w.txt: no weight for tracker C"),
        (["fuse", "{b}/results", "-o", "{b}/out", "--selection", "{b}/s.txt"], "{b}/s.txt: no tracker named X"),
        (["eval", "{b}/results/A", "--anno", "{b}/other"], "{b}/other: no annotated sequence has a result file"),
        (["eval", "{b}/results/A", "--anno", "{b}/anno"], "{b}/results/A/basketball.txt: no boxes"),
    ])
    def test_bad_input_exits_with_1_and_one_line_naming_the_file(self, bench, run, argv, message):
        (bench / "w.txt").write_text("A 1\nB 1\n")
        (bench / "s.txt").write_text("A\nX\n")
        write_boxes(bench / "other" / "zzz.txt", [[1, 1, 1, 1]])
        if "{b}/anno" in argv:
            (bench / "results" / "A" / "basketball.txt").write_text("")
        status, out, err = run(*[a.format(b=bench) for a in argv])
        assert status == 1 and out == ""
        lines = err.splitlines()
        assert lines[-1].startswith("velmora: error: " + message.format(b=bench))
        assert not any("error" in line for line in lines[:-1])  # the rest are warnings


class TestProgress:
    def test_progress_after_a_second_and_quiet(self, bench, run, monkeypatch):
        # A clock that moves 0.7 s a reading: the second sequence ends 1.4 s after the start.
        ticks = iter(np.arange(0, 100, 0.7))
        monkeypatch.setattr(messages, "_clock", lambda: next(ticks))
        _, _, err = run("fuse", bench / "results", "-o", bench / "out")
        assert "velmora: fuse: 1/2" not in err
        assert "velmora: fuse: 2/2 sequences\n" in err
        _, _, err = run("fuse", bench / "results", "-o", bench / "out", "--quiet")
        assert "velmora: fuse:" not in err
        assert "warning" in err  # --quiet keeps the warnings


    def test_terminal_line_is_rewritten_and_ended_before_a_warning(self, monkeypatch):
        class Terminal(io.StringIO):
            def isatty(self):
                return True

        ticks = iter([0.0, 1.5, 1.6, 3.0])
        monkeypatch.setattr(messages, "_clock", lambda: next(ticks))
        stream = Terminal()
        reporter = messages.Reporter(stream=stream)
        progress = reporter.progress("eval", 3)
        progress.step()  # 1.5 s: shown
        progress.step()  # 1.6 s: too soon after the last line
        reporter.warn("w")
        progress.step()  # 3.0 s: the last one is always shown
        progress.close()
        assert stream.getvalue() == ("\rvelmora: eval: 1/3 sequences\nvelmora: warning: w\n"
                                     "\rvelmora: eval: 3/3 sequences\n")


class TestLive:
    """velmora stream, and velmora fuse --lag, which writes what a live run gives."""

    @staticmethod
    def _car_files(bench):
        r = bench / "results"
        return [r / "A" / "car_1.txt", r / "B" / "CAR-1.txt", r / "C" / "car-1.txt"]

    @staticmethod
    def _stream(*argv):
        env = dict(os.environ, PYTHONPATH=str(Path(velmora.__file__).resolve().parents[1]))
        return subprocess.Popen([sys.executable, "-m", "velmora", "stream", *map(str, argv)], env=env,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def test_fuse_with_a_lag_lies_between_the_causal_and_the_backtracked_trajectory(self, bench, run):
        files = self._car_files(bench)
        outputs = {}
        for name, options in [("causal", ["--no-backtracking"]), ("lag0", ["--lag", 0]), ("whole", []),
                              ("lag9", ["--lag", 9]), ("lag1", ["--lag", 1])]:
            status, outputs[name], err = run("fuse", *files, "--trajectory", *options)
            assert status == 0, err
        assert outputs["lag0"] == outputs["causal"] and outputs["lag9"] == outputs["whole"]
        # The frame every tracker lost splits the sequence; the live run starts anew after it.
        assert outputs["lag1"].splitlines()[4] == "0.0,0.0,0.0,0.0"
        assert run("fuse", *files, "--lag", 1)[0] == 2
        assert run("fuse", *files, "--trajectory", "--no-backtracking", "--lag", 1)[0] == 2

    @pytest.mark.parametrize("options", [[], ["--trajectory", "--lag", 1], ["--trajectory", "--lag", 0, "--no-refine"]])
    def test_stream_in_a_pipe_writes_each_box_when_final_and_what_fuse_writes(self, bench, run, options):
        files = self._car_files(bench)
        lines = ["\t".join(" ".join(f"{v:g}" for v in track[f]) for track in map(textfiles.read_boxes, files)) + "\n"
                 for f in range(6)]
        lag = options[2] if len(options) > 2 else 0
        proc = self._stream("--trackers", 3, *options)
        got = b""
        for f, line in enumerate(lines):
            proc.stdin.write(line.encode())
            proc.stdin.flush()
            # Final now, before any more input: frame f - lag; all up to frame 4, which every tracker
            # lost and where a trajectory starts anew; frame by frame, frame f.
            final = f + 1 if not options else max(0, f + 1 - lag) if f < 4 else 5 + max(0, f - 4 - lag)
            while got.count(b"\n") < final:
                ready, _, _ = select.select([proc.stdout], [], [], 30)
                assert ready, f"nothing written after line {f + 1}"
                got += os.read(proc.stdout.fileno(), 1 << 16)
        out, err = proc.communicate(timeout=30)
        assert proc.returncode == 0, err
        assert (got + out).decode() == run("fuse", *files, "-q", *options)[1]

    def test_a_bad_line_stops_the_stream_naming_it_and_what_was_written_stands(self, bench, tmp_path):
        (tmp_path / "w.txt").write_text("A\t1\nB\t0.5\n")
        (tmp_path / "s.txt").write_text("B\n")
        cases = [(b"1 2 3 4 5 6 7 8\n\n1 2 3 4 5 6 7 8\n", ":2: blank line"),
                 (b"1,2,3,4,5,6,7,8\n1,2,3,4,5,6\n", ":2: 6 numbers; a line holds 4 per tracker, 8 for 2"),
                 (b"1,2,3,4,5,6,7,8\n1,2,3,nan,5,6,7,8\n", ":2: the box of tracker 0 is NaN in part only"),
                 (b"1,2,3,4,5,6,7,8\n1,2,3,4,5,6,7,1e39\n", ":2: '1e39' is not a finite float32 number"),
                 (b"1,2,3,4,5,6,7,8\n1,2,3,4,5,6,x,8\n", ":2: cannot read 'x' as a number")]
        for data, message in cases:
            proc = self._stream("--trackers", 2, "--weights", tmp_path / "w.txt", "--selection", tmp_path / "s.txt")
            out, err = proc.communicate(data, timeout=30)
            assert proc.returncode == 1 and out == b"5.0,6.0,7.0,8.0\n", (data, err)
            assert err.decode().splitlines()[-1] == f"velmora: error: <stdin>{message}" or message in err.decode()
            assert "Traceback" not in err.decode()
        proc = self._stream("--trackers", 3, "--weights", tmp_path / "w.txt")
        _, err = proc.communicate(b"", timeout=30)
        assert proc.returncode == 1 and b"w.txt: 2 weights for 3 trackers" in err


# The command pip writes into this interpreter's environment when the package is installed there.
INSTALLED_COMMAND = Path(sys.executable).parent / "velmora"


def _installed_here():
    if not INSTALLED_COMMAND.is_file():
        return False
    shebang = INSTALLED_COMMAND.read_text().splitlines()[0]
    return shebang.startswith("#!") and Path(shebang[2:].strip()).parent == INSTALLED_COMMAND.parent


@pytest.mark.parametrize("command", [
    pytest.param([sys.executable, "-m", "velmora"], id="module"),
    pytest.param([str(INSTALLED_COMMAND)], id="installed", marks=pytest.mark.skipif(
        not _installed_here(), reason="no velmora command installed for this interpreter")),
])
def test_launcher_exit_statuses(bench, command):
    env = dict(os.environ, PYTHONPATH=str(Path(velmora.__file__).resolve().parents[1]))

    def status(*argv):
        return subprocess.run([*command, *map(str, argv)], env=env, capture_output=True, text=True)

    ok = status("fuse", bench / "results" / "A" / "car_1.txt", "-q")
    assert ok.returncode == 0 and len(ok.stdout.splitlines()) == 6
    assert status("eval").returncode == 2
    bad = status("fuse", bench / "nothere.txt")
    assert bad.returncode == 1 and bad.stderr.strip().endswith("nothere.txt: no such file or folder")
