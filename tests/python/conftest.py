import math

import pytest

import _sarvek


def is_nan_list(values):
    return all(isinstance(v, float) and math.isnan(v) for v in values)


@pytest.fixture
def sarvek():
    return _sarvek
