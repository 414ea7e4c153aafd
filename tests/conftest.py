import os
import random
import sys
import sysconfig
from pathlib import Path

import pytest

import tarvik_core


def stdlib_text(limit: int) -> bytes:
    """Real text every Python install has: the standard library's own sources."""
    root = Path(sysconfig.get_paths()["stdlib"])
    chunks, size = [], 0
    for path in sorted(root.glob("*.py")):
        data = path.read_bytes()
        chunks.append(data)
        size += len(data)
        if size >= limit:
            break
    return b"".join(chunks)[:limit]


@pytest.fixture(scope="session")
def corpus() -> bytes:
    return stdlib_text(400_000)


@pytest.fixture(scope="session")
def trained(corpus):
    """A tokenizer trained once per session; tests must not change it."""
    return tarvik_core.QormTokenizer(
        corpus, vocab_size=1024, show_progress=False, check_quality=False
    )


@pytest.fixture
def fresh(corpus):
    """A small tokenizer a test may change."""
    return tarvik_core.QormTokenizer(
        corpus[:50_000], vocab_size=400, show_progress=False, check_quality=False
    )


@pytest.fixture
def rng(request):
    seed = int(os.environ.get("TARVIK_TEST_SEED", random.randrange(1 << 30)))
    request.node.user_properties.append(("seed", seed))
    print(f"random seed: {seed} (set TARVIK_TEST_SEED to repeat)", file=sys.stderr)
    return random.Random(seed)


def internal_error_type():
    """The module's internal-fault exception class, reached the way users meet it."""
    tok = tarvik_core.QormTokenizer(b"", vocab_size=256, show_progress=False, check_quality=False)
    try:
        tok.decode([10**6])
    except BaseException as e:  # noqa: B036 - the class derives from BaseException on purpose
        if isinstance(e, (Exception, KeyboardInterrupt, SystemExit, GeneratorExit)):
            raise AssertionError(f"decoding an id beyond the table raised {e!r}") from e
        return type(e)
    raise AssertionError("decoding an id beyond the table did not fail")


@pytest.fixture(scope="session")
def internal_error():
    """The internal-fault class, so that tests can expect exactly it."""
    return internal_error_type()
