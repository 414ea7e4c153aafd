"""tarvik_core: training in memory or from files, the three encoding modes."""

from __future__ import annotations

from pathlib import Path

OPTIONS = {"show_progress": False, "check_quality": False}


def _module():
    import tarvik_core

    return tarvik_core


def supports(name: str) -> bool:
    """False for the parts of our API this build does not have yet."""
    if name == "ours-files":
        return hasattr(_module().QormTokenizer, "train_from_files")
    return True


def train_in_memory(paths: list[Path], vocab_size: int, model_dir: Path, threads: int):
    # The constructor takes one text: the files are joined, as a user would.
    data = b"".join(path.read_bytes() for path in paths)
    tok = _module().QormTokenizer(data, vocab_size=vocab_size, **OPTIONS)
    return lambda: _save(tok, model_dir)


def train_from_files(paths: list[Path], vocab_size: int, model_dir: Path, threads: int):
    tok = _module().QormTokenizer.train_from_files(
        [str(path) for path in paths], vocab_size=vocab_size, **OPTIONS
    )
    return lambda: _save(tok, model_dir)


def _save(tok, model_dir: Path) -> str:
    path = model_dir / "model.json"
    tok.save(str(path))
    return str(path)


class _Encoder:
    def __init__(self, model: str, mode: str):
        q = _module().QormTokenizer
        self.tok = q.from_file(model)
        tok = self.tok
        if mode == "numpy":
            # The default mode into arrays: no Python int list to build.
            self.encode = getattr(tok, "encode_to_numpy", tok.encode)
            self._batch = getattr(tok, "encode_batch_to_numpy", None)
        elif mode == "greedy":
            self.encode = lambda text: tok.encode(text, greedy=True)
            batch = getattr(tok, "encode_batch", None)
            self._batch = (lambda lines: batch(lines, greedy=True)) if batch else None
        elif mode == "dense":
            self.encode = tok.encode_dense
            self._batch = getattr(tok, "encode_dense_batch", None)
        else:
            self.encode = tok.encode
            self._batch = getattr(tok, "encode_batch", None)
        self.decode = tok.decode
        self.has_batch = self._batch is not None

    def batch(self, lines: list[str], threads: int):
        # The pool size comes from RAYON_NUM_THREADS, set by the caller.
        return self._batch(lines)


def load_scored(model: str) -> _Encoder:
    return _Encoder(model, "scored")


def load_numpy(model: str) -> _Encoder:
    return _Encoder(model, "numpy")


def load_greedy(model: str) -> _Encoder:
    return _Encoder(model, "greedy")


def load_dense(model: str) -> _Encoder:
    return _Encoder(model, "dense")
