"""Pre-tokenization filters."""
import pytest

from tarvik_core import QormTokenizer

UNKNOWN = "Unknown filter: '{}'. Available: lowercase, normalize_whitespace, strip_non_printable"


def base():
    return QormTokenizer(b"", vocab_size=256, show_progress=False, check_quality=False)


def filtered(names, data):
    """The bytes the encoder sees: with only byte tokens, the ids are the bytes."""
    tok = base()
    for name in names:
        tok.add_filter(name)
    ids = tok.encode(data, greedy=True)
    assert tok.encode(data) == ids == tok.encode_dense(data)
    return bytes(ids)


@pytest.mark.parametrize(
    "names, data, expected",
    [
        (["lowercase"], b"HeLLo \xc3\x89", b"hello \xc3\x89"),
        (["lowercase_ascii", "lowercase"], b"ABC xyz", b"abc xyz"),
        (["strip_non_printable"], b"a\x00b\r\nc\x7f\x1b", b"ab\nc\x7f"),
        (["normalize_whitespace"], b"  a\t\tb \r\n c  ", b" a b \n c "),
        (["normalize_whitespace"], b"\x0b\x0ca", b" a"),
        (["strip_non_printable", "normalize_whitespace"], b"a \x00 b", b"a b"),
        (["normalize_whitespace", "strip_non_printable"], b"a \x00 b", b"a  b"),
        ([], bytes(range(256)), bytes(range(256))),
        (["lowercase", "strip_non_printable", "normalize_whitespace"], bytes(range(128, 256)), bytes(range(128, 256))),
    ],
)
def test_filter_bytes(names, data, expected):
    assert filtered(names, data) == expected


def test_add_filter_names_and_errors():
    tok = base()
    assert tok.active_filters() == []
    for bad in ["Lowercase", "lower", "", "lowercase "]:
        with pytest.raises(ValueError) as info:
            tok.add_filter(bad)
        assert str(info.value) == UNKNOWN.format(bad)
    assert tok.active_filters() == []
    assert tok.add_filter("lowercase") is None
    tok.add_filter("strip_non_printable")
    tok.add_filter("normalize_whitespace")
    assert tok.active_filters() == ["lowercase_ascii", "strip_non_printable", "normalize_whitespace"]


def test_offsets_refer_to_filtered_bytes():
    tok = QormTokenizer(b"a b c " * 50, vocab_size=270, show_progress=False, check_quality=False)
    tok.add_filter("normalize_whitespace")
    text = "a   b\t\t c   "
    ids, offsets = tok.encode_with_offsets(text)
    assert offsets[-1][1] == len(b"a b c ") < len(text)
    assert all(a[1] == b[0] for a, b in zip(offsets, offsets[1:]))
    assert tok.decode(ids) == "a b c "


def test_filters_do_not_touch_decode_or_input():
    tok = base()
    tok.add_filter("lowercase")
    text = bytearray(b"ABC")
    assert tok.decode(list(b"ABC")) == "ABC"
    assert bytes(tok.encode(text)) == b"abc"
    assert text == bytearray(b"ABC")
