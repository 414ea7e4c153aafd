"""Every member of QormTokenizer in one small, fully annotated program.

It trains a tiny tokenizer on the standard library's own sources, encodes and
decodes in each mode, works with special tokens and filters, prunes, and saves
and loads the model in a temporary directory. CI type-checks it with
`mypy --strict` against the installed package, so it shows what the shipped
types allow:

    python3 examples/typed_usage.py
    python3 -m mypy --strict examples/typed_usage.py
"""
from __future__ import annotations

import copy
import pickle
import sysconfig
import tempfile
from pathlib import Path

from tarvik_core import QormTokenizer, __version__


def stdlib_corpus(limit: int) -> bytes:
    root = Path(sysconfig.get_paths()["stdlib"])
    data = b"".join(path.read_bytes() for path in sorted(root.glob("*.py"))[:20])
    return data[:limit]


def round_trips(tok: QormTokenizer, text: str) -> bool:
    ids: list[int] = tok.encode(text)
    return tok.decode(ids) == text and tok.decode_bytes(ids) == text.encode()


def describe(tok: QormTokenizer, ids: list[int]) -> str:
    pieces = [tok.id_to_token(token_id) for token_id in ids]
    raw = b"".join(tok.id_to_bytes(token_id) for token_id in ids)
    return f"{len(ids)} tokens, {len(raw)} bytes: {pieces!r}"


def main() -> None:
    corpus = stdlib_corpus(200_000)
    report = QormTokenizer.check_quality(corpus)
    score: float = report["quality_score"]
    print(f"tarvik_core {__version__}: corpus quality {score:.2f}, "
          f"{report['total_words']} words, {len(report['warnings'])} warnings")

    tok = QormTokenizer(corpus, vocab_size=600, show_progress=False, check_quality=False,
                        special_tokens=["<eos>"])
    print(repr(tok), len(tok), tok.vocab_size, tok.is_lossless)

    text = "def main() -> None:\n    return None\n"
    for ids in (tok.encode(text), tok.encode(text, greedy=True), tok.encode_dense(text)):
        print(describe(tok, ids))
    ids, offsets = tok.encode_with_offsets(text.encode(), greedy=False)
    spans = [text.encode()[start:end] for start, end in offsets]
    assert b"".join(spans) == text.encode() and len(spans) == len(ids)
    assert round_trips(tok, text)
    # Bytes-like inputs and any sequence of byte values encode the same bytes.
    assert tok.encode(bytearray(b"abc")) == tok.encode(memoryview(b"abc")) == tok.encode([97, 98, 99])

    eos = tok.get_special_token_id("<eos>")
    assert eos is not None
    pad: int = tok.add_special_token("<pad>")
    names = [name for name, _ in tok.special_tokens()]
    print(f"special tokens {names}, <eos>={eos}, <pad>={pad}, missing={tok.get_special_token_id('x')}")

    tok.add_filter("lowercase")
    tok.add_filter("normalize_whitespace")
    filters: list[str] = tok.active_filters()
    print(f"filters {filters}: {tok.decode(tok.encode('Hello   WORLD'))!r}")

    tok.prune_vocab(400, corpus)
    print(f"pruned to {len(tok)} tokens")

    with tempfile.TemporaryDirectory() as directory:
        path = Path(directory) / "model.json"
        tok.save(str(path))
        loaded = QormTokenizer.from_file(str(path), context_weight=0.5)
        assert loaded.vocab_size == tok.vocab_size
        assert loaded.encode("hello world", greedy=True) == tok.encode("Hello  World", greedy=True)
    print("saved and loaded the same vocabulary")

    # A document in memory, pickles and copies carry filters, special tokens and the weight.
    twin = QormTokenizer.from_bytes(tok.to_bytes(), context_weight=tok.context_weight)
    shipped: QormTokenizer = pickle.loads(pickle.dumps(tok))
    assert twin.to_bytes() == shipped.to_bytes() == copy.deepcopy(tok).to_bytes()
    # Pruning renumbers the special tokens to follow the kept ones.
    pad_after = tok.get_special_token_id("<pad>")
    assert pad_after is not None and pad_after != pad
    found: int | None = tok.token_to_id(tok.id_to_bytes(pad_after))
    assert found == pad_after and copy.copy(tok).token_to_id("") is None


if __name__ == "__main__":
    main()
