import pickle
import weakref

import pytest

import _sarvek as sv

TARGETS = [sv.FutureReturn, sv.FutureCTCVolatility, sv.FutureLinearSlope]


def make(cls, horizon=3):
    if cls is sv.FutureCTCVolatility:
        return cls("close", horizon)
    if cls is sv.FutureLinearSlope:
        return cls(["x", "y"], horizon, ["slope", "r2"])
    return cls(["close"], horizon, ["ret"])


def test_registration_order():
    names = sv.__all__
    idx = [names.index(c) for c in ("FutureReturn", "FutureCTCVolatility", "FutureLinearSlope")]
    assert idx == sorted(idx) and idx[2] - idx[0] == 2
    assert names[-1] == "TargetPipeline"


@pytest.mark.parametrize(
    "cls, signature, doc, output_doc",
    [
        (sv.FutureReturn, "(inputs, horizon, outputs)", "Future simple return over ``horizon`` bars.",
         "Output column names."),
        (sv.FutureCTCVolatility, "(input, horizon)", "Future close-to-close realized volatility.",
         "Output column names."),
        (sv.FutureLinearSlope, "(inputs, horizon, outputs)",
         "Future OLS slope and R\u00b2 of y on x over the next ``horizon`` bars.",
         "Output column names (slope, r2)."),
    ],
)
def test_class_surface(cls, signature, doc, output_doc):
    assert cls.__module__ == "sarvek"
    assert cls.__qualname__ == cls.__name__
    assert cls.__text_signature__ == signature
    assert cls.__doc__ == doc
    methods = [m for m in vars(cls) if not m.startswith("__")]
    assert methods == ["input_names", "output_names", "forward_period"]
    for name, mdoc in [("input_names", "Input column names."), ("output_names", output_doc),
                       ("forward_period", "Number of bars at the end that will be ``NaN``.")]:
        assert getattr(cls, name).__text_signature__ == "($self)"
        assert getattr(cls, name).__doc__ == mdoc
    obj = make(cls)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(TypeError):
        pickle.dumps(obj)
    assert not hasattr(obj, "compute")
    with pytest.raises(TypeError):
        cls.input_names(sv.Sma(["c"], 2, ["o"]))


@pytest.mark.parametrize("cls", TARGETS)
def test_reported_configuration(cls):
    t = make(cls, horizon=7)
    assert t.forward_period() == 7
    a, b = t.input_names(), t.input_names()
    assert a == b and a is not b
    a.append("changed")
    assert t.input_names() == b


def test_names_and_reprs():
    fr = sv.FutureReturn(("close", "volume"), horizon=5, outputs=["ret", 'we"ird\\'])
    assert fr.input_names() == ["close", "volume"]
    assert fr.output_names() == ["ret", 'we"ird\\']
    assert repr(fr) == 'FutureReturn(inputs=["close", "volume"], horizon=5, outputs=["ret", "we\\"ird\\\\"])'

    cv = sv.FutureCTCVolatility(input="close", horizon=5)
    assert cv.input_names() == ["close"]
    assert cv.output_names() == ["close_future_ctc_vol_5"]
    assert repr(cv) == 'FutureCTCVolatility(input="close", horizon=5)'
    assert repr(sv.FutureCTCVolatility("it's\t", 2)) == 'FutureCTCVolatility(input="it\'s\\t", horizon=2)'

    fl = sv.FutureLinearSlope(["x", "y"], 4, ["b", "r"])
    assert fl.output_names() == ["b", "r"]
    assert repr(fl) == 'FutureLinearSlope(inputs=["x", "y"], horizon=4, outputs=["b", "r"])'


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: sv.FutureReturn([], 0, []), "inputs must not be empty"),
        (lambda: sv.FutureReturn(["c"], 0, []), "horizon must be > 0"),
        (lambda: sv.FutureReturn(["c"], 1, []), "outputs must not be empty"),
        (lambda: sv.FutureCTCVolatility("", 0), "input must not be empty"),
        (lambda: sv.FutureCTCVolatility("c", 0), "horizon must be > 0"),
        (lambda: sv.FutureLinearSlope(["x"], 1, ["a", "b", "c"]), "inputs must contain x and y columns"),
        (lambda: sv.FutureLinearSlope(["x", ""], 1, []), "input names must not be empty"),
        (lambda: sv.FutureLinearSlope(["x", "y"], 1, ["a", "b", "c"]), "horizon must be >= 2"),
        (lambda: sv.FutureLinearSlope(["x", "y"], 2, ["a"]), "outputs must contain exactly 2 names: [slope, r2]"),
    ],
)
def test_configuration_errors(call, message):
    with pytest.raises(ValueError) as err:
        call()
    assert type(err.value) is ValueError
    assert str(err.value) == "Invalid input: " + message


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
