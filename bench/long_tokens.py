"""Long-token benchmark: encoding time and trie memory when tokens are huge.

Cases, each in a fresh interpreter per build:

  a100k    train on b"a" * 100_000 (vocab_size 300), encode 100 KB of "a"
  eq200k   train on the english corpus's first MB plus one 200 KB line of "="
           (vocab_size 1000), encode 80 KB of "="
  a1m      train on 1 MB of "a" (vocab_size 300), encode a 100 KB slice
  a50m     train on 50 MB of "a" (vocab_size 300), encode a 100 KB slice

Each case times the training, then one call per mode (greedy, scored = the
default mode, dense) on the encode input, and reports the longest token. The
trained model is saved and loaded again in a second fresh interpreter, where
the growth of the resident set across from_file is measured: the vocabulary
(every token's bytes) plus the trie, the part that changes with the trie's
layout. Every build given with --build runs each case in the same sitting, so
a before/after pair is

    python3 bench/long_tokens.py --build /path/to/main/build --build build/dev

(each --build is a directory holding the tarvik_core module). The ids of every
mode must be equal across builds; a difference is reported and fails the run.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

# The shared corpora beside the checkout (or beside the worktree folder).
CORPORA = next(
    (p / "shared/corpora" for p in Path(__file__).resolve().parents
     if (p / "shared/corpora").is_dir()),
    Path("/work/shared/corpora"),
)
MODES = ("greedy", "scored", "dense")
CASES = ("a100k", "eq200k", "a1m", "a50m")


def case_data(name: str) -> tuple[bytes, int, bytes]:
    """The training corpus, vocab_size and the input to encode."""
    if name == "a100k":
        return b"a" * 100_000, 300, b"a" * 100_000
    if name == "eq200k":
        with open(CORPORA / "english.txt", "rb") as f:
            text = f.read(1_000_000)
        return text + b"\n" + b"=" * 200_000 + b"\n", 1000, b"=" * 80_000
    if name == "a1m":
        return b"a" * 1_000_000, 300, b"a" * 100_000
    if name == "a50m":
        return b"a" * 50_000_000, 300, b"a" * 100_000
    raise ValueError(name)


def status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def run_train(name: str, model: str) -> dict:
    import tarvik_core

    corpus, vocab_size, text = case_data(name)
    start = time.perf_counter()
    tok = tarvik_core.QormTokenizer(
        corpus, vocab_size=vocab_size, show_progress=False, check_quality=False
    )
    train_s = time.perf_counter() - start
    del corpus
    longest = max(len(tok.id_to_bytes(i)) for i in range(len(tok)))
    result = {"train_s": train_s, "longest": longest, "encode_s": {}, "digest": {}}
    for mode in MODES:
        start = time.perf_counter()
        if mode == "greedy":
            ids = tok.encode(text, greedy=True)
        elif mode == "scored":
            ids = tok.encode(text)
        else:
            ids = tok.encode_dense(text)
        result["encode_s"][mode] = time.perf_counter() - start
        if tok.decode_bytes(ids) != text:
            raise RuntimeError(f"{mode}: the ids do not decode to the input")
        result["digest"][mode] = hashlib.sha256(json.dumps(ids).encode()).hexdigest()[:16]
    tok.save(model)
    return result


def run_load(model: str) -> dict:
    import tarvik_core

    before = status_kib("VmRSS")
    tok = tarvik_core.QormTokenizer.from_file(model)
    after = status_kib("VmRSS")
    return {"load_mib": (after - before) / 1024, "tokens": len(tok)}


def child(build: Path, args: list[str], timeout: float) -> dict:
    env = dict(os.environ, PYTHONPATH=str(build), RAYON_NUM_THREADS="1")
    try:
        out = subprocess.run(
            [sys.executable, __file__, *args], env=env, check=True, capture_output=True,
            text=True, timeout=timeout,
        )
    except subprocess.TimeoutExpired:
        return {"timeout": timeout}
    return json.loads(out.stdout)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=Path, action="append", required=False,
                        help="a directory holding the tarvik_core module (repeatable)")
    parser.add_argument("--cases", nargs="+", choices=CASES, default=list(CASES))
    parser.add_argument("--timeout", type=float, default=900.0, help="seconds per child")
    parser.add_argument("--child-train", nargs=2, help=argparse.SUPPRESS)
    parser.add_argument("--child-load", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.child_train:
        print(json.dumps(run_train(*args.child_train)))
        return 0
    if args.child_load:
        print(json.dumps(run_load(args.child_load)))
        return 0

    builds = [b.resolve() for b in (args.build or [Path("build/dev")])]
    ok = True
    workdir = Path(tempfile.mkdtemp(prefix="long_tokens_"))
    print("1 worker; times in seconds, one call each; load = RSS growth of from_file")
    print(f"{'case':<8}{'build':<40}{'train':>8}{'longest':>10}"
          + "".join(f"{m:>9}" for m in MODES) + f"{'load MiB':>10}")
    for name in args.cases:
        digests = None
        for build in builds:
            model = workdir / f"{name}_{hashlib.sha1(str(build).encode()).hexdigest()[:8]}.json"
            run = child(build, ["--child-train", name, str(model)], args.timeout)
            label = str(build)[-39:]
            if "timeout" in run:
                print(f"{name:<8}{label:<40}  timed out after {run['timeout']:.0f} s")
                ok = False
                continue
            load = child(build, ["--child-load", str(model)], args.timeout)
            model.unlink()
            times = "".join(f"{run['encode_s'][m]:>9.3f}" for m in MODES)
            print(f"{name:<8}{label:<40}{run['train_s']:>8.2f}{run['longest']:>10}{times}"
                  f"{load.get('load_mib', float('nan')):>10.1f}", flush=True)
            if digests is not None and run["digest"] != digests:
                print(f"  ids differ from the first build: {run['digest']} vs {digests}")
                ok = False
            digests = run["digest"]
    workdir.rmdir()
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
