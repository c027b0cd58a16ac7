"""Module conventions and the feature-class surface, exercised through Sma."""
import gc
import math
import pickle
import sys
import unicodedata
import weakref

import pytest

import _sarvek
from _sarvek import Sma

nan = float("nan")


def feed(feature, values):
    return [feature.update([v])[0] for v in values]


def same(a, b):
    """Equal lists where NaN matches NaN."""
    return len(a) == len(b) and all((math.isnan(x) and math.isnan(y)) or x == y for x, y in zip(a, b))


# ---------------------------------------------------------------- module


def test_module_basics():
    assert _sarvek.__doc__ == ""
    assert _sarvek.__all__[0] == "Sma"
    for name in _sarvek.__all__:
        cls = getattr(_sarvek, name)
        assert cls.__module__ == "sarvek"
        assert cls.__name__ == cls.__qualname__ == name


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


# ------------------------------------------------------------ type shape


def test_text_signatures_and_docs():
    assert Sma.__text_signature__ == "(inputs, window, outputs)"
    assert Sma.__doc__ == "Simple Moving Average over a rolling window."
    expected = {
        "update": ("($self, values)", "Process one bar. Returns ``[NaN]`` during warm-up or on ``NaN`` input."),
        "reset": ("($self)", "Reset internal state (e.g. between CPCV splits)."),
        "input_names": ("($self)", "Input column names."),
        "output_names": ("($self)", "Output column names."),
        "warm_up_period": ("($self)", "Number of bars before the first valid output."),
    }
    for name, (sig, doc) in expected.items():
        method = getattr(Sma, name)
        assert method.__text_signature__ == sig
        assert method.__doc__ == doc
    assert [m for m in vars(Sma) if m in expected] == list(expected)


def test_instances_are_closed():
    s = Sma(["close"], 3, ["sma"])
    with pytest.raises(TypeError):
        weakref.ref(s)
    with pytest.raises(AttributeError):
        s.anything = 1
    with pytest.raises(TypeError):
        type("Sub", (Sma,), {})
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        with pytest.raises(TypeError):
            pickle.dumps(s, protocol)
    assert s == s and s != Sma(["close"], 3, ["sma"])
    assert hash(s) == hash(s)


def test_method_through_class_checks_receiver():
    with pytest.raises(TypeError):
        Sma.update(5, [1.0])
    with pytest.raises(TypeError):
        Sma.reset("x")


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
        (([], 0, []), {}, ValueError, "Invalid input: inputs must not be empty"),
        (([], 3, ["o"]), {}, ValueError, "Invalid input: inputs must not be empty"),
        ((["a"], 0, []), {}, ValueError, "Invalid input: outputs must not be empty"),
        ((["a"], 0, ["o"]), {}, ValueError, "Invalid input: window must be non-zero"),
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


@pytest.mark.parametrize("bad", ["abc", [1.0, "x"], 5, None, {1: 2}, [2**2000]])
def test_bad_update_leaves_feature_unchanged(bad):
    s = Sma(["a"], 2, ["o"])
    s.update([1.0])
    with pytest.raises((TypeError, OverflowError)):
        s.update(bad)
    assert s.update([3.0]) == [2.0]


def test_short_update_is_value_error_and_changes_nothing():
    s = Sma(["a"], 2, ["o"])
    s.update([1.0])
    with pytest.raises(ValueError, match="at least 1 value"):
        s.update([])
    assert s.update([3.0]) == [2.0]


def test_huge_window_is_refused_cleanly():
    for window in (2**64 - 1, 2**62, 2**45):
        with pytest.raises((MemoryError, ValueError)):
            Sma(["a"], window, ["o"])


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


def test_reset_replays_exactly():
    s = Sma(["a"], 3, ["o"])
    data = [1.5, 2.25, 7.0, 3.0, 9.5]
    first = feed(s, data)
    s.reset()
    assert same(feed(s, data), first)


def test_names_are_fresh_copies():
    s = Sma(["a", "b"], 3, ["o", "p", "q"])
    first = s.input_names()
    first.append("z")
    assert s.input_names() == ["a", "b"] and s.input_names() is not s.input_names()
    assert s.output_names() == ["o", "p", "q"]
    assert len(s.update([1.0, 2.0])) == 1


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
