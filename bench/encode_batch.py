"""Batch encoding benchmark: encode_batch against a loop of encode, arrays
against lists, peak memory of the array form, and the peers.

On the first --lines lines of heldout/mixed.txt, default (context-weighted)
mode, with the worker pool at its default size:

  * a plain loop of encode, encode_batch and encode_batch_to_numpy, each the
    best of --repeat runs (input MB, 10^6 bytes, per second of wall time);
  * peak memory of encode_batch_to_numpy in a fresh interpreter: the peak
    resident set during the call (VmHWM, reset just before it) minus the
    resident set before it, against 4 bytes per token plus the input bytes;
  * the short-call cost of encode (an empty text and a ~50-byte line);
  * the peers, run by --peer-python (where they are importable) in the same
    sitting on the same lines with 8192-token models trained on mixed.txt:
    tiktoken (an Encoding over a rustbpe-trained vocabulary,
    encode_ordinary_batch), HF tokenizers (byte-level BPE from its trainer,
    encode_batch), SentencePiece (encode(list), the BPE model of
    peer_results, or one trained here when it is missing).

    PYTHONPATH=build/dev python3 bench/encode_batch.py [--model FILE]
        [--peer-python PYTHON] [--train-bytes N]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

# shared/corpora beside the checkout (or beside any folder above it, for a worktree).
CORPORA = next((p / "shared/corpora" for p in Path(__file__).resolve().parents[1:]
                if (p / "shared/corpora").is_dir()), Path("../shared/corpora"))
HELDOUT = CORPORA / "heldout/mixed.txt"
TRAIN = CORPORA / "mixed.txt"
SPM_MODEL = CORPORA / "peer_results/models/mixed_bpe_t2.model"
VOCAB = 8192
TARGETS = {"batch_vs_loop": 1.8, "numpy_vs_batch": 1.3, "vs_best_peer": 4.0, "short_call_us": 1.0}


def read_lines(count: int) -> list[str]:
    with HELDOUT.open(encoding="utf-8") as f:
        return [line for _, line in zip(range(count), f)]


def best_of(repeat: int, fn) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def train_bytes(limit: int) -> bytes:
    data = TRAIN.read_bytes()
    return data if limit <= 0 else data[:limit]


# ---- Our side -------------------------------------------------------------------------

def load_ours(args):
    import tarvik_core

    if args.model and Path(args.model).is_file():
        return tarvik_core.QormTokenizer.from_file(args.model)
    tok = tarvik_core.QormTokenizer(train_bytes(args.train_bytes), vocab_size=VOCAB,
                                    show_progress=False, check_quality=False)
    if args.model:
        tok.save(args.model)
    return tok


MEMORY_CHILD = """
import sys, tarvik_core
def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1]) * 1024
tok = tarvik_core.QormTokenizer.from_file(sys.argv[1])
with open(sys.argv[2], encoding="utf-8") as f:
    lines = [l for _, l in zip(range(int(sys.argv[3])), f)]
tok.encode_batch_to_numpy(lines[:10])  # the pool and numpy are up
before = status("VmRSS")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # resets VmHWM to the current resident set
ids, offsets = tok.encode_batch_to_numpy(lines)
peak = status("VmHWM")
print(peak - before, len(ids), sum(len(l.encode()) for l in lines))
"""


def measure_ours(args, tok, lines):
    data_mb = sum(len(line.encode()) for line in lines) / 1e6
    assert tok.encode_batch(lines) == [tok.encode(line) for line in lines]
    loop = best_of(args.repeat, lambda: [tok.encode(line) for line in lines])
    batch = best_of(args.repeat, lambda: tok.encode_batch(lines))
    arrays = best_of(args.repeat, lambda: tok.encode_batch_to_numpy(lines))
    ids, _ = tok.encode_batch_to_numpy(lines)

    short = next(line for line in lines if 45 <= len(line.encode()) <= 55)
    calls = 200_000
    empty_s = best_of(3, lambda: [tok.encode("") for _ in range(calls)]) / calls
    short_s = best_of(3, lambda: [tok.encode(short) for _ in range(calls)]) / calls

    model = args.model
    with tempfile.TemporaryDirectory() as tmp:
        if not model:
            model = str(Path(tmp) / "model.json")
            tok.save(model)
        out = subprocess.run([sys.executable, "-c", MEMORY_CHILD, model, str(HELDOUT), str(len(lines))],
                             capture_output=True, text=True, check=True).stdout.split()
    peak, tokens, input_bytes = map(int, out)
    return {
        "lines": len(lines), "input_mb": data_mb, "tokens": len(ids),
        "loop_mbs": data_mb / loop, "batch_mbs": data_mb / batch, "numpy_mbs": data_mb / arrays,
        "encode_empty_us": empty_s * 1e6, "encode_short_us": short_s * 1e6,
        "numpy_peak_bytes": peak, "numpy_budget_bytes": 4 * tokens + input_bytes,
    }


# ---- The peers (run under --peer-python) --------------------------------------------

def peer_models(args, cache: Path):
    import sentencepiece as spm
    import tiktoken
    import tokenizers
    from tokenizers import decoders, models, pre_tokenizers, trainers

    data = train_bytes(args.train_bytes).decode("utf-8")
    chunks = [data[i:i + (1 << 16)] for i in range(0, len(data), 1 << 16)]
    out = {}

    import rustbpe

    rb = rustbpe.Tokenizer()
    rb.train_from_iterator(iter(chunks), VOCAB)
    ranks = {bytes(k): v for k, v in rb.get_mergeable_ranks()}
    out["tiktoken"] = tiktoken.Encoding(name="rustbpe", pat_str=rb.get_pattern(),
                                        mergeable_ranks=ranks, special_tokens={})

    hf = tokenizers.Tokenizer(models.BPE())
    hf.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False)
    hf.decoder = decoders.ByteLevel()
    trainer = trainers.BpeTrainer(vocab_size=VOCAB, show_progress=False,
                                  initial_alphabet=pre_tokenizers.ByteLevel.alphabet())
    hf.train_from_iterator(chunks, trainer=trainer)
    out["hf"] = hf

    model = SPM_MODEL
    if not model.is_file():
        prefix = cache / "spm"
        spm.SentencePieceTrainer.train(
            sentence_iterator=iter(data.splitlines()), model_prefix=str(prefix), model_type="bpe",
            vocab_size=VOCAB, byte_fallback=True, character_coverage=1.0,
            normalization_rule_name="identity", remove_extra_whitespaces=False,
            input_sentence_size=10_000_000, max_sentence_length=16384, minloglevel=1)
        model = Path(f"{prefix}.model")
    out["sentencepiece"] = spm.SentencePieceProcessor(model_file=str(model))
    return out


def measure_peers(args):
    lines = read_lines(args.lines)
    data_mb = sum(len(line.encode()) for line in lines) / 1e6
    threads = os.cpu_count() or 1
    with tempfile.TemporaryDirectory() as tmp:
        models = peer_models(args, Path(tmp))
        calls = {
            "tiktoken": lambda: models["tiktoken"].encode_ordinary_batch(lines, num_threads=threads),
            "hf": lambda: models["hf"].encode_batch(lines, add_special_tokens=False),
            "sentencepiece": lambda: models["sentencepiece"].encode(lines, num_threads=threads),
        }
        return {name: data_mb / best_of(args.repeat, call) for name, call in calls.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--model", help="our model file: loaded when present, else trained and saved there")
    parser.add_argument("--lines", type=int, default=10_000)
    parser.add_argument("--repeat", type=int, default=20)
    parser.add_argument("--train-bytes", type=int, default=0,
                        help="train on the first N bytes of mixed.txt (0: all of it)")
    parser.add_argument("--peer-python", default="",
                        help="a python where tiktoken, rustbpe, tokenizers and sentencepiece"
                             " import (without it the peers are skipped)")
    parser.add_argument("--peers-only", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.peers_only:
        print(json.dumps(measure_peers(args)))
        return

    lines = read_lines(args.lines)
    ours = measure_ours(args, load_ours(args), lines)
    peers = {}
    if args.peer_python and not Path(args.peer_python).exists():
        print(f"peers skipped: no {args.peer_python}", file=sys.stderr)
    elif args.peer_python:
        cmd = [args.peer_python, __file__, "--peers-only", "--lines", str(args.lines),
               "--repeat", str(args.repeat), "--train-bytes", str(args.train_bytes)]
        done = subprocess.run(cmd, capture_output=True, text=True)
        if done.returncode == 0:
            peers = json.loads(done.stdout.strip().splitlines()[-1])
        else:
            print(f"peers failed:\n{done.stderr}", file=sys.stderr)

    print(f"{ours['lines']} lines, {ours['input_mb']:.3f} MB, {ours['tokens']} tokens")
    print(f"loop of encode        {ours['loop_mbs']:8.2f} MB/s")
    print(f"encode_batch          {ours['batch_mbs']:8.2f} MB/s  {ours['batch_mbs'] / ours['loop_mbs']:.2f}x the loop"
          f" (target >= {TARGETS['batch_vs_loop']})")
    print(f"encode_batch_to_numpy {ours['numpy_mbs']:8.2f} MB/s  {ours['numpy_mbs'] / ours['batch_mbs']:.2f}x encode_batch"
          f" (target >= {TARGETS['numpy_vs_batch']})")
    print(f"encode_batch_to_numpy peak {ours['numpy_peak_bytes'] / 1e6:.2f} MB; budget 4 B/token + input = "
          f"{ours['numpy_budget_bytes'] / 1e6:.2f} MB")
    # The call on an empty text is all overhead (arguments, the hold, the
    # list); the ~50-byte line adds the encoding of its bytes.
    print(f"encode call overhead (empty text) {ours['encode_empty_us']:.2f} us"
          f" (target < {TARGETS['short_call_us']} us); a ~50-byte line {ours['encode_short_us']:.2f} us in all")
    for name, mbs in sorted(peers.items(), key=lambda kv: -kv[1]):
        print(f"peer {name:14s}   {mbs:8.2f} MB/s")
    if peers:
        best = max(peers.values())
        print(f"encode_batch / best peer: {ours['batch_mbs'] / best:.2f}x; encode_batch_to_numpy / best peer: "
              f"{ours['numpy_mbs'] / best:.2f}x (target >= {TARGETS['vs_best_peer']})")


if __name__ == "__main__":
    main()
