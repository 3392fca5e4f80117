"""Nothing lost, nothing silently wrong: the command line's outputs against its inputs, output
folders, failed and interrupted writes, bad numbers and boxes, files that are no box files,
output streams that fail, parameters across threads."""

import json
import os
import resource
import signal
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

import velmora
from velmora import benchmark, outputs
from conftest import DEFAULTS, JOGGING, bits, library_stack, read, results_in, write_boxes


def snapshot(root):
    """Every file under root, hidden ones included, with its bytes."""
    return {str(p.relative_to(root)): p.read_bytes() for p in sorted(Path(root).rglob("*")) if p.is_file()}


def refused(status, err):
    lines = err.strip().splitlines()
    return status == 1 and lines[-1].startswith("velmora: error: ")


class TestInputsAreNeverWritten:
    @pytest.mark.parametrize("argv", [
        ["eval", "{b}/results", "--anno", "{b}/anno", "--csv", "{b}/anno/car-1/groundtruth.txt"],
        ["eval", "{b}/results", "--anno", "{b}/anno", "--csv", "{b}/anno/scores.csv"],  # into a read folder
        ["eval", "{b}/results", "--anno", "{b}/anno", "--plot", "{b}/results/plots"],
        ["eval", "{b}/results", "--anno", "{b}/anno", "--csv", "{b}/link.csv"],  # a symbolic link to an input
        ["weights", "{b}/results", "--anno", "{b}/anno", "-o", "{b}/results/A/basketball.txt"],
        ["weights", "{b}/results", "--anno", "{b}/anno", "-o", "{b}/hard.txt"],  # a hard link to an input
        ["select", "{b}/results", "--anno", "{b}/anno", "-o", "{b}/results/B/CAR-1.txt"],
        ["fuse", "{b}/results", "-o", "{b}/results"],
        ["fuse", "{b}/results", "-o", "{b}/results/Velmora"],
        ["fuse", "{b}/results/A", "{b}/results/B", "-o", "{b}/results"],  # would make the root a tracker folder
        ["fuse", "{b}/results/A/car_1.txt", "{b}/results/C/car-1.txt", "-o", "{b}/results/C/../C/car-1.txt"],
        ["fuse", "{b}/results/A/car_1.txt", "{b}/results/C/car-1.txt", "-o", "{b}/results/C/new.txt"],
    ])
    def test_refused_before_anything_is_written(self, bench, run, argv):
        os.link(bench / "results" / "A" / "car_1.txt", bench / "hard.txt")
        os.symlink(bench / "anno" / "Basketball.txt", bench / "link.csv")
        before = snapshot(bench)
        status, out, err = run(*[a.format(b=bench) for a in argv])
        assert refused(status, err) and out == ""
        assert "refusing to write" in err or "which the command reads" in err or "tracker folder" in err
        assert snapshot(bench) == before

    @pytest.mark.parametrize("argv", [
        # Each output is checked before any is written: the first would be written, the second fails.
        ["eval", "{b}/results", "--anno", "{b}/anno", "--csv", "{b}/s.csv", "--json", "{b}/nodir/s.json"],
        ["eval", "{b}/results", "--anno", "{b}/anno", "--csv", "{b}/s.csv", "--plot", "{b}/theirs"],
        ["eval", "{b}/results", "--anno", "{b}/anno", "--csv", "{b}/s.csv", "--json", "{b}/s.csv"],
        ["eval", "{b}/results", "--anno", "{b}/anno", "--plot", "{b}/p", "--csv", "{b}/p/s.csv"],
        ["crossval", "{b}/results", "--anno", "{b}/anno", "--folds", "2", "--csv", "{b}/s.csv", "--json",
         "{b}/s.json", "-o", "{b}/theirs/w.txt"],
        # Every file read is an input, whenever it is read.
        ["eval", "{b}/results", "--anno", "{b}/anno", "--attributes", "{b}/attrs.csv", "--csv", "{b}/attrs.csv"],
        ["eval", "{b}/results", "--anno", "{b}/anno", "--attributes", "{b}/att", "--json", "{b}/att/new.json"],
        ["crossval", "{b}/results", "--anno", "{b}/anno", "--train", "{b}/theirs/w.txt", "--test", "{b}/t.txt",
         "--csv", "{b}/t.txt"],
    ])
    def test_all_outputs_are_checked_before_the_first_is_written(self, bench, run, argv):
        (bench / "theirs").mkdir()
        (bench / "theirs" / "w.txt").write_text("Basketball\n")
        (bench / "t.txt").write_text("car-1\n")
        (bench / "attrs.csv").write_text("sequence,OCC\nBasketball,1\n")
        (bench / "att").mkdir()
        (bench / "att" / "Basketball.txt").write_text("SV, OCC\n")
        before = snapshot(bench)
        status, out, err = run(*[a.format(b=bench) for a in argv], "-q")
        assert refused(status, err) and out == "", err
        assert snapshot(bench) == before

    def test_a_failing_sequence_writes_no_output_at_all(self, bench, run):
        # The last sequence in name order has a bad line: nothing of the first is written either.
        (bench / "results" / "C" / "car-1.txt").write_text("1,2,3,4\n1e39,2,3,4\n")
        status, _, err = run("fuse", bench / "results", "-o", bench / "out")
        assert refused(status, err) and "car-1.txt:2: '1e39' is not a finite float32 number" in err
        assert not (bench / "out").exists()
        assert not [p for p in bench.iterdir() if "velmora-tmp" in p.name]


class TestOutputFolders:
    """A folder is written only when new or empty, or when velmora wrote it and it holds nothing else."""

    @pytest.mark.parametrize("setup, argv, message", [
        # An annotation folder not named on the command line, a folder of other files.
        (None, ["fuse", "{b}/results", "-o", "{b}/anno"], "an existing folder that velmora did not write"),
        (None, ["eval", "{b}/results", "--anno", "{b}/anno", "--plot", "{b}/results/../theirs"],
         "an existing folder that velmora did not write"),
        ("mkdir {b}/out/car_1.txt.d", ["fuse", "{b}/results", "-o", "{b}/out"], "holds car_1.txt.d/, which velmora"),
        ("touch {b}/out/notes.md", ["fuse", "{b}/results", "-o", "{b}/out"], "holds notes.md, which velmora"),
        # Links inside are never followed: GOT-10k's form and VOT's.
        ("ln -s ../results/A {b}/out/s1", ["fuse", "{b}/results", "-o", "{b}/out"], "holds s1 (a link)"),
        ("ln -s ../results/A/basketball.txt {b}/out/baseline", ["fuse", "{b}/results", "-o", "{b}/out"],
         "holds baseline (a link)"),
        ("echo '{{\"files\": [\"x.txt\"], \"refine\": NaN}}' > {b}/out/.velmora.json",
         ["fuse", "{b}/results", "-o", "{b}/out"], "not a record velmora writes"),
        (None, ["fuse", "{b}/results", "-o", "{b}/theirs/notes.txt"], "exists and is not a folder"),
    ])
    def test_refused_with_why_and_what_to_do(self, bench, run, setup, argv, message):
        (bench / "theirs").mkdir()
        (bench / "theirs" / "notes.txt").write_text("mine\n")
        assert run("fuse", bench / "results", "-o", bench / "out", "-q")[0] == 0
        if setup:
            subprocess.run(setup.format(b=bench), shell=True, check=True)
        before = snapshot(bench)
        status, out, err = run(*[a.format(b=bench) for a in argv], "-q")
        last = err.splitlines()[-1]
        assert refused(status, err) and message in last and err.count("error") == 1, err
        assert "choose a new folder" in last or "not velmora's" in last or "not a folder" in last
        assert snapshot(bench) == before

    def test_velmora_s_own_folder_is_replaced_whole(self, bench, run, tmp_path):
        out = bench / "out"
        run("fuse", bench / "results", "-o", out, "-q")
        record = json.loads((out / ".velmora.json").read_text())
        assert record["files"] == ["basketball.txt", "car_1.txt"] and record["mode"] == "frame by frame"
        # Fewer sequences the second time: nothing of the first run survives.
        (bench / "results" / "C" / "car-1.txt").unlink()
        assert run("fuse", bench / "results", "-o", out, "--no-refine", "-q")[0] == 0
        assert results_in(out) == ["basketball.txt"]
        assert json.loads((out / ".velmora.json").read_text())["files"] == ["basketball.txt"]
        # An empty folder holds nothing to lose; eval's plots follow the same rule.
        (tmp_path / "empty").mkdir()
        assert run("fuse", bench / "results", "-o", tmp_path / "empty", "-q")[0] == 0
        assert results_in(tmp_path / "empty") == ["basketball.txt"]
        for _ in range(2):
            assert run("eval", bench / "results", "--anno", bench / "anno", "--plot", tmp_path / "plots", "-q")[0] == 0
        assert results_in(tmp_path / "plots") == ["norm_precision.png", "precision.png", "success.png"]
        assert not [p for p in tmp_path.parent.rglob("*velmora-tmp*")]

    def test_the_api_applies_the_same_rule(self, bench):
        found = benchmark.match(benchmark.find_results([bench / "results"]))
        before = snapshot(bench)
        for output in (bench / "results" / "A", bench / "anno"):
            with pytest.raises(benchmark.InputError):
                benchmark.write_fused(output, [("x.txt", b"1,2,3,4\n")], {})
            with pytest.raises(benchmark.InputError):
                benchmark.fuse_results(found, output)
        with pytest.raises(benchmark.InputError, match="share 1 sequence"):
            benchmark.crossval(found, [(found.keys[:1], found.keys[:1])])
        assert snapshot(bench) == before


def big_sequence(root, frames=3000):
    """Two trackers of one long sequence: a fused file of about 60 KB."""
    rng = np.random.default_rng(3)
    truth = np.c_[np.arange(frames) + 100.5, np.full(frames, 50.25), np.full(frames, 40.0), np.full(frames, 60.0)]
    return [write_boxes(root / name / "s.txt", truth + rng.normal(0, 2, truth.shape)) for name in ("A", "B")]


def velmora_command(*argv, **kwargs):
    env = dict(os.environ, PYTHONPATH=str(Path(velmora.__file__).resolve().parents[1]), PYTHONDONTWRITEBYTECODE="1")
    return [sys.executable, "-m", "velmora", *map(str, argv)], env


class TestFailedAndInterruptedWrites:
    def test_a_write_that_fails_keeps_the_old_file(self, tmp_path):
        files = big_sequence(tmp_path)
        out = tmp_path / "fused.txt"
        out.write_text("old\n")
        argv, env = velmora_command("fuse", *files, "-o", out)
        # A file-size limit of 16 KiB: the write fails part way (EFBIG), as on a full disk.
        done = subprocess.run(["bash", "-c", 'ulimit -f 16; exec "$@"', "bash", *argv], env=env, capture_output=True,
                              text=True)
        assert done.returncode == 1 and done.stdout == ""
        assert done.stderr.splitlines() == [f"velmora: error: {out}: cannot write: File too large"]
        assert out.read_text() == "old\n"
        assert sorted(p.name for p in tmp_path.iterdir()) == ["A", "B", "fused.txt"]

    def test_an_interrupt_leaves_the_old_files_and_no_temporary(self, bench, run, monkeypatch):
        run("fuse", bench / "results", "-o", bench / "out", "-q")
        run("fuse", bench / "results", "-o", bench / "out", "--no-refine", "-q")  # an existing folder changes
        before = snapshot(bench / "out")
        calls = []

        def interrupted(fd):
            calls.append(fd)
            if len(calls) == 2:  # the second file
                raise KeyboardInterrupt
        monkeypatch.setattr(outputs.os, "fsync", interrupted)
        for target in ("out", "new"):
            calls.clear()
            status, _, err = run("fuse", bench / "results", "-o", bench / target, "-q")
            assert status == 130 and err.splitlines()[-1] == "velmora: interrupted"
        assert snapshot(bench / "out") == before
        assert not (bench / "new").exists()
        assert not [p for p in bench.rglob("*") if "velmora-tmp" in p.name]

    @pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
    @pytest.mark.parametrize("when", ["staging", "commit"])
    def test_a_signal_while_writing_leaves_old_or_new_and_no_temporary(self, bench, run, monkeypatch, signum, when):
        out = bench / "out"
        run("fuse", bench / "results", "-o", out, "-q")
        old = snapshot(out)
        # The signal arrives while the second file is staged, or while the folder is swapped in.
        target = outputs.os if when == "staging" else outputs
        name = "fsync" if when == "staging" else "_swap"
        real = getattr(target, name)
        calls = []

        def signalled(*args):
            calls.append(args)
            if len(calls) == (2 if when == "staging" else 1):
                signal.raise_signal(signum)
            return real(*args)
        monkeypatch.setattr(target, name, signalled)
        status, _, err = run("fuse", bench / "results", "-o", out, "--no-refine", "-q")
        assert status == 128 + signum and err.splitlines()[-1] == "velmora: interrupted"
        # Staging is undone; renames that have begun are finished before the signal is taken.
        assert (snapshot(out) == old) == (when == "staging")
        assert results_in(out) == ["basketball.txt", "car_1.txt"]
        assert not [p for p in bench.rglob("*") if "velmora-tmp" in p.name]

    def test_termination_signals_unwind_like_an_interrupt(self):
        previous = signal.getsignal(signal.SIGTERM)
        with outputs.interrupts():
            with pytest.raises(KeyboardInterrupt):
                signal.raise_signal(signal.SIGTERM)
        assert signal.getsignal(signal.SIGTERM) is previous


class TestOutputStreams:
    def test_a_full_disk_is_one_line_and_a_closed_pipe_is_silent(self, tmp_path):
        files = big_sequence(tmp_path)
        argv, env = velmora_command("fuse", *files)
        with open("/dev/full", "w") as full:
            done = subprocess.run(argv, env=env, stdout=full, stderr=subprocess.PIPE, text=True)
        assert done.returncode == 1
        assert done.stderr.splitlines() == ["velmora: error: standard output: cannot write: No space left on device"]
        reader = subprocess.Popen(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        reader.stdout.close()  # as `velmora ... | head -1` does once it has its line
        assert reader.wait() == 1 and reader.stderr.read() == b""


class TestNumbersAndBoxes:
    @pytest.mark.parametrize("line, message", [
        ("1e39,2,3,4", "'1e39' is not a finite float32 number"),
        ("1,2,1e400,4", "'1e400' is not a finite float32 number"),
        ("1,2,inf,4", "'inf' is not a finite float32 number"),
        ("nan,2,3,4", "'nan,2,3,4' is NaN in part only; a lost target is a whole line of NaN"),
    ])
    def test_numbers_no_float32_holds_are_refused_with_file_and_line(self, bench, run, line, message):
        path = bench / "results" / "B" / "CAR-1.txt"
        path.write_text(f"100,103,30,30\n{line}\n")
        status, out, err = run("eval", bench / "results", "--anno", bench / "anno", "-q")
        assert status == 1 and out == ""
        assert err.splitlines()[-1] == f"velmora: error: {path}:2: {message}"
        assert "RuntimeWarning" not in err

    def test_negative_boxes_are_lost_and_nan_annotation_lines_absent(self, tmp_path, run):
        write_boxes(tmp_path / "anno" / "s.txt", [*JOGGING[:2], [np.nan] * 4, *JOGGING[3:]])
        write_boxes(tmp_path / "res" / "A" / "s.txt", JOGGING)
        bad = JOGGING.copy()
        bad[[1, 3], 2] = -20
        write_boxes(tmp_path / "res" / "B" / "s.txt", bad)
        status, out, err = run("fuse", tmp_path / "res", "-o", tmp_path / "out")
        assert status == 0
        assert "tracker 'B': 2 boxes with a negative width or height in 1 file (first at " \
               f"{tmp_path / 'res' / 'B' / 's.txt'}:2), read as lost" in err
        fused = read(tmp_path / "out" / "s.txt")
        stack = library_stack(JOGGING, bad)  # the negative boxes as lost, zero boxes
        np.testing.assert_array_equal(bits(fused[[1, 3]]), bits(velmora.fuse(stack, selection=[0])[[1, 3]]))
        status, out, err = run("eval", tmp_path / "res", "--anno", tmp_path / "anno", "--csv", tmp_path / "s.csv")
        assert status == 0
        assert "0 frames flagged absent, 1 NaN annotation line taken as absent" in err


class TestParametersAndThreads:
    def test_blocks_of_two_threads_never_interleave(self):
        # Each block waits for the other to be inside its block too, twice; only blocks that
        # interleave get past the waits, and then each reads the other's sigma.
        meet = [threading.Barrier(2), threading.Barrier(2)]
        seen = {}

        def wait(barrier):
            try:
                barrier.wait(timeout=0.2)
            except threading.BrokenBarrierError:
                pass

        def block(sigma):
            with velmora.parameters(sigma=sigma):
                wait(meet[0])
                seen[sigma] = velmora.params.sigma
                wait(meet[1])

        threads = [threading.Thread(target=block, args=(s,)) for s in (0.1, 0.5)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert seen == {s: np.float32(s).item() for s in (0.1, 0.5)}
        assert velmora.get_params() == DEFAULTS

    def test_parameters_of_one_call_are_that_call_s_only(self):
        tracks = library_stack(JOGGING, JOGGING + [3, 1, 0, 0], JOGGING + [-2, 4, 1, 2])
        serial = {s: velmora.fuse(tracks, sigma=s) for s in (0.01, 3.0)}
        with velmora.parameters(sigma=3.0):
            assert (velmora.fuse(tracks) == serial[3.0]).all()
        results = {}

        def work(sigma):
            results[sigma] = [velmora.fuse(tracks, sigma=sigma) for _ in range(200)]

        threads = [threading.Thread(target=work, args=(s,)) for s in serial]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for sigma, fused in results.items():
            assert all((bits(f) == bits(serial[sigma])).all() for f in fused)
        assert velmora.get_params() == DEFAULTS
