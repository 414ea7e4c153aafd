"""Pickling, copying and the document round trip: within a process and across
processes, as pools and dataset libraries ship a tokenizer to their workers.
Also token_to_id, the lookup from bytes that a rebuilt tokenizer must answer alike."""
import concurrent.futures
import copy
import multiprocessing
import os
import pickle
import subprocess
import sys

import pytest

from tarvik_core import QormTokenizer as Tok

TEXT = "Hello world, the quick brown fox. HELLO again\n\tünïcödé and <sep> too"


@pytest.fixture(scope="module")
def dressed(corpus):
    """A tokenizer with everything a copy must keep: special tokens added after
    construction, filters in order and a weight other than the default."""
    tok = Tok.from_bytes(
        Tok(corpus[:60_000], vocab_size=500, show_progress=False, check_quality=False,
            special_tokens=["<bos>"]).to_bytes(), context_weight=0.7)
    tok.add_special_token("<sep>")
    tok.add_filter("normalize_whitespace")
    tok.add_filter("lowercase")
    return tok


def assert_same(a, b):
    assert a.to_bytes() == b.to_bytes()
    assert a.context_weight == b.context_weight
    assert a.special_tokens() == b.special_tokens()
    assert a.active_filters() == b.active_filters()
    assert len(a) == len(b)
    for method in ("encode", "encode_dense"):
        assert getattr(a, method)(TEXT) == getattr(b, method)(TEXT)


def test_the_class_pickles_by_reference():
    assert pickle.loads(pickle.dumps(Tok)) is Tok
    assert (Tok.__module__, Tok.__name__, Tok.__qualname__) == ("tarvik_core", "QormTokenizer",
                                                                 "QormTokenizer")


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trips_every_protocol(dressed, protocol):
    assert_same(pickle.loads(pickle.dumps(dressed, protocol)), dressed)


@pytest.mark.parametrize("clone", [copy.copy, copy.deepcopy,
                                   lambda t: pickle.loads(pickle.dumps(t))])
def test_a_copy_is_equal_and_independent(dressed, clone):
    twin = clone(dressed)
    assert twin is not dressed and type(twin) is Tok
    assert_same(twin, dressed)
    before = dressed.to_bytes()
    assert twin.add_special_token("<only-in-copy>") == len(dressed)
    twin.add_filter("strip_non_printable")
    assert dressed.to_bytes() == before and dressed.get_special_token_id("<only-in-copy>") is None
    assert len(twin) == len(dressed) + 1
    assert dressed.active_filters() == ["normalize_whitespace", "lowercase_ascii"]


def test_deepcopy_inside_a_container_keeps_sharing(dressed):
    box = [dressed, dressed]
    copied = copy.deepcopy(box)
    assert copied[0] is copied[1] and copied[0] is not dressed


def test_equal_tokenizers_pickle_to_equal_bytes(dressed, tmp_path):
    path = tmp_path / "m.json"
    dressed.save(path)
    reloaded = Tok.from_file(path, context_weight=0.7)
    # Filters come back from the file too, so the two are equal in every part.
    assert pickle.dumps(reloaded) == pickle.dumps(dressed) == pickle.dumps(copy.copy(dressed))
    # The same tokenizer pickled in another process (another hash seed) gives the same bytes.
    code = ("import pickle, sys; from tarvik_core import QormTokenizer as T; "
            f"sys.stdout.buffer.write(pickle.dumps(T.from_file({str(path)!r}, context_weight=0.7)))")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), PYTHONHASHSEED="random")
    other = subprocess.run([sys.executable, "-c", code], capture_output=True, env=env, check=True)
    assert other.stdout == pickle.dumps(dressed)


def test_to_bytes_is_the_saved_file(dressed, tmp_path):
    dressed.save(tmp_path / "m.json")
    assert (tmp_path / "m.json").read_bytes() == dressed.to_bytes()
    assert_same(Tok.from_bytes(dressed.to_bytes().decode(), context_weight=0.7), dressed)
    assert Tok.from_bytes(dressed.to_bytes()).context_weight == 0.3


def corrupt_payloads(document: bytes):
    yield b""
    yield b"\xff\xfe"
    yield b"[1, 2, 3]"
    yield document[: len(document) // 2]
    yield document.replace(b'"filters"', b'"filters": ["no_such_filter"], "x"', 1)
    yield document.replace(b"[", b"{", 1)


class Damaged:
    """Pickles as a tokenizer would, with a payload of our choosing."""

    def __init__(self, payload, weight):
        self.payload, self.weight = payload, weight

    def __reduce__(self):
        return Tok.from_bytes, (self.payload, self.weight)


def test_a_corrupt_payload_raises_a_clear_error(dressed):
    reducer, (document, weight) = dressed.__reduce__()
    assert reducer == Tok.from_bytes and weight == 0.7
    for payload in corrupt_payloads(document):
        with pytest.raises(ValueError, match="^Failed to load model: "):
            reducer(payload, weight)
        # The same through pickle: a stream whose payload was damaged.
        stream = pickle.dumps(Damaged(payload, weight))
        with pytest.raises(ValueError, match="^Failed to load model: "):
            pickle.loads(stream)


@pytest.mark.parametrize("data", [None, 5, object()])
def test_from_bytes_refuses_non_text(data):
    with pytest.raises(TypeError, match="^data must be str or bytes$"):
        Tok.from_bytes(data)


# ---- Across processes ------------------------------------------------------------------


def encode_in_worker(tok, text):
    return tok.encode(text), tok.special_tokens(), tok.active_filters(), tok.context_weight


def expected(tok):
    return tok.encode(TEXT), tok.special_tokens(), tok.active_filters(), tok.context_weight


@pytest.mark.parametrize("method", ["spawn", "forkserver"])
def test_multiprocessing_pools_receive_a_tokenizer(dressed, method):
    if method not in multiprocessing.get_all_start_methods():
        pytest.skip(f"start method {method} not available")
    with multiprocessing.get_context(method).Pool(2) as pool:
        results = pool.starmap(encode_in_worker, [(dressed, TEXT)] * 3)
        # An unbound method ships the class by reference and the tokenizer by value.
        encoded = pool.starmap(Tok.encode, [(dressed, TEXT), (dressed, TEXT.upper())])
    assert results == [expected(dressed)] * 3
    assert encoded == [dressed.encode(TEXT), dressed.encode(TEXT.upper())]


def test_process_pool_executor_receives_a_tokenizer(dressed):
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as executor:
        results = list(executor.map(encode_in_worker, [dressed] * 2, [TEXT] * 2))
    assert results == [expected(dressed)] * 2


def test_datasets_map_with_two_processes(dressed, tmp_path):
    datasets = pytest.importorskip("datasets", reason="the datasets package is not installed")
    from datasets.fingerprint import Hasher

    # Fingerprinting hashes the pickled tokenizer: equal tokenizers, equal hashes.
    assert Hasher.hash(dressed) == Hasher.hash(copy.copy(dressed))
    texts = [TEXT, TEXT.upper(), "x" * 50, ""] * 4
    data = datasets.Dataset.from_dict({"text": texts})
    mapped = data.map(lambda row: {"ids": dressed.encode(row["text"])}, num_proc=2,
                      cache_file_name=str(tmp_path / "cache.arrow"))
    assert mapped["ids"] == [dressed.encode(text) for text in texts]


# ---- token_to_id ---------------------------------------------------------------------------


def test_token_to_id_inverts_id_to_bytes(dressed):
    for token_id in range(len(dressed)):
        found = dressed.token_to_id(dressed.id_to_bytes(token_id))
        # Equal bytes resolve to the later id, which must hold the same bytes.
        assert found >= token_id and dressed.id_to_bytes(found) == dressed.id_to_bytes(token_id)
    assert dressed.token_to_id("<sep>") == dressed.get_special_token_id("<sep>")
    assert dressed.token_to_id(b"\xff") == 255 and dressed.token_to_id("\xff") is None


@pytest.mark.parametrize("token", ["", b"", "no such token anywhere", b"\x00\x00\x00\x00\x00"])
def test_token_to_id_is_none_for_unknown_bytes(dressed, token):
    assert dressed.token_to_id(token) is None


def test_token_to_id_takes_the_later_of_equal_tokens(fresh):
    # A special token whose bytes a learned token already has: encoding yields
    # the special one, so the lookup must too.
    learned = max(range(256, len(fresh)), key=lambda i: len(fresh.id_to_bytes(i)))
    text = fresh.id_to_token(learned)
    special = fresh.add_special_token(text)
    assert special > learned and fresh.token_to_id(text) == special
    assert fresh.encode(text) == [special]


@pytest.mark.parametrize("token", [None, 3, 1.5])
def test_token_to_id_refuses_non_text(dressed, token):
    with pytest.raises(TypeError, match="^token must be str or bytes$"):
        dressed.token_to_id(token)
