"""The walkthroughs of README.md and docs/ run as shown and print what they show.

The worked example of docs/command-line.md makes a toy benchmark; every other page runs in a copy
of the folder it leaves, its shell blocks in order, with `velmora` on PATH. A plain block right
after a shell block is what that block prints on standard output; a line `...` in it stands for
any number of lines. A shown line `velmora: error: ...` is a refusal: the block must exit with
status 1 and say exactly that on standard error. Blocks that build or install (cmake, pip, the
scripts) are run by scripts/test.sh and the README's own checks, not here."""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import velmora

ROOT = Path(__file__).resolve().parents[2]
PAGES = [p for p in [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))] if p.is_file()]
WORKED_EXAMPLE = ROOT / "docs" / "command-line.md"
BLOCK = re.compile(r"^```(\w*)\n(.*?)^```\n", re.S | re.M)
# Commands that need a build tree, a source tree, root or an installation: not walkthrough steps.
BUILDING = re.compile(r"^\s*(cmake|ctest|pip|venv/|/usr/bin/python3 (-m venv|\S*bench)|scripts/|build[-\w]*/|sudo|apt|"
                      r"cd |git|PYTHONPATH=|PKG_CONFIG_PATH=|export CMAKE|\S*bench/|VELMORA_KERNELS=)", re.M)


def walkthrough(page):
    """(shell text, shown output or None) for each block of the page that runs here."""
    text = page.read_text()
    blocks = [(m.group(1), m.group(2), m.start(), m.end()) for m in BLOCK.finditer(text)]
    steps = []
    for i, (language, body, _, end) in enumerate(blocks):
        if language != "sh" or BUILDING.search(body):
            continue
        shown = None
        if i + 1 < len(blocks) and blocks[i + 1][0] == "" and not text[end:blocks[i + 1][2]].strip():
            shown = blocks[i + 1][1]
        steps.append((body, shown))
    return steps


def matches(shown, printed):
    """Whether the printed lines are the shown ones, a line '...' standing for any number of lines."""
    pattern = "".join(r"(?:.*\n)*?" if line.strip() == "..." else re.escape(line.rstrip()) + r"[ \t]*\n"
                      for line in shown.splitlines())
    return re.fullmatch(pattern, printed) is not None


def run(page, folder, env):
    for body, shown in walkthrough(page):
        done = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", body], cwd=folder, env=env, capture_output=True,
                              text=True, timeout=300)
        assert "Traceback" not in done.stderr
        if shown is not None and shown.startswith("velmora: error: "):
            assert (done.returncode, done.stdout) == (1, ""), f"{page.name}: {body}\n{done.stderr}"
            assert matches(shown, done.stderr), f"{page.name}: {body}\nshown:\n{shown}\nsaid:\n{done.stderr}"
            continue
        assert done.returncode == 0, f"{page.name}: {body}\n{done.stderr}"
        if shown is not None:
            assert matches(shown, done.stdout), f"{page.name}: {body}\nshown:\n{shown}\nprinted:\n{done.stdout}"


@pytest.fixture(scope="module")
def environment(tmp_path_factory):
    launcher = tmp_path_factory.mktemp("bin") / "velmora"
    launcher.write_text(f"#!/bin/sh\nexec {sys.executable} -m velmora \"$@\"\n")
    launcher.chmod(0o755)
    return dict(os.environ, PATH=f"{launcher.parent}:{os.environ['PATH']}",
                PYTHONPATH=os.pathsep.join([str(Path(velmora.__file__).parents[1]), os.environ.get("PYTHONPATH", "")]))


@pytest.fixture(scope="module")
def worked_example(tmp_path_factory, environment):
    folder = tmp_path_factory.mktemp("worked")
    run(WORKED_EXAMPLE, folder, environment)
    return folder


@pytest.mark.parametrize("page", [p for p in PAGES if walkthrough(p)], ids=lambda p: p.name)
def test_walkthrough_runs_as_shown(page, tmp_path, environment, worked_example):
    if page != WORKED_EXAMPLE:
        shutil.copytree(worked_example / "toy", tmp_path / "toy")
        run(page, tmp_path, environment)


def test_shown_output_may_elide_lines():
    assert matches("a\n...\nd\n", "a\nb\nc\nd\n") and matches("a\n...\n", "a\n")
    assert not matches("a\nd\n", "a\nb\nd\n") and not matches("a\n", "a\nb\n")


def test_python_quick_start_prints_what_it_says(capsys):
    code = re.search(r"^```python\n(.*?)^```", (ROOT / "README.md").read_text(), re.S | re.M).group(1)
    exec(compile(code, "README.md", "exec"), {})
    assert capsys.readouterr().out.split() == re.findall(r"# mean overlap: (\S+)", code)
