"""Console output when standard error is closed or failing."""
import subprocess
import sys
import textwrap

import pytest

SCRIPT = textwrap.dedent(
    """
    import os, sys
    import tarvik_core
    {setup}
    try:
        tok = tarvik_core.QormTokenizer(b"ab ab cd cd " * 50, vocab_size=300, verbose=True)
        print("trained", tok.vocab_size)
    except BaseException as e:
        print("raised", type(e).__name__, type(e).__mro__[1].__name__, e)
    """
)


def run(setup: str) -> str:
    out = subprocess.run(
        [sys.executable, "-c", SCRIPT.format(setup=setup)],
        capture_output=True, text=True, timeout=120,
    )
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


def test_closed_stderr_counts_as_written():
    assert run("os.close(2)").startswith("trained ")


@pytest.mark.skipif(not __import__("os").path.exists("/dev/full"), reason="needs /dev/full")
def test_failing_stderr_is_internal_fault():
    line = run("fd = os.open('/dev/full', os.O_WRONLY); os.dup2(fd, 2)")
    assert line.startswith("raised InternalError BaseException failed printing to stderr: ")
    assert "os error 28" in line
