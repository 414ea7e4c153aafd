"""HF tokenizers: a byte-level BPE trained with its own BPE trainer."""

from __future__ import annotations

from pathlib import Path


def train(paths: list[Path], vocab_size: int, model_dir: Path, threads: int):
    from tokenizers import Tokenizer, decoders, models, pre_tokenizers, trainers

    tok = Tokenizer(models.BPE())
    tok.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False)
    tok.decoder = decoders.ByteLevel()
    trainer = trainers.BpeTrainer(
        vocab_size=vocab_size,
        initial_alphabet=pre_tokenizers.ByteLevel.alphabet(),
        show_progress=False,
    )
    tok.train([str(path) for path in paths], trainer)

    def save() -> str:
        path = model_dir / "tokenizer.json"
        tok.save(str(path))
        return str(path)

    return save


class _Encoder:
    has_batch = True

    def __init__(self, model: str):
        from tokenizers import Tokenizer

        self.tok = Tokenizer.from_file(model)
        # encode_batch_fast skips the offsets, which nothing here reads.
        self._batch = getattr(self.tok, "encode_batch_fast", self.tok.encode_batch)

    def encode(self, text: str) -> list[int]:
        return self.tok.encode(text, add_special_tokens=False).ids

    def batch(self, lines: list[str], threads: int):
        # Its pool size comes from RAYON_NUM_THREADS, set by the caller.
        return [e.ids for e in self._batch(lines, add_special_tokens=False)]

    def decode(self, ids: list[int]) -> str:
        return self.tok.decode(ids, skip_special_tokens=False)


def load(model: str) -> _Encoder:
    return _Encoder(model)
