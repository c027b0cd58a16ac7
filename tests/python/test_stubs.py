"""The type stubs, generated at build time from the catalogue, match the
runtime: mypy's stubtest over _sarvek and sarvek, and a stub that drifts from
the runtime is caught."""
import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

pytest.importorskip("mypy")
# mypy runs in subprocesses here: slow, and nothing of the binding's memory
# safety to check under the sanitizers.
pytestmark = pytest.mark.slow
ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope="module")
def stubs():
    """The generated stubs, installed beside the extension: the module's and
    its `_classes` namespace's."""
    origin = pathlib.Path(importlib.util.find_spec("_sarvek").origin)
    path = origin.parent / "_sarvek-stubs"
    if not (path / "__init__.pyi").is_file():
        pytest.skip(f"_sarvek is not installed with its stubs (imported from {origin.parent})")
    return (path / "__init__.pyi").read_text(), (path / "_classes.pyi").read_text()


@pytest.fixture(scope="module")
def stub(stubs):
    return stubs[0]


def write_stubs(where, stubs, text=None):
    """The stub package `_sarvek` in `where`, its module stub replaced by `text`."""
    (where / "_sarvek").mkdir(parents=True, exist_ok=True)
    (where / "_sarvek" / "__init__.pyi").write_text(stubs[0] if text is None else text)
    (where / "_sarvek" / "_classes.pyi").write_text(stubs[1])


def stubtest(stub_dir, *modules):
    path = os.pathsep.join([str(stub_dir), str(ROOT / "src")])
    env = dict(os.environ, MYPYPATH=path, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(ROOT / "pyproject.toml"), *modules],
        capture_output=True, text=True, env=env, timeout=600, cwd=stub_dir.parent,
    )


def test_stubs_match_the_runtime(tmp_path, stubs):
    write_stubs(tmp_path / "stubs", stubs)
    # sarvek.__all__ is extended at import with the catalogue's further
    # classes; mypy reads only a literal __all__, so that one list differs.
    # The classes themselves are checked (they are star-imported from
    # _sarvek._classes, whose stubs are generated).
    (tmp_path / "allow.txt").write_text("sarvek.__all__\n")
    proc = stubtest(tmp_path / "stubs", "--allowlist", str(tmp_path / "allow.txt"), "_sarvek", "sarvek")
    assert proc.returncode == 0, proc.stdout + proc.stderr


@pytest.mark.parametrize("old, new", [
    ("def warm_up_period(self) -> int: ...", "def warm_up_period(self, bars: int) -> int: ..."),
    ("input: str, horizon: SupportsIndex", "input: str, horizon: SupportsIndex = 1"),
    ("fast: SupportsIndex = 2", "fast: SupportsIndex = 3"),
])
def test_a_drifted_stub_is_caught(tmp_path, stubs, stub, old, new):
    assert old in stub
    write_stubs(tmp_path / "stubs", stubs, stub.replace(old, new, 1))
    proc = stubtest(tmp_path / "stubs", "_sarvek")
    assert proc.returncode != 0 and "_sarvek." in proc.stdout, proc.stdout


def test_every_class_of_the_catalogue_has_its_stub(stubs):
    import _sarvek

    kinds = dict(names="Sequence[str]", name="str", count="SupportsIndex", real="float")
    for entry in _sarvek._catalog():
        params = ", ".join(
            f"{p['name']}: {kinds[p['type']]}" + ("" if p["default"] is None else f" = {p['default']!r}")
            for p in entry["params"]
        )
        text = stubs[0] if entry["public"] else stubs[1]
        assert f"class {entry['name']}:\n    def __new__(cls, {params}) -> Self: ..." in text


def test_sarvek_type_checks_with_its_stubs(tmp_path, stubs):
    (tmp_path / "use.py").write_text(
        "import numpy as np\nimport sarvek\n"
        "fp = sarvek.FeaturePipeline([sarvek.Sma(['close'], 3, ['s'])], ['close'])\n"
        "out: dict[str, int | None] = sarvek.first_valid_bar(fp)\n"
        "n: int = fp.warm_up_period()\n"
        "sarvek.compute_features(fp, {'close': np.ones(5)}, by=None)\n"
        "bad: str = fp.warm_up_period()\n"
        "bb = sarvek.BollingerBands(['close'], 20, ['m', 'u', 'l'], k=2.5)\n"
        "fp2 = sarvek.FeaturePipeline([bb, sarvek.ZScore(['m'], 5, ['z'])], ['close'])\n"
        "w: int = bb.warm_up_period()\n"
    )
    write_stubs(tmp_path / "stubs", stubs)
    env = dict(os.environ, MYPYPATH=os.pathsep.join([str(tmp_path / "stubs"), str(ROOT / "src")]))
    proc = subprocess.run([sys.executable, "-m", "mypy", "--config-file", str(ROOT / "pyproject.toml"),
                           "--no-incremental", "use.py"], capture_output=True, text=True, env=env,
                          cwd=tmp_path, timeout=600)
    # Exactly the one wrong line is reported: the stubs give real types.
    assert proc.stdout.count("error:") == 1 and "use.py:7" in proc.stdout, proc.stdout


def test_installed_stubs_are_found_without_help(tmp_path):
    """Once installed, mypy finds the stubs of the compiled core on its own
    (no MYPYPATH, run outside the source tree), so misuse is flagged."""
    origin = pathlib.Path(importlib.util.find_spec("_sarvek").origin)
    if origin.parent.name not in ("site-packages", "dist-packages"):
        pytest.skip(f"_sarvek is not installed (imported from {origin.parent})")
    assert (origin.parent / "_sarvek-stubs" / "__init__.pyi").is_file()
    (tmp_path / "use.py").write_text(
        "import _sarvek\nimport sarvek\n"
        "fp = sarvek.FeaturePipeline([sarvek.Sma(['close'], 3, ['s'])], ['close'])\n"
        "n: int = fp.warm_up_period()\n"
        "bad: str = _sarvek.Sma(['c'], 3, ['s']).warm_up_period()\n"
        "sarvek.Kama(['c'], '10', ['k'])\n"
    )
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    proc = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--python-executable", sys.executable,
                           "use.py"], capture_output=True, text=True, env=env, cwd=tmp_path, timeout=600)
    errors = [line for line in proc.stdout.splitlines() if ": error:" in line]
    assert [e.split(":")[1] for e in errors] == ["5", "6"], proc.stdout + proc.stderr
