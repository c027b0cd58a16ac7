"""Module conventions and the surface every class shares: one table over
all fifteen classes, then the argument rules exercised through Sma."""
import gc
import math
import pickle
import re
import sys
import unicodedata
import weakref
from collections import namedtuple

import pytest

import _sarvek as sv
from _sarvek import Sma

nan = float("nan")


def feed(feature, values):
    return [feature.update([v])[0] for v in values]


def same(a, b):
    """Equal lists where NaN matches NaN."""
    return len(a) == len(b) and all((math.isnan(x) and math.isnan(y)) or x == y for x, y in zip(a, b))


# ------------------------------------------------------------ the classes

UPDATE_A = "Process one bar. Returns ``[NaN]`` during warm-up or on ``NaN`` input."
UPDATE_B = "Process one bar. Returns ``[NaN]`` during warm-up or on invalid input."
UPDATE_C = "Process one bar. Returns ``[slope, r2]``, ``NaN`` during warm-up."
OHLC = ["high", "low", "open", "close"]

# inputs: the columns the feature reads; warm_up: warm-up period minus
# window; width: values in every result, whatever the number of outputs.
Feat = namedtuple("Feat", "doc update_doc inputs min_window warm_up outputs width")
FEATURES = {
    sv.Sma: Feat("Simple Moving Average over a rolling window.", UPDATE_A, ["x"], 1, -1, ["a", "b", "c"], 1),
    sv.Ema: Feat("Exponential Moving Average with SMA seeding.", UPDATE_A, ["x"], 1, -1, ["a", "b", "c"], 1),
    sv.Kama: Feat("Kaufman's Adaptive Moving Average.", UPDATE_A, ["x"], 1, 0, ["a", "b"], 1),
    sv.SimpleReturn: Feat("Simple (arithmetic) return over a configurable lookback window.", UPDATE_A, ["x"], 1, 0,
                          ["a", "b"], 1),
    sv.LogReturn: Feat("Log return over a configurable lookback window.", UPDATE_A, ["x"], 1, 0, ["a", "b"], 1),
    sv.Skewness: Feat("Rolling sample skewness (Fisher-Pearson corrected).", UPDATE_A, ["x"], 3, -1, ["a", "b"], 1),
    sv.Kurtosis: Feat("Rolling excess kurtosis (Fisher).", UPDATE_A, ["x"], 4, -1, ["a", "b"], 1),
    sv.LinearSlope: Feat("Rolling OLS regression: slope and R\u00b2 of y on x over a sliding window.", UPDATE_C,
                         ["x", "y"], 2, -1, ["s", "r"], 2),
    sv.ParkinsonVolatility: Feat("Rolling Parkinson volatility estimator (high/low).", UPDATE_B, ["high", "low"],
                                 1, -1, ["a", "b"], 1),
    sv.RogersSatchellVolatility: Feat("Rolling Rogers-Satchell volatility estimator (OHLC).", UPDATE_B, OHLC, 1, -1,
                                      ["a", "b"], 1),
}


def feature_methods(update_doc):
    return [
        ("update", "($self, values)", update_doc),
        ("reset", "($self)", "Reset internal state (e.g. between CPCV splits)."),
        ("input_names", "($self)", "Input column names."),
        ("output_names", "($self)", "Output column names."),
        ("warm_up_period", "($self)", "Number of bars before the first valid output."),
    ]


def target_methods(output_doc="Output column names."):
    return [
        ("input_names", "($self)", "Input column names."),
        ("output_names", "($self)", output_doc),
        ("forward_period", "($self)", "Number of bars at the end that will be ``NaN``."),
    ]


# Every class in registration order: text signature, docstring, methods in
# method-table order with their text signatures and docstrings.
SURFACE = {
    cls: ("(inputs, window, outputs)", f.doc, feature_methods(f.update_doc)) for cls, f in FEATURES.items()
}
SURFACE[sv.Kama] = ("(inputs, window, outputs, fast=2, slow=30)",) + SURFACE[sv.Kama][1:]
SURFACE.update({
    sv.FutureReturn: ("(inputs, horizon, outputs)", "Future simple return over ``horizon`` bars.", target_methods()),
    sv.FutureCTCVolatility: ("(input, horizon)", "Future close-to-close realized volatility.", target_methods()),
    sv.FutureLinearSlope: ("(inputs, horizon, outputs)",
                           "Future OLS slope and R\u00b2 of y on x over the next ``horizon`` bars.",
                           target_methods("Output column names (slope, r2).")),
    sv.FeaturePipeline: (
        "(features, input_columns)",
        "Orchestrates features in DAG-resolved order.\n\n"
        "Features are resolved automatically \u2014 pass them in any order.\n"
        "Use ``run_research()`` for batch mode or ``update()`` for live mode.",
        [
            ("update", "($self, values)",
             "Process one bar (live mode).\n\nArgs:\n"
             "    values: One float per input column. Use ``float('nan')`` for missing.\n\n"
             "Returns:\n    Flat list of output values matching ``output_names()``."),
            ("run_research", "($self, data)",
             "Process a full dataset bar by bar (research mode).\n\nArgs:\n"
             "    data: List of bars, each bar is a list of input values.\n\n"
             "Returns:\n    List of bars, each bar is a list of output values."),
            ("reset", "($self)", "Reset all features (e.g. between CPCV splits)."),
            ("output_names", "($self)", "Output column names in execution order."),
            ("input_names", "($self)", "Input columns in the order expected by ``update()``."),
            ("warm_up_period", "($self)", "Maximum warm-up period across all features."),
        ],
    ),
    sv.TargetPipeline: (
        "(targets, input_columns)",
        "Orchestrates multiple targets over a full dataset.\n\n"
        "Targets are stateless and independent \u2014 no DAG needed.\n"
        "Use ``run_research()`` to label an entire dataset at once.",
        [
            ("run_research", "($self, data)",
             "Run all targets over the full dataset (research mode).\n\nArgs:\n"
             "    data: One list per input column, each containing one float per bar.\n"
             "          Use ``float('nan')`` for missing values.\n\n"
             "Returns:\n    One list per output column, in ``output_names()`` order."),
            ("output_names", "($self)", "Output column names, in order."),
            ("input_names", "($self)", "Input columns in the order expected by ``run_research()``."),
            ("forward_period", "($self)", "Maximum forward period across all targets."),
        ],
    ),
})
CLASSES = list(SURFACE)
PIPELINES = (sv.FeaturePipeline, sv.TargetPipeline)
ARGS = {"update": ([1.0],), "run_research": ([[1.0]],)}  # arguments a method needs


def make(cls):
    """A valid instance of any class."""
    if cls in FEATURES:
        f = FEATURES[cls]
        return cls(f.inputs, f.min_window + 2, f.outputs)
    return {
        sv.FutureReturn: lambda: cls(["close"], 3, ["ret"]),
        sv.FutureCTCVolatility: lambda: cls("close", 3),
        sv.FutureLinearSlope: lambda: cls(["x", "y"], 3, ["slope", "r2"]),
        sv.FeaturePipeline: lambda: cls([Sma(["c"], 2, ["s"])], ["c", "d"]),
        sv.TargetPipeline: lambda: cls([sv.FutureReturn(["c"], 1, ["r"])], ["c", "d"]),
    }[cls]()


def bar_for(reads, i):
    """A plausible bar of `reads` values (high, low, open, close for four)
    that differs from bar to bar."""
    base = 100.0 + 3.0 * math.sin(i) + 0.1 * i
    return [base + 2.0, base - 2.0, base + 1.0, base - 0.5][:reads] if reads > 1 else [base]


# ---------------------------------------------------------------- module


def test_module_basics():
    assert sv.__doc__ == ""
    assert sv.__all__ == [cls.__name__ for cls in CLASSES]
    assert all(getattr(sv, cls.__name__) is cls for cls in CLASSES)


def test_the_collector_sees_the_types_the_module_state_holds():
    # The state's references are reported to the collector directly, not
    # only through the module's __dict__, so a cycle through them can be
    # found.
    held = {id(o) for o in gc.get_referents(sv)}
    assert all(id(cls) in held for cls in [*CLASSES, sv._Result])


def test_reimport_gives_the_same_module():
    first = sys.modules.pop("_sarvek")
    try:
        import _sarvek as again

        assert again is first
    finally:
        sys.modules["_sarvek"] = first


def test_second_interpreter_is_refused():
    subinterpreters = pytest.importorskip("_xxsubinterpreters")
    interp = subinterpreters.create()
    try:
        code = f"import sys; sys.path[:0] = {sys.path!r}; import _sarvek"
        with pytest.raises(subinterpreters.RunFailedError, match="ImportError"):
            subinterpreters.run_string(interp, code)
    finally:
        subinterpreters.destroy(interp)


# ------------------------------------------------------ every class alike


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_surface(cls):
    sig, doc, methods = SURFACE[cls]
    assert cls.__module__ == "sarvek"
    assert cls.__name__ == cls.__qualname__
    assert cls.__text_signature__ == sig
    assert cls.__doc__ == doc
    assert [m for m in vars(cls) if not m.startswith("_")] == [name for name, _, _ in methods]
    for name, msig, mdoc in methods:
        assert (getattr(cls, name).__text_signature__, getattr(cls, name).__doc__) == (msig, mdoc), name
    slots = {m for m in vars(cls) if m.startswith("__")} - {"__doc__", "__module__"}
    assert slots == ({"__new__", "__len__"} if cls in PIPELINES else {"__new__", "__repr__"})


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_instances_are_closed(cls):
    obj = make(cls)
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(AttributeError):
        obj.anything = 1
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        with pytest.raises(TypeError):
            pickle.dumps(obj, protocol)
    assert obj == obj and obj != make(cls) and hash(obj) == hash(obj)
    # A method called through the class checks its receiver, also against
    # another class of this module.
    for stranger in (5, make(sv.FutureReturn if cls is sv.Sma else sv.Sma)):
        for name, _, _ in SURFACE[cls][2]:
            with pytest.raises(TypeError):
                getattr(cls, name)(stranger, *ARGS.get(name, ()))


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_name_lists_are_fresh_copies(cls):
    obj = make(cls)
    for method in (obj.input_names, obj.output_names):
        first, second = method(), method()
        assert type(first) is list and all(type(n) is str for n in first)
        assert first == second and first is not second
        first.append("zzz")
        assert method() == second


FEATURE_NAMES = ['a"b', "it's", "tab\t", "e\u0301"]
RENDERED = ['"a\\"b"', '"it\'s"', '"tab\\t"', '"e\\u{301}"']


def repr_case(cls):
    if cls in FEATURES:
        n = max(2, len(FEATURES[cls].inputs))
        return (lambda: cls(FEATURE_NAMES[:n], 12, ["o\\1", "o2"]),
                f'{cls.__name__}(inputs=[{", ".join(RENDERED[:n])}], window=12, outputs=["o\\\\1", "o2"])')
    return {
        sv.FutureReturn: (lambda: cls(("close", "volume"), 5, ["ret", 'we"ird\\']),
                          'FutureReturn(inputs=["close", "volume"], horizon=5, outputs=["ret", "we\\"ird\\\\"])'),
        sv.FutureCTCVolatility: (lambda: cls("it's\t", 2), 'FutureCTCVolatility(input="it\'s\\t", horizon=2)'),
        sv.FutureLinearSlope: (lambda: cls(["x", "y"], 4, ["b", "r"]),
                               'FutureLinearSlope(inputs=["x", "y"], horizon=4, outputs=["b", "r"])'),
        sv.FeaturePipeline: (lambda: make(cls), re.compile(r"<sarvek\.FeaturePipeline object at 0x[0-9a-f]+>")),
        sv.TargetPipeline: (lambda: make(cls), re.compile(r"<sarvek\.TargetPipeline object at 0x[0-9a-f]+>")),
    }[cls]


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_repr(cls):
    build, expected = repr_case(cls)
    text = repr(build())
    if isinstance(expected, str):
        assert text == expected
    else:
        assert expected.fullmatch(text), text


# --------------------------------------------------- every feature alike


@pytest.mark.parametrize("cls", list(FEATURES), ids=lambda c: c.__name__)
def test_feature_stream_width_and_reset(cls):
    f = FEATURES[cls]
    window = f.min_window + 3
    feature = cls(inputs=f.inputs + ["extra"], window=window, outputs=f.outputs)
    assert feature.input_names() == f.inputs + ["extra"]
    assert feature.output_names() == f.outputs
    warm_up = feature.warm_up_period()
    assert warm_up == window + f.warm_up
    bars = [bar_for(len(f.inputs), i) + [-7.0] for i in range(3 * window)]
    first = [feature.update(values=b) for b in bars]
    # One result of a fixed width per bar, floats only, NaN while warming up.
    assert all(len(out) == f.width and all(type(v) is float for v in out) for out in first)
    assert all(math.isnan(v) for out in first[:warm_up] for v in out)
    assert not any(math.isnan(v) for out in first[warm_up:] for v in out)
    # reset() gives a just-built feature: the same bars replay bit for bit.
    feature.reset()
    assert repr([feature.update(b) for b in bars]) == repr(first)


@pytest.mark.parametrize("cls", list(FEATURES), ids=lambda c: c.__name__)
def test_refused_update_changes_nothing(cls):
    f = FEATURES[cls]
    reads, window = len(f.inputs), f.min_window + 2
    feature, twin = cls(f.inputs, window, ["o", "p"]), cls(f.inputs, window, ["o", "p"])
    bars = [bar_for(reads, i) for i in range(2 * window)]
    for b in bars[:window]:
        feature.update(b)
        twin.update(b)
    for short in ([], bars[0][: reads - 1]):
        with pytest.raises(ValueError):
            feature.update(short)
    for bad in ("abc", 5, None, {1: 2}, ["1.0"] * reads, [2**2000] * reads):
        with pytest.raises((TypeError, OverflowError)):
            feature.update(bad)
    assert repr([feature.update(b) for b in bars[window:]]) == repr([twin.update(b) for b in bars[window:]])


@pytest.mark.parametrize("cls", list(FEATURES), ids=lambda c: c.__name__)
@pytest.mark.parametrize("window", [2**64 - 1, 2**62, 2**45])
def test_window_too_large_for_memory_is_refused_at_construction(cls, window):
    # Room that cannot be reserved fails the constructor, never a later update.
    with pytest.raises((MemoryError, ValueError)) as info:
        cls(FEATURES[cls].inputs, window, ["s", "r"])
    if info.type is ValueError:
        assert str(info.value) == "Invalid input: window is too large"


# Configurations the core refuses: ValueError with its text, word for word.
CONFIG_ERRORS = [
    (lambda: Sma([], 0, []), "inputs must not be empty"),
    (lambda: Sma([], 3, ["o"]), "inputs must not be empty"),
    (lambda: Sma(["a"], 0, []), "outputs must not be empty"),
    (lambda: Sma(["a"], 0, ["o"]), "window must be non-zero"),
    (lambda: sv.Ema([], 0, []), "inputs must not be empty"),
    (lambda: sv.Kama(["c"], 2**64 - 1, ["k"]), "window is too large"),
    (lambda: sv.Kama(["c"], 3, ["k"], 0), "fast must be >= 1"),
    (lambda: sv.Kama(["c"], 3, ["k"], 30), "slow must be > fast"),
    (lambda: sv.Kama(["c"], 3, ["k"], 5, 5), "slow must be > fast"),
    (lambda: sv.SimpleReturn(["c"], 2**64 - 1, ["r"]), "window is too large"),
    (lambda: sv.LogReturn(["c"], 2**64 - 1, ["r"]), "window is too large"),
    (lambda: sv.Skewness(["x"], 0, []), "outputs must not be empty"),
    (lambda: sv.Skewness(["x"], 2, ["o"]), "window must be >= 3"),
    (lambda: sv.Kurtosis([], 9, ["o"]), "inputs must not be empty"),
    (lambda: sv.Kurtosis(["x"], 3, ["o"]), "window must be >= 4"),
    (lambda: sv.LinearSlope(["x", "y"], 2, ["a"]), "outputs must contain exactly 2 names: [slope, r2]"),
    (lambda: sv.ParkinsonVolatility(["high"], 5, ["o"]), "inputs must contain high and low columns"),
    (lambda: sv.ParkinsonVolatility(["h", "l"], 0, ["o"]), "window must be non-zero"),
    (lambda: sv.RogersSatchellVolatility(["h", "l", "o"], 5, ["o"]),
     "inputs must contain high, low, open, and close columns"),
    (lambda: sv.RogersSatchellVolatility(OHLC, 1, []), "outputs must not be empty"),
    (lambda: sv.FutureReturn([], 0, []), "inputs must not be empty"),
    (lambda: sv.FutureReturn(["c"], 0, []), "horizon must be > 0"),
    (lambda: sv.FutureReturn(["c"], 1, []), "outputs must not be empty"),
    (lambda: sv.FutureCTCVolatility("", 0), "input must not be empty"),
    (lambda: sv.FutureCTCVolatility("c", 0), "horizon must be > 0"),
    (lambda: sv.FutureLinearSlope(["x"], 1, ["a", "b", "c"]), "inputs must contain x and y columns"),
    (lambda: sv.FutureLinearSlope(["x", ""], 1, []), "input names must not be empty"),
    (lambda: sv.FutureLinearSlope(["x", "y"], 1, ["a", "b", "c"]), "horizon must be >= 2"),
    (lambda: sv.FutureLinearSlope(["x", "y"], 2, ["a"]), "outputs must contain exactly 2 names: [slope, r2]"),
]


@pytest.mark.parametrize("call, message", CONFIG_ERRORS)
def test_refused_configuration_is_a_value_error(call, message):
    with pytest.raises(ValueError) as info:
        call()
    assert type(info.value) is ValueError
    assert str(info.value) == "Invalid input: " + message


# ------------------------------------------------------------ arguments


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        (("close", 3, ["o"]), {}, TypeError, "argument 'inputs': Can't extract `str` to `Vec`"),
        ((5, 3, ["o"]), {}, TypeError, "argument 'inputs': 'int' object cannot be converted to 'Sequence'"),
        (([1], 3, ["o"]), {}, TypeError, "argument 'inputs': 'int' object cannot be converted to 'PyString'"),
        ((["a"], 3, [None]), {}, TypeError, "argument 'outputs': 'NoneType' object cannot be converted to 'PyString'"),
        ((["a"], -1, ["o"]), {}, OverflowError, None),
        ((["a"], 2**64, ["o"]), {}, OverflowError, None),
        ((["a"], 3.0, ["o"]), {}, TypeError, "argument 'window'"),
        ((["a"], None, ["o"]), {}, TypeError, "argument 'window'"),
        ((["\ud800"], 3, ["o"]), {}, UnicodeEncodeError, None),
        ((["a"], 3), {}, TypeError, "missing required argument 'outputs'"),
        ((["a"], 3, ["o"], 4), {}, TypeError, "at most 3 arguments"),
        ((["a"], 3), {"window": 3, "outputs": ["o"]}, TypeError, "given by name ('window') and position (2)"),
        ((["a"], 3, ["o"]), {"fast": 2}, TypeError, "unexpected keyword argument 'fast'"),
    ],
)
def test_constructor_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        Sma(*args, **kwargs)
    if message is not None:
        assert message in str(info.value)
    if exc is TypeError and message and message.startswith("argument"):
        assert type(info.value) is TypeError


def test_type_error_prefix_keeps_cause_and_spares_subclasses():
    class Custom(TypeError):
        pass

    class BadFloat:
        def __float__(self):
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise TypeError("no float here") from inner

    class SubclassFloat:
        def __float__(self):
            raise Custom("custom")

    s = Sma(["a"], 1, ["o"])
    with pytest.raises(TypeError) as info:
        s.update([BadFloat()])
    assert str(info.value) == "argument 'values': no float here"
    assert isinstance(info.value.__cause__, KeyError)
    with pytest.raises(Custom, match="^custom$"):
        s.update([SubclassFloat()])


def test_accepted_argument_forms():
    class Index:
        def __index__(self):
            return 2

    s = Sma(inputs=("close",), window=True, outputs=["sma"])
    assert s.input_names() == ["close"] and s.warm_up_period() == 0
    assert Sma(["c"], Index(), ["o"]).warm_up_period() == 1

    class Seq:
        """A sequence whose length lies; items are read by iteration."""

        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, i):
            if i >= 2:
                raise IndexError
            return ["x", "y"][i]

    assert Sma(Seq(), 1, ["o"]).input_names() == ["x", "y"]


@pytest.mark.parametrize(
    "values, expected",
    [([1], [1.0]), ((2.5,), [2.5]), ([True], [1.0]), ([nan], [nan]), ([math.inf], [math.inf]), ([3, "ignored?"], None)],
)
def test_update_conversions(values, expected):
    s = Sma(["a"], 1, ["o"])
    if expected is None:  # every item is converted, even those the feature ignores
        with pytest.raises(TypeError, match="^argument 'values': "):
            s.update(values)
        return
    out = s.update(values)
    assert type(out) is list and all(type(v) is float for v in out)
    assert same(out, expected)


# ------------------------------------------------------------ behaviour


@pytest.mark.parametrize(
    "window, inputs, expected",
    [
        (1, [1, nan, 3], [1, nan, 3]),
        (3, [1, 2, 3, 4, 5], [nan, nan, 2, 3, 4]),
        (3, [1, nan, 3, 4, 5, 6], [nan, nan, nan, nan, 4, 5]),
        (2, [1, math.inf], [nan, math.inf]),
        (2, [math.inf, -math.inf], [nan, nan]),
    ],
)
def test_sma_values(window, inputs, expected):
    assert same(feed(Sma(["a"], window, ["o"]), inputs), expected)


def test_sma_matches_rolling_mean_bit_for_bit():
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(7)
    x = rng.normal(100, 5, 3000)
    x[rng.choice(3000, 40, replace=False)] = np.nan
    s = Sma(["a"], 20, ["o"])
    got = np.array(feed(s, x.tolist()))
    want = pd.Series(x).rolling(20).mean().to_numpy()
    np.testing.assert_allclose(got, want, rtol=1e-12, equal_nan=True)
    # The sum runs oldest to newest from 0.0 every bar.
    for i in range(19, 3000, 97):
        w = x[i - 19 : i + 1]
        if not np.isnan(w).any():
            acc = 0.0
            for v in w:
                acc += v
            assert got[i] == acc / 20


# ----------------------------------------------------------------- repr


def reference_quote(name):
    out = []
    for ch in name:
        simple = {"\\": "\\\\", '"': '\\"', "\t": "\\t", "\n": "\\n", "\r": "\\r", "\0": "\\0"}
        if ch in simple:
            out.append(simple[ch])
        elif not ch.isprintable() or unicodedata.category(ch) in ("Mn", "Mc", "Me"):
            out.append("\\u{%x}" % ord(ch))
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def test_repr_examples():
    assert repr(Sma(["close"], 20, ["sma_20"])) == 'Sma(inputs=["close"], window=20, outputs=["sma_20"])'
    assert repr(Sma(['a"b', "it's"], 2, ["x\\y", "é\u0301\u200b"])) == (
        'Sma(inputs=["a\\"b", "it\'s"], window=2, outputs=["x\\\\y", "é\\u{301}\\u{200b}"])'
    )


@pytest.mark.slow
def test_repr_escapes_agree_with_python_for_every_code_point():
    chars = "".join(chr(c) for c in range(0x110000) if not 0xD800 <= c <= 0xDFFF)
    names = [chars[i : i + 4096] for i in range(0, len(chars), 4096)]
    got = repr(Sma(names, 1, ["o"]))
    assert got == "Sma(inputs=[" + ", ".join(map(reference_quote, names)) + '], window=1, outputs=["o"])'


# ---------------------------------------------------------------- guard


def test_reentrant_calls_hit_the_guard():
    s = Sma(["a"], 1, ["o"])
    seen = {}

    class Sneaky:
        def __init__(self, call):
            self.call = call

        def __float__(self):
            try:
                self.call()
            except RuntimeError as e:
                seen[self.call.__name__] = str(e)
            return 1.0

    for call in (s.input_names, s.output_names, s.warm_up_period, s.__repr__):
        s.update([Sneaky(call)])
    assert set(seen.values()) == {"Already mutably borrowed"}
    s.update([Sneaky(lambda: s.update([1.0]))])
    s.update([Sneaky(s.reset)])
    assert seen["<lambda>"] == "Already borrowed" and seen["reset"] == "Already borrowed"
    # The guard is free again afterwards, and the failed inner calls changed nothing.
    assert s.update([4.0]) == [4.0]


def test_list_mutated_during_conversion_is_read_safely():
    lst = []

    class Shrink:
        def __float__(self):
            lst.clear()
            return 2.0

    lst.extend([Shrink(), 1.0, 1.0])
    assert Sma(["a"], 1, ["o"]).update(lst) == [2.0]


# ----------------------------------------------------------------- leaks


def test_no_reference_leaks_on_success_or_failure():
    if not hasattr(sys, "gettotalrefcount"):
        import tracemalloc

        tracemalloc.start()
    s = Sma(["a"], 3, ["o"])

    def churn():
        for _ in range(20000):
            s.update([1.0, 2.0])
            for bad in ("x", [object()], []):
                try:
                    s.update(bad)
                except (TypeError, ValueError):
                    pass
            try:
                Sma(["a"], 0, ["o"])
            except ValueError:
                pass
            repr(s)
            s.input_names()

    churn()
    gc.collect()
    import tracemalloc

    before = tracemalloc.get_traced_memory()[0] if tracemalloc.is_tracing() else 0
    counts_before = sys.getrefcount(None), sys.getrefcount(1.0)
    churn()
    gc.collect()
    after = tracemalloc.get_traced_memory()[0] if tracemalloc.is_tracing() else 0
    tracemalloc.stop()
    assert after - before < 200_000
    assert abs(sys.getrefcount(None) - counts_before[0]) < 100
