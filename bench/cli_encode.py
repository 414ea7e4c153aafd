"""`tarvik encode` on a 1 GB file: throughput on 1 and 2 worker threads, peak memory.

Builds the input once (the shared corpora concatenated over and over until
--size-mb MB, 10^6 bytes) into --path (default /tmp/tarvik_bench), trains a
model there unless --model is given (vocab_size 8192 on english.txt, by the
command itself), then runs

    tarvik encode -m MODEL FILE -f npy --dtype uint16 -o OUT --no-progress

with RAYON_NUM_THREADS=1 pinned to one processor (one core: the command's
writing thread shares it too) and with RAYON_NUM_THREADS=2 on all of them, in
that order, --repeat times each. Throughput
is input MB per second of wall time (the best run); peak memory is the child's
maximum resident set (getrusage of the waited child). The model's share of it
is measured by the same command on a 1-byte file, and the target is
peak <= that + 256 MB.

    TARVIK_CLI=build/dev/tarvik python3 bench/cli_encode.py [--size-mb 1000] [--document-per-line]
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import time
from pathlib import Path

# Beside the checkout (the main repository), else where the machine keeps them.
CORPORA = next((p for p in (Path(__file__).resolve().parents[1].parent / "shared/corpora",
                             Path("/work/shared/corpora")) if p.is_dir()), None)
SOURCES = ("mixed.txt", "english.txt", "code.txt", "multilingual.txt", "technical.txt")
TARGET_SPEEDUP = 1.8
TARGET_EXTRA_MB = 256


def cli_path() -> str:
    found = os.environ.get("TARVIK_CLI") or shutil.which("tarvik")
    if not found:
        raise SystemExit("set TARVIK_CLI to the tarvik command")
    return found


def build_input(path: Path, size: int) -> Path:
    target = path / f"input_{size // 10**6}MB.txt"
    if target.exists() and target.stat().st_size == size:
        return target
    parts = [(CORPORA / name).read_bytes() for name in SOURCES]
    written = 0
    with open(target.with_suffix(".part"), "wb") as out:
        while written < size:
            for part in parts:
                piece = part[: size - written]
                out.write(piece)
                written += len(piece)
                if written >= size:
                    break
    target.with_suffix(".part").rename(target)
    return target


def timed(argv, threads: int):
    """(wall seconds, peak RSS in MB, CPU seconds) of one run of the command."""
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    one_core = min(os.sched_getaffinity(0))
    pin = (lambda: os.sched_setaffinity(0, {one_core})) if threads == 1 else None
    start = time.perf_counter()
    proc = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            preexec_fn=pin)
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise SystemExit(f"{argv} failed: {proc.stderr.read().decode(errors='replace')}")
    return seconds, usage.ru_maxrss / 1024, usage.ru_utime + usage.ru_stime


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--path", type=Path, default=Path("/tmp/tarvik_bench"))
    parser.add_argument("--size-mb", type=int, default=1000)
    parser.add_argument("--model", type=Path)
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--document-per-line", action="store_true")
    args = parser.parse_args()
    cli = cli_path()
    args.path.mkdir(parents=True, exist_ok=True)
    source = build_input(args.path, args.size_mb * 10**6)
    model = args.model or args.path / "model_8192.json"
    if not model.exists():
        subprocess.run([cli, "train", CORPORA / "english.txt", "-o", model, "--vocab-size", "8192",
                        "--no-progress", "--no-quality-check"], check=True)
    out = args.path / "ids.npy"
    base = [cli, "encode", "-m", str(model), "-f", "npy", "--dtype", "uint16", "-o", str(out),
            "--no-progress"] + (["--document-per-line"] if args.document_per_line else [])
    tiny = args.path / "tiny.txt"
    tiny.write_bytes(b"a")
    _, model_mb, _ = timed(base + [str(tiny)], 1)
    print(f"load average before: {os.getloadavg()[0]:.2f} on {os.cpu_count()} processors")
    print(f"input {source} ({source.stat().st_size / 1e6:.0f} MB), model {model}")
    print(f"peak RSS with the model loaded and a 1-byte input: {model_mb:.1f} MB")
    rates = {}
    for threads in (1, 2):
        runs = [timed(base + [str(source)], threads) for _ in range(args.repeat)]
        seconds = min(r[0] for r in runs)
        peak = max(r[1] for r in runs)
        cpu = min(r[2] for r in runs)
        rates[threads] = source.stat().st_size / 1e6 / seconds
        print(f"threads={threads}: {seconds:.1f} s, {rates[threads]:.1f} MB/s, peak RSS {peak:.1f} MB "
              f"(model + {peak - model_mb:.1f} MB; target <= +{TARGET_EXTRA_MB}), CPU {cpu:.1f} s "
              f"({cpu / seconds:.2f} cores busy)")
    speedup = rates[2] / rates[1]
    print(f"speedup 2 vs 1 threads: {speedup:.2f}x (target >= {TARGET_SPEEDUP}x)")
    out.unlink(missing_ok=True)


if __name__ == "__main__":
    main()
