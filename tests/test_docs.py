"""The documentation stays true: the quickstart runs, the API page names every member."""
import re
from pathlib import Path

import pytest

from tarvik_core import QormTokenizer

DOCS = Path(__file__).resolve().parents[1] / "docs"
pytestmark = pytest.mark.skipif(not DOCS.is_dir(), reason="docs not available")


def test_quickstart_runs(tmp_path, monkeypatch, capsys):
    text = (DOCS / "quickstart.md").read_text()
    blocks = re.findall(r"```python\n(.*?)```", text, re.DOTALL)
    assert len(blocks) >= 6
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "quickstart"}
    for block in blocks:  # one session, as the page says
        exec(compile(block, "quickstart.md", "exec"), namespace)
    # The outputs the page shows in its comments.
    printed = capsys.readouterr().out.splitlines()
    assert printed[0] == "QormTokenizer(vocab_size=4097, lossless=True, filters=none)"
    assert printed[-1] == "['normalize_whitespace', 'lowercase_ascii']"


def test_api_page_names_every_member():
    headings = [line for line in (DOCS / "api.md").read_text().splitlines() if line.startswith("### ")]
    members = [name for name in vars(QormTokenizer) if not name.startswith("_")]
    assert members
    missing = [name for name in members if not any(re.search(rf"[`.]{name}\b", h) for h in headings)]
    assert missing == []
    for slot in ("QormTokenizer(", "len(tokenizer)", "repr(tokenizer)"):
        assert any(slot in h for h in headings), slot
