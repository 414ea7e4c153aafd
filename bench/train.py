"""Training benchmark: wall time, throughput and peak memory of one training run.

    PYTHONPATH=build/trainer python3 bench/train.py [CORPUS] [--vocab-size N]
        [--repeat K] [--prefix FRACTION] [--progress] [--verbose]

CORPUS defaults to the shared mixed.txt next to the repository. --synthetic
KIND trains on a generated pathological corpus instead: one-byte (50 MB of
one repeated byte), random (50 MB of random bytes), no-whitespace (CORPUS
with its whitespace removed: one giant chunk); --size sets the megabytes. --repeat K
trains on the corpus concatenated K times and --prefix F on its first part,
to see how time scales with size (repeating adds weight, not distinct chunks;
a prefix has proportionally fewer of both).
Peak memory is the process's maximum resident set size, corpus bytes and
interpreter included. CPU time (user + system) is printed beside the wall
time because a busy machine stretches the latter. Run each measurement in a
fresh process: the peak never goes down.
"""

import argparse
import random
import resource
import sys
import time
from pathlib import Path

import tarvik_core

DEFAULT_CORPUS = Path(__file__).resolve().parents[1].parent / "shared/corpora/mixed.txt"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("corpus", nargs="?", type=Path, default=DEFAULT_CORPUS)
    parser.add_argument("--vocab-size", type=int, default=8192)
    parser.add_argument("--repeat", type=int, default=1, help="concatenate the corpus K times")
    parser.add_argument(
        "--prefix", type=float, default=None, help="use only the first FRACTION (0-1] of the corpus"
    )
    parser.add_argument("--synthetic", choices=["one-byte", "random", "no-whitespace"])
    parser.add_argument("--size", type=float, default=50.0, help="megabytes of --synthetic data")
    parser.add_argument("--progress", action="store_true", help="show the progress bar")
    parser.add_argument("--verbose", action="store_true", help="print the training log")
    args = parser.parse_args()

    if args.synthetic == "one-byte":
        data = b"a" * int(args.size * 1e6)
    elif args.synthetic == "random":
        data = random.Random(1).randbytes(int(args.size * 1e6))
    elif args.synthetic == "no-whitespace":
        data = args.corpus.read_bytes().translate(None, b" \t\r\n")
    elif args.prefix is not None:
        # Read only the prefix: slicing a full copy would inflate the peak.
        with open(args.corpus, "rb") as f:
            data = f.read(int(args.corpus.stat().st_size * args.prefix))
    else:
        data = args.corpus.read_bytes()
    if args.repeat > 1:
        data = data * args.repeat
    megabytes = len(data) / 1e6

    before = resource.getrusage(resource.RUSAGE_SELF)
    start = time.perf_counter()
    tokenizer = tarvik_core.QormTokenizer(
        data,
        vocab_size=args.vocab_size,
        verbose=args.verbose,
        show_progress=args.progress,
        check_quality=False,
    )
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    peak_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # KiB on Linux

    part = f" first {args.prefix:g}" if args.prefix is not None else ""
    name = f"synthetic {args.synthetic}" if args.synthetic else f"{args.corpus}{part}"
    print(f"corpus        {name} x{args.repeat}: {megabytes:.1f} MB")
    print(f"vocab_size    {tokenizer.vocab_size} (target {args.vocab_size})")
    print(f"wall          {wall:.2f} s (cpu {cpu:.2f} s)")
    print(f"throughput    {megabytes / wall:.1f} MB/s")
    print(f"peak memory   {peak_mb:.1f} MiB ({peak_mb * 1048576 / max(len(data), 1):.2f}x corpus)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
