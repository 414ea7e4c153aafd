"""Training at dataset scale: builds a large corpus of files once, then times
counting and training from the files on 1 and 2 runners.

    python3 bench/train_scale.py [--dir /tmp/tarvik_bench] [--size-gb 1.0] [--fresh-fraction F]
        [--vocab-size 32768] [--bench build/dev/train_bench] [--threads 1,2]
        [--twice] [--skip-train] [--python] [--no-cpp]

The corpus (cached in --dir, rebuilt only when its parameters change) is
generated text drawing from millions of distinct Zipf-distributed words, with
a quarter of every file taken from the shared corpora, in files of about
16 MB. --fresh-fraction F also starts every file with F of its bytes in fresh
random words, for a corpus whose distinct chunks are about F of it (the
generated Zipf text alone repeats a lot). Its size and distinct-chunk bytes
are reported.

The timings come from the C++ stage bench (bench/train_bench.cpp, built with
TARVIK_BUILD_CPP_TESTS=ON), one fresh process per measurement, so the peak
resident set is that of one run: counting the files in 1 MiB blocks on the
worker pool (RAYON_NUM_THREADS runners), then the merge loop on the counts.
--twice also lists every file twice (memory must follow the distinct text,
not the input). --python also times QormTokenizer.train_from_files (wall,
CPU and peak per fresh process); --no-cpp skips the C++ stage bench.
"""

import argparse
import json
import os
import re
import resource
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
# The shared corpora sit beside the repository (a worktree is one level deeper).
SHARED = next(
    (p / "shared/corpora" for p in ROOT.parents if (p / "shared/corpora").is_dir()),
    ROOT.parent / "shared/corpora",
)
FILE_BYTES = 16 * 1024 * 1024


def fresh_words(rng, size: int) -> bytes:
    """About `size` bytes of random lowercase words of 3-12 letters, each a space-led
    chunk that almost never repeats: text whose distinct chunks are nearly all of it."""
    letters = rng.integers(ord("a"), ord("z") + 1, size=size, dtype=np.uint8)
    cuts = np.cumsum(rng.integers(4, 14, size=size // 4 + 1))
    letters[cuts[cuts < size]] = ord(" ")
    return letters.tobytes()


def build_corpus(directory: Path, size_gb: float, distinct_words: int, seed: int,
                 fresh_fraction: float = 0.0) -> list[Path]:
    params = {"size_gb": size_gb, "distinct_words": distinct_words, "seed": seed, "version": 1}
    if fresh_fraction:
        params["fresh_fraction"] = fresh_fraction
    marker = directory / "corpus.json"
    if marker.exists() and json.loads(marker.read_text()).get("params") == params:
        return [directory / name for name in json.loads(marker.read_text())["files"]]
    directory.mkdir(parents=True, exist_ok=True)
    for old in directory.glob("part-*.txt"):
        old.unlink()
    rng = np.random.default_rng(seed)
    started = time.perf_counter()
    # Words of 2-14 letters from a skewed letter distribution, so that short
    # words repeat and long ones are mostly unique, as in real text.
    letters = np.frombuffer(b"etaoinshrdlcumwfgypbvkjxqz", dtype=np.uint8)
    letter_p = np.linspace(2.0, 0.2, len(letters))
    letter_p /= letter_p.sum()
    lengths = rng.integers(2, 15, size=distinct_words)
    pool = rng.choice(letters, size=int(lengths.sum()), p=letter_p)
    ends = np.cumsum(lengths)
    raw = pool.tobytes()
    words = np.array([raw[e - n : e] for e, n in zip(ends, lengths)], dtype=object)
    shared = b"".join(
        (SHARED / name).read_bytes() for name in ("mixed.txt", "code.txt", "multilingual.txt")
    )
    separators = np.array([b" "] * 14 + [b"\n", b", ", b". ", b"\t"], dtype=object)
    target = int(size_gb * 1e9)
    written = 0
    shared_pos = 0
    files = []
    while written < target:
        parts = [b" " + fresh_words(rng, int(FILE_BYTES * fresh_fraction))] if fresh_fraction else []
        size = len(parts[0]) if parts else 0
        while size < FILE_BYTES * 3 // 4:
            idx = np.minimum(rng.zipf(1.1, size=200_000), distinct_words) - 1
            seps = separators[rng.integers(0, len(separators), size=idx.size)]
            piece = b"".join(a + b for a, b in zip(words[idx], seps))
            parts.append(piece)
            size += len(piece)
        take = FILE_BYTES - size
        if shared_pos + take > len(shared):
            shared_pos = 0
        parts.append(b"\n" + shared[shared_pos : shared_pos + take])
        shared_pos += take
        path = directory / f"part-{len(files):05d}.txt"
        data = b"".join(parts)
        path.write_bytes(data)
        files.append(path)
        written += len(data)
    marker.write_text(json.dumps({"params": params, "files": [p.name for p in files]}))
    print(f"built corpus in {time.perf_counter() - started:.0f} s", flush=True)
    return files


def run_bench(binary: Path, threads: int, vocab_size: int, files: list[Path]) -> dict:
    env = {**os.environ, "RAYON_NUM_THREADS": str(threads)}
    cmd = [str(binary), "files", str(vocab_size), *map(str, files)]
    started = time.perf_counter()
    out = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True).stdout
    wall = time.perf_counter() - started
    fields = {"wall": wall}
    for key, pattern in {
        "count": r"count files\s+([\d.]+) s",
        "merge": r"merge loop\s+([\d.]+) s",
        "peak": r"peak ([\d.]+) MiB",
        "chunks": r"distinct\s+(\d+) chunks",
        "distinct_bytes": r"chunks, (\d+) bytes",
        "total_bytes": r"total bytes\s+(\d+)",
    }.items():
        match = re.search(pattern, out)
        fields[key] = float(match.group(1)) if match else None
    return fields


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", type=Path, default=Path("/tmp/tarvik_bench"))
    parser.add_argument("--size-gb", type=float, default=1.0)
    parser.add_argument("--distinct-words", type=int, default=4_000_000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--fresh-fraction", type=float, default=0.0,
                        help="share of every file that is fresh random words (distinct text)")
    parser.add_argument("--vocab-size", type=int, default=32768)
    parser.add_argument("--bench", type=Path, default=ROOT / "build/dev/train_bench")
    parser.add_argument("--threads", default="1,2")
    parser.add_argument("--twice", action="store_true", help="also list every file twice")
    parser.add_argument("--skip-train", action="store_true", help="count only (vocab 256)")
    parser.add_argument("--python", action="store_true",
                        help="also time QormTokenizer.train_from_files, in a fresh process")
    parser.add_argument("--no-cpp", action="store_true", help="skip the C++ stage bench")
    args = parser.parse_args()

    files = build_corpus(args.dir, args.size_gb, args.distinct_words, args.seed, args.fresh_fraction)
    total = sum(f.stat().st_size for f in files)
    print(f"corpus        {len(files)} files, {total / 1e9:.3f} GB in {args.dir}")
    vocab = 256 if args.skip_train else args.vocab_size
    runs = [(int(t), files, "") for t in args.threads.split(",")]
    if args.twice:
        runs.append((runs[-1][0], files + files, " (files listed twice)"))
    for threads, listed, note in ([] if args.no_cpp else runs):
        r = run_bench(args.bench, threads, vocab, listed)
        if r["distinct_bytes"] is not None and not note:
            share = r["distinct_bytes"] / r["total_bytes"]
            print(f"distinct      {int(r['chunks'])} chunks, {r['distinct_bytes'] / 1e6:.1f} MB"
                  f" ({share:.1%} of the corpus)")
        print(
            f"{threads} runner(s){note}: count {r['count']:.2f} s, merge loop {r['merge']:.2f} s"
            f" (vocab {vocab}), wall {r['wall']:.2f} s, peak {r['peak']:.0f} MiB",
            flush=True,
        )

    if args.python:
        # The module's own path, each run in a fresh process so that its peak
        # resident set is its own.
        child = (
            "import json, resource, sys, time\n"
            "from tarvik_core import QormTokenizer\n"
            "t = time.perf_counter()\n"
            "QormTokenizer.train_from_files(sys.argv[2:], vocab_size=int(sys.argv[1]),"
            " show_progress=False)\n"
            "u = resource.getrusage(resource.RUSAGE_SELF)\n"
            "print(json.dumps([time.perf_counter() - t, u.ru_utime + u.ru_stime,"
            " u.ru_maxrss / 1024]))\n"
        )
        listed = [("", files)] + ([(" (files listed twice)", files + files)] if args.twice else [])
        for note, paths in listed:
            out = subprocess.run([sys.executable, "-c", child, str(vocab), *map(str, paths)],
                                 check=True, capture_output=True, text=True).stdout
            wall, cpu, peak = json.loads(out.strip().splitlines()[-1])
            print(f"train_from_files{note}: wall {wall:.2f} s, cpu {cpu:.2f} s, peak {peak:.0f} MiB",
                  flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
