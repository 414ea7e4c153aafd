"""Special tokens, decoding and token inspection."""
import pytest

from tarvik_core import QormTokenizer


def base(**kwargs):
    return QormTokenizer(b"", vocab_size=256, show_progress=False, check_quality=False, **kwargs)


def test_base_vocabulary():
    tok = base()
    assert tok.vocab_size == 256
    assert all(tok.id_to_bytes(i) == bytes([i]) for i in range(256))
    assert tok.special_tokens() == []


def test_internal_error_class(internal_error):
    cls = internal_error
    assert issubclass(cls, BaseException) and not issubclass(cls, Exception)
    assert cls.__bases__ == (BaseException,)


@pytest.mark.parametrize("method", ["decode", "decode_bytes"])
def test_decode_out_of_range_is_internal_fault(method, capfd, internal_error):
    tok = base()
    with pytest.raises(internal_error) as info:
        getattr(tok, method)([104, 256, 105])
    assert str(info.value) == "index out of bounds: the len is 256 but the index is 256"
    assert "index out of bounds" in capfd.readouterr().err


@pytest.mark.parametrize("method", ["id_to_bytes", "id_to_token"])
def test_id_lookup_out_of_range_is_value_error(method):
    tok = base(special_tokens=["<s>"])
    with pytest.raises(ValueError) as info:
        getattr(tok, method)(257)
    assert str(info.value) == "token_id 257 out of range (vocab size 257)"


def test_decode_forms():
    tok = base()
    assert tok.decode([]) == "" and tok.decode_bytes([]) == b""
    assert tok.decode_bytes(range(256)) == bytes(range(256))
    assert tok.decode([0xC3, 0xA9]) == "é"
    assert tok.decode([0xC3]) == "\ufffd"
    # one replacement per maximal ill-formed subsequence, as Python's own decoder does
    raw = b"a\xe2\x82b\xf0\x9f\x98\xff\xc0\xafz"
    assert tok.decode(list(raw)) == raw.decode("utf-8", "replace")
    assert tok.id_to_token(0xFF) == "\ufffd"
    assert tok.id_to_token(65) == "A"
    assert tok.decode((104, 105)) == "hi"


def test_special_tokens_lifecycle():
    tok = QormTokenizer(b"ab " * 20, vocab_size=300, show_progress=False, check_quality=False,
                        special_tokens=["<eos>", "<eos>", "<pad>"])
    n = tok.vocab_size
    learned = n - 2
    assert tok.special_tokens() == [("<eos>", learned), ("<pad>", learned + 1)]
    assert tok.add_special_token("a") == n
    assert tok.add_special_token("a") == n
    assert tok.vocab_size == len(tok) == n + 1
    assert tok.get_special_token_id("a") == n
    assert tok.get_special_token_id("<eos>") == learned
    assert tok.get_special_token_id("missing") is None
    assert tok.decode_bytes([n]) == b"a" == tok.decode_bytes([97])
    assert tok.id_to_bytes(learned + 1) == b"<pad>"
    assert tok.special_tokens()[-1] == ("a", n)


@pytest.mark.parametrize("name", ["", "é ü", "\x00", "a" * 1000, "<|endoftext|>"])
def test_any_name_is_accepted(name):
    tok = base()
    token_id = tok.add_special_token(name)
    assert token_id == 256
    assert tok.id_to_bytes(token_id) == name.encode()
    assert tok.special_tokens() == [(name, 256)]


def test_special_tokens_are_encoded_from_the_constructor_or_added_later(tmp_path):
    tok = QormTokenizer(b"hello world " * 20, vocab_size=280, show_progress=False,
                        check_quality=False, special_tokens=["<sep>"])
    sep = tok.get_special_token_id("<sep>")
    assert tok.encode("<sep>", greedy=True) == [sep]
    late = tok.add_special_token("<late>")
    path = tmp_path / "late.json"
    tok.save(str(path))
    reloaded = QormTokenizer.from_file(str(path))
    for greedy in (False, True):
        ids = tok.encode("a<late>b", greedy=greedy)
        assert late in ids
        assert tok.decode(ids) == "a<late>b"
        assert reloaded.encode("a<late>b", greedy=greedy) == ids
