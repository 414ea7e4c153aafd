"""Training throughput beside the peers, each run in a fresh process.

    python3 bench/train_peers.py [--corpus mixed.txt] [--slice-files 15]
        [--bench-dir /tmp/tarvik_bench] [--peer-python /work/venvs/bench/bin/python]
        [--only ours,rustbpe,sentencepiece,hf] [--timeout 600]

Two inputs: the shared mixed.txt at vocab 8192 (ours through the constructor
in memory, and at vocab 256 to show the counting stage's share; the peers
from the file's lines or the file), and a slice of the files bench/train_scale.py
builds (the first --slice-files files, 16 MB each) at vocab 32768 (ours through
train_from_files). Each line gives wall seconds, CPU seconds and the child's
peak resident set; run it on an idle machine, since a busy one stretches the
wall time.
"""

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SHARED = next(
    (p / "shared/corpora" for p in ROOT.parents if (p / "shared/corpora").is_dir()),
    ROOT.parent / "shared/corpora",
)

CHILD = r"""
import json, resource, sys, time
kind, vocab, files = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
def lines():
    for name in files:
        with open(name, "rb") as f:
            for line in f:
                yield line.decode("utf-8", "replace")
started = time.perf_counter()
if kind == "ours-memory":
    from tarvik_core import QormTokenizer
    data = b"".join(open(n, "rb").read() for n in files)
    started = time.perf_counter()
    QormTokenizer(data, vocab_size=vocab, show_progress=False)
elif kind == "ours-files":
    from tarvik_core import QormTokenizer
    QormTokenizer.train_from_files(files, vocab_size=vocab, show_progress=False)
elif kind == "rustbpe":
    import rustbpe
    rustbpe.Tokenizer().train_from_iterator(lines(), vocab)
elif kind == "sentencepiece":
    import io, sentencepiece as spm
    spm.SentencePieceTrainer.train(input=",".join(files), model_type="bpe", vocab_size=vocab,
        model_writer=io.BytesIO(), input_sentence_size=0, train_extremely_large_corpus=True,
        minloglevel=2, num_threads=2, byte_fallback=True)
elif kind == "hf":
    from tokenizers import Tokenizer, models, pre_tokenizers, trainers
    tok = Tokenizer(models.BPE())
    tok.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False)
    tok.train(files, trainers.BpeTrainer(vocab_size=vocab, show_progress=False,
        initial_alphabet=pre_tokenizers.ByteLevel.alphabet()))
wall = time.perf_counter() - started
usage = resource.getrusage(resource.RUSAGE_SELF)
print(json.dumps({"wall": wall, "cpu": usage.ru_utime + usage.ru_stime,
                  "peak_mib": usage.ru_maxrss / 1024}))
"""


def measure(python: str, kind: str, vocab: int, files: list[str], timeout: float) -> str:
    env = dict(os.environ)
    try:
        done = subprocess.run([python, "-c", CHILD, kind, str(vocab), *files], env=env,
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return f"timed out after {timeout:.0f} s"
    if done.returncode != 0:
        return "failed: " + done.stderr.strip().splitlines()[-1]
    r = json.loads(done.stdout.strip().splitlines()[-1])
    return f"wall {r['wall']:7.2f} s  cpu {r['cpu']:7.2f} s  peak {r['peak_mib']:6.0f} MiB"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=Path, default=SHARED / "mixed.txt")
    parser.add_argument("--bench-dir", type=Path, default=Path("/tmp/tarvik_bench"))
    parser.add_argument("--slice-files", type=int, default=15)
    parser.add_argument("--peer-python", default="/work/venvs/bench/bin/python")
    parser.add_argument("--only", default="ours,rustbpe,sentencepiece,hf")
    parser.add_argument("--inputs", default="corpus,slice")
    parser.add_argument("--timeout", type=float, default=600)
    args = parser.parse_args()
    wanted = set(args.only.split(","))
    inputs = []
    if "corpus" in args.inputs:
        inputs.append((f"{args.corpus.name} at 8192", 8192, [str(args.corpus)], "ours-memory"))
    if "slice" in args.inputs:
        files = sorted(str(p) for p in args.bench_dir.glob("part-*.txt"))[: args.slice_files]
        size = sum(Path(f).stat().st_size for f in files) / 1e6
        inputs.append((f"{len(files)} files, {size:.0f} MB at 32768", 32768, files, "ours-files"))
    for title, vocab, files, ours in inputs:
        print(title, flush=True)
        runs = []
        if "ours" in wanted:
            runs.append((ours, sys.executable, vocab))
            if ours == "ours-memory":
                runs.append(("ours-memory", sys.executable, 256))
        for peer in ("rustbpe", "sentencepiece", "hf"):
            if peer in wanted:
                runs.append((peer, args.peer_python, vocab))
        for kind, python, v in runs:
            label = kind if v == vocab else f"{kind} (vocab {v})"
            print(f"  {label:28} {measure(python, kind, v, files, args.timeout)}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
