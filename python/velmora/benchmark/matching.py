"""Matching the results of every tracker with each other and with the annotation."""

import collections
import collections.abc
import os
from dataclasses import dataclass

import numpy as np

from .. import layouts, textfiles
from ..textfiles import InputError
from ..messages import Reporter
from ..outputs import Inputs
from .common import listing, plural


@dataclass
class Benchmark:
    """Results matched with their annotation: the sequences every tracker has, in name order."""

    results: layouts.Results
    annotations: layouts.Annotations  # or None
    keys: list
    names: dict  # sequence key -> the name outputs use
    corners: bool = False  # read a first line that matches the annotation only as corners so

    @property
    def trackers(self):
        return self.results.trackers


def _spelling(results, key, annotations):
    """The annotation's spelling of a sequence name, else the one most trackers use."""
    if annotations is not None and key in annotations.sequences:
        return annotations.sequences[key].name
    spellings = collections.Counter(t.sequences[key].name for t in results.trackers if key in t.sequences)
    return spellings.most_common(1)[0][0]  # among equals, the first tracker's


def match(results, annotations=None, reporter=None, trackers=None, first_line_corners=False, sequences=None):
    """The sequences that every tracker has (and that are annotated, when an annotation is given).

    `trackers` (names, in order) restricts and orders the trackers. `sequences` (names, as a
    sequence list gives them) restricts the sequences: every tracker must have each of them.
    `first_line_corners` reads a result's first line as corners x1, y1, x2, y2 where only that
    reading matches the annotation. Folders given in each other's place are refused. Sequences
    that only some trackers have, annotated sequences without results and result files without
    annotation are reported; nothing is guessed.
    """
    from .. import sequences as lists
    reporter = reporter or Reporter(quiet=True)
    if trackers is not None:
        known = {t.name: t for t in results.trackers}
        unknown = [n for n in trackers if n not in known]
        if unknown:
            raise InputError(f"no tracker named {listing(unknown)} (known: {listing(sorted(known), 10)})")
        results = layouts.Results([known[n] for n in trackers], results.roots)
    if not results.trackers:
        raise InputError("no tracker to read")
    if annotations is not None:
        lists.check_roles(results, annotations)
    if sequences is not None:
        everywhere = set(lists.listed_keys(sequences, results, annotations))
    else:
        if annotations is not None:
            annotated = set(annotations.sequences)
            for tracker in results.trackers:
                extra = sorted(set(tracker.sequences) - annotated)
                if extra:
                    reporter.warn(f"tracker {tracker.name!r}: {plural(len(extra), 'result file')} match no "
                                  f"annotated sequence: {listing(tracker.sequences[k].name for k in extra)}")
        everywhere = lists.report_coverage(results, annotations, lambda k: _spelling(results, k, annotations),
                                           reporter)
    names = {key: _spelling(results, key, annotations) for key in everywhere}
    keys = sorted(everywhere, key=lambda k: (names[k].lower(), names[k]))
    for first, second in lists.identical_trackers(results.trackers, keys):
        reporter.warn(f"trackers {first.name!r} and {second.name!r} have byte-identical result files "
                      f"({first.folder}, {second.folder}): fused, they count as two trackers")
    return Benchmark(results, annotations, keys, names, first_line_corners)


def register_inputs(bench, inputs=None, use_flags=True, files=(), attributes=None):
    """Every file and folder that reading `bench` touches, for the checks of the outputs; also the
    other `files` a command reads, and its `attributes` (a folder of attribute files, or a file)."""
    inputs = inputs or Inputs()
    for path, what in bench.results.roots:
        inputs.folder(path, what)
    for tracker in bench.trackers:
        inputs.folder(tracker.folder, f"the results of tracker {tracker.name}", tracker=True)
        for result in tracker.sequences.values():
            for path in result.runs + result.times:
                inputs.file(path)
    if bench.annotations is not None:
        inputs.folder(bench.annotations.root, "the annotation")
        for sequence in bench.annotations.sequences.values():
            inputs.file(sequence.path)
            for path in (sequence.flag_paths if use_flags else ()) + tuple(
                    p for p in (sequence.cover_path, sequence.attribute_path, sequence.meta_path) if p):
                inputs.file(path)
    for path in files:
        inputs.file(path)
    if attributes:
        if os.path.isdir(attributes):
            inputs.folder(attributes, "the attributes")
        else:
            inputs.file(attributes)
    return inputs


def describe(bench, absent=None):
    """What was read, in two lines: the results and their layouts, the annotation and its flags.

    `absent` is (frames flagged absent, NaN annotation lines) when known; otherwise the absence
    flags of the matched sequences are counted here (without reading their boxes).
    """
    if absent is None and bench.annotations is not None:
        flagged = 0
        for key in bench.keys:
            paths = bench.annotations.sequences[key].flag_paths
            if paths:
                flags = [textfiles.read_flags(p) for p in paths]
                if len({len(f) for f in flags}) > 1:
                    raise InputError(f"{paths[0]}: {len(flags[0])} flags, but {paths[1]} holds {len(flags[1])}")
                flagged += int(np.logical_or.reduce(flags).sum())
        absent = (flagged, 0)
    trackers = bench.trackers
    layouts_seen = ", ".join(sorted({t.layout for t in trackers}))
    repetitions = sorted({t.repetitions for t in trackers})
    reps = "1 repetition" if repetitions == [1] else \
        f"{'-'.join(str(r) for r in (repetitions[0], repetitions[-1]) if r)} repetitions"
    roots = "; ".join(f"{path} ({what})" for path, what in bench.results.roots)
    lines = [f"read {plural(len(trackers), 'tracker')} ({layouts_seen} layout) from {roots}: "
             f"{plural(len(bench.keys), 'sequence')}, {reps}"]
    prefixed = [t.name for t in trackers if t.prefix]
    if prefixed:
        lines[0] += f"; data-set prefix taken off the file names of {listing(prefixed)}"
    if bench.annotations is not None:
        text = f"annotation: {bench.annotations.layout} layout in {bench.annotations.root}"
        if absent is not None:
            flagged, nan_lines = absent
            text += f"; {plural(flagged, 'frame')} flagged absent"
            if nan_lines:
                text += f", {plural(nan_lines, 'NaN annotation line')} taken as absent"
        lines.append(text)
    return lines


def _selected(bench, selection):
    """The benchmark restricted to the trackers named in `selection`, in tracker order."""
    if selection is None:
        return bench
    known = {t.name for t in bench.trackers}
    unknown = [n for n in selection if n not in known]
    if unknown:
        raise InputError(f"selection: no tracker named {listing(unknown)} (known: {listing(sorted(known), 10)})")
    chosen = set(selection)
    results = layouts.Results([t for t in bench.trackers if t.name in chosen], bench.results.roots)
    return Benchmark(results, bench.annotations, bench.keys, bench.names, bench.corners)


def weight_list(weights, names, where="weights"):
    """Weights as a list in the order of `names`: from a mapping of tracker names (what learn_weights
    and a weights file give), or from a sequence already in that order. `where` names them in errors."""
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


def fused_trackers(bench, selection=None, weights=None):
    """The benchmark restricted to the trackers of `selection` (all without one), and their weights
    as a list in that order (None without weights). `weights` as weight_list takes them, for every
    tracker of `bench`."""
    weights = weight_list(weights, [t.name for t in bench.trackers])
    if selection is None:
        return bench, weights
    index = {t.name: i for i, t in enumerate(bench.trackers)}
    bench = _selected(bench, selection)
    return bench, None if weights is None else [weights[index[t.name]] for t in bench.trackers]
