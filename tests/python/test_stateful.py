"""Random programs over features and feature pipelines: good calls, refused
calls (wrong types, short bars, unknown keywords, items whose conversion
fails part-way) and re-entrant calls in any order. Each object has a twin
that sees only the good calls; every result must match the twin's bit for
bit, and at the end of each program both are fed the same probe bars."""
import math
import os

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import Bundle, RuleBasedStateMachine, initialize, rule

import _sarvek as sv

from test_module import FEATURES

CLASSES = list(FEATURES)
COLUMNS = ["x", "y", "high", "low", "open", "close"]
SANITIZED = bool(os.environ.get("SARVEK_SANITIZED"))

values = st.one_of(
    st.floats(-1e3, 1e3),
    st.floats(0.5, 200.0),
    st.sampled_from([math.nan, math.inf, -math.inf, 0.0, -0.0, 1e300, 5e-324]),
)


def bits(result):
    return repr(result)


class Subject:
    """An object under test and its twin, built alike."""

    made = []  # every subject of the running program

    def __init__(self, build, width, pipeline):
        Subject.made.append(self)
        self.obj, self.twin = build(), build()
        self.width = width  # values update reads
        self.pipeline = pipeline


class Reenter:
    """An item whose conversion first calls back into the object being
    called, and records what the guard answered."""

    def __init__(self, value, call, seen):
        self.value, self.call, self.seen = value, call, seen

    def __float__(self):
        try:
            self.call()
        except RuntimeError as e:
            self.seen.append(str(e))
        else:
            self.seen.append("no error")
        return self.value


class FailsAfter:
    """An item whose conversion fails."""

    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


def writes(obj):
    """Calls that change the object: refused re-entrantly as 'Already borrowed'."""
    calls = [lambda: obj.update([1.0] * 6), obj.reset]
    if isinstance(obj, sv.FeaturePipeline):
        calls.append(lambda: obj.run_research([[1.0] * 6]))
    return calls


def reads(obj):
    """Calls that read the object: refused inside a write as 'Already mutably borrowed'."""
    calls = [obj.output_names, obj.input_names, obj.warm_up_period]
    if isinstance(obj, sv.FeaturePipeline):
        calls += [lambda: len(obj), obj._config]
    else:
        calls += [lambda: repr(obj), lambda: sv.FeaturePipeline([obj], ["x"])]
    return calls


@st.composite
def feature_spec(draw, index=0, earlier=()):
    cls = draw(st.sampled_from(CLASSES))
    f = FEATURES[cls]
    inputs = list(f.inputs)
    if earlier and draw(st.booleans()):  # read another feature's output
        inputs[0] = draw(st.sampled_from(earlier))
    window = f.min_window + draw(st.integers(0, 4))
    outputs = [f"o{index}_{j}" for j in range(len(f.outputs))]
    return cls, inputs, window, outputs


@st.composite
def pipeline_spec(draw):
    specs, names = [], []
    for i in range(draw(st.integers(1, 4))):
        spec = draw(feature_spec(i, tuple(names)))
        specs.append(spec)
        names += spec[3]
    return draw(st.permutations(specs))


class Programs(RuleBasedStateMachine):
    subjects = Bundle("subjects")

    def __init__(self):
        super().__init__()
        Subject.made = []

    @initialize(target=subjects, spec=feature_spec())
    def first_feature(self, spec):
        return self.feature(spec)

    @rule(target=subjects, spec=feature_spec())
    def add_feature(self, spec):
        return self.feature(spec)

    def feature(self, spec):
        cls, inputs, window, outputs = spec
        return Subject(lambda: cls(inputs, window, outputs), len(inputs), False)

    @rule(target=subjects, specs=pipeline_spec())
    def add_pipeline(self, specs):
        def build():
            return sv.FeaturePipeline([cls(i, w, o) for cls, i, w, o in specs], COLUMNS)

        return Subject(build, len(COLUMNS), True)

    # ------------------------------------------------------------ good calls

    @rule(s=subjects, data=st.data())
    def update(self, s, data):
        bar = data.draw(st.lists(values, min_size=s.width, max_size=s.width + 2))
        assert bits(s.obj.update(bar)) == bits(s.twin.update(bar))

    @rule(s=subjects)
    def reset(self, s):
        s.obj.reset()
        s.twin.reset()

    @rule(s=subjects, data=st.data())
    def run_research(self, s, data):
        if not s.pipeline:
            return
        bars = data.draw(st.lists(st.lists(values, min_size=s.width, max_size=s.width), max_size=12))
        assert bits(s.obj.run_research(bars)) == bits(s.twin.run_research(bars))

    @rule(s=subjects)
    def describe(self, s):
        for read in ("input_names", "output_names", "warm_up_period"):
            assert getattr(s.obj, read)() == getattr(s.twin, read)()
        if s.pipeline:
            assert len(s.obj) == len(s.twin) and s.obj._config() == s.twin._config()
        else:
            assert repr(s.obj) == repr(s.twin)

    # ------------------------------------------------------- refused calls

    @rule(s=subjects, data=st.data())
    def refused_update(self, s, data):
        bar = data.draw(st.lists(values, min_size=s.width, max_size=s.width))
        cut = data.draw(st.integers(0, s.width - 1))
        case = data.draw(st.sampled_from(["short", "type", "item", "late item", "keyword", "overflow"]))
        call, exc = {
            "short": (lambda: s.obj.update(bar[:cut]), ValueError),
            "type": (lambda: s.obj.update(data.draw(st.sampled_from(["abc", 5, None, {1: 2}]))), TypeError),
            "item": (lambda: s.obj.update(bar[:cut] + ["1.0"] + bar[cut:]), TypeError),
            "late item": (lambda: s.obj.update(bar + [FailsAfter(ValueError("no"))]), ValueError),
            "keyword": (lambda: s.obj.update(**{"values\0": bar}), TypeError),
            "overflow": (lambda: s.obj.update(bar[:cut] + [2**2000] + bar[cut:]), OverflowError),
        }[case]
        with pytest.raises(exc):
            call()

    @rule(s=subjects, data=st.data())
    def refused_research(self, s, data):
        if not s.pipeline:
            return
        bars = data.draw(st.lists(st.lists(values, min_size=s.width, max_size=s.width), min_size=1, max_size=8))
        at = data.draw(st.integers(0, len(bars) - 1))
        if data.draw(st.booleans()):
            bars[at] = bars[at][: s.width - 1]
            exc = ValueError
        else:
            bars[at] = bars[at][:-1] + [FailsAfter(TypeError("no"))]
            exc = TypeError
        with pytest.raises(exc):
            s.obj.run_research(bars)

    # ---------------------------------------------------- re-entrant calls

    @rule(s=subjects, data=st.data())
    def reentrant_update(self, s, data):
        bar = data.draw(st.lists(values, min_size=s.width, max_size=s.width))
        at = data.draw(st.integers(0, s.width - 1))
        write = data.draw(st.booleans())
        call = data.draw(st.sampled_from(writes(s.obj) if write else reads(s.obj)))
        seen = []
        sneaky = bar[:at] + [Reenter(bar[at], call, seen)] + bar[at + 1:]
        if s.pipeline and data.draw(st.booleans()):
            assert bits(s.obj.run_research([bar, sneaky])) == bits(s.twin.run_research([bar, bar]))
        else:
            assert bits(s.obj.update(sneaky)) == bits(s.twin.update(bar))
        assert seen == ["Already borrowed" if write else "Already mutably borrowed"]

    # --------------------------------------------------------------- state

    def teardown(self):
        for s in Subject.made:
            for i in range(12):
                bar = [100.0 + 3.0 * math.sin(i + k) + 0.25 * k for k in range(s.width)]
                assert bits(s.obj.update(bar)) == bits(s.twin.update(bar))


Programs.TestCase.settings = settings(
    max_examples=40 if SANITIZED else 160,
    stateful_step_count=30,
    deadline=None,
    database=None,
    suppress_health_check=list(HealthCheck),
)
test_programs = Programs.TestCase
