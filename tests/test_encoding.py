"""Encoding as users meet it: the three modes, offsets, chunked encoding, the worker pool.

Small vocabularies are written as model files and loaded with from_file, so
ids, log_probs and bigrams are exactly what a test asks for. The plain-Python
encoders of reference_encoders.py state the expected results.
"""

import json
import multiprocessing
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tarvik_core
from conftest import stdlib_text
from reference_encoders import CHUNK_SIZE, PARALLEL_THRESHOLD, Reference

Tok = tarvik_core.QormTokenizer
MODULE_DIR = str(Path(tarvik_core.__file__).resolve().parent)


def base_tokens(log_prob=0.0):
    return [(b, bytes([b]), log_prob) for b in range(256)]


def with_extra(extra, byte_log_prob=0.0):
    """The 256 byte tokens, then (bytes, log_prob) pairs with the following ids."""
    tokens = base_tokens(byte_log_prob)
    for data, lp in extra:
        tokens.append((len(tokens), data, lp))
    return tokens


@pytest.fixture
def model(tmp_path):
    """Writes a model file and loads it: model(tokens, bigrams={}, context_weight=0.3)."""
    counter = iter(range(1_000_000))

    def make(tokens, bigrams=None, context_weight=0.3):
        doc = {
            "version": "0.1.1",
            "tokens": [
                {"id": i, "bytes": list(data), "log_prob": lp, "merge_pair": None}
                for i, data, lp in tokens
            ],
            "bigrams": [
                {"left": left, "right": right, "log_prob": value}
                for (left, right), value in (bigrams or {}).items()
            ],
            "vocab_size": len(tokens),
            "special_tokens": [],
        }
        path = tmp_path / f"model{next(counter)}.json"
        path.write_text(json.dumps(doc))
        return Tok.from_file(str(path), context_weight=context_weight)

    return make


def pieces(tok, ids):
    return [tok.id_to_bytes(i) for i in ids]


# --- The documented examples -------------------------------------------------


@pytest.mark.parametrize("mode", ["scored", "greedy", "dense"])
def test_base_vocabulary_yields_the_bytes(model, mode):
    tok = model(base_tokens())
    data = bytes(range(256)) + b"\xff\x00abc"
    ids = {"scored": tok.encode, "dense": tok.encode_dense}.get(
        mode, lambda d: tok.encode(d, greedy=True)
    )(data)
    assert ids == list(data)
    assert tok.encode(b"") == tok.encode(b"", greedy=True) == tok.encode_dense(b"") == []


def test_greedy_takes_the_longest_match_and_is_not_optimal(model):
    extra = [(b"ab", -1.0), (b"abc", -1.0), (b"cd", -1.0)]
    tok = model(with_extra(extra, byte_log_prob=-3.0), context_weight=0.0)
    assert pieces(tok, tok.encode(b"abcd", greedy=True)) == [b"abc", b"d"]
    assert pieces(tok, tok.encode(b"abcd")) == [b"ab", b"cd"]  # -2 beats -4
    assert pieces(tok, tok.encode_dense(b"abcd")) == [b"ab", b"cd"]


def test_dense_tie_goes_to_the_earliest_start_of_the_last_token(model):
    tok = model(with_extra([(b"ab", 0.0), (b"cd", 0.0), (b"abc", 0.0), (b"bcd", 0.0)]))
    assert pieces(tok, tok.encode_dense(b"abcd")) == [b"a", b"bcd"]


def test_scored_tie_keeps_the_first_candidate_evaluated(model):
    # ab+cd and abc+d and a+bcd all score -2: the earliest start of the last
    # token wins, as in the dense encoder.
    extra = [(b"ab", -1.0), (b"cd", -1.0), (b"abc", -1.0), (b"bcd", -1.0)]
    tok = model(with_extra(extra, byte_log_prob=-1.0), context_weight=0.0)
    assert pieces(tok, tok.encode(b"abcd")) == [b"a", b"bcd"]


def test_later_token_with_equal_bytes_wins(model):
    tokens = with_extra([(b"xy", -1.0), (b"xy", -1.0)])
    tok = model(tokens)
    assert tok.encode(b"xy", greedy=True) == [257]
    assert tok.encode(b"xy") == [257]
    assert tok.encode_dense(b"xy") == [257]


def test_empty_token_is_never_produced(model):
    tok = model(with_extra([(b"", 5.0), (b"ab", -1.0)]))
    data = b"abba" * 10
    for ids in (tok.encode(data), tok.encode(data, greedy=True), tok.encode_dense(data)):
        assert 256 not in ids
        assert tok.decode_bytes(ids) == data


def test_context_weight_and_bigrams(model):
    tokens = with_extra([(b"ab", -1.0), (b"abc", -1.0), (b"cd", -1.0)], byte_log_prob=-1.0)
    ab, abc, cd, d = 256, 257, 258, ord("d")
    favour_abc_d = {(ab, cd): -8.0, (abc, d): -0.5}
    favour_ab_cd = {(ab, cd): -0.1, (abc, d): -9.0}
    # Weight 0 (or negative): bigrams ignored; ab+cd and abc+d both score -2
    # and the earlier start of the last token (cd) wins.
    for weight in (0.0, -2.0):
        assert model(tokens, favour_abc_d, weight).encode(b"abcd") == [ab, cd]
    # A positive weight: the pair values decide.
    assert model(tokens, favour_abc_d, 0.5).encode(b"abcd") == [abc, d]
    assert model(tokens, favour_ab_cd, 0.5).encode(b"abcd") == [ab, cd]
    # Empty table: every pair after the first token is unseen (-10), which
    # favours fewer tokens: -3 beats 4 x -0.5 + 3 x 0.3 x -10.
    one_token = with_extra([(b"abcd", -3.0)], byte_log_prob=-0.5)
    assert model(one_token, {}, 0.3).encode(b"abcd") == [256]
    assert model(one_token, {}, 0.0).encode(b"abcd") == list(b"abcd")


def test_offsets_are_byte_positions_of_the_filtered_input(model):
    tok = model(base_tokens())
    assert tok.encode_with_offsets("é") == ([195, 169], [(0, 1), (1, 2)])
    trained = model(with_extra([(b"ab", -1.0)], byte_log_prob=-5.0))
    trained.add_filter("lowercase")
    ids, offsets = trained.encode_with_offsets("ABAB")
    assert ids == [256, 256] == trained.encode_dense("ABAB")
    assert offsets == [(0, 2), (2, 4)]


ENCODE_CALLS = {
    "scored": lambda t, text: t.encode(text),
    "greedy": lambda t, text: t.encode(text, greedy=True),
    "dense": lambda t, text: t.encode_dense(text),
    "offsets": lambda t, text: t.encode_with_offsets(text),
}


@pytest.mark.parametrize("call", ENCODE_CALLS.values(), ids=ENCODE_CALLS.keys())
def test_a_special_token_encodes_at_once_as_after_reloading(model, tmp_path, call):
    tok = model(with_extra([(b"ab", -1.0)], byte_log_prob=-2.0))
    before = call(tok, "x<eos>ab")
    special = tok.add_special_token("<eos>")
    after = call(tok, "x<eos>ab")
    assert after != before
    assert special in (after[0] if isinstance(after, tuple) else after)
    path = tmp_path / "with_special.json"
    tok.save(str(path))
    assert call(Tok.from_file(str(path)), "x<eos>ab") == after


# --- Against the plain-Python encoders ----------------------------------------


def random_vocab(rng, compact):
    """Tokens over a small alphabet with log_probs and bigrams on a coarse grid (many ties)."""
    if compact:  # only the letters the inputs use: fewer than 256 tokens
        tokens = [(i, bytes([c]), rng.randrange(-8, 1) * 0.5) for i, c in enumerate(b"abcde")]
    else:
        tokens = [(b, bytes([b]), rng.randrange(-8, 1) * 0.5) for b in range(256)]
    for _ in range(rng.randrange(0, 40)):
        data = bytes(rng.choice(b"abcd") for _ in range(rng.randrange(1, 6)))
        tokens.append((len(tokens), data, rng.randrange(-12, 1) * 0.5))
    bigrams = {}
    ids = range(len(tokens))
    for _ in range(rng.choice([0, 30, 300])):
        bigrams[(rng.choice(ids), rng.choice(ids))] = rng.randrange(-16, 1) * 0.25
    return tokens, bigrams


@pytest.mark.parametrize("weight", [0.0, 0.3, 1.5, -0.5])
@pytest.mark.parametrize("compact", [False, True])
def test_modes_equal_the_reference(model, rng, weight, compact):
    for _ in range(12):
        tokens, bigrams = random_vocab(rng, compact)
        tok = model(tokens, bigrams, weight)
        ref = Reference(tokens, bigrams, weight)
        for _ in range(15):
            data = bytes(rng.choice(b"abcde") for _ in range(rng.randrange(0, 60)))
            expected = ref.scored(data)
            assert tok.encode(data) == expected, data
            assert tok.encode(data, greedy=True) == ref.greedy(data), data
            dense = tok.encode_dense(data)
            assert dense == ref.dense(data), data
            assert len(dense) <= min(len(expected), len(ref.greedy(data)))
            assert tok.encode_with_offsets(data) == (expected, ref.offsets(expected))


# --- Lossless for every mode -------------------------------------------------

MODES = {
    "scored": lambda tok, x: tok.encode(x),
    "greedy": lambda tok, x: tok.encode(x, greedy=True),
    "dense": lambda tok, x: tok.encode_dense(x),
    "offsets": lambda tok, x: tok.encode_with_offsets(x)[0],
    "offsets-greedy": lambda tok, x: tok.encode_with_offsets(x, greedy=True)[0],
}


@pytest.mark.parametrize("mode", MODES)
@settings(max_examples=60, deadline=None)
@given(data=st.one_of(st.binary(max_size=400), st.text(max_size=200).map(str.encode)))
def test_decode_of_encode_is_the_input(trained, mode, data):
    ids = MODES[mode](trained, data)
    assert trained.decode_bytes(ids) == data
    _, offsets = trained.encode_with_offsets(data, greedy=mode.endswith("greedy"))
    # Contiguous from 0 to the end of the input.
    assert [s for s, _ in offsets] + [len(data)] == [0] + [e for _, e in offsets]


@pytest.mark.parametrize("weight", [float("nan"), float("inf"), float("-inf")])
def test_non_finite_weight_stays_lossless(trained, tmp_path, weight):
    path = tmp_path / "model.json"
    trained.save(str(path))
    tok = Tok.from_file(str(path), context_weight=weight)
    data = stdlib_text(200_000)[-150_000:]  # three chunks
    ids = tok.encode(data)
    chunks = [data[i : i + CHUNK_SIZE] for i in range(0, len(data), CHUNK_SIZE)]
    assert ids == [i for chunk in chunks for i in tok.encode(chunk, greedy=True)]
    assert tok.encode(data[:1000]) == tok.encode(data[:1000], greedy=True)
    assert tok.decode_bytes(ids) == data
    assert tok.encode_dense(data) == trained.encode_dense(data)


def test_unreachable_end_gives_the_greedy_segmentation(model):
    # "q" starts the token "qu" but has no token of its own (position 113 holds
    # "qu"), so after a "q" not followed by "u" no path goes on. No
    # segmentation covers such input; the greedy one is returned rather than
    # one reconstructed from an unreachable end.
    tokens = base_tokens(-1.0)
    tokens[ord("q")] = (ord("q"), b"qu", -1.0)
    tok = model(tokens)
    ref = Reference(tokens, {}, 0.3)
    for data in (b"qat", b"aqqa", b"q"):
        assert tok.encode(data) == tok.encode_dense(data) == ref.greedy(data)
    assert tok.encode(b"aquiqu") == ref.scored(b"aquiqu")
    assert tok.decode_bytes(tok.encode(b"aquiqu")) == b"aquiqu"


# --- Ids outside the token table ---------------------------------------------


def test_ids_outside_the_table_are_internal_faults(model, internal_error):
    internal = internal_error
    tok = model([(0, b"a", -1.0), (4294967295, b"bc", -1.0), (7, b"d", -1.0)])
    message = "index out of bounds: the len is 3 but the index is {}"
    with pytest.raises(internal, match=message.format(4294967295)):
        tok.encode(b"abc")
    with pytest.raises(internal, match=message.format(7)):
        tok.encode(b"ad")
    with pytest.raises(internal, match=message.format(33)):  # the fallback byte "!"
        tok.encode(b"a!")
    # Greedy and dense hand the stored id over untouched; it faults where it is read.
    assert tok.encode(b"abc", greedy=True) == [0, 4294967295]
    assert tok.encode_dense(b"abc") == [0, 4294967295]
    with pytest.raises(internal, match=message.format(4294967295)):
        tok.decode_bytes([0, 4294967295])
    with pytest.raises(internal, match=message.format(4294967295)):
        tok.encode_with_offsets(b"abc", greedy=True)
    # Inside one chunk of a long input, the fault comes back from the worker.
    with pytest.raises(internal, match=message.format(7)):
        tok.encode(b"a" * 200_000 + b"d" + b"a" * 100_000)
    assert not issubclass(internal, Exception)


# --- Chunked encoding ----------------------------------------------------------


def test_chunk_boundaries(model, rng):
    tok = model(with_extra([(b"ab", 0.0)], byte_log_prob=-5.0))
    ab = 256

    def text(n):
        data = bytearray(rng.choice(b"xyz") for _ in range(n))
        data[65535:65537] = b"ab"
        return bytes(data)

    whole = text(PARALLEL_THRESHOLD)
    assert ab in tok.encode(whole)  # one unit: "ab" spans byte 65536
    cut = text(PARALLEL_THRESHOLD + 1)
    ids, offsets = tok.encode_with_offsets(cut)
    assert ab not in ids
    assert not any(s < CHUNK_SIZE < e for s, e in offsets)
    assert [e for _, e in offsets[:-1]] == [s for s, _ in offsets[1:]]
    first, second = cut[:CHUNK_SIZE], cut[CHUNK_SIZE : 2 * CHUNK_SIZE]
    assert ids == tok.encode(first) + tok.encode(second) + [cut[-1]]


@pytest.mark.parametrize("at", [65000, 65532, 65534, 65535, 131068, 131070])
def test_a_special_name_across_a_piece_boundary_is_found(model, at):
    # "<eos>" wins wherever it is whole; "s<eos" overlaps it, so moving a
    # boundary back to one name's start can land inside the other.
    tok = model(with_extra([(b"xy", -1.0)], byte_log_prob=-2.0))
    eos, sep = tok.add_special_token("<eos>"), tok.add_special_token("s<eos")
    for name in (b"<eos>", b"s<eos>"):
        data = b"x" * at + name + b"y" * (200_000 - at)
        ids = tok.encode(data)
        assert ids.count(eos) == 1 and sep not in ids
        assert tok.decode_bytes(ids) == data
        assert tok.encode_batch([b"a", data, b"a"]) == [tok.encode(b"a"), ids, tok.encode(b"a")]
        assert tok.encode_with_offsets(data)[0] == ids
        # As ordinary text the name is cut like any other.
        ordinary = tok.encode_ordinary(data)
        assert eos not in ordinary and tok.decode_bytes(ordinary) == data


@pytest.mark.parametrize("at", [0, 1000, 65535])
def test_a_special_name_longer_than_a_piece_is_found(model, at):
    # The piece that starts with the name is stretched to hold it.
    tok = model(with_extra([(b"xy", -1.0)], byte_log_prob=-2.0))
    long_name = b"Z" * 70_000
    special = tok.add_special_token(long_name.decode())
    data = b"x" * at + long_name + b"y" * 70_000
    ids = tok.encode(data)
    assert ids.count(special) == 1
    assert tok.decode_bytes(ids) == data
    assert tok.encode_batch([data]) == [ids]
    assert tok.encode_with_offsets(data)[0] == ids


def test_chunks_equal_the_reference(model, rng):
    tokens, bigrams = random_vocab(rng, compact=False)
    tok = model(tokens, bigrams, 0.3)
    data = bytes(rng.choice(b"abcde") for _ in range(CHUNK_SIZE * 2 + 999))
    assert tok.encode(data) == Reference(tokens, bigrams, 0.3).parallel(data)


WORKER_SCRIPT = """
import hashlib, sys
import tarvik_core
tok = tarvik_core.QormTokenizer.from_file(sys.argv[1])
data = open(sys.argv[2], "rb").read()
ids = tok.encode(data)
print(len(ids), hashlib.sha256(repr(ids).encode()).hexdigest())
"""


def test_worker_count_does_not_change_the_ids(trained, tmp_path):
    model_path, data_path = tmp_path / "model.json", tmp_path / "input.bin"
    trained.save(str(model_path))
    data = stdlib_text(1_000_000)
    data_path.write_bytes(data)
    outputs = []
    for workers in ("1", "4"):
        env = dict(os.environ, RAYON_NUM_THREADS=workers, PYTHONPATH=MODULE_DIR)
        run = subprocess.run(
            [sys.executable, "-c", WORKER_SCRIPT, str(model_path), str(data_path)],
            env=env, capture_output=True, text=True, check=True, timeout=120,
        )
        outputs.append(run.stdout)
    assert outputs[0] == outputs[1]
    assert outputs[0].split()[0] == str(len(trained.encode(data)))


def test_threads_encode_concurrently(trained):
    long_input = stdlib_text(600_000)
    short_inputs = [line for line in long_input.splitlines() if line][:200]
    expected_long = trained.encode(long_input)
    expected_short = [trained.encode(line) for line in short_inputs]
    failures = []

    def work():
        for _ in range(3):
            if trained.encode(long_input) != expected_long:
                failures.append("long")
            if [trained.encode(line) for line in short_inputs] != expected_short:
                failures.append("short")

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


_FORKED_TOKENIZER = None


def _encode_in_child(data):
    return _FORKED_TOKENIZER.encode(data)


def test_a_forked_child_encodes_after_the_parent_used_the_pool(trained):
    data = stdlib_text(700_000)
    expected = trained.encode(data)  # the pool now exists in the parent
    pid = os.fork()
    if pid == 0:
        ok = trained.encode(data) == expected
        os._exit(0 if ok else 1)
    deadline = time.monotonic() + 120
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            pytest.fail("the forked child did not finish encoding")
        time.sleep(0.05)
    assert os.waitstatus_to_exitcode(status) == 0


def test_multiprocessing_fork_workers_encode(trained):
    global _FORKED_TOKENIZER
    _FORKED_TOKENIZER = trained
    data = stdlib_text(500_000)
    expected = trained.encode(data)
    context = multiprocessing.get_context("fork")
    with context.Pool(2) as pool:
        results = pool.map_async(_encode_in_child, [data, data[:200_000], data]).get(timeout=120)
    assert results == [expected, trained.encode(data[:200_000]), expected]


# --- interruption ------------------------------------------------------------

# A 100 000-byte token: every start position of a run of 'a' walks the trie
# up to 100 000 steps, minutes of work for the dynamic-programming modes.
SIGINT_CHILD = """
import os
import signal
import sys
import threading
import tarvik_core
tok = tarvik_core.QormTokenizer(b"a" * 100_000, vocab_size=300, show_progress=False,
                                check_quality=False)
call = {{
    "encode": lambda: tok.encode(b"a" * 4_000_000),
    "encode_one_unit": lambda: tok.encode(b"a" * 131_072),
    "encode_with_offsets": lambda: tok.encode_with_offsets(b"a" * 4_000_000),
    "encode_dense": lambda: tok.encode_dense(b"a" * 4_000_000),
}}[{mode!r}]
print("ready", flush=True)
# The signal comes from inside, a moment after the call has begun: the
# quickest of these calls takes several times longer than that.
threading.Timer(0.02, os.kill, (os.getpid(), signal.SIGINT)).start()
try:
    call()
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


@pytest.mark.parametrize("mode", ["encode", "encode_one_unit", "encode_with_offsets", "encode_dense"])
def test_sigint_interrupts_encoding(mode):
    child = subprocess.Popen(
        [sys.executable, "-c", SIGINT_CHILD.format(mode=mode)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
    )
    try:
        assert child.stdout.readline() == "ready\n"
        # A hang guard only, far above what the interruption takes.
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
    assert out == "interrupted\n", err
    assert child.returncode == 0
