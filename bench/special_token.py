"""add_special_token cost on a large model: the time to add one special token
(a new compiled model that keeps the bigram rows) against loading the same
model from its file (a full build).

Trains a tokenizer (--vocab-size, default 32768, on the shared mixed corpus)
or loads one with --model, then adds --count new special tokens one at a time.

    PYTHONPATH=build/dev python3 bench/special_token.py [--model FILE] [--save-model FILE]
"""

from __future__ import annotations

import argparse
import statistics
import tempfile
import time
from pathlib import Path

import tarvik_core

DEFAULT_CORPUS = Path(__file__).resolve().parents[1].parent / "shared/corpora/mixed.txt"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=Path, default=DEFAULT_CORPUS)
    parser.add_argument("--vocab-size", type=int, default=32768)
    parser.add_argument("--model", type=Path, help="load this model instead of training")
    parser.add_argument("--save-model", type=Path, help="save the trained model here")
    parser.add_argument("--count", type=int, default=10)
    args = parser.parse_args()

    if args.model:
        tok = tarvik_core.QormTokenizer.from_file(str(args.model))
    else:
        start = time.perf_counter()
        tok = tarvik_core.QormTokenizer(args.corpus.read_bytes(), vocab_size=args.vocab_size,
                                        show_progress=False, check_quality=False)
        print(f"trained {tok.vocab_size} tokens in {time.perf_counter() - start:.1f} s")
        if args.save_model:
            tok.save(str(args.save_model))

    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "model.json"
        tok.save(str(path))
        loads = []
        for _ in range(3):
            start = time.perf_counter()
            tarvik_core.QormTokenizer.from_file(str(path))
            loads.append(time.perf_counter() - start)

    adds = []
    for i in range(args.count):
        start = time.perf_counter()
        tok.add_special_token(f"<bench_special_{i}>")
        adds.append(time.perf_counter() - start)
    print(f"model: {tok.vocab_size} tokens")
    print(f"add_special_token: median {statistics.median(adds) * 1e3:.1f} ms, "
          f"min {min(adds) * 1e3:.1f} ms over {args.count}")
    print(f"from_file (parse + full build), for scale: median {statistics.median(loads) * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
