"""The tokenizers bench/compare.py measures, behind one small interface.

A *trainer* turns corpus files into a saved model:

    train(paths, vocab_size, model_dir, threads) -> model path

and an *encoder* loads a saved model and offers

    encode(text) -> ids             one str, the library's fastest single call
    batch(lines, threads) -> lists  the library's batch call (None if it has none)
    decode(ids) -> str

Every library is imported inside its own functions, so a run that leaves a
peer out does not need it installed, and each measurement process imports
only the library it measures (its peak RSS is that library's alone).
"""

from __future__ import annotations

from typing import Callable

from . import hf, ours, rust_tiktoken, spm

# name -> (train function, library the version comes from)
TRAINERS: dict[str, Callable] = {
    "ours": ours.train_in_memory,
    "ours-files": ours.train_from_files,
    "rustbpe": rust_tiktoken.train,
    "hf-bpe": hf.train,
    "spm-bpe": spm.train_bpe,
    "spm-unigram": spm.train_unigram,
}

# encoder name -> (trainer whose model it loads, loader)
ENCODERS: dict[str, tuple[str, Callable]] = {
    "ours-scored": ("ours", ours.load_scored),
    "ours-numpy": ("ours", ours.load_numpy),
    "ours-greedy": ("ours", ours.load_greedy),
    "ours-dense": ("ours", ours.load_dense),
    "tiktoken": ("rustbpe", rust_tiktoken.load),
    "hf-bpe": ("hf-bpe", hf.load),
    "spm-bpe": ("spm-bpe", spm.load),
    "spm-unigram": ("spm-unigram", spm.load),
}

LABELS = {
    "ours": "tarvik_core (in memory)",
    "ours-files": "tarvik_core (train_from_files)",
    "ours-scored": "tarvik_core, context-weighted (default)",
    "ours-numpy": "tarvik_core, context-weighted, to numpy",
    "ours-greedy": "tarvik_core, greedy",
    "ours-dense": "tarvik_core, dense",
    "rustbpe": "rustbpe",
    "tiktoken": "tiktoken (rustbpe vocabulary)",
    "hf-bpe": "HF tokenizers, byte-level BPE",
    "spm-bpe": "SentencePiece BPE",
    "spm-unigram": "SentencePiece unigram",
}


def available_trainers() -> list[str]:
    """Trainer names whose library exists in this interpreter."""
    return [name for name in TRAINERS if ours.supports(name) and _importable(name)]


def preload(name: str) -> None:
    """Imports the library of one trainer, and nothing else."""
    _importable(name)


def _importable(name: str) -> bool:
    module = {
        "rustbpe": "rustbpe",
        "hf-bpe": "tokenizers",
        "spm-bpe": "sentencepiece",
        "spm-unigram": "sentencepiece",
    }.get(name, "tarvik_core")
    try:
        __import__(module)
    except ImportError:
        return False
    return name != "rustbpe" or _importable_tiktoken()


def _importable_tiktoken() -> bool:
    try:
        import tiktoken  # noqa: F401
    except ImportError:
        return False
    return True


def versions() -> dict[str, str]:
    found = {}
    for module in ("tarvik_core", "tokenizers", "tiktoken", "sentencepiece", "rustbpe"):
        try:
            from importlib.metadata import version

            found[module] = version(module)
        except Exception:
            try:
                found[module] = getattr(__import__(module), "__version__", "?")
            except ImportError:
                found[module] = "not installed"
    return found
