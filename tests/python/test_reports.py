"""Research protocols: held-out learning, per-sequence and per-attribute reports, JSON results, plots."""

import csv
import json

import jsonschema
import numpy as np
import pytest

import velmora
from velmora import benchmark, metrics, report
from conftest import bits, read, results_in, write_boxes

TRUTH = np.array([[50 + 3 * f, 40 + f, 30, 40] for f in range(12)], dtype=np.float64)


@pytest.fixture
def study(tmp_path):
    """Six sequences and four trackers of different quality; attributes in the LaSOT toolkit's files."""
    rng = np.random.default_rng(11)
    for s in range(6):
        write_boxes(tmp_path / "annos" / f"cat-{s}.txt", TRUTH + s)
        flags = ["0"] * 14
        flags[s % 3] = "1"  # IV, POC or DEF, two sequences each
        (tmp_path / "annos" / "att").mkdir(parents=True, exist_ok=True)
        (tmp_path / "annos" / "att" / f"cat-{s}.txt").write_text(",".join(flags) + "\n")
        for k, noise in enumerate((1.0, 2.0, 4.0, 9.0)):
            boxes = TRUTH + s + np.round(rng.normal(0, noise, TRUTH.shape), 1)
            write_boxes(tmp_path / "res" / f"T{k}" / f"cat-{s}.txt", boxes)
    return tmp_path


def rows_of(path):
    with open(path) as f:
        return list(csv.DictReader(f))


class TestHeldOut:
    def test_folds_are_deterministic_disjoint_and_cover_every_sequence(self, study):
        bench = benchmark.match(benchmark.find_results([study / "res"]), benchmark.find_annotations(study / "annos"))
        splits = benchmark.folds(bench, 3, seed=4)
        assert splits == benchmark.folds(bench, 3, seed=4) and splits != benchmark.folds(bench, 3, seed=5)
        tests = [set(test) for _, test in splits]
        assert sorted(k for t in tests for k in t) == sorted(bench.keys)
        for train, test in splits:
            assert not set(train) & set(test) and len(train) + len(test) == 6
        with pytest.raises(benchmark.InputError, match="shares|share 1 sequence"):
            benchmark.split(bench, ["cat-0", "cat-1"], ["cat-1"])

    def test_held_out_scores_are_learning_on_the_training_part_and_scoring_the_test_part(self, study, run):
        (study / "train.txt").write_text("# the LaSOT toolkit's form\ncat-0\ncat-1\ncat-2\ncat-3\n")
        (study / "test.txt").write_text("cat-4\ncat-5\n")
        status, out, err = run("crossval", study / "res", "--anno", study / "annos", "--train", study / "train.txt",
                               "--test", study / "test.txt", "-o", study / "heldout", "--csv", study / "cv.csv",
                               "--per-sequence")
        assert status == 0, err
        # By hand: the library learns on the training sequences and fuses the test ones.
        bench = benchmark.match(benchmark.find_results([study / "res"]), benchmark.find_annotations(study / "annos"))
        train = benchmark.Benchmark(bench.results, bench.annotations, bench.keys[:4], bench.names)
        data = benchmark.build_dataset(train)
        weights = [float(w) for w in velmora.tracker_weights(data.library)[:4]]
        kept = velmora.global_removal(data.library, weights=weights) or [0, 1, 2, 3]
        assert f"kept {', '.join(f'T{k}' for k in kept)}" in out
        for s in (4, 5):
            stack = np.array([read(study / "res" / f"T{k}" / f"cat-{s}.txt") for k in kept])
            expected = velmora.fuse(stack, weights=[weights[k] for k in kept])
            fused = read(study / "heldout" / f"cat-{s}.txt")
            np.testing.assert_array_equal(bits(fused), bits(expected))
            row = next(r for r in rows_of(study / "cv.csv")
                       if r["tracker"] == "Velmora (held-out)" and r["sequence"] == f"cat-{s}")
            assert float(row["auc"]) == metrics.score_sequence(fused, TRUTH + s).auc
        assert results_in(study / "heldout") == ["cat-4.txt", "cat-5.txt"]
        # The held-out folder is a tracker folder like any other, known as a fused track.
        status, out, _ = run("eval", study / "heldout", study / "res", "--anno", study / "annos", "-q")
        assert status == 0 and "heldout: AUC above that of" in out


class TestReports:
    def test_per_sequence_rows_and_what_fused_tracks_beat(self, study, run):
        run("fuse", study / "res", "-o", study / "fused" / "Velmora", "-q")
        status, out, err = run("eval", study / "res", study / "fused", "--anno", study / "annos", "--per-sequence",
                               "--csv", study / "seq.csv", "-q")
        assert status == 0, err
        rows = rows_of(study / "seq.csv")
        assert len(rows) == 6 * 5 and set(rows[0]) >= {"tracker", "sequence", "auc", "frames", "absent_frames"}
        auc = {(r["tracker"], r["sequence"]): float(r["auc"]) for r in rows}
        for r in rows:
            folder = study / ("fused" if r["tracker"] == "Velmora" else "res") / r["tracker"]
            boxes = read(folder / f"{r['sequence']}.txt")
            assert float(r["auc"]) == metrics.score_sequence(boxes, TRUTH + int(r["sequence"][-1])).auc
        best = max((f"T{k}" for k in range(4)), key=lambda t: np.mean([auc[t, f"cat-{s}"] for s in range(6)]))
        above = sum(auc["Velmora", f"cat-{s}"] > auc[best, f"cat-{s}"] for s in range(6))
        assert f"Velmora: AUC above that of {best}, the best single tracker, in {above} of 6 sequences" in out

    def test_per_attribute_rows_are_the_per_sequence_rows_averaged(self, study, run, tmp_path):
        status, out, err = run("eval", study / "res", "--anno", study / "annos", "--attributes", "--per-sequence",
                               "--csv", study / "seq.csv", "--plot", study / "plots", "-q")
        assert status == 0, err
        auc = {(r["tracker"], r["sequence"]): float(r["auc"]) for r in rows_of(study / "seq.csv")}
        sections = {block.splitlines()[0]: block for block in out.split("\n\n") if ", 2 sequences\n" in block}
        # In the LaSOT toolkit's order, under their full names.
        assert list(sections) == ["Illumination Variation (IV), 2 sequences", "Partial Occlusion (POC), 2 sequences",
                                  "Deformation (DEF), 2 sequences"]
        line = next(l for l in sections["Illumination Variation (IV), 2 sequences"].splitlines()
                    if l.split()[0] == "T2")
        assert float(line.split()[1]) == pytest.approx(np.mean([auc["T2", "cat-0"], auc["T2", "cat-3"]]), abs=5e-4)
        svg = study / "plots_svg"
        run("eval", study / "res", "--anno", study / "annos", "--attributes", "--plot", svg, "--plot-format", "svg",
            "-q")
        text = (svg / "success_Partial_Occlusion__POC_.svg").read_text()
        assert "Partial Occlusion (POC) (2 sequences)" in text and all(f"] T{k}" in text for k in range(4))
        assert (study / "plots" / "success_Deformation__DEF_.png").read_bytes().startswith(b"\x89PNG")
        # A CSV of sequence to attributes gives the same groups.
        (tmp_path / "attributes.csv").write_text("".join(f"cat-{s},{['IV', 'POC', 'DEF'][s % 3]}\n" for s in range(6)))
        _, again, _ = run("eval", study / "res", "--anno", study / "annos", "--attributes", tmp_path / "attributes.csv",
                          "-q")
        assert again.split("\n\n")[-3:] == out.split("\n\n")[-3:]

    def test_json_results_follow_their_schema(self, study, run):
        status, _, err = run("eval", study / "res", "--anno", study / "annos", "--json", study / "r.json",
                             "--per-sequence", "--attributes", "--dataset", "Cats", "-q")
        assert status == 0, err
        document = json.loads((study / "r.json").read_text())
        with open(report.SCHEMA) as f:
            jsonschema.validate(document, json.load(f))
        dataset = document["datasets"][0]
        assert (dataset["name"], document["command"][:2], document["parameters"]["sigma"]) == (
            "Cats", ["velmora", "eval"], np.float32(0.03).item())
        t0 = next(t for t in dataset["trackers"] if t["name"] == "T0")
        assert len(t0["sequences"]) == 6 and len(t0["curves"]["success"]) == 21
        assert t0["measures"]["auc"] == pytest.approx(np.mean([s["measures"]["auc"] for s in t0["sequences"]]))
        run("crossval", study / "res", "--anno", study / "annos", "--folds", "3", "--json", study / "cv.json", "-q")
        document = json.loads((study / "cv.json").read_text())
        jsonschema.validate(document, json.load(open(report.SCHEMA)))
        assert [len(f["test"]) for f in document["crossval"]["folds"]] == [2, 2, 2]

    @pytest.mark.parametrize("flags, order, attributes", [
        # OTB's 11 flags in the order of its toolkit's plots; UAV123's 12 in the same script's order.
        ("1,0,0,0,0,0,0,0,0,0,1", "11 flags read in OTB's order: IV, OPR, SV,", ["IV", "LR"]),
        ("0,1,0,0,0,0,0,0,0,0,0,1", "12 flags read in UAV123's order: SV, ARC, LR,", ["ARC", "SOB"]),
        ("1,0,1", None, "3 flags; attribute flag files hold 11 (OTB: IV, OPR,"),
    ])
    def test_attribute_flag_files_in_their_benchmarks_order(self, study, run, flags, order, attributes):
        for s in range(6):
            (study / "att" / f"cat-{s}.txt").parent.mkdir(exist_ok=True)
            (study / "att" / f"cat-{s}.txt").write_text(flags + "\n")
        status, out, err = run("eval", study / "res", "--anno", study / "annos", "--attributes", study / "att")
        if order is None:
            assert status == 1 and attributes in err
            return
        assert status == 0 and order in err
        assert [line.split(" (")[1].split(")")[0] for line in out.splitlines() if ", 6 sequences" in line] == attributes

    @pytest.mark.parametrize("style, first", [("markdown", "| Tracker | AUC |"),
                                              ("latex", "\\begin{tabular}{lrrrrrrr}")])
    def test_tables_for_a_paper(self, study, run, style, first):
        status, out, _ = run("eval", study / "res", "--anno", study / "annos", "--format", style, "-q")
        assert status == 0 and any(line.startswith(first) for line in out.splitlines())
        assert len([line for line in out.splitlines() if "T3" in line]) == 1
        # The per-sequence and per-attribute tables too: 1 + 6 + 3 rows of T3, every one in the style.
        status, out, _ = run("eval", study / "res", "--anno", study / "annos", "--format", style, "--per-sequence",
                             "--attributes", "-q")
        rows = [line for line in out.splitlines() if "T3" in line]
        assert len(rows) == 10 and all(line.startswith("| ") if style == "markdown" else " & " in line
                                       for line in rows)

    def test_plots_keep_many_trackers_apart_in_every_format(self, tmp_path, run):
        from velmora import plots
        looks = plots._looks([f"T{k}" for k in range(20)] + ["Fused"], fused={"Fused"})
        assert len(set(looks.values())) == 21  # twenty single trackers, twenty looks; the fused one its own
        assert all(looks[f"T{k}"][:2] != looks[f"T{k + 1}"][:2] for k in range(19))
        for fmt, magic in (("png", b"\x89PNG"), ("pdf", b"%PDF"), ("svg", b"<?xml")):
            path = tmp_path / f"s.{fmt}"
            plots.plot_success(path, [(f"T{k}", np.linspace(1, 0, 21), 0.5) for k in range(12)])
            assert path.read_bytes().startswith(magic)
