"""The benchmark layer: tracker results and annotations from folders, scored and fused.

The command line is a thin layer over these functions; they serve a notebook as well::

    from velmora import benchmark
    results = benchmark.find_results(["results/LaSOT"])
    annotations = benchmark.find_annotations("LaSOT/annos")
    scores = benchmark.evaluate(results, annotations)
    for tracker in scores.trackers:
        print(tracker.name, tracker.auc, tracker.precision20)

Every function reports what it read or assumed, and its warnings, through a Reporter (by
default one that writes warnings to standard error and keeps quiet otherwise). The fusion
parameters alpha, beta and sigma are passed to the library for each call only.
"""

from ..layouts import find_annotations, find_results
from ..metrics import PROTOCOLS
from ..textfiles import InputError
from .reading import Truth, read_truth, ReadLog, read_result
from .matching import Benchmark, match, register_inputs, describe
from .scoring import TrackerScore, Evaluation, evaluate, by_attribute, Strip, sequence_strips
from .fusing import fuse_sequence
from .fused import fuse_files, fuse_results, write_fused
from .learning import DataSet, build_dataset, learn_weights, learn_weights_streaming, Selection, select_trackers
from .heldout import folds, split, Fold, HeldOut, crossval
from .jobs import (UsageError, Request, FuseRequest, EvalRequest, WeightsRequest, SelectRequest,
                   CrossvalRequest, fuse_job, fuse_files_job, eval_job, weights_job, select_job, crossval_job)

__all__ = [
    "find_results", "find_annotations", "PROTOCOLS", "Truth", "read_truth", "Benchmark", "match", "register_inputs",
    "describe",
    "evaluate", "Evaluation", "TrackerScore", "by_attribute", "Strip", "sequence_strips", "fuse_sequence",
    "fuse_results", "write_fused", "DataSet", "build_dataset", "learn_weights", "learn_weights_streaming",
    "Selection", "select_trackers", "folds",
    "split", "Fold", "HeldOut", "crossval", "UsageError", "fuse_files", "Request", "FuseRequest", "EvalRequest",
    "WeightsRequest", "SelectRequest", "CrossvalRequest", "fuse_job", "fuse_files_job", "eval_job", "weights_job",
    "select_job", "crossval_job",
]
