"""Pruning benchmark: prune the 8192-token model of mixed.txt to 4096 tokens.

    PYTHONPATH=build/main python3 bench/prune.py [--model PATH] [--corpus HELDOUT]
        [--target 4096]

Trains the model on the shared mixed.txt (or loads --model), then times, each
on a fresh copy of the model: one greedy encode of the pruning corpus, one
encoder rebuild (pruning to a target at or above the current size, which
encodes greedily and rebuilds without removing anything), and the real prune.
The prune should cost little more than the first plus an encoder build.
"""

import argparse
import os
import statistics
import tempfile
import time
from pathlib import Path

import tarvik_core

CORPORA = Path(__file__).resolve().parents[1].parent / "shared/corpora"


def timed(fn, repeat=5):
    runs = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        runs.append(time.perf_counter() - start)
    return statistics.median(runs)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", type=Path)
    parser.add_argument("--corpus", type=Path, default=CORPORA / "heldout/mixed.txt")
    parser.add_argument("--target", type=int, default=4096)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        model = args.model
        if model is None:
            model = Path(tmp) / "model.json"
            data = (CORPORA / "mixed.txt").read_bytes()
            tarvik_core.QormTokenizer(data, vocab_size=8192, show_progress=False,
                                      check_quality=False).save(str(model))
        corpus = args.corpus.read_bytes()
        load = lambda: tarvik_core.QormTokenizer.from_file(str(model))  # noqa: E731
        probe = load()
        size = probe.vocab_size

        encode = timed(lambda: probe.encode(corpus, greedy=True))
        copies = [load() for _ in range(10)]
        rebuild = timed(lambda: copies.pop().prune_vocab(size, corpus))
        prune = timed(lambda: copies.pop().prune_vocab(args.target, corpus))
        pruned = load()
        pruned.prune_vocab(args.target, corpus)

    mb = len(corpus) / 1e6
    print(f"corpus {args.corpus.name}: {mb:.2f} MB; model {size} tokens -> {pruned.vocab_size}")
    print(f"greedy encode            {encode * 1e3:8.1f} ms  ({mb / encode:.0f} MB/s)")
    print(f"encode + rebuild (no-op) {rebuild * 1e3:8.1f} ms")
    print(f"prune to {args.target:<15} {prune * 1e3:8.1f} ms  ({prune / encode:.2f}x the greedy encode)")
    assert pruned.decode_bytes(pruned.encode(corpus)) == corpus


if __name__ == "__main__":
    os.environ.setdefault("PYTHONUNBUFFERED", "1")
    main()
