"""Target classes through Python: what each reports and how its arguments
are converted (the surface they share is in test_module; the labels
themselves are checked through TargetPipeline)."""
import pytest

import _sarvek as sv


@pytest.mark.parametrize("make", [
    lambda h: sv.FutureReturn(["close"], h, ["ret"]),
    lambda h: sv.FutureCTCVolatility("close", h),
    lambda h: sv.FutureLinearSlope(["x", "y"], h, ["slope", "r2"]),
])
def test_forward_period_is_the_horizon(make):
    assert make(7).forward_period() == 7


def test_reported_names():
    fr = sv.FutureReturn(("close", "volume"), horizon=5, outputs=["ret", 'we"ird\\'])
    assert fr.input_names() == ["close", "volume"]
    assert fr.output_names() == ["ret", 'we"ird\\']
    # The one output name is derived from the input and the horizon.
    cv = sv.FutureCTCVolatility(input="close", horizon=5)
    assert cv.input_names() == ["close"]
    assert cv.output_names() == ["close_future_ctc_vol_5"]
    assert sv.FutureLinearSlope(["x", "y"], 4, ["b", "r"]).output_names() == ["b", "r"]


@pytest.mark.parametrize(
    "call, exc",
    [
        (lambda: sv.FutureReturn(["c"], -1, ["r"]), OverflowError),
        (lambda: sv.FutureReturn(["c"], 2**64, ["r"]), OverflowError),
        (lambda: sv.FutureReturn(["c"], 2.0, ["r"]), TypeError),
        (lambda: sv.FutureReturn(["c"], None, ["r"]), TypeError),
        (lambda: sv.FutureReturn("close", 2, ["r"]), TypeError),
        (lambda: sv.FutureReturn(["c", 1], 2, ["r"]), TypeError),
        (lambda: sv.FutureReturn(["c"], 2), TypeError),
        (lambda: sv.FutureReturn(["c"], 2, ["r"], horizon=3), TypeError),
        (lambda: sv.FutureCTCVolatility(["close"], 2), TypeError),
        (lambda: sv.FutureCTCVolatility("close", 2, ["out"]), TypeError),
        (lambda: sv.FutureCTCVolatility("close", outputs=["o"], horizon=2), TypeError),
        (lambda: sv.FutureCTCVolatility("\ud800", 2), UnicodeEncodeError),
        (lambda: sv.FutureLinearSlope(["x", "\ud800"], 2, ["a", "b"]), UnicodeEncodeError),
    ],
)
def test_conversion_errors(call, exc):
    with pytest.raises(exc):
        call()


def test_conversion_messages_name_the_parameter():
    with pytest.raises(TypeError, match=r"^argument 'inputs': Can't extract `str` to `Vec`$"):
        sv.FutureReturn("close", 2, ["r"])
    with pytest.raises(TypeError, match=r"^argument 'input': 'list' object cannot be converted to 'PyString'$"):
        sv.FutureCTCVolatility(["close"], 2)
    with pytest.raises(TypeError, match=r"^argument 'horizon'"):
        sv.FutureLinearSlope(["x", "y"], 2.0, ["a", "b"])


def test_index_objects_are_horizons():
    class Two:
        def __index__(self):
            return 2

    assert sv.FutureLinearSlope(["x", "y"], Two(), ["a", "b"]).forward_period() == 2
    assert sv.FutureReturn(["c"], True, ["r"]).forward_period() == 1
    assert sv.FutureCTCVolatility("c", 2**64 - 1).output_names() == ["c_future_ctc_vol_18446744073709551615"]
