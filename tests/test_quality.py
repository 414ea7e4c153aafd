"""The dataset quality check, as a dict and as the constructor's report."""
import math
import random
import re

import pytest

from tarvik_core import QormTokenizer

KEYS = [
    "quality_score", "total_bytes", "unique_bytes", "byte_entropy",
    "avg_word_len", "unique_words", "total_words", "warnings",
]
SMALL = "Dataset small ({} bytes). Consider using more data for better results."
VERY_SMALL = "Dataset very small ({} bytes). Tokenizer quality will be poor."
UNIQUE_WORDS = "Almost all words are unique. Data may be random/noisy \u2014 tokenizer won't learn good merges."


def varied_text(size: int) -> bytes:
    """Ordinary prose that draws no warning once it is 1000 bytes or more."""
    words = b"the quick brown fox jumps over lazy dogs while seven wizards quietly box jam".split()
    rnd = random.Random(5)
    out = bytearray()
    while len(out) < size:
        out += rnd.choice(words) + b" "
    return bytes(out[:size])


def reference_stats(data: bytes):
    total = len(data)
    counts = [data.count(bytes([b])) for b in range(256)]
    entropy = 0.0
    for c in counts:
        if c:
            p = c / total
            entropy += -p * math.log2(p)
    words = re.split(rb"[ \t\n\r]+", data)
    words = [w for w in words if w]
    avg = sum(map(len, words)) / len(words) if words else 0.0
    return total, sum(1 for c in counts if c), entropy, avg, len(set(words)), len(words)


def test_dict_shape_and_types():
    report = QormTokenizer.check_quality("héllo wörld\r\n\x00")
    assert list(report) == KEYS
    assert all(isinstance(report[k], float) for k in ("quality_score", "byte_entropy", "avg_word_len"))
    assert all(type(report[k]) is int for k in ("total_bytes", "unique_bytes", "unique_words", "total_words"))
    assert all(isinstance(w, str) for w in report["warnings"])


@pytest.mark.parametrize("seed", range(5))
def test_statistics_match_reference(seed):
    rnd = random.Random(seed)
    alphabet = b"ab \t\n\r\x0b\x0c\x00\xff\xc3\xa9xyz"
    data = bytes(rnd.choice(alphabet) for _ in range(rnd.randrange(1, 3000)))
    report = QormTokenizer.check_quality(data)
    total, unique, entropy, avg, unique_words, total_words = reference_stats(data)
    assert report["total_bytes"] == total
    assert report["unique_bytes"] == unique
    assert report["byte_entropy"] == pytest.approx(entropy, rel=1e-12)
    assert report["avg_word_len"] == pytest.approx(avg, rel=1e-12)
    assert (report["unique_words"], report["total_words"]) == (unique_words, total_words)


def test_empty_corpus():
    report = QormTokenizer.check_quality(b"")
    assert report["warnings"] == [
        VERY_SMALL.format(0),
        "Very low byte entropy (0.00 bits). Data may be too repetitive or uniform.",
        "Only 0 unique byte values. Data uses very limited character set.",
        "Average word length 0.0 chars \u2014 very short. Data is unusually fragmented.",
    ]
    assert report["quality_score"] == 0.0
    assert (report["byte_entropy"], report["avg_word_len"], report["total_words"]) == (0.0, 0.0, 0)


@pytest.mark.parametrize("size, warning, start", [(99, VERY_SMALL, 0.6), (100, SMALL, 0.8), (999, SMALL, 0.8), (1000, None, 1.0)])
def test_size_boundaries(size, warning, start):
    data = varied_text(size)
    report = QormTokenizer.check_quality(data)
    # The text draws no other warning, so the score shows the size penalty alone.
    assert report["warnings"] == ([warning.format(size)] if warning else [])
    assert report["quality_score"] == pytest.approx(start)


def test_clean_corpus_scores_exactly_one():
    report = QormTokenizer.check_quality(varied_text(5000))
    assert report["warnings"] == []
    assert report["quality_score"] == 1.0


def entropy_corpus(bits: float) -> bytes:
    """2**bits equally frequent byte values, in words of four letters."""
    n = int(2**bits)
    letters = bytes(range(0x41, 0x41 + n))
    body = bytearray()
    for i in range(4096):
        body.append(letters[i % n])
    return bytes(body)


@pytest.mark.parametrize(
    "bits, expected",
    [
        (2, "Very low byte entropy (2.00 bits). Data may be too repetitive or uniform."),
        (3, "Low byte entropy (3.00 bits). Data has limited diversity."),
        (4, None),
    ],
)
def test_entropy_boundaries(bits, expected):
    report = QormTokenizer.check_quality(entropy_corpus(bits))
    assert report["byte_entropy"] == float(bits)
    found = [w for w in report["warnings"] if "entropy" in w]
    assert found == ([expected] if expected else [])


@pytest.mark.parametrize("distinct, warned", [(19, True), (20, False)])
def test_unique_byte_boundary(distinct, warned):
    data = bytes(0x41 + (i % distinct) for i in range(2000))
    warnings = QormTokenizer.check_quality(data)["warnings"]
    assert any(w.startswith(f"Only {distinct} unique byte values") for w in warnings) is warned


@pytest.mark.parametrize(
    "word, sep, expected",
    [
        (b"a", b" ", "Average word length 1.0 chars \u2014 very short. Data is unusually fragmented."),
        (b"ab", b" ", None),  # 2 bytes
        (b"a" * 50, b" ", None),  # exactly 50.0
        (b"a" * 51, b" ", "Average word length 51.0 chars \u2014 extremely long. Data may be binary or encoded."),
        (b"", b" \t\r\n", "Average word length 0.0 chars \u2014 very short. Data is unusually fragmented."),
    ],
)
def test_word_length_rules(word, sep, expected):
    data = (word + sep) * 200
    warnings = QormTokenizer.check_quality(data)["warnings"]
    assert [w for w in warnings if w.startswith("Average")] == ([expected] if expected else [])


def test_word_length_exactly_one_and_a_half():
    data = b"a ab " * 300
    assert QormTokenizer.check_quality(data)["avg_word_len"] == 1.5
    assert not any(w.startswith("Average") for w in QormTokenizer.check_quality(data)["warnings"])


@pytest.mark.parametrize("unique, total, warned", [(19, 20, False), (20, 20, True), (96, 100, True)])
def test_unique_word_ratio(unique, total, warned):
    words = [b"w%03d" % i for i in range(unique)] + [b"w000"] * (total - unique)
    warnings = QormTokenizer.check_quality(b" ".join(words))["warnings"]
    assert (UNIQUE_WORDS in warnings) is warned


def test_non_printable_ratio():
    clean = varied_text(2000)
    assert not any("non-printable" in w for w in QormTokenizer.check_quality(clean + b"\t\n\r" * 500)["warnings"])
    data = clean[:1800] + b"\x01" * 200 + b"\x7f\x80" * 10  # 200 / 2020 = 9.9 %
    assert not any("non-printable" in w for w in QormTokenizer.check_quality(data)["warnings"])
    data = clean[:1700] + b"\x1b" * 300  # 15.0 %
    assert "High non-printable byte ratio (15.0%). Data may be binary." in QormTokenizer.check_quality(data)["warnings"]


def test_score_is_clamped_and_penalties_add_up():
    report = QormTokenizer.check_quality(b"\x01" * 60)
    # very small, very low entropy, few bytes, long words, one unique word, non-printable
    assert len(report["warnings"]) == 6
    assert report["quality_score"] == 0.0
    report = QormTokenizer.check_quality(b"ab " * 40)  # small, very low entropy, few bytes
    assert report["quality_score"] == pytest.approx(0.8 - 0.3 - 0.2)


def test_constructor_prints_report(capfd):
    QormTokenizer(b"x" * 50, vocab_size=256, show_progress=False)
    err = capfd.readouterr().err
    lines = err.split("\n")
    assert lines[0] == "=== Dataset Quality Check ==="
    assert re.fullmatch(r"  Score: \d+%", lines[1])
    assert lines[2] == "  WARNING: " + VERY_SMALL.format(50)
    assert "=" * 29 in lines
    assert err.endswith("=" * 29 + "\n")


def test_constructor_report_rounds_half_to_even(capfd):
    # The printed percentage is the dict's score x 100, rounded half to even.
    data = b"ab " * 40
    score = QormTokenizer.check_quality(data)["quality_score"]
    QormTokenizer(data, vocab_size=256, show_progress=False)
    err = capfd.readouterr().err
    assert f"  Score: {round(score * 100)}%\n" in err


def test_constructor_silent_without_warnings_or_check(capfd):
    QormTokenizer(varied_text(2000), vocab_size=256, show_progress=False)
    QormTokenizer(b"x" * 50, vocab_size=256, show_progress=False, check_quality=False)
    assert capfd.readouterr().err == ""
