"""Nothing lost, nothing silently wrong: the command line's outputs against its inputs, output
folders, failed and interrupted writes, bad numbers and boxes, files that are no box files,
output streams that fail, parameters across threads."""

import json
import os
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
        ["eval", "{b}/results", "--anno", "{b}/anno", "--csv", "{b}/s.csv", "--html", "{b}/results/A/page.html"],
        ["crossval", "{b}/results", "--anno", "{b}/anno", "--folds", "2", "--html", "{b}/anno/Basketball.txt"],
        ["eval", "{b}/results", "--anno", "{b}/anno", "--csv", "{b}/out", "--html", "{b}/out"],  # one file, twice
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
        assert any(why in err for why in ("refusing to write", "which the command reads", "tracker folder",
                                          "give each output its own place"))
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
    @pytest.mark.parametrize("argv", [["fuse", "{a}", "{b}"], ["--help"], ["--version"], ["fuse", "--help"]])
    def test_a_full_disk_is_one_line_and_a_closed_pipe_is_silent(self, tmp_path, argv):
        files = big_sequence(tmp_path)
        argv, env = velmora_command(*[a.format(a=files[0], b=files[1]) for a in argv])
        with open("/dev/full", "w") as full:
            done = subprocess.run(argv, env=env, stdout=full, stderr=subprocess.PIPE, text=True)
        assert done.returncode == 1
        assert done.stderr.splitlines() == ["velmora: error: standard output: cannot write: No space left on device"]
        reader = subprocess.Popen(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        reader.stdout.close()  # as `velmora ... | head -1` does once it has its line
        assert reader.wait() == 1 and reader.stderr.read() == b""

    def test_closed_standard_streams_are_never_taken_by_an_output(self, tmp_path):
        a, b = big_sequence(tmp_path)
        b.write_text("".join(b.read_text().splitlines(keepends=True)[:10]))  # short: a warning
        argv, env = velmora_command("fuse", a, b)
        shell = 'exec "$@" > "$OUT" 2>&-'
        done = subprocess.run(["bash", "-c", shell, "bash", *argv], env=dict(env, OUT=str(tmp_path / "f.txt")))
        assert done.returncode == 0
        assert "warning" not in (tmp_path / "f.txt").read_text()
        argv, env = velmora_command("fuse", tmp_path / "A", tmp_path / "B", "-o", tmp_path / "out")
        done = subprocess.run(["bash", "-c", 'exec "$@" <&- >&- 2>&-', "bash", *argv], env=env)
        assert done.returncode == 0 and results_in(tmp_path / "out") == ["s.txt"]
        # A pipe given as output is written directly.
        argv, env = velmora_command("fuse", a, b, "-o", "/dev/stdout", "-q")
        done = subprocess.run(argv, env=env, capture_output=True, text=True)
        assert done.returncode == 0 and done.stdout == (tmp_path / "f.txt").read_text()
        # Results meant for a closed standard output: silent status 1, as with a closed pipe.
        argv, env = velmora_command("fuse", a, b)
        done = subprocess.run(["bash", "-c", 'exec "$@" >&-', "bash", *argv], env=env, capture_output=True, text=True)
        assert done.returncode == 1 and "error" not in done.stderr and "Traceback" not in done.stderr


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


class TestFilesThatAreNoBoxFiles:
    @pytest.mark.parametrize("name, data, message", [
        ("results/B/CAR-1.txt", b"1,2,3,4\n\f", "CAR-1.txt:2: cannot read '\\x0c' as four numbers"),
        ("results/B/CAR-1.txt", b"1,2,3,4\n\xc2\xa0\n", "CAR-1.txt:2: cannot read '\\xa0' as four numbers"),
        ("results/B/CAR-1.txt", b"1,2,3,4\n1,2,\xff,4\n", "CAR-1.txt:2: not a text file (not UTF-8)"),
        ("results/B/CAR-1.txt", b"1,2,3,4\n" + b"\0" * 5000, "CAR-1.txt:2: holds a NUL byte; not a text file"),
        ("results/B/CAR-1.txt", b"1,2,3,4\n" + b"7" * 5000, "CAR-1.txt:2: a line of over 1000 characters"),
        ("anno/Basketball.txt", b"10 20 40 50\n1 1 2e19 2e19\n", "Basketball.txt:2: the box's width times height "
         "overflows float32"),
        ("anno/car-1/absent.txt", b"0\r0\r1\r0\r0\r0\r", "absent.txt:1: cannot read '0\\r0\\r1\\r0\\r0\\r0' as a flag "
         "0 or 1; lines end in LF or CRLF"),
        ("anno/car-1/absent.txt", b"0\n0\n1\n0\n0\n0\xc2\xa0\n", "absent.txt:6: cannot read '0\\xa0' as a flag"),
        ("anno/car-1/absent.txt", b"0\n0\f\n1\n0\n0\n0\n", "absent.txt:2: cannot read '0\\x0c' as a flag"),
        ("anno/car-1/absent.txt", b"0,0,2,0,0,0\n", "absent.txt:1: cannot read '2' as a flag 0 or 1"),
        ("anno/car-1/absent.txt", b"0\n" + b"\0" * 3000, "absent.txt:2: holds a NUL byte"),
    ])
    def test_refused_with_file_and_line(self, bench, run, name, data, message):
        (bench / name).write_bytes(data)
        status, out, err = run("eval", bench / "results", "--anno", bench / "anno", "-q")
        last = err.splitlines()[-1]
        assert status == 1 and out == "" and err.count("error") == 1
        assert last.startswith(f"velmora: error: {bench / name.rsplit('/', 1)[0]}/") and message in last, err

    def test_a_huge_file_is_refused_at_once_and_a_valid_one_costs_its_boxes(self, tmp_path):
        # A valid file of 1.5 million lines (36 MB) and one of 512 MB that a few NUL bytes end
        # (what `truncate -s` leaves); sparse, so the test writes little. Each is read in a
        # process of its own, whose peak memory is compared with one that reads a small file.
        valid, huge = tmp_path / "valid.txt", tmp_path / "huge.txt"
        valid.write_bytes(b"123.25,456.5,78.75,90.5\n" * 1_500_000)
        huge.write_bytes(b"1,2,3,4\n")
        os.truncate(huge, 512 << 20)
        code = ("import resource, sys\nfrom velmora import textfiles\ntry:\n    textfiles.read_boxes(sys.argv[1])\n"
                "except textfiles.InputError as e:\n    print(e)\n"
                "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)")
        env = velmora_command()[1]

        def peak(path):
            done = subprocess.run([sys.executable, "-c", code, str(path)], env=env, capture_output=True, text=True,
                                  timeout=60)
            return done.stdout.splitlines()[-1] and int(done.stdout.splitlines()[-1]) * 1024, done.stdout

        base, _ = peak(tmp_path / "small.txt")
        used, _ = peak(valid)
        refused_at, said = peak(huge)
        assert f"{huge}:2: holds a NUL byte; not a text file" in said
        assert refused_at - base < 8 << 20
        # The boxes take 33 bytes a line (float64 and a kind); the file's bytes are never held.
        assert used - base < 1_500_000 * 33 + (8 << 20)


class TestNamesAndValues:
    @pytest.mark.parametrize("folder", ["#A", "A ", " A", "A\nB", "A\tB"])
    def test_tracker_names_that_would_not_survive_the_files_are_refused(self, bench, run, folder):
        os.rename(bench / "results" / "A", bench / "results" / folder)
        status, out, err = run("weights", bench / "results", "--anno", bench / "anno", "-q")
        assert refused(status, err) and "rename the folder" in err and err.count("error") == 1

    @pytest.mark.parametrize("text, message", [
        ("", "no line 'resolution: (width, height)'"),
        ("resolution: (1280 720)\n", "meta_info.ini:1: cannot read '(1280 720)' as the image size"),
        ("url: x\nresolution: (-1, 720)\n", "meta_info.ini:2: cannot read '(-1, 720)'"),
        (b"\0", "meta_info.ini:1: holds a NUL byte"),
    ])
    def test_a_meta_info_file_that_gives_no_image_size_is_an_error(self, bench, run, text, message):
        path = bench / "anno" / "car-1" / "meta_info.ini"
        path.write_bytes(text if isinstance(text, bytes) else text.encode())
        status, out, err = run("eval", bench / "results", "--anno", bench / "anno", "--protocol", "got10k", "-q")
        assert refused(status, err) and message in err, err

    def test_loops_and_attributes_that_name_nothing_are_reported(self, bench, run):
        os.symlink("loop", bench / "results" / "loop")
        status, _, err = run("eval", bench / "results", "--anno", bench / "anno", "-q")
        assert refused(status, err) and f"{bench}/results/loop: cannot read: Too many levels" in err
        os.unlink(bench / "results" / "loop")
        (bench / "attrs.csv").write_text("sequence,OCC\nnowhere,1\n")
        status, _, err = run("eval", bench / "results", "--anno", bench / "anno", "--attributes", bench / "attrs.csv")
        assert status == 0 and "names no attribute of the 2 sequences scored" in err


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
