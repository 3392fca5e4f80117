"""Fusing result trees: sequence by sequence, into a tracker folder of a benchmark's layout."""

import collections.abc
import time

import numpy as np

from .. import metrics, outputs
from ..textfiles import InputError
from ..messages import Reporter
from .common import library, listing, plural, stretches
from .matching import _selected, register_inputs
from .reading import ReadLog, _read_ahead, _read_runs, _sequence_tracks, read_truth


def _constant_stretches(present):
    """(start, end, column) for each run of frames in which the same trackers have a box."""
    frames = present.shape[1]
    changes = np.flatnonzero((present[:, 1:] != present[:, :-1]).any(axis=0)) + 1
    bounds = [0, *changes.tolist(), frames]
    return [(s, e, present[:, s]) for s, e in zip(bounds[:-1], bounds[1:])]


def fuse_sequence(boxes, weights=None, trajectory=False, backtracking=True, refine=True, name="", reporter=None,
                  lag=None, **parameters):
    """Fuses one sequence's tracker boxes, a list of (frames, 4) arrays; returns (frames, 4) float32.

    Frame by frame, a tracker that lost the target (a NaN box, or one without positive size)
    takes no part in that frame: each stretch of frames with the same trackers present is fused
    with those trackers as the selection. A frame in which every tracker lost the target stays
    lost, written as the zero box.

    The trajectory optimisation links frames through one tracker set, so lost boxes take part as
    zero boxes, which attract the others only weakly. It needs a box in every frame, so it runs on
    each stretch of frames between those where every tracker lost the target; where its path
    passes through a lost box, that frame takes the frame-by-frame fusion of the trackers present.
    With a `lag`, the trajectory is what a live run with that lag gives (velmora.streaming).
    `parameters` (alpha, beta, sigma) hold for this call only.
    """
    if trajectory and lag is not None:
        from .. import streaming
        return streaming.fuse_live(boxes, weights, lag, refine, name, reporter or Reporter(quiet=True), **parameters)
    lib = library()
    reporter = reporter or Reporter(quiet=True)
    stack = np.stack([metrics.as_library_boxes(b) for b in boxes])
    trackers, frames = stack.shape[:2]
    present = ~np.stack([metrics.lost_frames(b) for b in stack])
    if weights is not None:
        present &= (np.asarray(weights, dtype=np.float32) != 0)[:, None]  # a weight of 0 attracts nothing
    somebody = present.any(axis=0)
    result = np.zeros((frames, 4), dtype=np.float32)
    if frames == 0:
        return result
    frame_parameters = {k: v for k, v in parameters.items() if k != "beta"}

    def frame_by_frame(start, end, column):
        selection = np.flatnonzero(column).tolist()
        part = np.ascontiguousarray(stack[:, start:end])
        return lib.fuse(part, selection=None if len(selection) == trackers else selection, weights=weights,
                        refine=refine, **frame_parameters)

    if not trajectory:
        for start, end, column in _constant_stretches(present):
            if column.any():
                result[start:end] = frame_by_frame(start, end, column)
    else:
        for start, end in stretches(somebody):
            part = np.ascontiguousarray(stack[:, start:end])
            result[start:end] = lib.fuse_trajectory(part, weights=weights, backtracking=backtracking, refine=refine,
                                                    **parameters)
        stray = np.flatnonzero(somebody & metrics.lost_frames(result))
        for f in stray:
            result[f] = frame_by_frame(f, f + 1, present[:, f])
        if len(stray):
            reporter.warn(f"sequence {name!r}: the trajectory passed through a lost box in "
                          f"{plural(len(stray), 'frame')} (first at line {stray[0] + 1}); "
                          f"{'they take' if len(stray) > 1 else 'it takes'} the frame-by-frame fusion")
    lost = np.flatnonzero(~somebody)
    if len(lost):
        result[lost] = 0.0
        reporter.warn(f"sequence {name!r}: no tracker has a usable box in {plural(len(lost), 'frame')} "
                      f"(first at line {lost[0] + 1}); {'they are' if len(lost) > 1 else 'it is'} written as lost "
                      "(0,0,0,0)")
    return result


def _repetitions(bench, repetition, reporter):
    counts = {t.name: min(len(s.runs) for s in t.sequences.values()) for t in bench.trackers}
    shared = min(counts.values())
    if repetition is not None:
        if not 1 <= repetition <= shared:
            raise InputError(f"--repetition {repetition}: the trackers have {plural(shared, 'repetition')} in "
                             "common")
        return [repetition - 1]
    if max(counts.values()) > 1:
        reporter.note(f"fusing repetition k of every tracker with repetition k, for k = 1 to {shared}")
    return list(range(shared))


def _weight_list(weights, names, where="weights"):
    """Weights as a list in the order of `names`: from a mapping of tracker names (what learn_weights
    gives), or from a sequence already in that order."""
    if weights is None:
        return None
    if isinstance(weights, collections.abc.Mapping):
        missing = [n for n in names if n not in weights]
        if missing:
            raise InputError(f"{where}: no weight for tracker {listing(missing)}")
        return [float(weights[n]) for n in names]
    weights = [float(w) for w in weights]
    if len(weights) != len(names):
        raise InputError(f"{where}: {len(weights)} weights for {plural(len(names), 'tracker')}")
    return weights


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
    weights = _weight_list(weights, [t.name for t in bench.trackers])
    if selection is not None:
        index = {t.name: i for i, t in enumerate(bench.trackers)}
        bench = _selected(bench, selection)
        weights = None if weights is None else [weights[index[t.name]] for t in bench.trackers]
    with outputs.into_folder(output, inputs) as folder:
        return _fuse_into(folder, bench, weights, trajectory, backtracking, refine, repetition, reporter, provenance,
                          layout, lag, parameters)


def _fuse_into(folder, bench, weights, trajectory, backtracking, refine, repetition, reporter, provenance, layout,
               lag, parameters):
    from .. import submissions
    if not bench.keys:
        raise InputError(f"{bench.results.roots[0][0]}: no sequence has a result file from every tracker "
                         f"({listing(t.name for t in bench.trackers)})")
    layout = submissions.choose_layout(bench.trackers, layout, reporter)
    repetitions = _repetitions(bench, repetition, reporter) if layout != "plain" or repetition is not None else [0]
    if layout == "plain" and any(t.repetitions > 1 for t in bench.trackers) and repetition is None:
        reporter.note("fusing the first repetition of every tracker (--repetition chooses another)")
    log = ReadLog()
    jobs = [(key, k) for key in bench.keys for k in repetitions]

    def read(job):
        key, k = job
        truth = None if bench.annotations is None else read_truth(bench.annotations.sequences[key], use_flags=False)
        return job, truth, _read_runs(bench, key, k)

    fused, seconds = {}, {}
    with reporter.progress("fuse", len(jobs)) as progress:
        for (key, k), truth, raw in _read_ahead(jobs, read):
            tracks = _sequence_tracks(bench, raw, log, reporter, truth)
            start = time.perf_counter()
            fused[key, k] = fuse_sequence(tracks, weights, trajectory, backtracking, refine, bench.names[key],
                                          reporter, lag, **parameters)
            seconds[key, k] = time.perf_counter() - start
            progress.step()
    log.report(reporter)
    files = [f for (key, k), boxes in fused.items() for f in submissions.submission_files(layout, bench.names[key],
                                                                                           k, boxes)]
    timed = ""
    if layout == "GOT-10k":
        timing, timed = submissions.timing_files(bench.trackers, bench.keys, bench.names, fused, seconds, repetitions,
                                                 reporter)
        files += timing
    record = {"trackers": [t.name for t in bench.trackers],
              "weights": None if weights is None else dict(zip((t.name for t in bench.trackers), map(float, weights))),
              "mode": "trajectory optimisation" if trajectory else "frame by frame", "refine": refine,
              "backtracking": backtracking, "layout": layout,
              **({"lag": lag} if trajectory and lag is not None else {}),
              "parameters": parameters_in_force(parameters), **(provenance or {})}
    write_fused(folder, files, record)
    reporter.note(f"wrote {plural(len(bench.keys), 'sequence')} to {folder.path} in the "
                  f"{submissions.describe_layout(layout)}{timed}")
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


def parameters_in_force(parameters):
    """The library's parameters as a call with these keywords reads them."""
    values = library().get_params()
    values.update({k: float(v) for k, v in parameters.items() if v is not None})
    return values
