"""Pipelines as plain data and TOML files: round trips and refused documents."""
import copy
import pathlib
import pickle
import tomllib
import warnings

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import sarvek

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def same_pipeline(a, b):
    """Same configuration, same outputs bit for bit on the same bars."""
    assert type(a) is type(b) and a._config() == b._config()
    assert a.output_names() == b.output_names() and a.input_names() == b.input_names()
    rng = np.random.default_rng(3)
    cols = [100.0 * np.exp(np.cumsum(rng.normal(0, 0.01, 90))) for _ in a.input_names()]
    data = np.column_stack(cols)
    fn = sarvek.compute_features if isinstance(a, sarvek.FeaturePipeline) else sarvek.compute_targets
    assert np.array_equal(fn(a, data).view(np.uint64), fn(b, data).view(np.uint64))


@pytest.mark.parametrize("name", ["features.toml", "targets.toml"])
def test_shipped_files_round_trip(name, tmp_path):
    path = EXAMPLES / name
    document = tomllib.loads(path.read_text())
    pipeline = sarvek.load_pipeline(path)
    assert sarvek.pipeline_to_dict(pipeline) == document
    sarvek.save_pipeline(pipeline, tmp_path / name)
    assert tomllib.loads((tmp_path / name).read_text()) == document
    same_pipeline(sarvek.load_pipeline(tmp_path / name), pipeline)
    assert [p.name for p in tmp_path.iterdir()] == [name]  # no temporary left behind


@st.composite
def documents(draw):
    columns = draw(st.lists(st.text(min_size=1, max_size=6), min_size=2, max_size=4, unique=True))
    used = set(columns)

    def fresh():
        name = draw(st.text(min_size=1, max_size=8).filter(lambda s: s not in used))
        used.add(name)
        return name

    if draw(st.booleans()):
        entries = []
        for _ in range(draw(st.integers(1, 4))):
            kind = draw(st.sampled_from(["Sma", "Ema", "Kama", "Skewness", "LinearSlope"]))
            n_in = 2 if kind == "LinearSlope" else 1
            entry = {"type": kind, "inputs": [draw(st.sampled_from(columns)) for _ in range(n_in)],
                     "window": draw(st.integers(4, 40)),
                     "outputs": [fresh() for _ in range(2 if kind == "LinearSlope" else 1)]}
            if kind == "Kama":
                fast = draw(st.integers(1, 5))
                entry.update(fast=fast, slow=draw(st.integers(fast + 1, 40)))
            entries.append(entry)
        return {"input_columns": columns, "features": entries}
    entries, ctc = [], set()
    for _ in range(draw(st.integers(1, 3))):
        if draw(st.booleans()):
            key = (draw(st.sampled_from(columns)), draw(st.integers(1, 9)))
            if key in ctc or f"{key[0]}_future_ctc_vol_{key[1]}" in used:
                continue
            ctc.add(key)
            used.add(f"{key[0]}_future_ctc_vol_{key[1]}")
            entries.append({"type": "FutureCTCVolatility", "input": key[0], "horizon": key[1]})
        else:
            entries.append({"type": "FutureReturn", "inputs": [draw(st.sampled_from(columns))],
                            "horizon": draw(st.integers(1, 9)), "outputs": [fresh()]})
    if not entries:
        entries.append({"type": "FutureReturn", "inputs": [columns[0]], "horizon": 1, "outputs": [fresh()]})
    return {"input_columns": columns, "targets": entries}


@settings(max_examples=80, deadline=None)
@given(documents())
def test_document_pipeline_document_round_trip(tmp_path_factory, document):
    pipeline = sarvek.pipeline_from_dict(document)
    assert sarvek.pipeline_to_dict(pipeline) == document
    path = tmp_path_factory.mktemp("rt") / "p.toml"
    sarvek.save_pipeline(pipeline, path)  # names with quotes, backslashes, control characters...
    assert tomllib.loads(path.read_text(encoding="utf-8")) == document
    again = sarvek.load_pipeline(path)
    assert sarvek.pipeline_to_dict(again) == document
    same_pipeline(again, pipeline)


def test_kama_parameters_are_always_written_out():
    base = {"type": "Kama", "inputs": ["c"], "window": 5, "outputs": ["k"]}
    for entry, fast, slow in ((base, 2, 30), (dict(base, fast=2, slow=30), 2, 30), (dict(base, slow=9), 2, 9),
                              (dict(base, fast=3, slow=20), 3, 20)):
        built = sarvek.pipeline_from_dict({"input_columns": ["c"], "features": [entry]})
        assert sarvek.pipeline_to_dict(built)["features"] == [dict(base, fast=fast, slow=slow)]
    direct = sarvek.FeaturePipeline([sarvek.Kama(["c"], 5, ["k"], slow=9)], ["c"])
    same_pipeline(direct, sarvek.pipeline_from_dict({"input_columns": ["c"], "features": [dict(base, slow=9)]}))


FEATURE = {"type": "Sma", "inputs": ["close"], "window": 3, "outputs": ["s"]}
BAD = [
    ({"input_columns": ["close"]}, "neither 'features' nor 'targets'"),
    ({"input_columns": ["close"], "features": [FEATURE], "targets": []}, "both 'features' and 'targets'"),
    ({"features": [FEATURE]}, "missing field 'input_columns'"),
    ({"input_columns": "close", "features": [FEATURE]}, "input_columns: expected an array of strings, got str"),
    ({"input_columns": ["close", 3], "features": [FEATURE]}, r"input_columns\[1\]: expected a string, got int 3"),
    ({"input_columns": ["close"], "features": FEATURE}, "features: expected an array of tables"),
    ({"input_columns": ["close"], "features": [FEATURE], "extra": 1}, "extra: unknown field"),
    ({"input_columns": ["close"], "features": [FEATURE, 5]}, r"features\[1\]: expected a table, got int 5"),
    ({"input_columns": ["close"], "features": [FEATURE, {"inputs": ["close"]}]}, r"features\[1\]: missing field 'type'"),
    ({"input_columns": ["close"], "features": [FEATURE, dict(FEATURE, type="Smaa", outputs=["t"])]},
     r"features\[1\]\.type: unknown feature type 'Smaa'; known: Sma, Ema"),
    ({"input_columns": ["close"], "features": [dict(FEATURE, type="FutureReturn")]},
     r"features\[0\]\.type: unknown feature type 'FutureReturn'"),
    ({"input_columns": ["close"], "targets": [dict(FEATURE, type="Sma")]}, r"targets\[0\]\.type: unknown target type"),
    ({"input_columns": ["close"], "features": [dict(FEATURE, windw=3)]},
     r"features\[0\]\.windw: unknown parameter of Sma; its parameters are inputs, window, outputs"),
    ({"input_columns": ["close"], "features": [dict(FEATURE, fast=3)]}, r"features\[0\]\.fast: unknown parameter"),
    ({"input_columns": ["close"], "features": [dict(FEATURE, window="3")]},
     r"features\[0\]\.window: expected a non-negative integer, got str '3'"),
    ({"input_columns": ["close"], "features": [dict(FEATURE, window=True)]}, r"features\[0\]\.window: .*got bool"),
    ({"input_columns": ["close"], "features": [dict(FEATURE, window=-1)]}, r"features\[0\]\.window: .*got -1"),
    ({"input_columns": ["close"], "features": [dict(FEATURE, window=3.0)]}, r"features\[0\]\.window: .*got float"),
    ({"input_columns": ["close"], "features": [dict(FEATURE, inputs=["close", 1])]},
     r"features\[0\]\.inputs\[1\]: expected a string"),
    ({"input_columns": ["close"], "features": [{"type": "Sma", "inputs": ["close"], "window": 3}]},
     r"features\[0\]: Sma needs the field 'outputs'"),
    ({"input_columns": ["close"], "features": [dict(FEATURE, window=0)]},
     r"features\[0\] \(Sma\): Invalid input: window must be non-zero"),
    ({"input_columns": ["close"], "targets": [{"type": "FutureCTCVolatility", "input": ["close"], "horizon": 2}]},
     r"targets\[0\]\.input: expected a string, got list"),
    ({"input_columns": ["open"], "features": [FEATURE]}, "features: .*close"),
    ({"input_columns": ["close"], "features": [FEATURE, FEATURE]}, "features: .*s"),
]


@pytest.mark.parametrize("document, message", BAD)
def test_bad_documents_name_the_entry_and_field(document, message, tmp_path):
    with pytest.raises(sarvek.PipelineError, match=message):
        sarvek.pipeline_from_dict(document)
    # From a file, the same message behind the file's name.
    path = tmp_path / "bad.toml"
    try:
        text = sarvek._pipeline.pipeline_to_toml(document)
    except (TypeError, KeyError, AttributeError):
        return  # not expressible as a pipeline file
    if tomllib.loads(text) != document:
        return
    path.write_text(text)
    with pytest.raises(sarvek.PipelineError, match=f"^{path}: .*{message}"):
        sarvek.load_pipeline(path)


def test_unreadable_files(tmp_path):
    truncated = tmp_path / "cut.toml"
    truncated.write_text('input_columns = ["close"]\n[[features]]\ntype = "Sma\n')
    with pytest.raises(sarvek.PipelineError, match=f"^{truncated}: not valid TOML"):
        sarvek.load_pipeline(truncated)
    with pytest.raises(FileNotFoundError):
        sarvek.load_pipeline(tmp_path / "absent.toml")
    assert issubclass(sarvek.PipelineError, ValueError)
    with pytest.raises(TypeError, match="pipeline must be"):
        sarvek.compute_features(42, {})


@pytest.mark.parametrize("text", ["x = " + "[" * 3000 + "]" * 3000, "x = " + "{a = " * 3000 + "1" + "}" * 3000])
def test_deeply_nested_files_are_refused_by_name(tmp_path, text):
    path = tmp_path / "deep.toml"
    path.write_text(text + "\n")
    with pytest.raises(sarvek.PipelineError, match=f"^{path}: .*nested too deeply"):
        sarvek.load_pipeline(path)


SMA = '[[features]]\ntype = "Sma"\ninputs = ["{i}"]\nwindow = 3\noutputs = ["{o}"]\n'


@pytest.mark.parametrize("body, expected", [
    (SMA.format(i="close", o="close"), ["output 'close' shadows the input column 'close'",
                                        "reads its own output 'close'; it gets the bar's input column"]),
    (SMA.format(i="close", o="high"), ["output 'high' shadows the input column 'high'"]),
    (SMA.format(i="s", o="s"), ["reads its own output 's'; it gets a missing value on every bar"]),
    (SMA.format(i="close", o="s"), []),
])
def test_shadowing_and_self_reads_are_warned_about(tmp_path, body, expected):
    path = tmp_path / "p.toml"
    path.write_text('input_columns = ["close", "high"]\n' + body)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        pipeline = sarvek.load_pipeline(path)
    messages = [str(w.message) for w in caught]
    assert all(w.category is sarvek.PipelineWarning for w in caught) and len(messages) == len(expected)
    for message, part in zip(messages, expected):
        assert message.startswith(f"{path}: features[0] (Sma): ") and part in message
    # The behaviour the warnings describe.
    closes = np.array([1.0, 2.0, 4.0, 8.0])
    got = sarvek.compute_features(pipeline, {"close": closes, "high": closes * 10})
    reads = {"close": closes, "s": np.full(4, np.nan)}[body.split('"')[3]]
    expected_sma = [np.nan, np.nan, reads[:3].sum() / 3, reads[1:].sum() / 3]
    np.testing.assert_array_equal(got.iloc[:, 0] if hasattr(got, "iloc") else got[pipeline.output_names()[0]],
                                  expected_sma)


def test_shipped_files_load_without_warnings():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for name in ("features.toml", "targets.toml"):
            sarvek.load_pipeline(EXAMPLES / name)


def test_saving_into_a_missing_folder_names_the_file(tmp_path):
    target = tmp_path / "absent" / "p.toml"
    with pytest.raises(FileNotFoundError, match="absent") as info:
        sarvek.save_pipeline(sarvek.load_pipeline(EXAMPLES / "features.toml"), target)
    assert info.value.filename == str(target) and ".sarvek-" not in str(info.value)


@pytest.mark.parametrize("make", [
    lambda: sarvek.Sma(["close"], 3, ["s"]),
    lambda: sarvek.FutureReturn(["close"], 2, ["r"]),
    lambda: sarvek.load_pipeline(EXAMPLES / "features.toml"),
    lambda: sarvek.load_pipeline(EXAMPLES / "targets.toml"),
])
@pytest.mark.parametrize("how", [pickle.dumps, copy.copy, copy.deepcopy])
def test_pickle_and_copy_point_to_the_plain_data_form(make, how):
    with pytest.raises(TypeError, match=r"cannot pickle or copy a \w+; .*sarvek\.pipeline_to_dict"):
        how(make())
