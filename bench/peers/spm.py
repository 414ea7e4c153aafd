"""SentencePiece: BPE and unigram, byte fallback, identity normalisation."""

from __future__ import annotations

from pathlib import Path


def _train(paths: list[Path], vocab_size: int, model_dir: Path, threads: int, kind: str):
    import sentencepiece as spm

    prefix = model_dir / "spm"
    spm.SentencePieceTrainer.train(
        input=",".join(str(path) for path in paths),
        model_prefix=str(prefix),
        model_type=kind,
        vocab_size=vocab_size,
        byte_fallback=True,
        character_coverage=1.0,
        normalization_rule_name="identity",
        remove_extra_whitespaces=False,
        input_sentence_size=10_000_000,
        max_sentence_length=16384,
        # A small corpus may hold fewer pieces than asked for.
        hard_vocab_limit=False,
        num_threads=threads,
        minloglevel=2,
    )
    # The trainer writes the model itself; saving costs nothing more.
    return lambda: str(prefix) + ".model"


def train_bpe(paths, vocab_size, model_dir, threads):
    return _train(paths, vocab_size, model_dir, threads, "bpe")


def train_unigram(paths, vocab_size, model_dir, threads):
    return _train(paths, vocab_size, model_dir, threads, "unigram")


class _Encoder:
    has_batch = True

    def __init__(self, model: str):
        import sentencepiece as spm

        self.sp = spm.SentencePieceProcessor(model_file=model)

    def encode(self, text: str) -> list[int]:
        return self.sp.encode(text, out_type=int)

    def batch(self, lines: list[str], threads: int):
        return self.sp.encode(lines, out_type=int, num_threads=threads)

    def decode(self, ids: list[int]) -> str:
        return self.sp.decode(ids)


def load(model: str) -> _Encoder:
    return _Encoder(model)
