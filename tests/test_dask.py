"""The Dask examples against a LocalCluster of two worker processes."""
import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

if os.environ.get("CI"):
    # Installed by the test extra: a CI run without them must fail, not skip.
    import distributed
    import numpy as np
else:
    np = pytest.importorskip("numpy")
    distributed = pytest.importorskip("distributed")

from tarvik_core import QormTokenizer  # noqa: E402

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
CORPORA = Path("/work/shared/corpora")
TIMEOUT = 60


def load_example(name):
    spec = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    sys.modules[name] = module
    return module


dask_train = load_example("dask_train")
dask_encode = load_example("dask_encode")


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
        timeout=TIMEOUT,
    ) as cluster:
        yield cluster


@pytest.fixture(scope="module")
def client(cluster):
    with distributed.Client(cluster, timeout=TIMEOUT) as client:
        # Tasks name the examples' functions by module, which the workers
        # import from these copies.
        for name in ("dask_train", "dask_encode"):
            client.upload_file(str(EXAMPLES / f"{name}.py"))
        yield client


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Texts of unequal sizes and kinds: code, prose, non-UTF-8 bytes, blank
    lines, no final newline, an empty file, and a slice of a shared corpus."""
    root = tmp_path_factory.mktemp("inputs")
    conftest = Path(__file__).resolve().parent / "conftest.py"
    contents = [
        conftest.read_bytes(),
        b"the quick brown fox\njumps over\n\nthe lazy dog\n" * 40,
        bytes(range(256)) * 3 + b"\n\xff\xfe tail without newline",
        b"",
        "multilingual: \u00e9t\u00e9, \u65e5\u672c\u8a9e, \u0436\u0438\u0437\u043d\u044c\n".encode() * 30,
        (EXAMPLES / "dask_encode.py").read_bytes(),
    ]
    for name in ("english.txt", "code.txt", "multilingual.txt"):
        if (CORPORA / name).is_file():
            with open(CORPORA / name, "rb") as f:
                contents.append(f.read(150_000))
    paths = []
    for i, data in enumerate(contents):
        path = root / f"doc{i:02d}.txt"
        path.write_bytes(data)
        paths.append(path)
    return paths


@pytest.fixture(scope="module")
def model(files):
    tok = QormTokenizer.train_from_files(files, vocab_size=600, show_progress=False,
                                         special_tokens=["<eos>"])
    return tok


OPTIONS = [
    dict(vocab_size=700),
    dict(vocab_size=500, max_token_bytes=6, special_tokens=["<eos>", "<pad>"]),
    dict(vocab_size=400, context_weight=0.7, check_quality=False),
]


@pytest.mark.parametrize("options", OPTIONS)
@pytest.mark.parametrize("shards", [1, 3, None])
def test_training_on_the_cluster_saves_the_model_of_train_from_files(
    client, files, tmp_path, options, shards
):
    options = dict(options, show_progress=False)
    expected = QormTokenizer.train_from_files(files, **options)
    tok = dask_train.train_on_cluster(client, files, shards=shards, timeout=TIMEOUT, **options)
    expected.save(tmp_path / "local.json")
    tok.save(tmp_path / "dask.json")
    assert (tmp_path / "dask.json").read_bytes() == (tmp_path / "local.json").read_bytes()


def test_merge_tree_sums_any_number_of_blobs(client):
    texts = [f"text {i} " * (i + 1) for i in range(7)]
    for n in range(1, len(texts) + 1):
        blobs = client.map(QormTokenizer.count_chunks, texts[:n], pure=False)
        merged = dask_train.merge_tree(client, blobs).result(timeout=TIMEOUT)
        assert merged == QormTokenizer.count_chunks(texts[:n])


def single_process(tok, files, document_per_line, eos):
    documents = []
    for path in files:
        data = Path(path).read_bytes()
        documents.extend(dask_encode.split_documents(data) if document_per_line else [data])
    ids, offsets = tok.encode_batch_to_numpy(documents)
    if eos is not None:
        eos_id = tok.get_special_token_id(eos)
        ids = np.concatenate([np.append(ids[a:b], np.uint32(eos_id))
                              for a, b in zip(offsets[:-1], offsets[1:])] or [ids])
        offsets = offsets + np.arange(len(offsets))
    return documents, ids, offsets


@pytest.mark.parametrize("document_per_line", [False, True])
@pytest.mark.parametrize("eos", [None, "<eos>"])
@pytest.mark.parametrize("shard_bytes", [1_000, 64 << 20])
def test_concatenated_shards_equal_one_encode(
    client, files, model, tmp_path, document_per_line, eos, shard_bytes
):
    index = dask_encode.encode_on_cluster(
        client, model, files, tmp_path, document_per_line=document_per_line, eos=eos,
        shard_bytes=shard_bytes, timeout=TIMEOUT,
    )
    documents, expected_ids, expected_offsets = single_process(model, files, document_per_line, eos)
    ids, offsets = dask_encode.read_shards(tmp_path)
    assert ids.dtype == np.uint32 and offsets.dtype == np.int64
    np.testing.assert_array_equal(offsets, expected_offsets)
    np.testing.assert_array_equal(ids, expected_ids)
    assert index["documents"] == len(documents) and index["tokens"] == len(ids)
    if shard_bytes == 1_000:
        # Small tasks: the larger files split into ranges of lines, or stand alone.
        assert len(index["shards"]) > (len(files) if document_per_line else len(files) // 2)
    for entry in index["shards"]:
        shard_offsets = np.load(tmp_path / entry["offsets"])
        assert len(shard_offsets) == entry["documents"] + 1
        assert shard_offsets[-1] == entry["tokens"] == len(np.load(tmp_path / entry["ids"]))


def test_back_to_back_runs_with_one_tokenizer_all_finish(client, files, model, tmp_path):
    # Each run scatters the same tokenizer just after the run before released
    # its copy: both must not land under one key.
    first = None
    for run in range(12):
        index = dask_encode.encode_on_cluster(client, model, files[:3], tmp_path / str(run),
                                              timeout=TIMEOUT)
        first = first or index
        assert index["tokens"] == first["tokens"] > 0


@pytest.mark.parametrize("data", [b"", b"\n", b"a", b"a\n", b"a\n\nbc\n", b"\n\nx\ny", b"abc\n" * 9])
def test_line_ranges_give_every_line_once(tmp_path, data):
    path = tmp_path / "lines.txt"
    path.write_bytes(data)
    expected = dask_encode.split_documents(data)
    for width in range(1, len(data) + 2):
        lines = []
        for start in range(0, max(len(data), 1), width):
            lines.extend(dask_encode.read_lines(path, start, min(start + width, len(data))))
        assert lines == expected, width


def test_an_unknown_eos_is_refused_before_any_work(client, model, files, tmp_path):
    with pytest.raises(ValueError, match="not a special token"):
        dask_encode.encode_on_cluster(client, model, files, tmp_path / "out", eos="<none>",
                                      timeout=TIMEOUT)
    assert not (tmp_path / "out").exists()


def test_a_missing_file_on_a_worker_raises_in_the_client(client, files, model, tmp_path):
    missing = str(tmp_path / "missing.txt")
    with pytest.raises(FileNotFoundError, match="missing.txt"):
        dask_train.train_on_cluster(client, [*files, missing], shards=3, timeout=TIMEOUT,
                                    vocab_size=300, show_progress=False)
    # The encoder plans from file sizes on the client, so it is handed a file
    # that vanishes before the workers read it.
    doomed = tmp_path / "doomed.txt"
    doomed.write_bytes(b"here while planning\n")
    shards = dask_encode.plan_shards([str(doomed)], False, 1 << 20)
    doomed.unlink()
    shared = client.scatter(model, broadcast=True, hash=False)
    future = client.submit(dask_encode.encode_shard, 0, shards[0], shared, str(tmp_path), pure=False)
    with pytest.raises(FileNotFoundError, match="doomed.txt"):
        future.result(timeout=TIMEOUT)
    # The cluster is still usable after the failures.
    assert client.submit(len, "ok").result(timeout=TIMEOUT) == 2


def run_script(*args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([sys.executable, *map(str, args)], capture_output=True, text=True,
                          env=env, timeout=2 * TIMEOUT)


def test_the_scripts_run_against_a_scheduler_address(cluster, files, model, tmp_path):
    address = cluster.scheduler_address
    train = run_script(EXAMPLES / "dask_train.py", *files, "--output", tmp_path / "model.json",
                       "--vocab-size", "600", "--special-token", "<eos>", "--quiet",
                       "--scheduler", address, "--timeout", TIMEOUT)
    assert train.returncode == 0, train.stderr
    model_path = tmp_path / "local.json"
    model.save(model_path)
    assert (tmp_path / "model.json").read_bytes() == model_path.read_bytes()

    out = tmp_path / "shards"
    encode = run_script(EXAMPLES / "dask_encode.py", *files, "--model", tmp_path / "model.json",
                        "--output-dir", out, "--document-per-line", "--eos", "<eos>",
                        "--shard-mb", "0.01", "--scheduler", address, "--timeout", TIMEOUT)
    assert encode.returncode == 0, encode.stderr
    _, expected_ids, expected_offsets = single_process(model, files, True, "<eos>")
    ids, offsets = dask_encode.read_shards(out)
    np.testing.assert_array_equal(ids, expected_ids)
    np.testing.assert_array_equal(offsets, expected_offsets)

    failed = run_script(EXAMPLES / "dask_train.py", tmp_path / "absent.txt", "--output",
                        tmp_path / "never.json", "--scheduler", address, "--timeout", TIMEOUT)
    assert failed.returncode != 0
    assert "FileNotFoundError" in failed.stderr and "absent.txt" in failed.stderr
    assert not (tmp_path / "never.json").exists()
