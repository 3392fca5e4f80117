"""What every job of the benchmark layer shares: the library and its parameters, and how a message counts and
lists."""

import numpy as np

from ..messages import listing  # noqa: F401 (what every job's messages use)
from ..textfiles import InputError


def library():
    import velmora  # the package's own functions, which check their input
    return velmora


def parameters_in_force(parameters):
    """The library's parameters as a call with these keywords reads them."""
    values = library().get_params()
    values.update({k: float(v) for k, v in parameters.items() if v is not None})
    return values


def plural(n, noun, plural=None):
    return f"{n:,} {noun if n == 1 else plural or noun + 's'}"


def stretches(mask):
    """(start, end) of each run of True in a bool array."""
    edges = np.flatnonzero(np.diff(np.concatenate(([0], mask.astype(np.int8), [0]))))
    return list(zip(edges[0::2], edges[1::2]))


def require_plotting(option):
    """Refuses an option that draws plots (InputError, one line naming the package to install) when
    matplotlib cannot be imported; a command calls it before any work."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise InputError(f"{option} draws plots, which need matplotlib: install Debian's python3-matplotlib "
                         "(or matplotlib with pip)") from None
