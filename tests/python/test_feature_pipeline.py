import math
import re

import numpy as np
import pytest

import _sarvek as sv
from _sarvek import FeaturePipeline, Sma

NAN = float("nan")


def same(a, b):
    """Equal lists of floats, NaN equal to NaN, bit for bit otherwise."""
    assert len(a) == len(b), (a, b)
    for x, y in zip(a, b):
        assert type(x) is float
        assert (math.isnan(x) and math.isnan(y)) or x == y, (a, b)


def same_rows(a, b):
    assert len(a) == len(b)
    for x, y in zip(a, b):
        same(x, y)


# -------------------------------------------------------------- construction


@pytest.mark.parametrize(
    "bad, name",
    [
        (5, "int"),
        (None, "NoneType"),
        ("close", "str"),
        (Sma, "type"),
        (object(), "object"),
        (FeaturePipeline([], []), "FeaturePipeline"),
    ],
)
def test_unsupported_feature_type(bad, name):
    with pytest.raises(ValueError) as e:
        FeaturePipeline([Sma(["c"], 2, ["s"]), bad, 7], ["c"])
    assert str(e.value) == "unsupported feature type: " + name
    assert e.type is ValueError


@pytest.mark.parametrize(
    "features, columns, message",
    [
        (
            "same_object_twice",
            ["c"],
            "Duplicate output key 'sma': produced by index 0 and 1",
        ),
        (
            [Sma(["y"], 2, ["x"]), Sma(["x"], 2, ["y"]), Sma(["c"], 2, ["z"])],
            ["c"],
            "Cyclic dependency detected among features",
        ),
        (
            [Sma(["volume"], 2, ["v"]), Sma(["c"], 2, ["s"]), Sma(["o\"pen"], 2, ["t"])],
            ["c"],
            'Missing input column(s): ["volume", "o\\"pen"]',
        ),
        ([Sma(["y"], 2, ["x"]), Sma(["x"], 2, ["y"]), Sma(["c"], 2, ["x"])], [], "Duplicate output key 'x': produced by index 0 and 2"),
    ],
)
def test_core_rejects(features, columns, message):
    if features == "same_object_twice":
        f = Sma(["c"], 3, ["sma"])
        features = [f, f]
    with pytest.raises(ValueError) as e:
        FeaturePipeline(features, columns)
    assert e.type is ValueError
    assert str(e.value) == message


@pytest.mark.parametrize(
    "kwargs, exc, pattern",
    [
        ({"features": "abc", "input_columns": ["c"]}, TypeError, r"argument 'features': Can't extract `str` to `Vec`"),
        ({"features": 5, "input_columns": ["c"]}, TypeError, r"argument 'features': 'int' object cannot be converted to 'Sequence'"),
        ({"features": [], "input_columns": "c"}, TypeError, r"argument 'input_columns': Can't extract `str` to `Vec`"),
        ({"features": [], "input_columns": ["c", 1]}, TypeError, r"argument 'input_columns': 'int' object cannot be converted to 'PyString'"),
        ({"features": [], "input_columns": ["\ud800"]}, UnicodeEncodeError, None),
        ({"features": []}, TypeError, "input_columns"),
        ({"features": [], "input_columns": [], "extra": 1}, TypeError, "extra"),
    ],
)
def test_argument_errors(kwargs, exc, pattern):
    with pytest.raises(exc, match=pattern):
        FeaturePipeline(**kwargs)


def test_conversion_runs_before_feature_checks():
    # features is converted first, then input_columns, then each object examined.
    with pytest.raises(TypeError, match="input_columns"):
        FeaturePipeline([5], "c")


def test_accepts_tuples_and_positional_or_keyword():
    a = FeaturePipeline((Sma(("c",), 2, ("s",)),), ("c", "d"))
    b = FeaturePipeline(input_columns=["c", "d"], features=[Sma(["c"], 2, ["s"])])
    for p in (a, b):
        assert p.input_names() == ["c", "d"]
        assert p.output_names() == ["s"]
        assert len(p) == 1


# ---------------------------------------------------------------- behaviour


def test_empty_pipeline():
    p = FeaturePipeline([], [])
    assert p.update([]) == []
    assert p.output_names() == [] and p.input_names() == []
    assert p.warm_up_period() == 0 and len(p) == 0
    assert p.run_research([[], []]) == [[], []]


def test_dependency_order_and_values_match_hand_driven_features():
    rng = np.random.default_rng(7)
    bars = rng.normal(100.0, 5.0, size=(300, 3)).tolist()
    bars[40][0] = NAN
    bars[77][1] = math.inf
    configs = [(["s1"], 4, ["s2"]), (["close"], 3, ["s1"]), (["s2", "x"], 5, ["s3"]), (["open"], 6, ["s0"])]
    p = FeaturePipeline([Sma(*c) for c in configs], ["open", "close", "x"])
    assert p.output_names() == ["s1", "s0", "s2", "s3"]

    s1, s2, s3, s0 = (Sma(*c) for c in configs[1:2] + configs[0:1] + configs[2:3] + configs[3:4])
    expected = []
    for o, c, x in bars:
        v1 = s1.update([c])
        v0 = s0.update([o])
        v2 = s2.update(v1)
        v3 = s3.update(v2 + [x])
        expected.append(v1 + v0 + v2 + v3)
    live = [p.update(b) for b in bars]
    same_rows(live, expected)
    same_rows(p.run_research(bars), expected)


def test_pipeline_owns_fresh_copies():
    f = Sma(["c"], 3, ["s"])
    for v in (1.0, 2.0, 3.0, 4.0):
        f.update([v])
    p = FeaturePipeline([f], ["c"])
    q = FeaturePipeline([f], ["c"])
    same(p.update([10.0]), [NAN])
    same(p.update([20.0]), [NAN])
    same(p.update([30.0]), [20.0])
    p.reset()
    # The caller's feature continues from its own bars.
    same(f.update([5.0]), [4.0])
    same(q.update([1.0]), [NAN])


def test_repeated_input_column_reads_its_last_position():
    p = FeaturePipeline([Sma(["close"], 1, ["s"])], ["close", "close"])
    assert p.input_names() == ["close", "close"]
    same(p.update([1.0, 2.0]), [2.0])
    with pytest.raises(ValueError, match=re.escape("Invalid input: values must hold at least 2 values, got 1")):
        p.update([1.0])


def test_unread_columns_and_surplus_values_are_ignored():
    p = FeaturePipeline([Sma(["close"], 2, ["s"])], ["volume", "close"])
    p.update([1e9, 1.0, 5.0, 6.0])
    same(p.update([-1.0, 3.0]), [2.0])


def test_output_shadows_input_column():
    p = FeaturePipeline([Sma(["close"], 2, ["s"]), Sma(["raw"], 1, ["close"])], ["close", "raw"])
    assert p.output_names() == ["close", "s"]
    p.update([1000.0, 1.0])
    same(p.update([1000.0, 3.0]), [3.0, 2.0])


def test_own_output_name_reads_the_column_or_missing():
    p = FeaturePipeline([Sma(["x"], 2, ["x"]), Sma(["y"], 1, ["y"])], ["x"])
    same(p.update([1.0]), [NAN, NAN])
    same(p.update([3.0]), [2.0, NAN])
    same(p.update([5.0]), [4.0, NAN])


def test_results_stay_aligned_with_names():
    # Sma produces one value; "b" and "close" get none and are missing for
    # their readers too, the input column close included.
    p = FeaturePipeline(
        [Sma(["b"], 1, ["rb"]), Sma(["raw"], 1, ["a", "b", "close"]), Sma(["close"], 1, ["rc"]), Sma(["raw"], 1, ["z"])],
        ["raw", "close", "b"],
    )
    names = p.output_names()
    assert names == ["a", "b", "close", "z", "rb", "rc"]
    out = p.update([2.0, 7.0, 8.0])
    assert len(out) == len(names)
    same(out, [2.0, NAN, NAN, 2.0, NAN, NAN])
    rows = p.run_research([[2.0, 7.0, 8.0], [4.0, 7.0, 8.0]])
    same_rows(rows, [[2.0, NAN, NAN, 2.0, NAN, NAN], [4.0, NAN, NAN, 4.0, NAN, NAN]])


def test_missing_and_special_values():
    p = FeaturePipeline([Sma(["c"], 1, ["s"])], ["c"])
    for given, want in [(NAN, NAN), (math.inf, math.inf), (-math.inf, -math.inf), (True, 1.0), (3, 3.0)]:
        out = p.update([given])
        assert all(type(v) is float for v in out)
        same(out, [want])


# ------------------------------------------------------------ research mode


def test_research_is_reset_then_updates_and_live_continues():
    bars = [[float(i), float(i * i)] for i in range(12)]
    features = [Sma(["c"], 3, ["s"]), Sma(["s"], 2, ["t"]), Sma(["o"], 4, ["u"])]
    ref = FeaturePipeline(features, ["o", "c"])
    expected = [ref.update(b) for b in bars]

    p = FeaturePipeline(features, ["o", "c"])
    for b in ([5.0, 5.0], [9.0, 1.0]):
        p.update(b)
    same_rows(p.run_research(bars), expected)
    same_rows(p.run_research(bars), expected)
    same(p.update([3.0, 4.0]), ref.update([3.0, 4.0]))


def test_research_over_no_bars_resets():
    p = FeaturePipeline([Sma(["c"], 2, ["s"])], ["c"])
    p.update([1.0])
    assert p.run_research([]) == []
    same(p.update([5.0]), [NAN])


@pytest.mark.parametrize("short_at", [0, 2, 4])
def test_research_with_a_short_bar_changes_nothing(short_at):
    bars = [[1.0, 2.0] for _ in range(5)]
    bars[short_at] = [1.0]
    p = FeaturePipeline([Sma(["b"], 2, ["s"])], ["a", "b"])
    p.update([0.0, 10.0])
    with pytest.raises(ValueError) as e:
        p.run_research(bars)
    assert str(e.value) == f"Invalid input: bar {short_at} of data must hold at least 2 values, got 1"
    same(p.update([0.0, 20.0]), [15.0])


@pytest.mark.parametrize(
    "data, exc, pattern",
    [
        ("abc", TypeError, r"argument 'data': Can't extract `str` to `Vec`"),
        ([[1.0], "1"], TypeError, r"argument 'data': Can't extract `str` to `Vec`"),
        ([[1.0], [1.0, "x"]], TypeError, r"argument 'data'"),
        ([[1.0], 1.0], TypeError, r"argument 'data': 'float' object cannot be converted to 'Sequence'"),
        ([[1.0], [10**400]], OverflowError, None),
    ],
)
def test_research_conversion_errors_change_nothing(data, exc, pattern):
    p = FeaturePipeline([Sma(["c"], 2, ["s"])], ["c"])
    p.update([10.0])
    with pytest.raises(exc, match=pattern):
        p.run_research(data)
    same(p.update([20.0]), [15.0])


def test_update_conversion_errors_change_nothing():
    p = FeaturePipeline([Sma(["c"], 2, ["s"])], ["c"])
    p.update([10.0])
    with pytest.raises(TypeError, match="argument 'values'"):
        p.update([1.0, "x"])
    with pytest.raises(TypeError, match="argument 'values': Can't extract `str` to `Vec`"):
        p.update("1")
    with pytest.raises(ValueError, match="Invalid input: values must hold at least 1 value, got 0"):
        p.update([])
    same(p.update([20.0]), [15.0])


# -------------------------------------------------------------- accessors


def test_accessors():
    p = FeaturePipeline([Sma(["c"], 10, ["a"]), Sma(["a"], 20, ["b"])], ["c", "d"])
    assert p.warm_up_period() == 19
    assert FeaturePipeline([Sma(["c"], 10, ["a"]), Sma(["c"], 20, ["b"])], ["c"]).warm_up_period() == 19
    assert len(p) == 2
    assert p.input_names() == ["c", "d"] and p.output_names() == ["a", "b"]


# ------------------------------------------------------------ re-entrancy


class Calls:
    """A float that calls back into an object while being converted."""

    def __init__(self, action):
        self.action = action

    def __float__(self):
        self.action()
        return 1.0


@pytest.mark.parametrize(
    "method, message",
    [
        (lambda p: p.output_names(), "Already mutably borrowed"),
        (lambda p: len(p), "Already mutably borrowed"),
        (lambda p: p.warm_up_period(), "Already mutably borrowed"),
        (lambda p: p.update([1.0]), "Already borrowed"),
        (lambda p: p.reset(), "Already borrowed"),
        (lambda p: p.run_research([]), "Already borrowed"),
    ],
)
def test_reentrant_calls_during_conversion(method, message):
    p = FeaturePipeline([Sma(["c"], 2, ["s"])], ["c"])
    p.update([10.0])
    with pytest.raises(RuntimeError, match=message):
        p.update([Calls(lambda: method(p))])
    with pytest.raises(RuntimeError, match=message):
        p.run_research([[1.0], [Calls(lambda: method(p))]])
    same(p.update([20.0]), [15.0])


def test_feature_held_exclusively_cannot_seed_a_pipeline():
    f = Sma(["c"], 2, ["s"])
    with pytest.raises(RuntimeError, match="Already mutably borrowed"):
        f.update([Calls(lambda: FeaturePipeline([f], ["c"]))])
    # A shared hold does not conflict.
    assert len(FeaturePipeline([f], ["c"])) == 1


# ------------------------------------------------- against a reference model

# Feature configurations over open/high/low/close; those whose class this
# build lacks are left out. Several read other features' outputs, one
# shadows an input column, one reads its own output name.
MIXED = [
    ("Skewness", (["logret"], 20, ["skew"]), {}),
    ("Sma", (["slope", "r2"], 5, ["sma_slope"]), {}),
    ("Sma", (["close"], 20, ["sma"]), {}),
    ("Ema", (["sma"], 10, ["ema_of_sma"]), {}),
    ("Kama", (["close"], 20, ["kama"]), {"fast": 3, "slow": 25}),
    ("SimpleReturn", (["close"], 2, ["ret"]), {}),
    ("LogReturn", (["close"], 1, ["logret"]), {}),
    ("Kurtosis", (["ret"], 20, ["kurt"]), {}),
    ("LinearSlope", (["open", "close"], 20, ["slope", "r2"]), {}),
    ("ParkinsonVolatility", (["high", "low"], 20, ["park"]), {}),
    ("RogersSatchellVolatility", (["high", "low", "open", "close"], 20, ["rs"]), {}),
    ("Sma", (["high"], 3, ["high"]), {}),
    ("Sma", (["own", "close"], 2, ["own"]), {}),
]


def mixed_features():
    made = []
    have = {name for name, (_, _, outputs), _ in MIXED if hasattr(sv, name)}
    produced = set()
    for name, (inputs, window, outputs), extra in MIXED:
        if name in have:
            produced.update(outputs)
    for name, (inputs, window, outputs), extra in MIXED:
        if not hasattr(sv, name):
            continue
        if any(i not in produced and i not in ("open", "high", "low", "close") for i in inputs if i not in outputs):
            continue
        made.append(getattr(sv, name)(inputs, window, outputs, **extra))
    return made


def reference_run(features, columns, output_names, bars):
    """The pipeline's table algorithm, driven through the feature objects."""
    # Execution order follows from output_names: each feature's names are
    # contiguous there.
    by_first = {f.output_names()[0]: f for f in features}
    order, i = [], 0
    while i < len(output_names):
        f = by_first[output_names[i]]
        order.append(f)
        i += len(f.output_names())
    rows = []
    for bar in bars:
        table = dict(zip(columns, bar))
        row = []
        for f in order:
            names = f.output_names()
            values = [NAN if n in names and n not in columns else table.get(n, NAN) for n in f.input_names()]
            out = f.update(values)
            out = (out + [NAN] * len(names))[: len(names)]
            table.update(zip(names, out))
            row += out
        rows.append(row)
    return rows


def test_mixed_pipeline_matches_the_reference_model():
    rng = np.random.default_rng(11)
    n = 400
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, n)))
    open_ = np.concatenate([[100.0], close[:-1]])
    high = np.maximum(open_, close) * np.exp(np.abs(rng.normal(0.0, 0.004, n)))
    low = np.minimum(open_, close) * np.exp(-np.abs(rng.normal(0.0, 0.004, n)))
    bars = np.column_stack([open_, high, low, close]).tolist()
    bars[50][3] = NAN
    bars[120][1] = NAN
    bars[200][0] = -1.0
    columns = ["open", "high", "low", "close"]

    features = mixed_features()
    p = FeaturePipeline(features[::-1], columns)
    names = p.output_names()
    assert len(p) == len(features)
    assert sorted(names) == sorted(n for f in features for n in f.output_names())

    expected = reference_run([f for f in mixed_features()], columns, names, bars)
    live = [p.update(b) for b in bars]
    same_rows(live, expected)
    same_rows(p.run_research(bars), expected)
    assert any(not math.isnan(v) for row in expected for v in row)
