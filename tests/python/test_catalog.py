"""The catalogue of feature and target types is the one source: every
compiled class is in it, the classes and the package's tables follow it, and
the facts it states hold for the classes themselves."""
import numpy as np
import pytest

import _sarvek as sv

from sarvek import _chunking, _pipeline

CATALOG = sv._catalog()
PIPELINES = {"FeaturePipeline", "TargetPipeline"}


def test_every_compiled_class_is_in_the_catalogue_in_registration_order():
    # The module's fixed classes are the public ones, in the order of __all__;
    # the others sit in its private _classes namespace, which the package
    # exports.
    assert [e["name"] for e in CATALOG if e["public"]] == [n for n in sv.__all__ if n not in PIPELINES]
    assert [e["kind"] for e in CATALOG if e["public"]] == ["feature"] * 10 + ["target"] * 3
    assert [e["name"] for e in CATALOG if not e["public"]] == sv._classes.__all__
    for e in CATALOG:
        home = sv if e["public"] else sv._classes
        assert getattr(home, e["name"]) is e["class"] and e["class"].__doc__ == e["doc"]


def test_the_package_tables_are_derived():
    for kind, table in (("feature", _pipeline.FEATURE_PARAMS), ("target", _pipeline.TARGET_PARAMS)):
        entries = [e for e in CATALOG if e["kind"] == kind]
        assert list(table) == [e["name"] for e in entries]
        for e in entries:
            assert [(p.name, p.kind, p.default) for p in table[e["name"]]] == [
                (p["name"], p["type"], p["default"]) for p in e["params"]]
    # No type-by-type table is left in the package.
    for name in ("_LOOKBACK", "UNBOUNDED", "FEATURE_SHAPE"):
        assert not hasattr(_chunking, name) and not hasattr(_pipeline, name)


def valid_arguments(entry):
    """Arguments at each parameter's least accepted value."""
    out = {}
    for p in entry["params"]:
        if p["type"] == "names":
            out[p["name"]] = [f"{p['name']}{k}" for k in range(max(p["minimum"], 1))]
        elif p["type"] == "name":
            out[p["name"]] = "c"
        elif p["default"] is None:
            out[p["name"]] = max(p["minimum"], 1) + 2  # above a default bounded by it (ddof < window)
    return out


@pytest.mark.parametrize("entry", CATALOG, ids=lambda e: e["name"])
def test_constraints_and_signatures_are_those_of_the_class(entry):
    cls = entry["class"]
    sig = ", ".join(p["name"] + ("" if p["default"] is None else f"={p['default']}") for p in entry["params"])
    assert cls.__text_signature__ == f"({sig})"
    args = valid_arguments(entry)
    cls(**args)
    for p in entry["params"]:
        if p["minimum"] == 0:
            continue
        bad = dict(args)
        bad[p["name"]] = (p["minimum"] - 1 if p["type"] == "count" else
                          "" if p["type"] == "name" else args[p["name"]][: p["minimum"] - 1])
        with pytest.raises(ValueError) as err:
            cls(**bad)
        assert str(err.value).endswith(f"{p['name']} {p['constraint']}")


@pytest.mark.parametrize("entry", [e for e in CATALOG if e["kind"] == "feature"], ids=lambda e: e["name"])
def test_a_feature_reads_and_produces_what_its_entry_says(entry):
    args = valid_arguments(entry)
    args["inputs"] = [f"in{k}" for k in range(entry["reads"] + 1)]  # a name beyond those read
    args["outputs"] = [f"out{k}" for k in range(max(entry["produces"], len(args["outputs"])))]
    f = entry["class"](**args)
    with pytest.raises(ValueError, match=f"at least {entry['reads']} value"):
        f.update([1.0] * (entry["reads"] - 1))
    assert len(f.update([1.0] * entry["reads"])) == entry["produces"]
    plan = sv.FeaturePipeline([f], args["inputs"])._plan()
    assert plan["features"][0]["reads"] == args["inputs"][: entry["reads"]]
    assert (plan["features"][0]["memory"] is None) == (entry["memory"] == "unbounded")
    assert plan["features"][0]["repr"] == repr(f)


def random_features(rng):
    features, names = [], ["close"]
    for i in range(int(rng.integers(1, 7))):
        kind = ["Sma", "Ema", "LogReturn", "Kurtosis", "LinearSlope"][int(rng.integers(0, 5))]
        if kind == "LinearSlope":
            inputs, outputs = list(rng.choice(names, 2)), [f"a{i}", f"b{i}"]
        else:
            inputs, outputs = [str(rng.choice(names))], [f"f{i}"]
        features.append(getattr(sv, kind)(inputs, int(rng.integers(4, 7)), outputs))
        names += outputs
    return features


@pytest.mark.parametrize("seed", range(8))
def test_the_plan_states_the_graph_and_a_fresh_copy_runs_alike(seed):
    rng = np.random.default_rng(seed)
    features = random_features(rng)
    given = [features[j] for j in rng.permutation(len(features))]
    fp = sv.FeaturePipeline(given, ["close"])
    config, plan = fp._config()["features"], fp._plan()
    order = [i for stage in plan["stages"] for i in stage]
    assert [n for i in order for n in config[i]["outputs"]] == fp.output_names()
    for s, stage in enumerate(plan["stages"]):
        for i in stage:
            assert plan["features"][i]["stage"] == s
            for name in config[i]["inputs"]:
                producer = plan["columns"][name]["producer"]
                assert producer is None or plan["features"][producer[0]]["stage"] < s
                if producer is not None:
                    assert i in plan["columns"][name]["readers"]
    data = [[float(x)] for x in 100.0 + np.cumsum(rng.normal(0.0, 1.0, 40))]
    fp.run_research(data[:7])  # state the copy must not take
    copy = fp._fresh()
    assert type(copy) is sv.FeaturePipeline and copy._config() == fp._config()
    expected = sv.FeaturePipeline(given, ["close"]).run_research(data)
    got = [copy.update(bar) for bar in data]
    assert np.array_equal(np.asarray(got).view(np.uint64), np.asarray(expected).view(np.uint64))


def test_a_target_pipeline_copy_is_made_from_its_targets():
    tp = sv.TargetPipeline([sv.FutureCTCVolatility("close", 3), sv.FutureLinearSlope(["t", "close"], 4, ["s", "r"])],
                           ["t", "close"])
    copy = tp._fresh()
    assert type(copy) is sv.TargetPipeline and copy is not tp and copy._config() == tp._config()
    assert [t["horizon"] for t in tp._plan()["targets"]] == [3, 3] and tp._plan()["future"] == 3
