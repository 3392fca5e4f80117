"""Held-out learning: weights and a selection learnt on some sequences fuse the others, scored beside
the trackers and beside the fusion learnt in sample."""

import io
from dataclasses import dataclass

import numpy as np

from .. import layouts, metrics, textfiles
from ..textfiles import InputError
from ..messages import Reporter
from .common import library, listing, plural
from .fusing import fuse_sequence
from .learning import _Runs
from .matching import Benchmark
from .reading import read_tracks, read_truth
from .scoring import Evaluation, TrackerScore, evaluate, score_track


def folds(bench, k, seed=0):
    """K disjoint folds of the benchmark's sequences: their names in order, shuffled with `seed`, dealt
    out in K nearly equal parts. Returns [(train keys, test keys)], each in name order."""
    if not 2 <= k <= len(bench.keys):
        raise InputError(f"--folds {k}: needs from 2 to {len(bench.keys)} folds for {len(bench.keys)} sequences")
    order = np.random.default_rng(seed).permutation(len(bench.keys))
    splits = []
    for i in range(k):
        test = set(order[i::k].tolist())
        splits.append(([key for j, key in enumerate(bench.keys) if j not in test],
                       [key for j, key in enumerate(bench.keys) if j in test]))
    return splits


def split(bench, train_names, test_names, reporter=None):
    """The one fold of given training and test lists of sequence names: [(train keys, test keys)]."""
    reporter = reporter or Reporter(quiet=True)
    known = {layouts.sequence_key(bench.names[k]): k for k in bench.keys}
    parts = []
    for what, names in (("training", train_names), ("test", test_names)):
        keys = [layouts.sequence_key(n) for n in names]
        missing = [n for n, k in zip(names, keys) if k not in known]
        if missing:
            reporter.warn(f"{plural(len(missing), 'sequence')} of the {what} list have no results from every "
                          f"tracker: {listing(missing)}")
        parts.append(sorted({known[k] for k in keys if k in known}, key=bench.keys.index))
    both = set(parts[0]) & set(parts[1])
    if both:
        raise InputError(f"the training and test lists share {plural(len(both), 'sequence')}: "
                         f"{listing(bench.names[k] for k in sorted(both, key=bench.keys.index))}")
    if not parts[0] or not parts[1]:
        raise InputError("the training or the test list names no sequence that every tracker has")
    return [tuple(parts)]


@dataclass
class Fold:
    train: list  # sequence names
    test: list
    weights: dict  # tracker name -> weight
    selection: list  # tracker names kept


@dataclass
class HeldOut:
    """Held-out fusion beside every tracker and beside the in-sample fusion."""

    evaluation: Evaluation  # the single trackers, the held-out and the in-sample fused tracks
    folds: list  # Fold per fold
    fused: dict  # sequence key -> the held-out fused track (float32)


def crossval(bench, splits, trajectory=False, backtracking=True, refine=True, select=True, use_flags=True,
             protocol="pysot", name="Velmora", reporter=None, timelines=False, **parameters):
    """Learns weights and a selection on each split's training sequences, fuses its test sequences with
    them, and scores the fused tracks beside every tracker, beside the in-sample fusion (learnt on
    the very sequences scored, which flatters it) and beside the untuned fusion (every tracker,
    equal weights, nothing learnt), which shows what learning brings.

    The learning data are read once for all parts; each training part's library data set is made
    from them. `timelines` as in evaluate.
    """
    reporter = reporter or Reporter(quiet=True)
    protocol = metrics.PROTOCOLS[protocol] if isinstance(protocol, str) else protocol
    for number, (train, test) in enumerate(splits, 1):
        shared = set(train) & set(test)
        if shared:  # a held-out score of sequences learnt on is no held-out score
            raise InputError(f"fold {number}: the training and test parts share {plural(len(shared), 'sequence')}: "
                             f"{listing(sorted(bench.names[k] for k in shared))}; they must be disjoint")
    lib = library()
    scored = sorted({k for _, test in splits for k in test}, key=bench.keys.index)
    wanted = set(scored) | {k for train, _ in splits for k in train}
    subset = Benchmark(bench.results, bench.annotations, [k for k in bench.keys if k in wanted], bench.names,
                       bench.corners)
    # The runs of usable frames of every sequence, read once for all the training parts.
    stacks = {layouts.sequence_key(sequence): (sequence_runs, annotation)
              for sequence, sequence_runs, annotation in _Runs(subset, use_flags, trajectory, reporter)}
    truths = {k: read_truth(bench.annotations.sequences[k], use_flags) for k in scored}
    frame_parameters = {k: v for k, v in parameters.items() if k != "beta"}

    def learn(keys):
        held = lib.DataSet()
        for key in keys:
            if key in stacks:
                held.add(*stacks[key])
        if not len(held):
            raise InputError("a training part has no sequence with usable frames")
        weights = [float(w) for w in lib.tracker_weights(held, **frame_parameters)[:len(bench.trackers)]]
        kept = list(range(len(bench.trackers)))
        if select:
            kept = list(lib.global_removal(held, weights=weights, trajectory=trajectory, **parameters)) or kept
        return weights, kept

    def fuse(keys, weights, kept, fused, say=reporter):
        for key in keys:
            tracks = read_tracks(bench, key, truths[key], say)
            fused[key] = fuse_sequence([tracks[i] for i in kept], [weights[i] for i in kept], trajectory,
                                       backtracking, refine, bench.names[key], say, **parameters)

    held_out, folds_made = {}, []
    with reporter.progress("crossval", len(splits)) as progress:
        for train, test in splits:
            weights, kept = learn(train)
            fuse(test, weights, kept, held_out)
            folds_made.append(Fold([bench.names[k] for k in train], [bench.names[k] for k in test],
                                   {t.name: w for t, w in zip(bench.trackers, weights)},
                                   [bench.trackers[i].name for i in kept]))
            progress.step()
    # The same sequences fused again: what their fusion said is not said twice.
    again = Reporter(quiet=True, stream=io.StringIO())
    in_sample, untuned = {}, {}
    weights, kept = learn(scored)
    fuse(scored, weights, kept, in_sample, again)
    everyone = list(range(len(bench.trackers)))
    fuse(scored, [1.0] * len(everyone), everyone, untuned, again)

    single = evaluate(Benchmark(bench.results, bench.annotations, scored, bench.names, bench.corners), use_flags,
                      reporter, protocol, timelines=timelines)
    rows = list(single.trackers)
    for label, tracks, record in (
            (f"{name} (held-out)", held_out, {"learnt on": "the other sequences"}),
            (f"{name} (in-sample)", in_sample, {"learnt on": "the sequences scored", "weights": dict(
                zip((t.name for t in bench.trackers), weights)), "selection": [bench.trackers[i].name for i in kept]}),
            (f"{name} (untuned)", untuned, {"learnt on": "nothing: every tracker, each with weight 1"})):
        # Scored as written: the numbers of the files -o writes, which eval then reads.
        measured = [score_track(textfiles.as_written(tracks[k]), truths[k].boxes, truths[k].absent, truths[k].visible,
                                 truths[k].bound, protocol, bench.names[k], timelines) for k in scored]
        rows.append(TrackerScore(label, [m[0] for m in measured], [m[1] for m in measured], protocol, [], True,
                                 record))
    evaluation = Evaluation(protocol.ranked(rows), [bench.names[k] for k in scored], single.flagged,
                            single.nan_lines, protocol)
    return HeldOut(evaluation, folds_made, held_out)

