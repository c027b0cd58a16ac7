"""The package is layered: the library below, the command line on top.
Nothing but the command line (and ``python -m sarvek``) may import it."""
import ast
import pathlib
import subprocess
import sys

import pytest

import sarvek

PACKAGE = pathlib.Path(sarvek.__file__).parent
LIBRARY = sorted(f"sarvek.{p.stem}" for p in PACKAGE.glob("*.py") if p.stem not in ("cli", "__main__", "__init__"))


@pytest.mark.parametrize("module", LIBRARY)
def test_library_modules_import_without_the_command_line(module):
    if module == "sarvek.dask":
        pytest.importorskip("dask.dataframe")
    # A None entry in sys.modules makes any import of that name fail.
    code = f"import sys; sys.modules['sarvek.cli'] = None; import {module}; print({module}.__name__)"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == module



def imported_modules(path: pathlib.Path) -> set[str]:
    """Every module an ``import`` anywhere in the file names, function
    bodies included, relative names made absolute within the package."""
    names = set()
    for node in ast.walk(ast.parse(path.read_text(), str(path))):
        if isinstance(node, ast.Import):
            names.update(a.name for a in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = "sarvek" + ("." + node.module if node.module else "") if node.level else node.module
            names.add(base)
            names.update(f"{base}.{a.name}" for a in node.names)
    return names


@pytest.mark.parametrize("module", LIBRARY)
def test_library_modules_never_import_the_command_line_even_late(module):
    path = PACKAGE / (module.split(".")[1] + ".py")
    assert "sarvek.cli" not in imported_modules(path)
