"""Encoding benchmark: throughput per mode and worker count, short-call cost, peak memory.

Trains a tokenizer (vocab_size 8192 on the shared mixed corpus) or loads one
with --model, then, each in a fresh interpreter:

  * encodes every file of the shared heldout/ folder in the three modes
    (greedy, scored = the default context-weighted mode, dense) with 1 worker
    and with 2 workers (RAYON_NUM_THREADS=1 / 2), timing the whole call
    including the Python list of ids; throughput is input MB (10^6 bytes) per
    second of wall time, the best of --repeat runs;
  * times 100 000 calls on ~50-byte lines per mode, and the fixed part of a
    call (time per call minus the line's bytes at the mode's throughput);
  * measures peak memory of one call per mode on the largest heldout file:
    the peak resident set during the call (VmHWM, reset just before it)
    minus the resident set before it, per input byte; the Python list of the
    result (8 bytes per id, the int objects are shared) is part of it.

    PYTHONPATH=build/encoder python3 bench/encode.py [--model FILE] [--save-model FILE]
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

# The shared corpora beside the checkout, or where TARVIK_CORPORA points (a
# worktree elsewhere).
CORPORA = Path(
    os.environ.get("TARVIK_CORPORA", Path(__file__).resolve().parents[1].parent / "shared/corpora")
)
MODES = ("greedy", "scored", "dense")
TARGET_MBS = {"greedy": 80.0, "scored": 25.0, "dense": 40.0}
TARGET_SPEEDUP = 1.7
TARGET_FIXED_US = 1.0
SHORT_CALLS = 100_000


def encoder_for(tok, mode):
    if mode == "greedy":
        return lambda data: tok.encode(data, greedy=True)
    if mode == "scored":
        return tok.encode
    return tok.encode_dense


def short_lines(files: list[Path], count: int = 1000) -> list[bytes]:
    lines = []
    for path in files:
        for line in path.read_bytes().splitlines():
            if 45 <= len(line) <= 55:
                lines.append(line)
    lines.sort()  # a fixed pick, spread over all files
    step = max(1, len(lines) // count)
    return lines[::step][:count]


def run_throughput(model: str, repeat: int) -> dict:
    tok = tarvik_core.QormTokenizer.from_file(model)
    files = sorted((CORPORA / "heldout").glob("*.txt"))
    result = {"files": {}, "short": {}}
    for path in files:
        data = path.read_bytes()
        per_mode = {}
        for mode in MODES:
            encode = encoder_for(tok, mode)
            encode(data)  # warm the pool, the scratch memory and the caches
            times = []
            for _ in range(repeat):
                start = time.perf_counter()
                ids = encode(data)
                times.append(time.perf_counter() - start)
            del ids
            per_mode[mode] = len(data) / min(times) / 1e6
        result["files"][path.name] = {"bytes": len(data), "mbs": per_mode}

    lines = short_lines(files)
    mean_len = statistics.fmean(len(line) for line in lines)
    for mode in MODES:
        encode = encoder_for(tok, mode)
        rounds = SHORT_CALLS // len(lines)
        best = float("inf")
        for _ in range(3):
            start = time.perf_counter()
            for _ in range(rounds):
                for line in lines:
                    encode(line)
            best = min(best, (time.perf_counter() - start) / (rounds * len(lines)))
        result["short"][mode] = {"us_per_call": best * 1e6, "mean_len": mean_len}
    return result


def status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def run_memory(model: str, mode: str) -> dict:
    tok = tarvik_core.QormTokenizer.from_file(model)
    path = max((CORPORA / "heldout").glob("*.txt"), key=lambda p: p.stat().st_size)
    data = path.read_bytes()
    encode = encoder_for(tok, mode)
    encode(data[:1000])
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # the peak resident set starts again from the current one
    before = status_kib("VmRSS")
    ids = encode(data)
    peak = status_kib("VmHWM")
    return {"file": path.name, "bytes": len(data), "ids": len(ids), "kib": peak - before}


def child(args: list[str], workers: int) -> dict:
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    out = subprocess.run(
        [sys.executable, __file__, *args], env=env, check=True, capture_output=True, text=True
    )
    return json.loads(out.stdout)


def obtain_model(args) -> str:
    if args.model:
        return str(args.model)
    corpus = CORPORA / "mixed.txt"
    print(f"training vocab_size=8192 on {corpus} ...", file=sys.stderr)
    start = time.perf_counter()
    tok = tarvik_core.QormTokenizer(
        corpus.read_bytes(), vocab_size=8192, show_progress=False, check_quality=False
    )
    print(f"trained in {time.perf_counter() - start:.1f} s", file=sys.stderr)
    target = args.save_model or Path(tempfile.mkdtemp()) / "encode_bench_model.json"
    tok.save(str(target))
    return str(target)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", type=Path, help="a saved model instead of training one")
    parser.add_argument("--save-model", type=Path, help="where to keep the trained model")
    parser.add_argument("--repeat", type=int, default=5, help="runs per file and mode")
    parser.add_argument("--child-throughput", help=argparse.SUPPRESS)
    parser.add_argument("--child-memory", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.child_throughput:
        print(json.dumps(run_throughput(args.child_throughput, args.repeat)))
        return 0
    if args.child_memory:
        print(json.dumps(run_memory(*args.child_memory)))
        return 0

    model = obtain_model(args)
    throughput_args = ["--child-throughput", model, "--repeat", str(args.repeat)]
    runs = {workers: child(throughput_args, workers) for workers in (1, 2)}

    ok = True
    print(f"model: {model}")
    header = "  ".join(f"{m + ' 1w':>10}{m + ' 2w':>10}" for m in MODES)
    print(f"{'file':<18}{'bytes':>10}  {header}")
    for name, info in runs[1]["files"].items():
        cells = []
        for mode in MODES:
            cells.append(f"{info['mbs'][mode]:>10.1f}{runs[2]['files'][name]['mbs'][mode]:>10.1f}")
        print(f"{name:<18}{info['bytes']:>10}  " + "  ".join(cells))

    print("\nthroughput, MB/s, 1 worker (lowest file / all bytes over all time):")
    for mode in MODES:
        files = runs[1]["files"].values()
        lowest = min(f["mbs"][mode] for f in files)
        total = sum(f["bytes"] for f in files) / sum(f["bytes"] / f["mbs"][mode] for f in files)
        met = lowest >= TARGET_MBS[mode]
        ok &= met
        print(f"  {mode:<7} lowest {lowest:7.1f}  overall {total:7.1f}"
              f"  target {TARGET_MBS[mode]:.0f}  {'met' if met else 'MISSED'}")

    print(f"\nspeed-up of 2 workers over 1 on inputs >= 1 MB (scored; target {TARGET_SPEEDUP}x):")
    for name, info in runs[1]["files"].items():
        if info["bytes"] < 1_000_000:
            continue
        ratio = runs[2]["files"][name]["mbs"]["scored"] / info["mbs"]["scored"]
        met = ratio >= TARGET_SPEEDUP
        ok &= met
        print(f"  {name:<18}{ratio:6.2f}x  {'met' if met else 'MISSED'}")

    print(f"\nshort calls ({SHORT_CALLS} calls, ~50-byte lines, 1 worker):")
    for mode in MODES:
        short = runs[1]["short"][mode]
        # The per-byte part at the mode's throughput on the mixed heldout file.
        per_byte_us = 1.0 / runs[1]["files"]["mixed.txt"]["mbs"][mode]
        fixed = short["us_per_call"] - short["mean_len"] * per_byte_us
        met = fixed < TARGET_FIXED_US
        ok &= met
        print(f"  {mode:<7}{short['us_per_call']:7.3f} us per call, fixed part {fixed:6.3f} us"
              f" (mean {short['mean_len']:.1f} bytes)  {'met' if met else 'MISSED'}")

    print("\npeak memory of one call (peak RSS during the call minus RSS before it, 1 worker):")
    for mode in MODES:
        mem = child(["--child-memory", model, mode], 1)
        per_byte = mem["kib"] * 1024 / mem["bytes"]
        print(f"  {mode:<7}{mem['kib'] / 1024:8.1f} MiB for {mem['file']} ({mem['bytes']} bytes,"
              f" {mem['ids']} ids): {per_byte:.1f} bytes per input byte")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
