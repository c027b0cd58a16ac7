"""The type stubs match the runtime: mypy's stubtest over _sarvek and sarvek,
and a stub that drifts from the runtime is caught."""
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
STUB = ROOT / "src" / "_sarvek.pyi"


def stubtest(stub_dir, *modules):
    env = dict(os.environ, MYPYPATH=str(stub_dir), PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(ROOT / "pyproject.toml"), *modules],
        capture_output=True, text=True, env=env, timeout=600, cwd=stub_dir,
    )


def test_stubs_match_the_runtime():
    proc = stubtest(ROOT / "src", "_sarvek", "sarvek")
    assert proc.returncode == 0, proc.stdout + proc.stderr


@pytest.mark.parametrize("old, new", [
    ("def warm_up_period(self) -> int: ...", "def warm_up_period(self, bars: int) -> int: ..."),
    ("input: str, horizon: SupportsIndex", "input: str, horizon: SupportsIndex = 1"),
    ("fast: SupportsIndex = 2", "fast: SupportsIndex = 3"),
])
def test_a_drifted_stub_is_caught(tmp_path, old, new):
    text = STUB.read_text()
    assert old in text
    (tmp_path / "_sarvek.pyi").write_text(text.replace(old, new, 1))
    proc = stubtest(tmp_path, "_sarvek")
    assert proc.returncode != 0 and "_sarvek." in proc.stdout, proc.stdout


def test_sarvek_type_checks_with_its_stubs(tmp_path):
    (tmp_path / "use.py").write_text(
        "import numpy as np\nimport sarvek\n"
        "fp = sarvek.FeaturePipeline([sarvek.Sma(['close'], 3, ['s'])], ['close'])\n"
        "out: dict[str, int | None] = sarvek.first_valid_bar(fp)\n"
        "n: int = fp.warm_up_period()\n"
        "sarvek.compute_features(fp, {'close': np.ones(5)}, by=None)\n"
        "bad: str = fp.warm_up_period()\n"
    )
    env = dict(os.environ, MYPYPATH=str(ROOT / "src"))
    proc = subprocess.run([sys.executable, "-m", "mypy", "--config-file", str(ROOT / "pyproject.toml"),
                           "--no-incremental", "use.py"], capture_output=True, text=True, env=env,
                          cwd=tmp_path, timeout=600)
    # Exactly the one wrong line is reported: the stubs give real types.
    assert proc.stdout.count("error:") == 1 and "use.py:7" in proc.stdout, proc.stdout


def test_installed_stubs_are_found_without_help(tmp_path):
    """Once installed, mypy finds the stubs of the compiled core on its own
    (no MYPYPATH, run outside the source tree), so misuse is flagged."""
    import importlib.util

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
