"""Training from files, iterators and count blobs.

The equality rule: texts counted separately have the chunks of their
concatenation exactly when every text after the first begins with a
whitespace byte (an empty text anywhere changes nothing). Under it, every way
of training must save a model file byte-identical to the constructor's on the
concatenation, and print the same quality report. Texts that merely *end* with
whitespace are not enough: "x\\n" + "y\\n" has the chunk "\\ny", which the
separate texts do not.
"""

import os
import re
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from tarvik_core import QormTokenizer as Q

SHARED = Path(__file__).resolve().parents[1].parent.parent / "shared" / "corpora"
if not SHARED.is_dir():
    SHARED = Path("/work/shared/corpora")

QUIET = dict(show_progress=False)


def split_at_whitespace(data: bytes, pieces: int) -> list[bytes]:
    """Cuts just before whitespace bytes, so every piece after the first starts with one."""
    cuts = [0]
    for k in range(1, pieces):
        m = re.compile(rb"[ \t\r\n]").search(data, max(len(data) * k // pieces, cuts[-1] + 1))
        if m is None:
            break
        cuts.append(m.start())
    cuts.append(len(data))
    return [data[a:b] for a, b in zip(cuts, cuts[1:])]


def model_bytes(tokenizer, tmp_path: Path, name: str) -> bytes:
    path = tmp_path / f"{name}.json"
    tokenizer.save(str(path))
    return path.read_bytes()


def write_files(texts, directory: Path) -> list[Path]:
    directory.mkdir(exist_ok=True)
    paths = []
    for i, text in enumerate(texts):
        path = directory / f"{i:04d}.txt"
        path.write_bytes(text)
        paths.append(path)
    return paths


def random_texts(rng, count: int) -> list[bytes]:
    alphabet = ["a", "b", "c", "é", "ж", "中", "🙂", "\x00", "\x7f"]
    texts = []
    for i in range(count):
        words = ["".join(rng.choice(alphabet) for _ in range(rng.randint(1, 9)))
                 for _ in range(rng.randint(0, 40))]
        seps = [rng.choice([" ", "\n", "\t", "\r", "  "]) for _ in words]
        body = "".join(s + w for s, w in zip(seps, words)).encode()
        texts.append(body if i else body.lstrip())
    return texts


def edge_texts() -> list[bytes]:
    multibyte = " ".join(["é" * 7, "中" * 5, "🙂" * 3] * 70_000).encode()  # ~3 MB, chars across 1 MiB blocks
    return [
        b"",
        b"first words of the corpus",
        b"",  # an empty file in the middle
        b" \n\t \r\n  ",  # a file of only whitespace
        b" " + b"x" * 3_000_000 + b" tail",  # one chunk across block boundaries
        b"\n" + multibyte,
        b"\nno final line feed",
    ]


def every_way(texts: list[bytes], tmp_path: Path, capfd, **options) -> dict[str, tuple[bytes, str]]:
    """(model file, standard error) of each way of training on the texts."""
    results = {}

    def record(name, make):
        capfd.readouterr()
        tokenizer = make()
        results[name] = (model_bytes(tokenizer, tmp_path, name), capfd.readouterr().err)

    paths = write_files(texts, tmp_path / "files")
    record("constructor", lambda: Q(b"".join(texts), **options))
    record("files", lambda: Q.train_from_files([str(p) for p in paths], **options))
    record("files as PathLike", lambda: Q.train_from_files(paths, **options))
    record("iterator", lambda: Q.train_from_iterator(iter(texts), **options))
    record("iterator of str and bytes-like", lambda: Q.train_from_iterator(
        (as_str_or_bytearray(t) for t in texts), **options))
    blobs = [Q.count_chunks(texts[i::3]) for i in range(3)]
    record("counts", lambda: Q.train_from_counts(Q.merge_chunk_counts(blobs), **options))
    return results


def as_str_or_bytearray(text: bytes):
    try:
        return text.decode()
    except UnicodeDecodeError:
        return bytearray(text)


def shared_corpus_texts() -> list[bytes]:
    if not (SHARED / "mixed.txt").is_file():
        pytest.skip("shared corpora not available")
    data = (SHARED / "mixed.txt").read_bytes()[:3_000_000]
    return split_at_whitespace(data, 60)


@pytest.mark.parametrize("case", ["shared corpora", "random", "edge cases"])
def test_every_way_saves_the_constructors_model(case, tmp_path, capfd, rng):
    texts = {"shared corpora": shared_corpus_texts, "random": lambda: random_texts(rng, 200),
             "edge cases": edge_texts}[case]()
    results = every_way(texts, tmp_path, capfd, vocab_size=2000, show_progress=False)
    expected_model, expected_report = results.pop("constructor")
    for name, (model, report) in results.items():
        assert model == expected_model, name
        assert report == expected_report, name


def test_a_chunk_across_the_batch_boundary(tmp_path):
    """A file longer than one counting batch, its longest chunk cut by the batch end."""
    words = b" ".join(b"w%d" % (i % 5000) for i in range(2_300_000))  # ~15 MB
    data = words + b" " + b"z" * 3_000_000 + b"\nend"
    path = tmp_path / "big.txt"
    path.write_bytes(data)
    options = dict(vocab_size=300, show_progress=False, check_quality=False)
    expected = model_bytes(Q(data, **options), tmp_path, "a")
    assert model_bytes(Q.train_from_files(path, **options), tmp_path, "b") == expected


def test_texts_that_only_end_with_whitespace_are_not_their_concatenation():
    texts = [b"x\n", b"y\n"]
    assert Q.count_chunks(texts) != Q.count_chunks(b"".join(texts))
    # The rule that does hold: each text after the first starts with whitespace.
    assert Q.count_chunks([b"x", b"\ny", b"\n"]) == Q.count_chunks(b"x\ny\n")


def test_the_quality_report_is_printed_the_same(tmp_path, capfd):
    texts = [b"tiny", b" corpus"]  # small enough to draw warnings
    results = every_way(texts, tmp_path, capfd, vocab_size=300, show_progress=False)
    report = results["constructor"][1]
    assert report.startswith("=== Dataset Quality Check ===\n")
    assert {r[1] for r in results.values()} == {report}


@pytest.mark.parametrize("make", [
    lambda d: Q.train_from_files([], **QUIET),
    lambda d: Q.train_from_files([d / "empty.txt", d / "empty.txt"], **QUIET),
    lambda d: Q.train_from_iterator([], **QUIET),
    lambda d: Q.train_from_iterator([b"", ""], **QUIET),
    lambda d: Q.train_from_counts(Q.count_chunks([]), **QUIET),
    lambda d: Q.train_from_counts(Q.merge_chunk_counts([]), **QUIET),
], ids=["no files", "empty files", "no items", "empty items", "empty blob", "no blobs"])
def test_empty_input_trains_like_the_empty_corpus(make, tmp_path):
    (tmp_path / "empty.txt").write_bytes(b"")
    expected = model_bytes(Q(b"", vocab_size=300, **QUIET), tmp_path, "expected")
    got = make(tmp_path)
    assert model_bytes(got, tmp_path, "got") == expected
    assert len(got) == 256


# --- bad input ---------------------------------------------------------------


def test_bad_paths_raise_the_matching_oserror_before_any_output(tmp_path, capfd):
    good = tmp_path / "good.txt"
    good.write_bytes(b"some text " * 1000)
    missing = tmp_path / "missing.txt"
    cases = [([good, missing], FileNotFoundError, missing), ([tmp_path, good], IsADirectoryError, tmp_path)]
    if os.geteuid() != 0:
        locked = tmp_path / "locked.txt"
        locked.write_bytes(b"secret")
        locked.chmod(0)
        cases.append(([good, locked], PermissionError, locked))
    capfd.readouterr()
    for paths, error, culprit in cases:
        with pytest.raises(error) as raised:
            Q.train_from_files(paths, verbose=True)
        assert raised.value.filename == str(culprit)
        assert str(culprit) in str(raised.value)
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("call, error, message", [
    (lambda: Q.train_from_iterator(["a", b"b", 3]), TypeError, "texts[2]: text must be str or bytes"),
    (lambda: Q.train_from_iterator(iter([None])), TypeError, "texts[0]: text must be str or bytes"),
    (lambda: Q.count_chunks([b"a", object()]), TypeError, "texts[1]: text must be str or bytes"),
    (lambda: Q.train_from_iterator(5), TypeError, "argument 'texts'"),
    (lambda: Q.train_from_files([b"a", 7]), TypeError, "paths[1]: path must be str or os.PathLike"),
    (lambda: Q.merge_chunk_counts([Q.count_chunks(b"a"), "text"]), TypeError, "blobs[1]: blob must be bytes-like"),
    (lambda: Q.merge_chunk_counts(Q.count_chunks(b"a")), TypeError, "blobs must be an iterable of blobs, not a single blob"),
    (lambda: Q.train_from_counts("not bytes"), TypeError, "blob must be bytes-like"),
    (lambda: Q.train_from_iterator([], verbose=1), TypeError, "argument 'verbose'"),
    (lambda: Q.train_from_iterator([], max_token_bytes=-1), OverflowError, "negative"),
    (lambda: Q.train_from_iterator([], 300, 0.3, False, True, None, True, 5), TypeError, "positional"),
])
def test_bad_arguments(call, error, message, capfd):
    with pytest.raises(error, match=re.escape(message)):
        call()
    assert capfd.readouterr().err == ""


def test_an_exception_from_the_iterable_comes_through():
    def texts():
        yield b"one"
        raise LookupError("from the generator")

    with pytest.raises(LookupError, match="from the generator"):
        Q.train_from_iterator(texts(), **QUIET)


def damaged_blobs():
    good = Q.count_chunks([b"alpha beta gamma", b" delta alpha"])
    flipped = bytearray(good)
    flipped[20] ^= 1
    return {
        "truncated": (good[:-3], "truncated"),
        "wrong magic": (b"X" + good[1:], "magic"),
        "wrong version": (good[:8] + b"\x09\x00\x00\x00" + good[12:], "version"),
        "bad checksum": (bytes(flipped), "checksum"),
        "empty": (b"", "truncated"),
    }


@pytest.mark.parametrize("name", list(damaged_blobs()))
def test_damaged_blobs_are_refused(name, capfd):
    blob, problem = damaged_blobs()[name]
    with pytest.raises(ValueError, match=problem):
        Q.train_from_counts(blob)
    with pytest.raises(ValueError, match=problem):
        Q.merge_chunk_counts([Q.count_chunks(b"fine"), blob])
    assert capfd.readouterr().err == ""


# --- blobs and options ---------------------------------------------------------


def test_merging_in_any_order_and_tree_gives_the_same_bytes(rng):
    texts = random_texts(rng, 60)
    whole = Q.count_chunks(texts)
    blobs = [Q.count_chunks(texts[i:i + 7]) for i in range(0, len(texts), 7)]
    assert Q.merge_chunk_counts(blobs) == whole
    for _ in range(5):
        shuffled = blobs[:]
        rng.shuffle(shuffled)
        # Reduce in a random binary tree.
        while len(shuffled) > 1:
            i = rng.randrange(len(shuffled) - 1)
            shuffled[i:i + 2] = [Q.merge_chunk_counts(iter(shuffled[i:i + 2]))]
        assert shuffled[0] == whole
    assert Q.merge_chunk_counts([whole]) == whole


def test_max_token_bytes_is_honoured(tmp_path):
    texts = split_at_whitespace(b" ".join([b"abcdefgh", b"abcdefghijkl", b"xyz"] * 2000), 10)
    limited = Q.train_from_iterator(texts, vocab_size=400, max_token_bytes=4, **QUIET)
    lengths = [len(limited.id_to_bytes(i)) for i in range(len(limited))]
    assert max(lengths) == 4
    unlimited = Q.train_from_iterator(texts, vocab_size=400, max_token_bytes=None, **QUIET)
    assert max(len(unlimited.id_to_bytes(i)) for i in range(len(unlimited))) > 4
    assert model_bytes(unlimited, tmp_path, "a") == model_bytes(Q(b"".join(texts), vocab_size=400, **QUIET), tmp_path, "b")
    blob = Q.count_chunks(texts)
    assert model_bytes(Q.train_from_counts(blob, vocab_size=400, max_token_bytes=4, **QUIET), tmp_path, "c") \
        == model_bytes(limited, tmp_path, "d")


def test_options_reach_the_model():
    t = Q.train_from_iterator(["hello world"] * 10, vocab_size=260, context_weight=0.7,
                              special_tokens=["<s>", "<s>"], **QUIET)
    assert t.vocab_size == 261 and t.get_special_token_id("<s>") == 260
    assert t.encode("<s>") == [260]


def test_progress_shows_counting_then_merges(tmp_path, capfd):
    path = tmp_path / "a.txt"
    path.write_bytes(b"some words here " * 100_000)
    capfd.readouterr()
    Q.train_from_files(path, vocab_size=300, check_quality=False)
    err = capfd.readouterr().err
    counting = err.index("\r  Counting [" + "\u2588" * 30 + "] 100% | 1.6/1.6 MB | done | ")
    assert err.index("merges | done |") > counting
    Q.train_from_iterator([b"abc def"] * 10, vocab_size=260, check_quality=False)
    assert re.search(r"\r  Counting \| 0\.0 MB \| done \| \d+\.\ds total {10}\n", capfd.readouterr().err)


# --- interruption ----------------------------------------------------------------

INTERRUPTED = """
import sys, threading, time
from pathlib import Path
from tarvik_core import QormTokenizer as Q
mode, directory = sys.argv[1], Path(sys.argv[2])
print("ready", flush=True)
try:
    if mode == "files":
        Q.train_from_files(sorted(directory.glob("*.txt")), vocab_size=60000, show_progress=False)
    else:
        def texts():
            i = 0
            while True:
                i += 1
                yield b" word%d and more words" % i
        Q.train_from_iterator(texts(), vocab_size=60000, show_progress=False)
except KeyboardInterrupt:
    time.sleep(0.2)
    print("interrupted", threading.active_count(), flush=True)
"""


@pytest.fixture(scope="module")
def big_files(tmp_path_factory):
    directory = tmp_path_factory.mktemp("big")
    line = b" ".join(b"w%d" % i for i in range(200_000)) + b"\n"
    for i in range(6):
        (directory / f"{i}.txt").write_bytes(line * 12)  # ~17 MB each
    return directory


@pytest.mark.parametrize("mode", ["files", "iterator"])
@pytest.mark.parametrize("delay", [0.3, 2.5])
def test_sigint_interrupts_with_keyboardinterrupt(mode, delay, big_files, tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.Popen([sys.executable, "-c", INTERRUPTED, mode, str(big_files)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, text=True)
    try:
        assert proc.stdout.readline() == "ready\n"
        import time
        time.sleep(delay)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)  # a hang guard, not a timing
    finally:
        proc.kill()
    assert out.strip() == "interrupted 1", err
    assert list(tmp_path.iterdir()) == []


RUNNERS_SCRIPT = """
import hashlib, sys
from tarvik_core import QormTokenizer as Q
data = open(sys.argv[1], "rb").read()
Q(data, vocab_size=3000, show_progress=False).save(sys.argv[2] + ".mem.json")
Q.train_from_files([sys.argv[1]], vocab_size=3000, show_progress=False).save(sys.argv[2] + ".files.json")
for kind in ("mem", "files"):
    print(hashlib.sha256(open(sys.argv[2] + "." + kind + ".json", "rb").read()).hexdigest())
"""


def test_the_runner_count_does_not_change_the_model(tmp_path):
    # About 230 000 distinct chunks and over 3 million slots, so that sorting
    # the chunks, laying out the byte pairs and compacting the lists are all
    # split between up to three runners.
    import random
    gen = random.Random(5)
    syllables = ["ka", "lo", "mi", "nu", "re", "sa", "ti", "vo", "xe", "zu", "é", "ж"]
    words = ["".join(gen.choices(syllables, k=gen.randint(3, 8))) for _ in range(320_000)]
    text = " ".join(words + gen.choices(words[:2000], k=300_000))
    corpus = tmp_path / "corpus.txt"
    corpus.write_text(text + "\n", encoding="utf-8")
    hashes = []
    for runners in ("1", "2", "3"):
        env = dict(os.environ, RAYON_NUM_THREADS=runners, PYTHONPATH=os.pathsep.join(sys.path))
        run = subprocess.run([sys.executable, "-c", RUNNERS_SCRIPT, str(corpus), str(tmp_path / runners)],
                             env=env, capture_output=True, text=True, timeout=300)
        assert run.returncode == 0, run.stderr
        hashes.append(run.stdout.split())
    assert hashes[0][0] == hashes[0][1]
    assert hashes[1] == hashes[0] and hashes[2] == hashes[0]


@pytest.mark.parametrize("kind", ["int64 array", "uint16 array", "array('I')", "uint8 array",
                                  "memoryview", "bytearray"])
def test_integer_arrays_are_read_by_value_on_every_path(kind, tmp_path):
    # The constructor and encode() read an array of wider integers by value;
    # the iterator and count paths must too, not as its memory.
    import array
    np = pytest.importorskip("numpy")
    data = b" ".join(b"w%d" % (i % 50) for i in range(2000))
    make = {
        "int64 array": lambda: np.frombuffer(data, dtype=np.uint8).astype(np.int64),
        "uint16 array": lambda: np.frombuffer(data, dtype=np.uint8).astype(np.uint16),
        "array('I')": lambda: array.array("I", list(data)),
        "uint8 array": lambda: np.frombuffer(data, dtype=np.uint8),
        "memoryview": lambda: memoryview(data),
        "bytearray": lambda: bytearray(data),
    }[kind]
    options = dict(vocab_size=300, show_progress=False, check_quality=False)
    expected = model_bytes(Q(data, **options), tmp_path, "bytes")
    assert model_bytes(Q.train_from_iterator([make()], **options), tmp_path, "iter") == expected
    blob = Q.count_chunks([make()])
    assert model_bytes(Q.train_from_counts(blob, **options), tmp_path, "counts") == expected


@pytest.mark.parametrize("dtype", ["int8", "bool"])
def test_one_byte_arrays_that_are_not_bytes_are_read_as_encode_reads_them(dtype, fresh):
    # Their memory is one byte an item, but an int8 -1 is no byte value.
    # Whether numpy lets a bool be read as an integer depends on its version:
    # whatever encode does with the array, the count paths do too.
    np = pytest.importorskip("numpy")
    array = np.array([-1, 104] if dtype == "int8" else [True, False], dtype=dtype)
    try:
        fresh.encode(array)
        by_value = bytes(int(v) for v in array.tolist())
    except TypeError as e:
        assert str(e) == "text must be str or bytes"
        by_value = None
    assert dtype == "bool" or by_value is None
    for call in (lambda: Q.count_chunks([array]),
                 lambda: Q.train_from_iterator([array], vocab_size=260, show_progress=False)):
        if by_value is None:
            with pytest.raises(TypeError, match=r"^texts\[0\]: text must be str or bytes$"):
                call()
    if by_value is not None:
        assert Q.count_chunks([array]) == Q.count_chunks([by_value])
    # Non-negative int8 values are bytes by value, as encode reads them.
    small = np.array([104, 105, 32, 104], dtype=np.int8)
    assert Q.count_chunks([small]) == Q.count_chunks([b"hi h"])


@pytest.mark.parametrize("kind", ["numpy", "array", "ctypes"])
def test_a_bytes_like_object_given_whole_is_one_text(kind):
    np = pytest.importorskip("numpy")
    import array
    import ctypes
    data = b"one text of words, not one text a byte\n" * 40
    text = {"numpy": lambda: np.frombuffer(data, np.uint8),
            "array": lambda: array.array("B", data),
            "ctypes": lambda: (ctypes.c_ubyte * len(data)).from_buffer_copy(data)}[kind]()
    options = dict(vocab_size=300, show_progress=False, check_quality=False)
    assert Q.count_chunks(text) == Q.count_chunks(data)
    assert Q.train_from_iterator(text, **options).to_bytes() == Q(data, **options).to_bytes()
    # An array of rows is an iterable of texts, a row each.
    rows = np.frombuffer(data, np.uint8).reshape(40, -1)
    assert Q.count_chunks(rows) == Q.count_chunks([bytes(row) for row in rows])


@pytest.mark.parametrize("item", ["rows", "0-d", "scalar"])
def test_items_that_encode_refuses_are_refused(item, fresh):
    np = pytest.importorskip("numpy")
    value = {"rows": lambda: np.frombuffer(b"hi there", np.uint8).reshape(2, 4),
             "0-d": lambda: np.array(104, dtype=np.uint8),
             "scalar": lambda: np.uint8(104)}[item]()
    with pytest.raises(TypeError, match="^text must be str or bytes$"):
        fresh.encode(value)
    for call in (lambda: Q.count_chunks([value]),
                 lambda: Q.train_from_iterator([value], vocab_size=260, show_progress=False)):
        with pytest.raises(TypeError, match=r"^texts\[0\]: text must be str or bytes$"):
            call()


# --- named pipes -------------------------------------------------------------------

FROM_PIPE = """
import sys
from tarvik_core import QormTokenizer as Q
print("ready", flush=True)
try:
    tok = Q.train_from_files([sys.argv[1]], vocab_size=300, show_progress=False,
                             check_quality=False)
    print(tok.to_bytes().hex())
except KeyboardInterrupt:
    print("interrupted")
"""


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs named pipes")
@pytest.mark.parametrize("writer", ["writes once", "never comes"])
def test_a_named_pipe_is_opened_once_and_its_wait_ends_on_ctrl_c(writer, tmp_path):
    # A pipe's data goes to the first reader that opens it: the check of the
    # paths must not be that reader. Waiting for a writer ends on Ctrl-C.
    fifo = tmp_path / "in.fifo"
    os.mkfifo(fifo)
    data = b"hello pipe world " * 2000
    child = subprocess.Popen([sys.executable, "-c", FROM_PIPE, str(fifo)],
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        if writer == "writes once":
            with open(fifo, "wb") as w:  # waits for the child to open it
                w.write(data)
        else:
            time.sleep(0.5)
            child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=60)
    finally:
        child.kill()
    if writer == "writes once":
        expected = Q(data, vocab_size=300, show_progress=False, check_quality=False)
        assert bytes.fromhex(out.strip()) == expected.to_bytes()
    else:
        assert out == "interrupted\n"
