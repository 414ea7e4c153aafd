"""Call binding and argument conversion at the Python boundary."""
import re

import numpy as np
import pytest

from tarvik_core import QormTokenizer

NEW = "QormTokenizer.__new__()"


def build(**kwargs):
    kwargs.setdefault("show_progress", False)
    kwargs.setdefault("check_quality", False)
    return QormTokenizer(kwargs.pop("corpus", b"ab ab"), vocab_size=kwargs.pop("vocab_size", 258), **kwargs)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda t: t.encode(), "QormTokenizer.encode() missing 1 required positional argument: 'text'"),
        (
            lambda t: t.encode("a", False, 3),
            "QormTokenizer.encode() takes from 1 to 2 positional arguments but 3 were given",
        ),
        (lambda t: t.encode(txt="a"), "QormTokenizer.encode() got an unexpected keyword argument 'txt'"),
        (
            lambda t: t.encode("a", text="b"),
            "QormTokenizer.encode() got multiple values for argument 'text'",
        ),
        (
            lambda t: t.prune_vocab(),
            "QormTokenizer.prune_vocab() missing 2 required positional arguments: "
            "'target_size' and 'corpus'",
        ),
        (
            lambda t: t.prune_vocab(1, b"", 3),
            "QormTokenizer.prune_vocab() takes 2 positional arguments but 3 were given",
        ),
        (
            lambda t: t.id_to_bytes(1, 2),
            "QormTokenizer.id_to_bytes() takes 1 positional arguments but 2 were given",
        ),
        (lambda t: t.save(), "QormTokenizer.save() missing 1 required positional argument: 'path'"),
        (
            lambda t: QormTokenizer.from_file(),
            "QormTokenizer.from_file() missing 1 required positional argument: 'path'",
        ),
        (
            lambda t: QormTokenizer.check_quality(b"", b""),
            "QormTokenizer.check_quality() takes 1 positional arguments but 2 were given",
        ),
        (lambda t: QormTokenizer(), f"{NEW} missing 1 required positional argument: 'corpus'"),
        (
            lambda t: QormTokenizer(b"", 1, 2, 3, 4, 5, 6, 7),
            f"{NEW} takes from 1 to 7 positional arguments but 8 were given",
        ),
        (lambda t: QormTokenizer(b"", size=3), f"{NEW} got an unexpected keyword argument 'size'"),
        (
            lambda t: QormTokenizer(b"", 300, vocab_size=3),
            f"{NEW} got multiple values for argument 'vocab_size'",
        ),
    ],
)
def test_binding_messages(call, message):
    tok = build()
    with pytest.raises(TypeError) as info:
        call(tok)
    assert str(info.value) == message


# (callable, parameter, expected conversion message) for TypeErrors that get the argument label.
@pytest.mark.parametrize(
    "call, name, message",
    [
        (lambda t: t.encode("hi", greedy=1), "greedy", "'int' object cannot be converted to 'PyBool'"),
        (lambda t: t.encode("hi", greedy=None), "greedy", "'NoneType' object cannot be converted to 'PyBool'"),
        (lambda t: t.id_to_bytes("x"), "token_id", "'str' object cannot be interpreted as an integer"),
        (lambda t: t.decode("abc"), "token_ids", "Can't extract `str` to `Vec`"),
        (lambda t: t.decode(5), "token_ids", "'int' object cannot be converted to 'Sequence'"),
        (lambda t: t.decode({1: 2}), "token_ids", "'dict' object cannot be converted to 'Sequence'"),
        (lambda t: t.decode([1, "x"]), "token_ids", "'str' object cannot be interpreted as an integer"),
        (lambda t: t.decode(memoryview(bytes(8)).cast("I", shape=[1, 2])), "token_ids",
         "expected a sequence of one dimension, not a memoryview of 2"),
        (lambda t: t.add_filter(3), "name", "'int' object cannot be converted to 'PyString'"),
        (lambda t: t.add_special_token(b"x"), "name", "'bytes' object cannot be converted to 'PyString'"),
        (lambda t: t.save(None), "path", "'NoneType' object cannot be converted to 'PyString'"),
        (lambda t: t.prune_vocab("3", b""), "target_size", "'str' object cannot be interpreted as an integer"),
        (lambda t: build(verbose=1), "verbose", "'int' object cannot be converted to 'PyBool'"),
        (lambda t: build(show_progress="yes"), "show_progress", "'str' object cannot be converted to 'PyBool'"),
        (lambda t: build(check_quality=0), "check_quality", "'int' object cannot be converted to 'PyBool'"),
        (lambda t: build(special_tokens="ab"), "special_tokens", "Can't extract `str` to `Vec`"),
        (lambda t: build(special_tokens=[b"x"]), "special_tokens", "'bytes' object cannot be converted to 'PyString'"),
        (lambda t: build(vocab_size=2.5), "vocab_size", "'float' object cannot be interpreted as an integer"),
        (lambda t: build(context_weight="x"), "context_weight", "must be real number, not str"),
        (lambda t: QormTokenizer.from_file(1), "path", "'int' object cannot be converted to 'PyString'"),
    ],
)
def test_relabelled_type_errors(call, name, message):
    tok = build()
    with pytest.raises(TypeError) as info:
        call(tok)
    assert str(info.value) == f"argument '{name}': {message}"


def test_relabelling_keeps_cause():
    class Bad:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("no index") from e

    with pytest.raises(TypeError) as info:
        build().id_to_bytes(Bad())
    assert str(info.value) == "argument 'token_id': no index"
    assert isinstance(info.value.__cause__, KeyError)


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda t: t.id_to_bytes(-1), OverflowError, "out of range integral type conversion attempted"),
        (lambda t: t.id_to_bytes(2**32), OverflowError, "out of range integral type conversion attempted"),
        (lambda t: t.decode([1, -5]), OverflowError, "out of range integral type conversion attempted"),
        # However far past 32 bits: the same message, not the C long's.
        (lambda t: t.id_to_bytes(2**70), OverflowError, "out of range integral type conversion attempted"),
        (lambda t: t.decode([65, 2**63]), OverflowError, "out of range integral type conversion attempted"),
        (lambda t: t.decode([65, -2**63 - 1]), OverflowError, "out of range integral type conversion attempted"),
        (lambda t: t.prune_vocab(-1, b""), OverflowError, None),
        (lambda t: build(vocab_size=-1), OverflowError, None),
        (lambda t: build(vocab_size=2**64), OverflowError, None),
        (lambda t: t.add_filter("\ud800"), UnicodeEncodeError, None),
    ],
)
def test_errors_that_pass_unlabelled(call, exc, message):
    with pytest.raises(exc) as info:
        call(build())
    assert not str(info.value).startswith("argument")
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize(
    "value", [b"hi", bytearray(b"hi"), [104, 105], (104, 105), memoryview(b"hi"), "hi", np.array([104, 105])]
)
def test_text_forms_agree(value):
    tok = build(corpus=b"hi hi hi", vocab_size=260)
    assert tok.encode(value) == tok.encode("hi")
    assert tok.decode_bytes(tok.encode(value)) == b"hi"


@pytest.mark.parametrize("value", [None, [256], [-1], ["a"], "\ud800", 3, 2.5, {104: 1}, [1.0]])
def test_text_refusals(value):
    tok = build()
    for method in (tok.encode, tok.encode_dense, tok.encode_with_offsets):
        with pytest.raises(TypeError) as info:
            method(value)
        assert str(info.value) == "text must be str or bytes"
    for call in (lambda: QormTokenizer.check_quality(value), lambda: tok.prune_vocab(300, value)):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == "corpus must be str or bytes"


def test_conversion_order_constructor():
    # vocab_size is converted before the corpus, so its error wins.
    with pytest.raises(OverflowError):
        QormTokenizer(None, vocab_size=-1)
    with pytest.raises(TypeError, match="^argument 'verbose'"):
        QormTokenizer(None, verbose=1, special_tokens="x")
    with pytest.raises(TypeError, match="^corpus must be str or bytes$"):
        QormTokenizer(None)


def test_greedy_converted_before_text():
    with pytest.raises(TypeError, match="^argument 'greedy'"):
        build().encode(None, greedy=1)


def test_nothing_printed_before_a_conversion_error(capfd):
    with pytest.raises(TypeError):
        QormTokenizer(b"x" * 50, special_tokens="abc")
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("flag", [np.bool_(True), np.bool_(False)])
def test_numpy_bool_flags(flag):
    tok = build()
    assert tok.encode("ab ab", greedy=flag) == tok.encode("ab ab", greedy=bool(flag))


def test_sizes_accept_index_objects():
    class Size:
        def __index__(self):
            return 260

    # Seven merges are available, so only the size given stops training early.
    assert build(corpus=b"abcdefgh", vocab_size=Size()).vocab_size == 260
    assert build(corpus=b"abcdefgh", vocab_size=np.int64(257)).vocab_size == 257


@pytest.mark.parametrize("weight, value", [(0, 0.0), (2, 2.0), (np.float32(1.5), 1.5)])
def test_context_weight_accepts_numbers(corpus, tmp_path, weight, value):
    tok = build(corpus=corpus[:20_000], vocab_size=600, context_weight=weight)
    path = tmp_path / "model.json"
    tok.save(str(path))
    text = corpus[20_000:30_000]
    expected = QormTokenizer.from_file(str(path), context_weight=value).encode(text)
    assert tok.encode(text) == expected
    assert expected != QormTokenizer.from_file(str(path)).encode(text)  # the default weight differs


def test_keyword_only_call_forms():
    tok = build()
    assert tok.encode(text="ab", greedy=True) == tok.encode("ab", True)
    assert tok.decode(token_ids=[97]) == "a"
    assert tok.id_to_bytes(token_id=98) == b"b"


class LyingSequence:
    """A sequence whose length claims far more than iteration yields."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        return self.length

    def __getitem__(self, index):
        return self.items[index]


@pytest.mark.parametrize("length", [0, 2**40, __import__("sys").maxsize])
def test_sequences_are_iterated_not_sized(length):
    tok = build()
    hi = LyingSequence([104, 105], length)
    assert tok.encode(hi) == tok.encode("hi")
    assert tok.decode(hi) == "hi"
    assert QormTokenizer.check_quality(hi)["total_bytes"] == 2


def test_bytes_subclass_is_iterated():
    class Shouting(bytes):
        def __iter__(self):
            return iter(self.upper())

    tok = build()
    assert tok.decode_bytes(tok.encode(Shouting(b"hi"), greedy=True)) == b"HI"
