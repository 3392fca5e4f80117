"""Fused results: the result files of one sequence, or result trees fused sequence by sequence into
a tracker folder of a benchmark's layout, with the record of how they were made."""

import os
import time

from .. import outputs, submissions
from ..messages import Reporter
from ..textfiles import InputError
from .common import listing, parameters_in_force, plural
from .fusing import fuse_sequence
from .matching import fused_trackers, register_inputs
from .reading import read_files, read_runs


def fuse_files(files, names, anno=None, weights=None, reporter=None, **options):
    """Fuses the result files of one sequence, one per tracker of `names`; returns (frames, 4) float32.

    With `anno`, the annotation file of the sequence, the fused track covers its frames; a track
    that is shorter takes no part in the frames it lacks, a longer one is cut. `options` are
    fuse_sequence's (weights aside) and the parameters alpha, beta and sigma.
    """
    reporter = reporter or Reporter(quiet=True)
    tracks = read_files(files, names, anno, reporter)
    return fuse_sequence(tracks, weights, name=os.path.basename(files[0])[:-4], reporter=reporter, **options)


def fuse_results(bench, output, weights=None, trajectory=False, backtracking=True, refine=True, repetition=None,
                 reporter=None, inputs=None, provenance=None, selection=None, layout=None, lag=None, **parameters):
    """Fuses every sequence of a matched benchmark into the folder `output`, as a tracker folder.

    `weights` maps tracker names to weights (as learn_weights returns them) or lists one weight
    per tracker of `bench`, in its order; `selection` names the trackers to fuse (default: all).
    Every input is read and every sequence fused before the first file is written; the folder
    appears whole or not at all. `output` is a path (a new folder, or one velmora wrote, which
    is replaced whole; anything else is refused before any reading) or a folder of the caller's
    transaction (velmora.outputs.Outputs). A tracker with fewer boxes than the annotation (or than the
    longest tracker, without annotation) takes no part in the frames it lacks. Output files take
    the annotation's spelling of a sequence name, else the one most trackers use.

    `layout` ('plain', 'got10k', 'vot'; default: the one all inputs share, else plain) is one of
    velmora.submissions' layouts. GOT-10k's gives ``<sequence>/<sequence>_00k.txt`` for each
    repetition k and ``<sequence>_time.txt`` when every tracker has timing logs; VOT's gives runs
    without resets, ``unsupervised/<sequence>/<sequence>_00k.txt``; the plain layout gives
    ``<sequence>.txt`` of one repetition (the first, or `repetition`).
    The folder also holds ``.velmora.json``: how the tracks were made (the trackers, weights,
    mode, parameters, and whatever `provenance` adds), which eval reports. Returns the number of
    sequences written.
    """
    reporter = reporter or Reporter(quiet=True)
    if not isinstance(output, outputs.OutputFolder):  # a path: checked against every input here
        inputs = inputs or register_inputs(bench)
    bench, weights = fused_trackers(bench, selection, weights)
    names = [t.name for t in bench.trackers]
    with outputs.into_folder(output, inputs) as folder:
        if not bench.keys:
            raise InputError(f"{bench.results.roots[0][0]}: no sequence has a result file from every tracker "
                             f"({listing(names)})")
        layout = submissions.choose_layout(bench.trackers, layout, reporter)
        repetitions = submissions.repetitions(bench.trackers, layout, repetition, reporter)
        runs = [(key, k) for key in bench.keys for k in repetitions]
        fused, seconds = {}, {}
        with reporter.progress("fuse", len(runs)) as progress:
            for run, _, tracks in read_runs(bench, runs, reporter):
                start = time.perf_counter()
                fused[run] = fuse_sequence(tracks, weights, trajectory, backtracking, refine, bench.names[run[0]],
                                           reporter, lag, **parameters)
                seconds[run] = time.perf_counter() - start
                progress.step()
        files, held = submissions.fused_files(layout, bench.trackers, bench.keys, bench.names, fused, seconds,
                                              repetitions, reporter)
        folder.record.update({
            "trackers": names, "weights": None if weights is None else dict(zip(names, map(float, weights))),
            "mode": "trajectory optimisation" if trajectory else "frame by frame", "refine": refine,
            "backtracking": backtracking, "layout": layout, **({"lag": lag} if trajectory and lag is not None else {}),
            "parameters": parameters_in_force(parameters), **(provenance or {})})
        for path, data in files:
            folder.write(path, data)
        reporter.note(f"wrote {plural(len(bench.keys), 'sequence')} to {folder.path} in the {held}")
    return len(bench.keys)


def write_fused(output, files, record):
    """Writes (path, bytes) files and the record of how they were made into a folder, all at once.

    `output` is a path, or a folder of the caller's transaction (velmora.outputs.Outputs). A
    path must name a new folder or one velmora wrote that holds nothing else; its old content
    is replaced as a whole.
    """
    with outputs.into_folder(output) as folder:
        folder.record.update(record)
        for path, data in files:
            folder.write(path, data)
