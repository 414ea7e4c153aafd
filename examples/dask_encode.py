"""Encode many files with Dask: one .npy shard of token ids per task, plus an index.

The tokenizer is pickled and sent to every worker once (client.scatter with
broadcast=True, under a key of its own: see encode_on_cluster). Each task reads its part of the inputs itself (the files must
be on storage the workers see), encodes it with encode_batch_to_numpy and
writes two files to the output directory (which the workers must see too):
shard-NNNNN.npy with the token ids (uint32) and shard-NNNNN.offsets.npy with
len(documents) + 1 offsets (int64), document i of the shard being
ids[offsets[i]:offsets[i + 1]]. index.json lists the shards in input order with
their document and token counts; read_shards() concatenates them into exactly
what a single encode_batch_to_numpy of all the documents gives.

A document is a whole file, or with --document-per-line one line of a file
without its "\\n" (files are then split into byte ranges of about --shard-mb,
each line going to the range it starts in). --eos NAME appends the special
token NAME after every document.

    python3 examples/dask_encode.py FILE... --model model.json --output-dir shards/
        [--document-per-line] [--eos NAME] [--scheduler tcp://host:8786] [--workers 2]
"""
import argparse
import json
import os
import sys
import time

import numpy as np

from tarvik_core import QormTokenizer

INDEX = "index.json"


def read_lines(path, start, end):
    """The lines of a file that start in [start, end), without their "\\n".

    A line that crosses `start` belongs to the range before, so ranges cut
    anywhere give every line exactly once.
    """
    lines = []
    with open(path, "rb") as f:
        if start > 0:
            f.seek(start - 1)
            f.readline()
        while f.tell() < end:
            line = f.readline()
            if not line:
                break
            lines.append(line[:-1] if line.endswith(b"\n") else line)
    return lines


def split_documents(data):
    """A file's lines the way read_lines gives them, for a single-process encode."""
    lines = data.split(b"\n")
    if lines[-1] == b"":
        lines.pop()
    return lines


def plan_shards(paths, document_per_line, shard_bytes):
    """The tasks' inputs, in output order.

    Whole files are grouped up to about shard_bytes a shard; lines are cut
    into byte ranges of a file. Sizes come from the file system here, so the
    client must see the files as well.
    """
    shards, group, size = [], [], 0
    for path in paths:
        length = os.path.getsize(path)
        if document_per_line:
            for start in range(0, max(length, 1), shard_bytes):
                shards.append({"path": path, "start": start, "end": min(start + shard_bytes, length)})
            continue
        if group and size + length > shard_bytes:
            shards.append({"paths": group})
            group, size = [], 0
        group.append(path)
        size += length
    if group:
        shards.append({"paths": group})
    return shards


def append_eos(ids, offsets, eos_id):
    """ids and offsets with eos_id after every document."""
    n = len(offsets) - 1
    shifted = offsets + np.arange(n + 1, dtype=np.int64)
    out = np.empty(len(ids) + n, dtype=np.uint32)
    eos_at = shifted[1:] - 1
    keep = np.ones(len(out), dtype=bool)
    keep[eos_at] = False
    out[keep] = ids
    out[eos_at] = eos_id
    return out, shifted


def encode_documents(tok, documents, eos_id=None):
    ids, offsets = tok.encode_batch_to_numpy(documents)
    if eos_id is not None:
        ids, offsets = append_eos(ids, offsets, eos_id)
    return ids, offsets


def encode_shard(number, spec, tok, output_dir, eos_id=None):
    """Encodes one shard and writes its two files; returns its index entry."""
    if "paths" in spec:
        documents = []
        for path in spec["paths"]:
            with open(path, "rb") as f:
                documents.append(f.read())
    else:
        documents = read_lines(spec["path"], spec["start"], spec["end"])
    ids, offsets = encode_documents(tok, documents, eos_id)
    name = f"shard-{number:05d}"
    np.save(os.path.join(output_dir, name + ".npy"), ids)
    np.save(os.path.join(output_dir, name + ".offsets.npy"), offsets)
    return {
        "ids": name + ".npy",
        "offsets": name + ".offsets.npy",
        "documents": len(documents),
        "tokens": int(len(ids)),
        "source": spec,
    }


def eos_id_of(tok, name):
    if name is None:
        return None
    token_id = tok.get_special_token_id(name)
    if token_id is None:
        raise ValueError(f"--eos {name!r} is not a special token of the model")
    return token_id


def encode_on_cluster(client, tok, paths, output_dir, document_per_line=False, eos=None,
                      shard_bytes=64 << 20, timeout=None):
    """Encodes the files on the cluster into output_dir; returns the index."""
    eos_id = eos_id_of(tok, eos)
    paths = [str(p) for p in paths]
    shards = plan_shards(paths, document_per_line, shard_bytes)
    os.makedirs(output_dir, exist_ok=True)
    # Sent once to every worker instead of once per task. hash=False gives
    # the scatter a fresh key: under the content hash, a second call with
    # the same tokenizer reuses the key of the first call's future, and when
    # that future is released just before, the scheduler can drop the data
    # the new tasks depend on ("lost dependencies").
    shared_tok = client.scatter(tok, broadcast=True, hash=False)
    futures = [
        client.submit(encode_shard, number, spec, shared_tok, str(output_dir), eos_id, pure=False)
        for number, spec in enumerate(shards)
    ]
    entries = [future.result(timeout=timeout) for future in futures]
    index = {
        "documents": sum(e["documents"] for e in entries),
        "tokens": sum(e["tokens"] for e in entries),
        "eos": eos,
        "document_per_line": document_per_line,
        "shards": entries,
    }
    with open(os.path.join(output_dir, INDEX), "w") as f:
        json.dump(index, f, indent=1)
    return index


def read_shards(output_dir):
    """All the shards of an index as one (ids, offsets) pair, in index order."""
    with open(os.path.join(output_dir, INDEX)) as f:
        index = json.load(f)
    id_parts, offset_parts, base = [], [np.zeros(1, dtype=np.int64)], 0
    for entry in index["shards"]:
        ids = np.load(os.path.join(output_dir, entry["ids"]))
        offsets = np.load(os.path.join(output_dir, entry["offsets"]))
        id_parts.append(ids)
        offset_parts.append(offsets[1:] + base)
        base += len(ids)
    ids = np.concatenate(id_parts) if id_parts else np.zeros(0, dtype=np.uint32)
    return ids, np.concatenate(offset_parts)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("files", nargs="+", help="input files")
    parser.add_argument("--model", required=True, help="a model saved by save or dask_train.py")
    parser.add_argument("--output-dir", required=True, help="where the shards and index go")
    parser.add_argument("--document-per-line", action="store_true",
                        help="every line is a document (default: every file)")
    parser.add_argument("--eos", metavar="NAME", help="special token appended to every document")
    parser.add_argument("--shard-mb", type=float, default=64.0, help="input megabytes per task")
    parser.add_argument("--scheduler", help="address of a running scheduler (tcp://host:8786)")
    parser.add_argument("--workers", type=int, default=2, help="LocalCluster worker processes")
    parser.add_argument("--timeout", type=float, help="seconds to wait for each shard")
    args = parser.parse_args(argv)

    from dask.distributed import Client, LocalCluster

    tok = QormTokenizer.from_file(args.model)
    cluster = None
    if args.scheduler:
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True)
        client = Client(cluster)
    try:
        start = time.perf_counter()
        index = encode_on_cluster(client, tok, args.files, args.output_dir,
                                  document_per_line=args.document_per_line, eos=args.eos,
                                  shard_bytes=max(1, int(args.shard_mb * 1e6)),
                                  timeout=args.timeout)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    print(f"encoded {index['documents']} documents into {index['tokens']} tokens in "
          f"{len(index['shards'])} shards in {time.perf_counter() - start:.2f} s: "
          f"{os.path.join(args.output_dir, INDEX)}", file=sys.stderr)


if __name__ == "__main__":
    main()
