"""Train a tokenizer on the Python standard library's own sources, then use it.

Every Python install has this corpus. The script trains with the progress bar
on standard error, saves the model, loads it back, encodes held-out sources in
the three modes and reports compression and speed for each.

    python3 examples/train_stdlib.py [--mb 8] [--vocab-size 8192] [--model PATH]
"""
import argparse
import os
import sysconfig
import tempfile
import time
from pathlib import Path

import tarvik_core


def stdlib_sources(limit_bytes: int):
    root = Path(sysconfig.get_paths()["stdlib"])
    files = sorted(p for p in root.rglob("*.py") if "site-packages" not in p.parts)
    data, size = [], 0
    for path in files:
        try:
            blob = path.read_bytes()
        except OSError:
            continue
        data.append(blob)
        size += len(blob)
        if size >= limit_bytes:
            break
    return data


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mb", type=float, default=8.0, help="megabytes of sources to read")
    parser.add_argument("--vocab-size", type=int, default=8192)
    parser.add_argument("--model", help="where to save the model (default: a temporary file)")
    args = parser.parse_args()

    files = stdlib_sources(int(args.mb * 1e6))
    # Every tenth file is held out for encoding; the rest is the training corpus.
    train_files = [f for i, f in enumerate(files) if i % 10 != 9]
    heldout_files = [f for i, f in enumerate(files) if i % 10 == 9]
    train_text, heldout = b"".join(train_files), b"".join(heldout_files)
    print(f"corpus: {len(train_text) / 1e6:.2f} MB from {len(train_files)} standard-library files, "
          f"held out: {len(heldout) / 1e6:.2f} MB from {len(heldout_files)}")

    start = time.perf_counter()
    tok = tarvik_core.QormTokenizer(train_text, vocab_size=args.vocab_size)
    seconds = time.perf_counter() - start
    print(f"trained {tok!r} in {seconds:.2f} s ({len(train_text) / 1e6 / seconds:.1f} MB/s)")

    with tempfile.TemporaryDirectory() as tmp:
        path = args.model or os.path.join(tmp, "stdlib_tokenizer.json")
        tok.save(path)
        size = os.path.getsize(path)
        tok = tarvik_core.QormTokenizer.from_file(path)
        print(f"saved and reloaded {path} ({size / 1e6:.1f} MB)")

    print(f"{'mode':<18}{'tokens':>10}{'bytes/token':>13}{'tokens/byte':>13}{'MB/s':>9}  lossless")
    modes = {
        "context-weighted": lambda t: tok.encode(t),
        "greedy": lambda t: tok.encode(t, greedy=True),
        "dense": tok.encode_dense,
    }
    for name, encode in modes.items():
        best = float("inf")
        for _ in range(3):
            start = time.perf_counter()
            ids = encode(heldout)
            best = min(best, time.perf_counter() - start)
        lossless = tok.decode_bytes(ids) == heldout
        print(f"{name:<18}{len(ids):>10}{len(heldout) / len(ids):>13.3f}"
              f"{len(ids) / len(heldout):>13.4f}{len(heldout) / 1e6 / best:>9.1f}  {lossless}")
        if not lossless:
            raise SystemExit(f"{name} encoding did not decode back to the input")


if __name__ == "__main__":
    main()
