"""The core stays free of Python and of process-ending calls."""
import re
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parents[1] / "src"
CORE = [p for p in SRC.rglob("*") if p.suffix in (".h", ".cpp") and "python" not in p.relative_to(SRC).parts]


@pytest.mark.skipif(not SRC.is_dir(), reason="sources not available")
def test_core_has_no_python_and_no_abort():
    assert CORE
    offenders = []
    pattern = re.compile(r"#\s*include\s*[<\"]Python\.h|\b(abort|exit|quick_exit|terminate)\s*\(")
    for path in CORE:
        for number, line in enumerate(path.read_text().splitlines(), 1):
            if pattern.search(line.split("//")[0]):
                offenders.append(f"{path.relative_to(SRC)}:{number}: {line.strip()}")
    assert offenders == []


@pytest.mark.skipif(not SRC.is_dir(), reason="sources not available")
def test_binding_reaches_the_core_only_through_the_public_headers():
    binding = [p for p in (SRC / "python").iterdir() if p.suffix in (".h", ".cpp")]
    assert binding
    include = re.compile(r'#\s*include\s*"([^"]+)"')
    offenders = [
        f"{path.name}: {match.group(1)}"
        for path in binding
        for match in include.finditer(path.read_text())
        if not match.group(1).startswith(("python/", "tarvik/"))
    ]
    assert offenders == []
