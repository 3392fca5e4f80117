#!/usr/bin/python3
"""Times the velmora command on a LaSOT-sized benchmark against a bare numpy.loadtxt of its files.

Generates (or reuses, with --tree) 280 sequences of 1,000 to 5,000 frames in LaSOT's layout
(class folders, groundtruth.txt, full_occlusion.txt and out_of_view.txt), with 8 trackers'
results, then runs in one go, each command in a subprocess of its own:

  read     numpy.loadtxt of every result and annotation file (the bare read)
  eval     velmora eval
  fuse     velmora fuse, frame by frame and with trajectory optimisation
  weights  velmora weights
  select   velmora select

and prints each command's wall time and peak memory, the ratios the targets name, and the
library's own fusion time of the same data (velmora.evaluate_dataset in both modes).

    PYTHONPATH=build/python /usr/bin/python3 bench/bench_cli.py [--tree DIR] [--repeat N]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

SEQUENCES, TRACKERS = 280, 8
CLASSES = ["airplane", "basketball", "bear", "bicycle", "bird", "boat", "book", "bottle", "bus", "car", "cat",
           "cattle", "chameleon", "coin", "crab", "crocodile", "cup", "deer", "dog", "drone"]


def generate(root, seed=5):
    """A LaSOT-sized tree under root: anno/<class>/<class>-<n>/..., results/<tracker>/<seq>.txt."""
    rng = np.random.default_rng(seed)
    frames_total = 0
    for s in range(SEQUENCES):
        name = f"{CLASSES[s % len(CLASSES)]}-{s // len(CLASSES) + 1}"
        frames = int(rng.integers(1000, 5001))
        frames_total += frames
        t = np.arange(frames)
        size = rng.uniform(30, 150, 2)
        truth = np.c_[300 + 200 * np.sin(t / 97 + s), 200 + 100 * np.cos(t / 131 + s),
                      np.full(frames, size[0]), np.full(frames, size[1])]
        folder = os.path.join(root, "anno", CLASSES[s % len(CLASSES)], name)
        os.makedirs(folder, exist_ok=True)
        np.savetxt(os.path.join(folder, "groundtruth.txt"), truth, fmt="%d", delimiter=",")
        occlusion = np.zeros(frames, dtype=int)
        start = int(rng.integers(0, frames - 60))
        occlusion[start:start + int(rng.integers(0, 60))] = 1
        for flags, values in (("full_occlusion.txt", occlusion), ("out_of_view.txt", np.roll(occlusion, 500))):
            with open(os.path.join(folder, flags), "w") as f:
                f.write(",".join(map(str, values)) + "\n")
        for k in range(TRACKERS):
            boxes = truth + rng.normal(0, 3 + k, truth.shape)
            drift = int(rng.integers(0, frames - 100))
            boxes[drift:drift + 100, :2] += 60
            boxes[:, 2:] = np.maximum(boxes[:, 2:], 1)
            os.makedirs(os.path.join(root, "results", f"T{k}"), exist_ok=True)
            np.savetxt(os.path.join(root, "results", f"T{k}", name + ".txt"), boxes, fmt="%.2f", delimiter=",")
    return frames_total


def measure(argv, env):
    """(seconds, peak resident memory in MB) of a command run to its end."""
    start = time.perf_counter()
    process = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - start
    error = process.stderr.read().decode()
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        sys.exit(f"{' '.join(argv)} failed:\n{error}")
    return seconds, usage.ru_maxrss / 1024


BARE_READ = """
import glob, sys
import numpy as np
root = sys.argv[1]
for path in sorted(glob.glob(root + '/results/*/*.txt')) + sorted(glob.glob(root + '/anno/*/*/groundtruth.txt')):
    np.loadtxt(path, delimiter=',')
"""

LIBRARY = """
import sys, time
import numpy as np
sys.argv = ['velmora'] + sys.argv[1:]
from velmora import benchmark
bench = benchmark.match(benchmark.find_results([sys.argv[1] + '/results']),
                        benchmark.find_annotations(sys.argv[1] + '/anno'))
import velmora
for trajectory in (False, True):
    dataset = benchmark.build_dataset(bench, every_tracker=trajectory)
    start = time.perf_counter()
    velmora.evaluate_dataset(dataset.library, trajectory=trajectory)
    print(time.perf_counter() - start)
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tree", help="keep the generated tree here, or reuse it when it is there")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each command; the median counts")
    args = parser.parse_args()
    root = args.tree or tempfile.mkdtemp(prefix="velmora-bench-cli-")
    try:
        if not os.path.isdir(os.path.join(root, "results")):
            print(f"generating the benchmark tree in {root} ...", flush=True)
            frames = generate(root)
            print(f"{SEQUENCES} sequences, {TRACKERS} trackers, {frames:,} frames per tracker")
        env = dict(os.environ, OMP_WAIT_POLICY="passive", PYTHONDONTWRITEBYTECODE="1")
        python = sys.executable
        out = os.path.join(root, "out")
        velmora = [python, "-m", "velmora"]
        anno = os.path.join(root, "anno")
        results = os.path.join(root, "results")
        commands = {
            "read": [python, "-c", BARE_READ, root],
            "eval": velmora + ["eval", results, "--anno", anno, "-q"],
            "fuse": velmora + ["fuse", results, "-o", os.path.join(out, "fused"), "-q"],
            "fuse --trajectory": velmora + ["fuse", results, "--trajectory", "-o", os.path.join(out, "traj"), "-q"],
            "weights": velmora + ["weights", results, "--anno", anno, "-q", "-o", os.path.join(out, "w.txt")],
            "select": velmora + ["select", results, "--anno", anno, "-q", "-o", os.path.join(out, "s.txt")],
        }
        library = subprocess.run([python, "-c", LIBRARY, root], env=env, capture_output=True, text=True, check=True)
        fusion = dict(zip(("fuse", "fuse --trajectory"), map(float, library.stdout.split())))
        figures = {}
        for name, argv in commands.items():
            runs = []
            for _ in range(args.repeat):
                shutil.rmtree(out, ignore_errors=True)
                os.makedirs(out)
                runs.append(measure(argv, env))
            figures[name] = (float(np.median([r[0] for r in runs])), max(r[1] for r in runs))
        read = figures["read"][0]
        print(f"\n{'command':<18} {'seconds':>8} {'peak MB':>8}  target")
        for name, (seconds, memory) in figures.items():
            if name == "read":
                target = ""
            elif name.startswith("fuse"):
                budget = read + fusion[name]
                target = f"{seconds / budget:.2f}x of read + library fusion ({fusion[name]:.2f} s), at most 1.5x"
            else:
                target = f"{seconds / read:.2f}x of read, at most 1.5x"
            print(f"{name:<18} {seconds:8.2f} {memory:8.0f}  {target}")
        for name in ("weights", "select"):
            print(f"peak memory of {name}: {figures[name][1] / figures['eval'][1]:.2f}x that of eval, at most 1.5x")
    finally:
        if not args.tree:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
