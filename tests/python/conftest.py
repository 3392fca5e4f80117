"""Shared by the Python tests: every test starts from the library's initial parameters."""
import numpy as np
import pytest

import velmora

DEFAULTS = {"alpha": 4.0, "beta": 20.0, "gamma": -1, "sigma": np.float32(0.03).item()}


@pytest.fixture(autouse=True)
def default_parameters():
    velmora.set_params(**DEFAULTS)
    yield
    velmora.set_params(**DEFAULTS)
