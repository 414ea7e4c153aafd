"""rustbpe trains (GPT-4 split pattern, its default); tiktoken encodes with its ranks."""

from __future__ import annotations

import base64
import json
from pathlib import Path


def _lines(paths: list[Path]):
    for path in paths:
        with open(path, encoding="utf-8", newline="") as f:
            yield from f


def train(paths: list[Path], vocab_size: int, model_dir: Path, threads: int):
    import rustbpe

    tok = rustbpe.Tokenizer()
    # Its default split pattern is GPT-4's.
    tok.train_from_iterator(_lines(paths), vocab_size)

    def save() -> str:
        path = model_dir / "ranks.json"
        ranks = {base64.b64encode(bytes(k)).decode(): v for k, v in tok.get_mergeable_ranks()}
        path.write_text(json.dumps({"pattern": tok.get_pattern(), "ranks": ranks}))
        return str(path)

    return save


class _Encoder:
    has_batch = True

    def __init__(self, model: str):
        import tiktoken

        saved = json.loads(Path(model).read_text())
        ranks = {base64.b64decode(k): v for k, v in saved["ranks"].items()}
        self.enc = tiktoken.Encoding(
            "rustbpe", pat_str=saved["pattern"], mergeable_ranks=ranks, special_tokens={}
        )
        self.encode = self.enc.encode_ordinary
        self.decode = self.enc.decode

    def batch(self, lines: list[str], threads: int):
        return self.enc.encode_ordinary_batch(lines, num_threads=threads)


def load(model: str) -> _Encoder:
    return _Encoder(model)
