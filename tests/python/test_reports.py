"""Research protocols: held-out learning, per-sequence and per-attribute reports, JSON results, plots."""

import collections
import csv
import html
import io
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys

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
        text = (svg / "success_POC.svg").read_text()
        assert "Partial Occlusion (POC), 2 sequences" in text and all(f"] T{k}" in text for k in range(4))
        assert (study / "plots" / "success_DEF.png").read_bytes().startswith(b"\x89PNG")
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

    def test_plots_give_each_of_26_curves_its_own_look_and_the_same_bytes_every_time(self):
        from velmora import plots
        entries = [(f"T{k}", np.linspace(1, 0, 21) ** (1 + k / 10), 0.6 - k / 100) for k in range(24)]
        entries += [("Fused", np.linspace(1, 0, 21) ** 0.5, 0.7), ("Fused-traj", np.linspace(1, 0, 21) ** 0.4, 0.72)]
        order = [e[0] for e in entries]

        def draw(fmt):
            buffer = io.BytesIO()
            plots.plot_success(buffer, entries, "Cats", order, {"Fused", "Fused-traj"}, fmt)
            return buffer.getvalue()

        svg = draw("svg").decode()
        # Every curve, and its legend sample, is a path of its own stroke, width and dash pattern.
        lines = []  # (width drawn, stroke, stroke-width, dash pattern)
        for d, style in re.findall(r'<path d="(M[^"]*)"[^>]*? style="(fill: none;[^"]*)"', svg):
            style = dict(part.split(": ") for part in style.split("; "))
            xs = [float(x) for x in re.findall(r"[ML] ([-\d.]+) ", d)]
            if float(style["stroke-width"]) > 1:  # not the axes or the grid
                lines.append((max(xs) - min(xs), style["stroke"], float(style["stroke-width"]),
                              style.get("stroke-dasharray", "")))
        looks = collections.Counter(line[1:] for line in lines)
        assert len(looks) == 26 and set(looks.values()) == {2}
        fused = {plots.looks(order, {"Fused", "Fused-traj"})[name].color for name in ("Fused", "Fused-traj")}
        assert min(w for c, w, _ in looks if c in fused) > max(w for c, w, _ in looks if c not in fused)
        # The legend sits right of the axes, in 9-point type, its samples two dash periods long at least.
        right = max(float(x) for x in re.findall(r'text-anchor: middle" x="([\d.]+)"', svg))
        legend = re.findall(r'<text style="font: ([\d.]+)px [^"]*" x="([\d.]+)"[^>]*>\[0\.\d+\] ', svg)
        assert len(legend) == 26 and all(float(size) >= 9 and float(x) > right for size, x in legend)
        samples = [(length, dash) for length, _, _, dash in lines if dash and length < 60]
        assert len(samples) == 20 and all(length >= 1.5 * sum(map(float, dash.split(","))) for length, dash in samples)
        for fmt, magic in (("png", b"\x89PNG"), ("pdf", b"%PDF"), ("svg", b"<?xml")):
            first = draw(fmt)
            assert first.startswith(magic) and first == draw(fmt), fmt
            assert b"CreationDate" not in first and b"<dc:date>" not in first

    def test_plots_follow_the_protocol_as_the_table_does(self, study, run):
        status, out, err = run("eval", study / "res", "--anno", study / "annos", "--protocol", "got10k", "--plot",
                               study / "plots", "--plot-format", "svg", "-q")
        assert status == 0, err
        table = [line.split() for line in out.splitlines()[2:] if line.startswith("T")]
        svg = (study / "plots" / "success.svg").read_text()
        legend = re.findall(r">\[(\d\.\d+)\] (T\d)<", svg)
        assert ">AO<" in svg and [(ao, name) for name, ao, *_ in table] == legend

    def test_attribute_plots_are_headed_as_given_and_named_by_the_abbreviation(self, study):
        from velmora import plots
        bench = benchmark.match(benchmark.find_results([study / "res"]), benchmark.find_annotations(study / "annos"))
        trackers = benchmark.evaluate(bench).trackers
        drawn = plots.figures(trackers, "Cats", fmt="svg", attributes=[("Full Occlusion (FOC)", 3, trackers),
                                                                        ("POC", 1, trackers)])
        assert [(name, caption) for name, caption, _ in drawn[3:]] == [
            ("success_FOC.svg", "Full Occlusion (FOC), 3 sequences"), ("success_POC.svg", "POC (1 sequence)")]
        assert all(caption.encode() in data for _, caption, data in drawn[3:])

    @pytest.mark.parametrize("command", [["eval", "--plot", "p"], ["eval", "--html", "p.html"],
                                         ["crossval", "--html", "p.html"]])
    def test_plots_without_matplotlib_are_refused_before_any_work(self, tmp_path, run, monkeypatch, command):
        monkeypatch.setitem(sys.modules, "matplotlib", None)  # import matplotlib fails
        monkeypatch.chdir(tmp_path)
        status, out, err = run(command[0], "no-such-results", "--anno", "no-such-annotation", *command[1:])
        assert status == 1 and err.count("\n") == 1 and "python3-matplotlib" in err and command[1] in err
        assert not os.listdir(tmp_path)


# ---- The HTML page, in a real browser ----

# Injected into a copy of the page: records script errors from the start, and once the page has
# loaded, what a reader would see (the tables' cells, the plots decoded, the strips) and the
# tables' rows after a click, and a second click, on every sortable heading.
_ERRORS = '<script>window.__errors = []; addEventListener("error", e => __errors.push(String(e.message)));</script>'
_CHECK = """<script>
addEventListener("load", () => {
  const cells = table => Array.from(table.tBodies[0].rows,
    row => Array.from(row.cells, c => c.dataset.v !== undefined ? c.dataset.v : c.textContent.trim()));
  const seen = {errors: __errors, tables: {}, sorted: {},
    images: Array.from(document.images, i => [i.closest("figure").dataset.plot, i.naturalWidth]),
    strips: Array.from(document.querySelectorAll("#sequences td.strip svg"),
                       s => Array.from(s.querySelectorAll("path"), p => p.getAttribute("class")).filter(c => c))};
  for (const table of document.querySelectorAll("table.sortable")) {
    seen.tables[table.id] = cells(table);
    seen.sorted[table.id] = Array.from(table.querySelectorAll("thead th[data-sort]"), th => {
      const column = Array.from(th.parentNode.children).indexOf(th);
      th.click();
      const first = cells(table).map(row => row[column]);
      th.click();
      return [th.dataset.sort, first, cells(table).map(row => row[column])];
    });
  }
  const out = document.createElement("pre");
  out.id = "velmora-check";
  out.textContent = JSON.stringify(seen);
  document.body.appendChild(out);
});
</script>"""


def _chromium(tmp_path, *arguments):
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        pytest.fail("the page's tests need headless Chromium: install Debian's chromium (scripts/install-deps.sh)")
    # Root (as in CI) needs --no-sandbox; a profile of its own keeps parallel runs apart.
    done = subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                           "--hide-scrollbars", f"--user-data-dir={tmp_path / 'chromium-profile'}", *arguments],
                          capture_output=True, timeout=120)
    return done.stdout.decode()


def browse(page, tmp_path):
    """What headless Chromium shows of a page, as the check script above records it."""
    text = page.read_text()
    copy = tmp_path / "checked.html"
    copy.write_text(text.replace("<head>", "<head>" + _ERRORS, 1).replace("</body>", _CHECK + "</body>", 1))
    dom = _chromium(tmp_path, "--dump-dom", copy.as_uri())
    found = re.search(r'<pre id="velmora-check">(.*?)</pre>', dom, re.S)
    assert found, dom[-2000:]
    return json.loads(html.unescape(found.group(1)))


def assert_sorts(sorted_columns):
    """Numbers: largest first, then smallest first, a missing value last; text: A to Z, then Z to A."""
    for kind, first, second in sorted_columns:
        if kind == "number":
            for values, reverse in ((first, True), (second, False)):
                present = [float(v) for v in values if v != ""]
                assert present == sorted(present, reverse=reverse) and values[len(present):] == [""] * (
                    len(values) - len(present))
        else:
            assert first == sorted(first, key=str.lower) and second == first[::-1]


class TestPage:
    def test_the_page_shows_every_tracker_sequence_and_plot_in_chromium(self, study, run):
        run("fuse", study / "res", "-o", study / "fused" / "Velmora", "-q")
        run("fuse", study / "res", "--trajectory", "-o", study / "fused" / "Velmora-traj", "-q")
        command = ("eval", study / "res", study / "fused", "--anno", study / "annos", "--attributes", "--html",
                   study / "page.html", "--dataset", "Cats <&>", "-q")
        status, out, err = run(*command)
        assert status == 0, err
        page = (study / "page.html").read_text()
        assert run(*command)[0] == 0 and (study / "page.html").read_text() == page  # no date: the same bytes
        # Self-contained: nothing to fetch, and a policy that would refuse it anyway.
        assert not re.search(r"""(src|href)=["']?(https?:|//)|url\(|@import""", page)
        assert "default-src 'none'" in page and "Cats &lt;&amp;&gt;" in page
        seen = browse(study / "page.html", study)
        assert seen["errors"] == []
        trackers = [line.split()[0] for line in out.splitlines()[2:8]]
        assert [row[0] for row in seen["tables"]["summary"]] == trackers  # best first, as on the terminal
        assert [row[0] for row in seen["tables"]["sequences"]] == [f"cat-{s}" for s in range(6)]
        assert len(seen["tables"]["per-sequence"]) == 6 and len(seen["tables"]["per-sequence"][0]) == 7
        plots = dict(seen["images"])
        assert set(plots) == {"success.svg", "precision.svg", "norm_precision.svg", "success_IV.svg",
                              "success_POC.svg", "success_DEF.svg"} and min(plots.values()) > 300
        # A strip per sequence: the two fused tracks, the best single tracker and the others' band.
        assert len(seen["strips"]) == 6 and all(set(s) >= {"band", "best", "fused"} and s.count("fused") == 2
                                                 for s in seen["strips"])
        for table in ("summary", "sequences", "per-sequence"):
            assert_sorts(seen["sorted"][table])
        # The strips hold each sequence's overlap over time, as the benchmark layer computes it.
        bench = benchmark.match(benchmark.find_results([study / "res", study / "fused"]),
                                benchmark.find_annotations(study / "annos"))
        evaluation = benchmark.evaluate(bench, timelines=True)
        strip = benchmark.sequence_strips(evaluation)[2]
        single = [t for t in evaluation.trackers if not t.fused]
        others = np.array([t.sequences[2].timeline for t in single[1:]])
        assert strip.best[0] == single[0].name
        assert [name for name, _ in strip.fused] == [t.name for t in evaluation.trackers if t.fused]
        np.testing.assert_array_equal(strip.low, others.min(axis=0))
        np.testing.assert_array_equal(strip.high, others.max(axis=0))
        np.testing.assert_allclose(strip.best[1], metrics.overlap_timeline(
            read(study / "res" / single[0].name / "cat-2.txt"), TRUTH + 2), rtol=1e-6)
        # Kept for a person to look at: the build folder's test-artifacts, as the test run sets it.
        shot = pathlib.Path(os.environ.get("VELMORA_TEST_ARTIFACTS", study)) / "report-page.png"
        shot.parent.mkdir(parents=True, exist_ok=True)
        _chromium(study, "--window-size=1280,1600", f"--screenshot={shot}", (study / "page.html").as_uri())
        assert shot.read_bytes().startswith(b"\x89PNG") and shot.stat().st_size > 20000

    def test_the_crossval_page_shows_the_folds_weights_and_selections(self, study, run):
        status, out, err = run("crossval", study / "res", "--anno", study / "annos", "--folds", "3", "--html",
                               study / "cv.html", "--json", study / "cv.json", "-q")
        assert status == 0, err
        seen = browse(study / "cv.html", study)
        assert seen["errors"] == [] and len(seen["images"]) == 3
        folds = json.loads((study / "cv.json").read_text())["crossval"]["folds"]
        table = {row[0]: row[1:] for row in seen["tables"]["folds"]}
        assert list(table) == ["T0", "T1", "T2", "T3"]
        for k, fold in enumerate(folds):
            assert [float(table[name][k]) for name in table] == [fold["weights"][name] for name in table]
        page = (study / "cv.html").read_text()
        assert page.count('class="kept"') == sum(len(f["selection"]) for f in folds)
        assert [row[0] for row in seen["tables"]["sequences"]] == [f"cat-{s}" for s in range(6)]
        assert all(s.count("fused") == 3 for s in seen["strips"])  # held-out, in-sample and untuned
