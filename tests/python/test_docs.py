"""The feature reference covers every class, and the README points to it."""
import pathlib
import re

import _sarvek

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_every_class_has_its_section_and_the_readme_links_it():
    text = (ROOT / "docs" / "features.md").read_text()
    headings = re.findall(r"^### (\w+)", text, flags=re.M)
    documented = {w for h in re.findall(r"^### (.+)$", text, flags=re.M) for w in re.findall(r"\w+", h)}
    classes = [e["name"] for e in _sarvek._catalog()]
    assert set(classes) <= documented, set(classes) - documented
    # SimpleReturn and LogReturn share one; the spread features have a shared one.
    assert len(headings) == len(classes) - 1 + 1
    assert "(docs/features.md)" in (ROOT / "README.md").read_text()
