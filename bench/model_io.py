"""Model file speed and memory: save and load throughput, peak memory of a load.

Trains a tokenizer (vocab_size 8192 on the shared mixed corpus by default) or
takes an existing model with --model, then saves and loads it several times.
Throughput is file bytes per second of wall time (best and median of the runs).
Peak memory is measured in a fresh interpreter: ru_maxrss after the load minus
ru_maxrss right after import, so it covers the file buffer, the parsed
vocabulary and the encoder built from it. Wall-clock throughput suffers when
other processes compete for the CPU; the CPU-time figures show the work itself.

    PYTHONPATH=build/model python3 bench/model_io.py [--model FILE] [--corpus FILE]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import tarvik_core

DEFAULT_CORPUS = Path(__file__).resolve().parents[1].parent / "shared/corpora/mixed.txt"
LOAD_TARGET_MBS = 200.0
SAVE_TARGET_MBS = 300.0
MEMORY_TARGET_RATIO = 3.0

# Reads one model path from stdin, loads it, and reports the growth of the
# peak resident set over the level right after import.
PEAK_SCRIPT = """
import json, resource, sys
import tarvik_core
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
path = sys.stdin.readline().strip()
tok = tarvik_core.QormTokenizer.from_file(path)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"kib": peak - base, "base_kib": base, "vocab_size": tok.vocab_size}))
"""


def start_probe() -> subprocess.Popen:
    """Starts a peak-memory probe before this process grows.

    Linux carries a parent's peak RSS over into a child across fork and exec,
    so a probe started after training or loading would report that peak as its
    own baseline; the probes are therefore started first and wait for a path.
    """
    return subprocess.Popen([sys.executable, "-c", PEAK_SCRIPT], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True, env=os.environ)


def finish_probe(probe: subprocess.Popen, path: str) -> dict:
    out, _ = probe.communicate(path + "\n", timeout=600)
    if probe.returncode != 0:
        raise RuntimeError("peak-memory probe failed")
    return json.loads(out)


def timed(fn, repeat: int) -> tuple[list[float], list[float]]:
    """Wall-clock and process CPU seconds of each run."""
    wall, cpu = [], []
    for _ in range(repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        fn()
        wall.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
    return wall, cpu


def rates(size: int, times: list[float]) -> tuple[float, float]:
    mb = size / 1e6
    return mb / min(times), mb / statistics.median(times)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", type=Path, help="existing model file (skips training)")
    parser.add_argument("--corpus", type=Path, default=DEFAULT_CORPUS)
    parser.add_argument("--vocab-size", type=int, default=8192)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--keep", type=Path, help="also write the model here for later runs")
    args = parser.parse_args()
    probes = [start_probe() for _ in range(3)]

    if args.model:
        tok = tarvik_core.QormTokenizer.from_file(str(args.model))
        print(f"model: {args.model}")
    else:
        text = args.corpus.read_bytes()
        start = time.perf_counter()
        tok = tarvik_core.QormTokenizer(
            text, vocab_size=args.vocab_size, show_progress=False, check_quality=False
        )
        print(f"trained vocab_size={tok.vocab_size} on {args.corpus} "
              f"({len(text) / 1e6:.1f} MB) in {time.perf_counter() - start:.1f} s")
    if args.keep:
        tok.save(str(args.keep))

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "model.json")
        save_times, save_cpu = timed(lambda: tok.save(path), args.repeat)
        size = os.path.getsize(path)
        load_times, load_cpu = timed(lambda: tarvik_core.QormTokenizer.from_file(path), args.repeat)
        peaks = [finish_probe(probe, path)["kib"] * 1024 for probe in probes]
        bigrams = Path(path).read_text().count('"left"')

    save_best, save_median = rates(size, save_times)
    load_best, load_median = rates(size, load_times)
    peak = min(peaks)
    ratio = peak / size
    print(f"file: {size / 1e6:.2f} MB ({tok.vocab_size} tokens, {bigrams} bigrams)")
    print(f"save: {save_best:.0f} MB/s best, {save_median:.0f} MB/s median wall; "
          f"{rates(size, save_cpu)[1]:.0f} MB/s median CPU (target >= {SAVE_TARGET_MBS:.0f})")
    print(f"load: {load_best:.0f} MB/s best, {load_median:.0f} MB/s median wall; "
          f"{rates(size, load_cpu)[1]:.0f} MB/s median CPU (target >= {LOAD_TARGET_MBS:.0f}; "
          f"includes building the encoder)")
    print(f"peak memory during load: {peak / 1e6:.2f} MB = {ratio:.2f} x file size "
          f"(target < {MEMORY_TARGET_RATIO:.0f} x)")
    ok = (save_median >= SAVE_TARGET_MBS and load_median >= LOAD_TARGET_MBS
          and ratio < MEMORY_TARGET_RATIO)
    print("targets met" if ok else "TARGETS MISSED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
