"""Batch and array encoding: every item equals encoding it alone, arrays equal
the lists, ordinary text never yields a special id, bad items name their
index, Ctrl-C stops a large batch, and calls leak no references."""
import gc
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import tracemalloc
from pathlib import Path

import pytest

import tarvik_core

np = pytest.importorskip("numpy")

HELDOUT = Path(__file__).resolve().parents[2] / "shared" / "corpora" / "heldout" / "mixed.txt"
SPECIAL = "<|doc|>"

MODES = {
    "scored": (lambda tok, t, **kw: tok.encode(t), dict(greedy=False)),
    "greedy": (lambda tok, t, **kw: tok.encode(t, greedy=True), dict(greedy=True)),
}


@pytest.fixture(scope="module")
def tok(corpus):
    return tarvik_core.QormTokenizer(
        corpus[:200_000], vocab_size=700, show_progress=False, check_quality=False,
        special_tokens=[SPECIAL, "<pad>"],
    )


def random_texts(rng, count):
    alphabet = "ab cd\u00e9\u4e2d\n" + SPECIAL
    texts = []
    for _ in range(count):
        kind = rng.random()
        if kind < 0.1:
            texts.append("")
        elif kind < 0.3:
            texts.append(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 60))))
        else:
            texts.append("".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 200))))
    return texts


def real_texts():
    if HELDOUT.is_file():
        with HELDOUT.open("rb") as f:
            return [next(f) for _ in range(300)]
    return [line + b"\n" for line in tarvik_core.__doc__.encode().split(b".")]


def long_texts(corpus):
    # Past the chunk threshold (131072 bytes), exactly at it, and one byte over.
    return [corpus[:300_000], corpus[:131_072], corpus[1:131_074], b"x"]


def single(tok, text, mode, special=True):
    if mode == "dense":
        return tok.encode_dense(text) if special else tok.encode_ordinary(text, dense=True)
    greedy = mode == "greedy"
    return tok.encode(text, greedy) if special else tok.encode_ordinary(text, greedy)


def batch_lists(tok, texts, mode, special=True):
    if mode == "dense":
        return tok.encode_dense_batch(texts, special=special)
    return tok.encode_batch(texts, mode == "greedy", special=special)


def split(ids, offsets):
    return [ids[offsets[i]:offsets[i + 1]].tolist() for i in range(len(offsets) - 1)]


@pytest.mark.parametrize("mode", ["scored", "greedy", "dense"])
@pytest.mark.parametrize("special", [True, False])
@pytest.mark.parametrize("source", ["random", "real", "long", "single", "empty", "windows"])
def test_item_equals_single_encoding(tok, corpus, rng, mode, special, source):
    texts = {
        "random": lambda: random_texts(rng, 200),
        # Batches are converted and encoded in windows of 1024 items or 1 MiB:
        # both kinds of window end here, and the boundaries must carry over.
        "windows": lambda: random_texts(rng, 1500) + [corpus[:400_000]] * 3
        + random_texts(rng, 700),
        "real": real_texts,
        "long": lambda: long_texts(corpus),
        "single": lambda: ["one " + SPECIAL + " item"],
        "empty": list,
    }[source]()
    want = [single(tok, t, mode, special) for t in texts]
    assert batch_lists(tok, texts, mode, special) == want
    ids, offsets = tok.encode_batch_to_numpy(
        texts, greedy=mode == "greedy", dense=mode == "dense", special=special
    )
    assert ids.dtype == np.uint32 and offsets.dtype == np.int64
    assert len(offsets) == len(texts) + 1 and offsets[0] == 0 and offsets[-1] == len(ids)
    assert split(ids, offsets) == want
    for text, expected in zip(texts[:20], want):
        array = tok.encode_to_numpy(text, mode == "greedy", mode == "dense", special=special)
        assert array.dtype == np.uint32 and array.tolist() == expected


def test_arrays_own_their_memory(tok):
    ids, offsets = tok.encode_batch_to_numpy(["some text", "more"])
    want = ids.tolist()
    del offsets
    gc.collect()
    ids[0] = ids[0]  # writable
    assert ids.tolist() == want
    assert memoryview(ids.base).format == "I"


@pytest.mark.parametrize("mode", ["scored", "greedy", "dense"])
def test_ordinary_text_never_yields_a_special_id(tok, rng, mode):
    special_ids = {i for _, i in tok.special_tokens()}
    texts = [SPECIAL, "<pad>" + SPECIAL + "<pad>", "x" + SPECIAL] + random_texts(rng, 50)
    assert set(single(tok, SPECIAL, mode)) <= special_ids
    for text, ids in zip(texts, batch_lists(tok, texts, mode, special=False)):
        assert not special_ids & set(ids)
        raw = text.encode() if isinstance(text, str) else text
        assert tok.decode_bytes(ids) == raw


def test_filters_apply_to_every_item(fresh):
    fresh.add_filter("lowercase")
    texts = ["ABC Def", b"XYZ"]
    assert fresh.encode_batch(texts) == [fresh.encode(t) for t in texts]


@pytest.mark.parametrize("enabled", [True, False])
def test_batch_leaves_the_garbage_collector_as_it_found_it(tok, enabled):
    (gc.enable if enabled else gc.disable)()
    try:
        lists = tok.encode_batch(["a b"] * 3000)
        assert gc.isenabled() is enabled
        assert all(gc.is_tracked(ids) for ids in lists[:3])
    finally:
        gc.enable()


def test_generator_is_consumed_once(tok):
    consumed = []

    def texts():
        for t in ["a", "b c", "d"]:
            consumed.append(t)
            yield t

    assert tok.encode_batch(texts()) == [tok.encode(t) for t in ["a", "b c", "d"]]
    assert consumed == ["a", "b c", "d"]


BATCH_CALLS = [
    lambda tok, texts: tok.encode_batch(texts),
    lambda tok, texts: tok.encode_dense_batch(texts),
    lambda tok, texts: tok.encode_batch_to_numpy(texts),
]


# The next window is read while the one before is encoded: what the iterable
# raises then, and calls it makes into the same tokenizer, behave as they
# would if the windows were read one after the other.
@pytest.mark.parametrize("call", BATCH_CALLS)
@pytest.mark.parametrize("fail_at", [5, 1500, 2999])
def test_an_error_from_the_iterable_reaches_the_caller(tok, call, fail_at):
    def texts():
        for i in range(3000):
            if i == fail_at:
                raise LookupError(f"source failed at {i}")
            yield f"item {i} of the batch"

    with pytest.raises(LookupError, match=f"^source failed at {fail_at}$"):
        call(tok, texts())


@pytest.mark.parametrize("mode", ["scored", "dense", "numpy"])
def test_the_iterable_may_use_the_tokenizer_meanwhile(tok, mode):
    nested = []

    def texts():
        for i in range(3000):
            nested.append(tok.encode_batch([f"inner {i}"])[0] == tok.encode(f"inner {i}"))
            yield f"outer {i} {SPECIAL}"

    items = [f"outer {i} {SPECIAL}" for i in range(3000)]
    if mode == "numpy":
        got = split(*tok.encode_batch_to_numpy(texts()))
    else:
        got = batch_lists(tok, texts(), mode)
    assert got == [single(tok, t, "dense" if mode == "dense" else "scored") for t in items]
    assert len(nested) == 3000 and all(nested)


# A child forked by the iterable while a window is encoded has none of the
# pool's threads: its batch fails (or, with one runner, completes) instead of
# waiting for them forever; the parent's batch is unharmed.
FORK_SCRIPT = """
import os, sys, warnings
import tarvik_core
warnings.simplefilter("ignore", DeprecationWarning)  # fork() of a threaded process
tok = tarvik_core.QormTokenizer.from_file(sys.argv[1])
parent = os.getpid()
def texts():
    for i in range(6000):
        if i == 1500:
            os.fork()
        yield f"item {i} of the batch"
try:
    ids = tok.encode_batch(texts())
    want = [tok.encode(f"item {i} of the batch") for i in range(6000)]
    outcome = "ok" if ids == want else "wrong ids"
except BaseException as e:
    outcome = f"{type(e).__name__}: {e}"
if os.getpid() != parent:
    print("child", outcome, flush=True)
    os._exit(0)
os.wait()
print("parent", outcome, flush=True)
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
@pytest.mark.parametrize("workers", ["1", "2"])
def test_a_fork_inside_the_iterable_never_hangs(tok, tmp_path, workers):
    model = tmp_path / "model.json"
    tok.save(str(model))
    env = dict(os.environ, RAYON_NUM_THREADS=workers)
    run = subprocess.run([sys.executable, "-c", FORK_SCRIPT, str(model)], env=env,
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    lines = dict(line.split(" ", 1) for line in run.stdout.splitlines())
    assert lines["parent"] == "ok"
    assert lines["child"] == "ok" or "forked while work was spread over the worker pool" in lines["child"]
    if workers == "1":
        assert lines["child"] == "ok"


# The read-ahead with one runner: it runs before each window's encoding.
ONE_RUNNER_SCRIPT = """
import sys
import tarvik_core
tok = tarvik_core.QormTokenizer.from_file(sys.argv[1])
items = [f"line {i} \u00e9" for i in range(5000)]
assert tok.encode_batch(iter(items)) == [tok.encode(t) for t in items]
ids, offsets = tok.encode_batch_to_numpy(iter(items))
assert [ids[offsets[i]:offsets[i + 1]].tolist() for i in range(len(items))] == [tok.encode(t) for t in items]
def failing():
    yield from items[:2500]
    raise LookupError("late")
for call in (tok.encode_batch, tok.encode_batch_to_numpy):
    try:
        call(failing())
    except LookupError as e:
        assert str(e) == "late"
    else:
        raise AssertionError("no error")
print("ok")
"""


def test_batches_with_one_runner(tok, tmp_path):
    model = tmp_path / "model.json"
    tok.save(str(model))
    run = subprocess.run([sys.executable, "-c", ONE_RUNNER_SCRIPT, str(model)],
                         env=dict(os.environ, RAYON_NUM_THREADS="1"),
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0 and run.stdout == "ok\n", run.stderr


@pytest.mark.parametrize("call", BATCH_CALLS)
@pytest.mark.parametrize("bad", [3, None, ["x"], 1.5])
@pytest.mark.parametrize("index", [3, 2500])  # in the first window, or after two
def test_non_text_item_names_its_index(tok, call, bad, index):
    texts = ["fine", b"also", "ok"] * (index // 3) + ["x"] * (index % 3) + [bad, "never reached"]
    with pytest.raises(TypeError, match=rf"^texts\[{index}\]: text must be str or bytes$"):
        call(tok, texts)
    # A single str would be a batch of its characters.
    with pytest.raises(TypeError, match=r"^texts must be an iterable of texts, not str$"):
        call(tok, "abc")


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda tok: tok.encode_to_numpy("a", greedy=True, dense=True), ValueError),
        (lambda tok: tok.encode_batch_to_numpy(["a"], True, True), ValueError),
        (lambda tok: tok.encode_ordinary("a", True, True), ValueError),
        (lambda tok: tok.encode_batch(["a"], False, True), TypeError),  # special is keyword-only
        (lambda tok: tok.encode_dense_batch(["a"], True), TypeError),
        (lambda tok: tok.encode_batch(["a"], special=1), TypeError),
        (lambda tok: tok.encode_batch(5), TypeError),
        (lambda tok: tok.decode_batch("abc"), TypeError),
    ],
)
def test_refused_arguments(tok, call, error):
    with pytest.raises(error):
        call(tok)


def test_decode_batch_reads_lists_tuples_and_arrays(tok, rng):
    texts = random_texts(rng, 30)
    lists = tok.encode_batch(texts)
    items = []
    for i, ids in enumerate(lists):
        kind = i % 5
        items.append(
            ids if kind == 0 else tuple(ids) if kind == 1
            else np.array(ids, dtype=np.uint32) if kind == 2
            else np.array(ids, dtype=np.int64) if kind == 3
            else np.repeat(np.array(ids, dtype=np.uint16), 2)[::2] if max(ids, default=0) < 65536 else ids
        )
    assert tok.decode_batch(items) == [tok.decode(ids) for ids in lists]
    assert tok.decode_batch(iter(items)) == tok.decode_batch(items)
    assert tok.decode_batch([]) == []


@pytest.mark.parametrize(
    "item, error, message",
    [
        (np.array([5, -1], dtype=np.int32), OverflowError, "out of range integral type conversion attempted"),
        ([5, -1], OverflowError, "out of range integral type conversion attempted"),
        (np.array([2**32], dtype=np.uint64), OverflowError, "out of range"),
        ([5, 2**64], OverflowError, "out of range integral type conversion attempted"),
        (memoryview(bytes(8)).cast("I", shape=[1, 2]), TypeError, r"^id_lists\[1\]: expected a sequence of one"),
        (["x"], TypeError, r"^id_lists\[1\]: "),
        (np.array([[1, 2]]), TypeError, r"^id_lists\[1\]: "),
    ],
)
def test_decode_batch_refuses_bad_ids(tok, item, error, message):
    with pytest.raises(error, match=message):
        tok.decode_batch([[1], item])


def test_decode_batch_id_beyond_table_is_internal_fault(tok, internal_error):
    with pytest.raises(internal_error, match="index out of bounds"):
        tok.decode_batch([[1], np.array([len(tok)], dtype=np.uint32)])


def test_threads_share_one_tokenizer(tok, corpus):
    texts = [corpus[i:i + 5000] for i in range(0, 200_000, 5000)]
    want = tok.encode_batch(texts)
    errors = []

    def work():
        try:
            for _ in range(3):
                assert tok.encode_batch(texts) == want
                ids, offsets = tok.encode_batch_to_numpy(texts)
                assert split(ids, offsets) == want
        except BaseException as e:  # noqa: B036 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


@pytest.mark.parametrize("numpy", [False, True])
def test_a_list_changed_during_the_call_is_read_as_it_was(tok, numpy):
    # The lock is released between windows; another thread that shrinks the
    # list meanwhile must not make the batch skip or repeat items.
    texts = [f"item {i} " + "some words " * 8 for i in range(300_000)]
    want = tok.encode_batch(tuple(texts))
    started = threading.Event()

    def shrink():
        started.wait()
        time.sleep(0.02)
        del texts[:100_000]

    thread = threading.Thread(target=shrink)
    thread.start()
    started.set()
    try:
        if numpy:
            got = split(*tok.encode_batch_to_numpy(texts))
        else:
            got = tok.encode_batch(texts)
    finally:
        thread.join()
    assert len(texts) == 200_000
    # The list as it was when the call began: whole, or (had the other
    # thread been first) already shrunk; never a mix of the two.
    assert got == want or got == want[100_000:]


@pytest.mark.parametrize(
    "call",
    [
        lambda tok, texts: tok.encode_batch(texts),
        lambda tok, texts: tok.encode_batch_to_numpy(texts),
        lambda tok, texts: tok.encode_to_numpy(texts[0]),
        lambda tok, texts: tok.encode_ordinary(texts[1]),
        lambda tok, texts: tok.decode_batch([[1, 2], np.array([3], dtype=np.uint32)]),
        lambda tok, texts: pytest.raises(TypeError, tok.encode_batch, texts + [7]),
    ],
)
def test_no_reference_or_memory_leak(tok, call):
    texts = ["caf\u00e9 au lait " * 3, b"bytes " + SPECIAL.encode(), "plain"]
    for _ in range(50):
        call(tok, texts)
    gc.collect()
    refs = [sys.getrefcount(t) for t in texts]
    tracemalloc.start()
    try:
        for _ in range(500):
            call(tok, texts)
        gc.collect()
        first, _ = tracemalloc.get_traced_memory()
        for _ in range(2000):
            call(tok, texts)
        gc.collect()
        second, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(t) for t in texts] == refs
    assert second - first < 64 * 1024


NUMPY_MISSING_CHILD = textwrap.dedent(
    """
    import sys
    sys.modules["numpy"] = None
    import tarvik_core
    tok = tarvik_core.QormTokenizer(b"abc abd", vocab_size=258, show_progress=False,
                                    check_quality=False)
    try:
        tok.encode_to_numpy("abc")
    except ImportError as e:
        print(e)
    print(tok.encode_batch(["abc"]) == [tok.encode("abc")])
    """
)


def test_missing_numpy_is_an_import_error_naming_the_fix():
    out = subprocess.run(
        [sys.executable, "-c", NUMPY_MISSING_CHILD], capture_output=True, text=True, timeout=60,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
    ).stdout
    assert out == "numpy is required for encode_to_numpy; install it with: pip install numpy\nTrue\n"


SIGINT_CHILD = textwrap.dedent(
    """
    import os, sys
    import tarvik_core
    corpus = os.urandom(300_000).translate(bytes(97 + i % 26 for i in range(256)))
    tok = tarvik_core.QormTokenizer(corpus, vocab_size=300, show_progress=False,
                                    check_quality=False)
    # Either way tens of seconds of work: few long items, or many short ones
    # (windows of 1024 items that each take well under the poll interval).
    size, count = (4_000_000, 2_000) if sys.argv[1] == "long" else (200, 10_000_000)
    if sys.argv[2] == "decode_batch":
        # Reading the lists runs no Python code that would see the signal.
        texts = [(list(range(256)) * (size // 256 + 1))[:size]] * count
    else:
        texts = [os.urandom(size).translate(bytes(97 + i % 26 for i in range(256)))] * count
    call = getattr(tok, sys.argv[2])
    try:
        print("encoding", flush=True)
        call(texts)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    """
)


@pytest.mark.parametrize("items", ["long", "short"])
@pytest.mark.parametrize("method", ["encode_batch", "encode_batch_to_numpy", "decode_batch"])
def test_sigint_stops_a_large_batch(items, method):
    child = subprocess.Popen(
        [sys.executable, "-c", SIGINT_CHILD, items, method], stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, text=True,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
    )
    try:
        assert child.stdout.readline() == "encoding\n"
        time.sleep(0.5)  # well inside the call
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        line = child.stdout.readline()
        # Not a speed figure: an interrupt seen only when the call ends would
        # arrive tens of seconds later.
        waited = time.monotonic() - sent
        out, err = child.communicate(timeout=120)  # a hang guard only
    finally:
        child.kill()
    assert line == "interrupted\n", err
    assert waited < 5, f"KeyboardInterrupt came {waited:.1f} s after the signal"
    assert child.returncode == 0
