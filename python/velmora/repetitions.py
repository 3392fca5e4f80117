"""Runs with repetitions (GOT-10k, pytracking, VOT): the spread of a tracker's score over them.

The pooled figure of an evaluation averages each sequence's curves over its repetitions (GOT-10k's
AO pools their frames). Beside it, as pytracking reports, each repetition is scored as a data set
of its own, and the mean and standard deviation of those scores say how much a run varies.
"""

from dataclasses import dataclass

import numpy as np

from . import metrics

__all__ = ["Spread", "spread", "spreads"]


@dataclass
class Spread:
    """A tracker's headline measure (AUC, or AO under GOT-10k's protocol) per repetition."""

    tracker: str
    measure: str
    values: list  # one per repetition, each over every sequence
    pooled: float  # the evaluation's own figure, over the repetitions pooled

    @property
    def mean(self):
        return float(np.mean(self.values))

    @property
    def std(self):
        """The standard deviation over the repetitions (numpy's, without Bessel's correction)."""
        return float(np.std(self.values))


def spread(tracker):
    """The Spread of a TrackerScore whose every sequence has two or more repetitions, else None.

    Repetition k of the data set is repetition k of every sequence, for k up to the fewest any
    sequence has.
    """
    runs = getattr(tracker, "runs", None)
    if not runs or min(len(r) for r in runs) < 2:
        return None
    got10k = tracker.protocol.got10k
    values = []
    for k in range(min(len(r) for r in runs)):
        scores = [r[k] for r in runs]
        values.append(metrics.got10k_measures(scores)[0] if got10k else
                      float(metrics.mean_curves(scores, tracker.protocol)[0].mean()))
    return Spread(tracker.name, "AO" if got10k else "AUC", values, tracker.ao if got10k else tracker.auc)


def spreads(evaluation):
    """The Spread of every tracker of an evaluation that has repetitions, best first."""
    return [s for s in (spread(t) for t in evaluation.trackers) if s is not None]
