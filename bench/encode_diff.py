"""Differential check of two builds of the module: identical ids in every mode.

Encodes every file of the shared heldout/ folder plus random and adversarial
inputs with a saved model, once with each build (each in its own
interpreter, PYTHONPATH pointing at the build directory), and compares a
digest of the ids of every (input, mode) pair. Exits 1 on any difference.

    python3 bench/encode_diff.py --model MODEL --base build/main --new build/dev
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import random
import subprocess
import sys
from pathlib import Path

# The shared corpora beside the checkout, or where TARVIK_CORPORA points (a
# worktree elsewhere).
CORPORA = Path(
    os.environ.get("TARVIK_CORPORA", Path(__file__).resolve().parents[1].parent / "shared/corpora")
)

CHILD = r"""
import hashlib, json, sys
import tarvik_core
sys.path.insert(0, sys.argv[3])
from encode_diff import inputs
tok = tarvik_core.QormTokenizer.from_file(sys.argv[1], context_weight=float(sys.argv[2]))
modes = {
    "scored": tok.encode,
    "greedy": lambda d: tok.encode(d, greedy=True),
    "dense": tok.encode_dense,
    "offsets": lambda d: tok.encode_with_offsets(d)[1],
}
out = {}
for name, data in inputs():
    for mode, encode in modes.items():
        out[f"{name}/{mode}"] = hashlib.sha256(repr(encode(data)).encode()).hexdigest()
print(json.dumps(out))
"""


def inputs():
    for path in sorted((CORPORA / "heldout").glob("*.txt")):
        yield path.name, path.read_bytes()
    rng = random.Random(1)
    mixed = (CORPORA / "heldout/mixed.txt").read_bytes()
    yield "empty", b""
    yield "all_bytes", bytes(range(256)) * 700
    yield "one_byte_megabyte", b"a" * 1_000_000
    yield "spaces", b" " * 300_000
    yield "random_bytes", rng.randbytes(400_000)
    yield "invalid_utf8", b"\xff\xfe\xc3" * 50_000
    for k in range(20):
        start = rng.randrange(len(mixed))
        yield f"slice{k}", mixed[start : start + rng.choice([1, 7, 100, 5000, 131072, 131073, 300_000])]
    # Text with random single-byte edits: rare pairs and unseen contexts.
    edited = bytearray(mixed[:500_000])
    for _ in range(20_000):
        edited[rng.randrange(len(edited))] = rng.randrange(256)
    yield "edited", bytes(edited)


def run(build: Path, model: Path, weight: float) -> dict:
    env = dict(os.environ, PYTHONPATH=str(build), RAYON_NUM_THREADS="2")
    out = subprocess.run(
        [sys.executable, "-c", CHILD, str(model), str(weight), str(Path(__file__).parent)],
        env=env, capture_output=True, text=True,
    )
    if out.returncode != 0:
        sys.exit(f"{build}: {out.stderr}")
    return json.loads(out.stdout)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", type=Path, required=True)
    parser.add_argument("--base", type=Path, required=True, help="build directory of the reference")
    parser.add_argument("--new", type=Path, required=True, help="build directory to check")
    parser.add_argument("--weights", type=float, nargs="+", default=[0.3, 0.0, 1.5])
    args = parser.parse_args()
    differ = 0
    for weight in args.weights:
        base, new = run(args.base, args.model, weight), run(args.new, args.model, weight)
        bad = sorted(key for key in base if base[key] != new.get(key))
        differ += len(bad)
        print(f"context_weight {weight}: {len(base)} (input, mode) pairs, {len(bad)} differ"
              + (": " + ", ".join(bad[:10]) if bad else ""))
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(main())
