"""Train a tokenizer on many files with Dask: count on the workers, merge in a tree, train once.

Each worker counts its shard of the files with QormTokenizer.count_chunks,
reading every file itself (so the files must be on storage the workers see),
the blobs are summed pairwise with merge_chunk_counts, and one
train_from_counts on this machine trains the model. Each file is counted as
its own text, as train_from_files does, so the saved model is byte-identical
to train_from_files on the same files with the same options.

    python3 examples/dask_train.py FILE... --output model.json [--vocab-size 8192]
        [--scheduler tcp://host:8786] [--workers 2] [--shards N]

Without --scheduler a LocalCluster of --workers processes is started.
"""
import argparse
import sys
import time

from tarvik_core import QormTokenizer


def count_shard(paths):
    """The count blob of some files, each its own text, read one at a time."""

    def texts():
        for path in paths:
            with open(path, "rb") as f:
                yield f.read()

    return QormTokenizer.count_chunks(texts())


def shard(paths, n):
    """Up to n shards of the paths, sizes differing by at most one."""
    n = max(1, min(n, len(paths)))
    return [paths[i::n] for i in range(n)]


def merge_tree(client, futures):
    """One future holding the sum of the blobs: pairwise rounds, log2(len) deep.

    A failed blob fails every merge above it, so the error reaches the root.
    """
    while len(futures) > 1:
        merged = [
            client.submit(QormTokenizer.merge_chunk_counts, futures[i : i + 2], pure=False)
            for i in range(0, len(futures) - 1, 2)
        ]
        if len(futures) % 2:
            merged.append(futures[-1])
        futures = merged
    return futures[0]


def count_on_cluster(client, paths, shards=None, timeout=None):
    """The merged count blob of the files, counted on the cluster's workers."""
    paths = [str(p) for p in paths]
    if not paths:
        raise ValueError("no input files")
    if shards is None:
        # A few shards per worker keeps every worker busy when files differ in size.
        shards = 4 * max(1, len(client.scheduler_info()["workers"]))
    # Files can change between runs on one cluster, so no result is reused.
    blobs = client.map(count_shard, shard(paths, shards), pure=False)
    return merge_tree(client, blobs).result(timeout=timeout)


def train_on_cluster(client, paths, shards=None, timeout=None, **options):
    """The tokenizer train_from_files(paths, **options) gives, counted on the cluster."""
    blob = count_on_cluster(client, paths, shards=shards, timeout=timeout)
    return QormTokenizer.train_from_counts(blob, **options)


def connect(scheduler, workers):
    """A client of the scheduler at that address, or of a new LocalCluster."""
    from dask.distributed import Client, LocalCluster

    if scheduler:
        return Client(scheduler), None
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True)
    return Client(cluster), cluster


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("files", nargs="+", help="text files, each counted as its own text")
    parser.add_argument("--output", required=True, help="where to save the model")
    parser.add_argument("--scheduler", help="address of a running scheduler (tcp://host:8786)")
    parser.add_argument("--workers", type=int, default=2, help="LocalCluster worker processes")
    parser.add_argument("--shards", type=int, help="count tasks (default: 4 per worker)")
    parser.add_argument("--timeout", type=float, help="seconds to wait for the counts")
    parser.add_argument("--vocab-size", type=int, default=8192)
    parser.add_argument("--context-weight", type=float, default=0.3)
    parser.add_argument("--max-token-bytes", type=int)
    parser.add_argument("--special-token", action="append", default=None, dest="special_tokens",
                        help="a special token name (repeatable)")
    parser.add_argument("--no-check-quality", action="store_false", dest="check_quality")
    parser.add_argument("--quiet", action="store_true", help="no progress bar while training")
    args = parser.parse_args(argv)

    client, cluster = connect(args.scheduler, args.workers)
    try:
        start = time.perf_counter()
        blob = count_on_cluster(client, args.files, shards=args.shards, timeout=args.timeout)
        counted = time.perf_counter()
        print(f"counted {len(args.files)} files on {len(client.scheduler_info()['workers'])} "
              f"workers in {counted - start:.2f} s: {len(blob) / 1e6:.2f} MB of counts",
              file=sys.stderr)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    # Training needs every count at once, so it runs here, on one machine.
    tok = QormTokenizer.train_from_counts(
        blob,
        vocab_size=args.vocab_size,
        context_weight=args.context_weight,
        show_progress=not args.quiet,
        special_tokens=args.special_tokens,
        check_quality=args.check_quality,
        max_token_bytes=args.max_token_bytes,
    )
    tok.save(args.output)
    print(f"trained {tok.vocab_size} tokens in {time.perf_counter() - counted:.2f} s, "
          f"saved to {args.output}", file=sys.stderr)


if __name__ == "__main__":
    main()
