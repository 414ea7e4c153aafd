"""The tarvik command, driven as a user drives it: files in, files out, exit codes."""
import io
import json
import os
import re
import shutil
import signal
import subprocess
import sysconfig
import tempfile
import time
from pathlib import Path

import numpy as np
import pytest

import tarvik_core
from conftest import stdlib_text

ROOT = Path(__file__).resolve().parents[1]
CLI_SOURCES = ROOT / "src" / "cli"


def find_cli() -> str:
    """TARVIK_CLI, else the scripts directory of this interpreter (a pip
    install puts the command there), else PATH. Missing is a packaging fault,
    so it fails rather than skips."""
    if os.environ.get("TARVIK_CLI"):
        return os.environ["TARVIK_CLI"]
    for scheme in (sysconfig.get_default_scheme(), f"{os.name}_user"):
        try:
            candidate = Path(sysconfig.get_path("scripts", scheme)) / "tarvik"
        except KeyError:
            continue
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return str(candidate)
    found = shutil.which("tarvik")
    if found is None:
        pytest.fail("the tarvik command is not installed (set TARVIK_CLI to its path)")
    return found


@pytest.fixture(scope="module")
def cli():
    return find_cli()


def run(cli, *args, stdin=b"", check=True):
    argv = [cli, *(a if isinstance(a, bytes) else str(a) for a in args)]
    result = subprocess.run(argv, input=stdin, capture_output=True, timeout=120)
    if check:
        assert result.returncode == 0, result.stderr.decode(errors="replace")
    return result


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    return tmp_path_factory.mktemp("cli")


@pytest.fixture(scope="module")
def texts(workdir):
    """Two input files: real text, and text with every byte value, invalid
    UTF-8 and a special token's name in it."""
    first = workdir / "first.txt"
    first.write_bytes(stdlib_text(150_000))
    second = workdir / "second.bin"
    second.write_bytes(stdlib_text(20_000)[-5_000:] + bytes(range(256)) + b"\xff\xfe<eos> end\xc3")
    return first, second


@pytest.fixture(scope="module")
def model(cli, workdir, texts):
    path = workdir / "model.json"
    run(cli, "train", *texts, "-o", path, "--vocab-size", 1024, "--special-token", "<eos>",
        "--no-progress", "--no-quality-check")
    return path


def leftovers(directory: Path, name: str):
    """The output and any temporary file of it left in the directory."""
    return sorted(p.name for p in directory.iterdir() if p.name == name or p.name.startswith(f".{name}.tmp"))


# ---- round trips ----

def test_text_round_trip_one_line_per_file(cli, model, texts):
    out = run(cli, "encode", "-m", model, *texts).stdout
    lines = out.split(b"\n")
    assert lines[-1] == b"" and len(lines) == 3
    python = tarvik_core.QormTokenizer.from_file(str(model))
    for line, path in zip(lines, texts):
        assert [int(x) for x in line.split()] == python.encode(path.read_bytes())
        decoded = run(cli, "decode", "-m", model, stdin=line + b"\n").stdout
        assert decoded == path.read_bytes()
    both = run(cli, "decode", "-m", model, stdin=out).stdout
    assert both == b"".join(p.read_bytes() for p in texts)


@pytest.mark.parametrize("fmt", ["npy", "bin"])
@pytest.mark.parametrize("dtype", ["uint16", "uint32"])
def test_array_round_trip_matches_python(cli, model, texts, workdir, fmt, dtype):
    out = workdir / f"ids.{dtype}.{fmt}"
    run(cli, "encode", "-m", model, *texts, "--format", fmt, "--dtype", dtype, "-o", out)
    python = tarvik_core.QormTokenizer.from_file(str(model))
    expected = [i for p in texts for i in python.encode(p.read_bytes())]
    little = np.dtype(dtype).newbyteorder("<")
    ids = np.load(out) if fmt == "npy" else np.fromfile(out, dtype=little)
    assert ids.dtype == little and ids.ndim == 1
    assert ids.tolist() == expected
    decoded = run(cli, "decode", "-m", model, "--format", fmt, "--dtype", dtype, out).stdout
    assert decoded == b"".join(p.read_bytes() for p in texts)


@pytest.mark.parametrize("flags, encode", [
    (["--greedy"], lambda tok, data: tok.encode(data, greedy=True)),
    (["--dense"], lambda tok, data: tok.encode_dense(data)),
    (["--context-weight", "2.5"], None),
])
def test_modes_match_python(cli, model, texts, flags, encode):
    data = texts[0].read_bytes()
    ids = [int(x) for x in run(cli, "encode", "-m", model, *flags, stdin=data).stdout.split()]
    if encode is None:
        expected = tarvik_core.QormTokenizer.from_file(str(model), context_weight=2.5).encode(data)
    else:
        expected = encode(tarvik_core.QormTokenizer.from_file(str(model)), data)
    assert ids == expected


def test_npy_streamed_from_standard_input(cli, model, texts, workdir):
    data = texts[1].read_bytes()
    out = workdir / "stdin.npy"
    run(cli, "encode", "-m", model, "-", "--format", "npy", "-o", out, stdin=data)
    assert run(cli, "decode", "-m", model, "--format", "npy", stdin=out.read_bytes()).stdout == data


def test_train_options_reach_the_model(cli, workdir, texts):
    path = workdir / "filtered.json"
    run(cli, "train", *texts, "-o", path, "--vocab-size", 600, "--special-token", "<a>",
        "--special-token", "<b>", "--special-token", "<a>", "--filter", "strip_non_printable",
        "--filter", "lowercase", "--no-progress")
    loaded = tarvik_core.QormTokenizer.from_file(str(path))
    # Ties between equally scored merges may go either way in another
    # process, so the constructor's vocabulary is compared by its shape only.
    assert loaded.vocab_size == 602
    assert loaded.special_tokens() == [("<a>", 600), ("<b>", 601)]
    assert loaded.active_filters() == ["strip_non_printable", "lowercase_ascii"]
    # The saved filters act when the command encodes.
    ids = [int(x) for x in run(cli, "encode", "-m", path, stdin=b"ABC\x01d").stdout.split()]
    assert loaded.decode_bytes(ids) == b"abcd"


def test_train_progress_and_quality_report_go_to_stderr(cli, workdir):
    small = workdir / "tiny.txt"
    small.write_bytes(b"aaaa bbbb\n" * 5)
    result = run(cli, "train", small, "-o", workdir / "tiny.json", "--vocab-size", 260)
    assert result.stdout == b""
    assert b"=== Dataset Quality Check ===" in result.stderr
    assert b"merges" in result.stderr
    quiet = run(cli, "train", small, "-o", workdir / "tiny.json", "--vocab-size", 260,
                "--no-progress", "--no-quality-check")
    assert quiet.stderr == b""


@pytest.mark.parametrize("spelling", [
    ["-o", "{out}", "-f", "bin"], ["-o{out}", "-fbin"], ["--output", "{out}", "--format=bin"],
    ["--output={out}", "--format", "bin", "--"],
])
def test_option_spellings(cli, model, texts, tmp_path, spelling):
    out = tmp_path / "OUT"
    run(cli, "encode", "-m", model, *(a.format(out=out) for a in spelling), texts[0])
    python = tarvik_core.QormTokenizer.from_file(str(model))
    assert np.fromfile(out, dtype="<u4").tolist() == python.encode(texts[0].read_bytes())


def test_text_ids_with_any_spacing_across_read_blocks(cli, model, tmp_path, rng):
    python = tarvik_core.QormTokenizer.from_file(str(model))
    ids = [rng.randrange(python.vocab_size) for _ in range(400_000)]
    spaces = [" ", "  ", "\t", "\r\n", "\n"]
    text = "".join(str(i) + rng.choice(spaces) for i in ids)
    assert len(text) > 1 << 20  # more than one of the reader's blocks
    (tmp_path / "ids.txt").write_text(text)
    decoded = run(cli, "decode", "-m", model, tmp_path / "ids.txt").stdout
    assert decoded == python.decode_bytes(ids)


@pytest.mark.parametrize("dtype", ["<u2", "<u4"])
def test_decode_reads_arrays_numpy_wrote(cli, model, tmp_path, rng, dtype):
    python = tarvik_core.QormTokenizer.from_file(str(model))
    ids = np.array([rng.randrange(python.vocab_size) for _ in range(300_000)], dtype=dtype)
    np.save(tmp_path / "ids.npy", ids)
    decoded = run(cli, "decode", "-m", model, "-f", "npy", tmp_path / "ids.npy").stdout
    assert decoded == python.decode_bytes(ids.tolist())


# ---- refused cases: one line, the right exit code, no output left ----

def small_vocab_model(model: Path, directory: Path, vocab_size: int) -> Path:
    """The model with its stored vocab_size changed; its ids stay small."""
    document = json.loads(model.read_text())
    document["vocab_size"] = vocab_size
    path = directory / f"vocab{vocab_size}.json"
    path.write_text(json.dumps(document))
    return path


def npy_of_100_missing_one() -> bytes:
    """An npy file whose header announces 100 uint16 values but holds 99."""
    buffer = io.BytesIO()
    np.save(buffer, np.arange(100, dtype="<u2"))
    return buffer.getvalue()[:-2]


REFUSALS = {
    "missing input": (1, "cannot open 'nope.txt'", ["encode", "-m", "{model}", "nope.txt", "-f", "bin", "-o", "{out}"]),
    "missing model": (1, "cannot open 'nope.json'", ["encode", "-m", "nope.json", "{text}", "-f", "npy", "-o", "{out}"]),
    "bad model": (1, "cannot load model", ["encode", "-m", "{text}", "{text}", "-f", "npy", "-o", "{out}"]),
    "unknown option": (2, "unrecognized option '--fast'", ["encode", "-m", "{model}", "--fast", "-o", "{out}"]),
    "unknown format": (2, "--format", ["encode", "-m", "{model}", "{text}", "-f", "csv", "-o", "{out}"]),
    "greedy and dense": (2, "--greedy", ["encode", "-m", "{model}", "{text}", "--greedy", "--dense", "-o", "{out}"]),
    "npy to stdout": (2, "npy output needs a file", ["encode", "-m", "{model}", "{text}", "-f", "npy"]),
    "dtype too small": (1, "uint16 holds 65536 ids, but the model has 65537",
                        ["encode", "-m", "{big}", "{text}", "-f", "npy", "--dtype", "uint16", "-o", "{out}"]),
    "train without -o": (2, "missing the model file", ["train", "{text}"]),
    "unknown filter": (2, "Unknown filter: 'Lowercase'", ["train", "{text}", "-o", "{out}", "--filter", "Lowercase"]),
    "vocab below 256": (2, "--vocab-size", ["train", "{text}", "-o", "{out}", "--vocab-size", "100"]),
    "train missing input": (1, "cannot open 'nope.txt'", ["train", "{text}", "nope.txt", "-o", "{out}"]),
    "id outside the table": (1, "id 5000 (number 2)", ["decode", "-m", "{model}", "{ids}", "-o", "{out}"]),
    "not ids": (1, "expected token ids", ["decode", "-m", "{model}", "{text}", "-o", "{out}"]),
    "not an npy file": (1, "not an npy file", ["decode", "-m", "{model}", "-f", "npy", "{text}", "-o", "{out}"]),
    "wrong npy dtype": (1, "npy dtype '<i8' is not supported", ["decode", "-m", "{model}", "-f", "npy", "{int64}", "-o", "{out}"]),
    "npy not 1-D": (1, "must be 1-D", ["decode", "-m", "{model}", "-f", "npy", "{matrix}", "-o", "{out}"]),
    "truncated npy": (1, "holds 99 ids but its header says 100", ["decode", "-m", "{model}", "-f", "npy", "{short}", "-o", "{out}"]),
    "truncated bin": (1, "ends with 1 byte(s)", ["decode", "-m", "{model}", "-f", "bin", "--dtype", "uint16", "{odd}", "-o", "{out}"]),
    "npy dtype differs": (1, "holds uint32 values, not uint16", ["decode", "-m", "{model}", "-f", "npy", "--dtype", "uint16", "{u4}", "-o", "{out}"]),
    "option given twice": (2, "--model given more than once", ["decode", "-m", "{model}", "-m", "{model}"]),
    "option without value": (2, "--output needs a value", ["decode", "-m", "{model}", "-o"]),
    "unknown eos": (1, "--eos '<end>' is not a special token", ["encode", "-m", "{model}", "{text}", "--eos", "<end>", "-f", "bin", "-o", "{out}"]),
    "block size 0": (2, "--block-size", ["encode", "-m", "{model}", "{text}", "--block-size", "0", "-o", "{out}"]),
    "block size past 64 bits": (2, "--block-size: 99999999999999999999 is outside",
                                ["encode", "-m", "{model}", "{text}", "--block-size", "99999999999999999999", "-o", "{out}"]),
    "block size not a number": (2, "--block-size: expected a whole number, got '12k'",
                                ["encode", "-m", "{model}", "{text}", "--block-size", "12k", "-o", "{out}"]),
    "progress both ways": (2, "--progress and --no-progress", ["encode", "-m", "{model}", "--progress", "--no-progress", "-o", "{out}"]),
    "flag with a value": (2, "--greedy takes no value", ["encode", "-m", "{model}", "--greedy=yes"]),
    "quality missing input": (1, "cannot open 'nope.txt'", ["quality", "{text}", "nope.txt"]),
    "no command": (2, "no command given", []),
    "unknown command": (2, "unknown command 'tokenize'", ["tokenize"]),
}


@pytest.mark.parametrize("case", REFUSALS)
def test_refused(cli, model, texts, tmp_path, case):
    code, message, template = REFUSALS[case]
    ids = tmp_path / "ids.txt"
    ids.write_text("1 5000 2\n")
    np.save(tmp_path / "int64.npy", np.arange(10))
    np.save(tmp_path / "matrix.npy", np.zeros((2, 3), dtype="<u4"))
    np.save(tmp_path / "u4.npy", np.arange(10, dtype="<u4"))
    (tmp_path / "short.npy").write_bytes(npy_of_100_missing_one())
    (tmp_path / "odd.bin").write_bytes(b"\x01\x00\x02")
    values = {"model": model, "text": texts[0], "ids": ids, "out": tmp_path / "OUT",
              "big": small_vocab_model(model, tmp_path, 65537)}
    values.update({name: tmp_path / f"{name}.{ext}" for name, ext in
                   [("int64", "npy"), ("matrix", "npy"), ("u4", "npy"), ("short", "npy"), ("odd", "bin")]})
    result = subprocess.run([cli, *(a.format(**values) for a in template)], capture_output=True,
                            cwd=tmp_path, timeout=60)
    stderr = result.stderr.decode()
    assert result.returncode == code, stderr
    assert stderr.startswith("tarvik: error: ") and stderr.count("\n") == 1, stderr
    assert message in stderr
    assert leftovers(tmp_path, "OUT") == []


@pytest.mark.parametrize("change", [+64, -40, -1, "order"])
def test_npy_header_length_that_misses_the_header_is_refused(cli, model, tmp_path, change):
    # A length field that runs into the ids, cuts the dictionary, or cuts its
    # line end must not read ids from the wrong place; nor may a header whose
    # order is neither True nor False pass for one.
    buffer = io.BytesIO()
    np.save(buffer, np.arange(300, dtype="<u4"))
    data = bytearray(buffer.getvalue())
    if change == "order":
        data = bytearray(bytes(data).replace(b"'fortran_order': False", b"'fortran_order': Maybe"))
    else:
        length = int.from_bytes(data[8:10], "little") + change
        data[8:10] = length.to_bytes(2, "little")
        if change == -1:
            data[10 + length - 1] = ord("x")
    damaged = tmp_path / "damaged.npy"
    damaged.write_bytes(bytes(data))
    result = run(cli, "decode", "-m", model, "-f", "npy", damaged, "-o", tmp_path / "OUT",
                 check=False)
    assert result.returncode == 1 and b"malformed npy header" in result.stderr
    assert leftovers(tmp_path, "OUT") == []


def test_uint16_holds_a_vocabulary_of_exactly_65536(cli, model, texts, tmp_path):
    edge = small_vocab_model(model, tmp_path, 65536)
    run(cli, "encode", "-m", edge, texts[0], "-f", "bin", "--dtype", "uint16", "-o", tmp_path / "OUT")
    assert leftovers(tmp_path, "OUT") == ["OUT"]


@pytest.mark.parametrize("target", ["missing/dir/OUT", ".", "", "loop"])
def test_unwritable_output_is_refused_before_work(cli, model, texts, tmp_path, target):
    (tmp_path / "loop").symlink_to("loop2")
    (tmp_path / "loop2").symlink_to("loop")
    # With --progress, any encoding before the refusal would show on stderr.
    result = run(cli, "encode", "-m", model, texts[0], "-f", "bin", "--progress",
                 "-o", tmp_path / target if target else "", check=False)
    assert result.returncode == 1 and result.stderr.startswith(b"tarvik: error: cannot write")
    assert (tmp_path / "loop").is_symlink()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["loop", "loop2"]


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("setpriv"),
                    reason="needs root to run the command as another user")
def test_another_users_file_in_a_sticky_directory_is_refused_before_work(cli, model):
    # Anyone may create the temporary file there, but only the owner may
    # rename over theirs: that must be found out before training, not after.
    # (A directory of its own: pytest's are closed to other users.)
    with tempfile.TemporaryDirectory() as top:
        os.chmod(top, 0o755)
        shared = Path(top) / "sticky"
        shared.mkdir()
        shared.chmod(0o1777)
        refused_in_sticky_directory(cli, shared)


def refused_in_sticky_directory(cli, shared):
    as_nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
    if subprocess.run([*as_nobody, cli, "--version"], capture_output=True).returncode != 0:
        pytest.skip("the command is not where another user can run it")
    target = shared / "theirs.json"
    target.write_bytes(b"old")
    target.chmod(0o666)
    corpus = shared / "corpus.txt"
    corpus.write_bytes(stdlib_text(200_000))
    corpus.chmod(0o644)
    # --verbose: any training before the refusal would log its lines.
    result = subprocess.run([*as_nobody, cli, "train", str(corpus), "-o", str(target),
                             "--vocab-size", "300", "--no-progress", "--verbose"],
                            capture_output=True, timeout=120)
    assert result.returncode == 1, result.stderr
    assert result.stderr == f"tarvik: error: cannot write '{target}': Operation not permitted\n".encode()
    assert target.read_bytes() == b"old"
    assert sorted(p.name for p in shared.iterdir()) == ["corpus.txt", "theirs.json"]


def test_output_to_a_fifo_is_written_in_place(cli, model, texts, tmp_path):
    """A FIFO (like /dev/null or any device) is written, not replaced by a regular file."""
    fifo, received = tmp_path / "fifo", tmp_path / "received"
    os.mkfifo(fifo)
    with open(received, "wb") as out:
        reader = subprocess.Popen(["cat", str(fifo)], stdout=out)
        run(cli, "encode", "-m", model, texts[0], "-f", "bin", "-o", fifo)
        assert reader.wait(timeout=60) == 0
    expected = run(cli, "encode", "-m", model, texts[0], "-f", "bin", "-o", "-").stdout
    assert fifo.is_fifo() and received.read_bytes() == expected
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fifo", "received"]
    refused = run(cli, "encode", "-m", model, texts[0], "-f", "npy", "-o", fifo, check=False)
    assert refused.returncode != 0 and b"npy output needs a file" in refused.stderr


def test_output_through_a_symlink_replaces_the_file_it_names(cli, model, texts, tmp_path):
    real, link = tmp_path / "real.bin", tmp_path / "link.bin"
    real.write_bytes(b"old")
    link.symlink_to(real)
    run(cli, "encode", "-m", model, texts[0], "-f", "bin", "-o", link)
    expected = run(cli, "encode", "-m", model, texts[0], "-f", "bin", "-o", "-").stdout
    assert link.is_symlink() and real.read_bytes() == expected
    assert sorted(p.name for p in tmp_path.iterdir()) == ["link.bin", "real.bin"]


def test_output_through_a_dangling_symlink_creates_the_file_it_names(cli, model, texts, tmp_path):
    link = tmp_path / "link.bin"
    link.symlink_to("made.bin")  # relative, and not there yet
    run(cli, "encode", "-m", model, texts[0], "-f", "bin", "-o", link)
    expected = run(cli, "encode", "-m", model, texts[0], "-f", "bin", "-o", "-").stdout
    assert link.is_symlink() and (tmp_path / "made.bin").read_bytes() == expected


@pytest.mark.parametrize("mode", [0o640, 0o000])
def test_a_replaced_output_keeps_its_permissions(cli, model, texts, tmp_path, mode):
    out = tmp_path / "OUT"
    out.write_bytes(b"old")
    out.chmod(mode)
    run(cli, "encode", "-m", model, texts[0], "-f", "bin", "-o", out)
    assert out.stat().st_mode & 0o777 == mode and out.stat().st_size > 3


@pytest.mark.parametrize("name", ["/dev/stdout", "//dev/stdout", "/dev/./stdout", "/dev/fd/1",
                                  "/proc/self/fd/1", "link"])
def test_dev_stdout_is_the_inherited_output(cli, model, texts, tmp_path, name):
    """Appended to, as the shell opened it, not replaced by a new file, under any
    spelling; and never a place for npy output."""
    (tmp_path / "link").symlink_to("/dev/stdout")
    out = tmp_path / "appended"
    out.write_bytes(b"prefix\n")
    expected = run(cli, "encode", "-m", model, texts[0]).stdout
    with open(out, "ab") as handle:
        subprocess.run([cli, "encode", "-m", str(model), str(texts[0]), "-o", name],
                       stdout=handle, check=True, timeout=120, cwd=tmp_path)
    assert out.read_bytes() == b"prefix\n" + expected
    piped = subprocess.run([cli, "encode", "-m", str(model), str(texts[0]), "-o", name],
                           capture_output=True, timeout=120, cwd=tmp_path)
    assert piped.returncode == 0 and piped.stdout == expected, piped.stderr
    with open(out, "ab") as handle:
        npy = subprocess.run([cli, "encode", "-m", str(model), str(texts[0]), "-f", "npy", "-o", name],
                             stdout=handle, stderr=subprocess.PIPE, timeout=120, cwd=tmp_path)
    assert npy.returncode == 1 and b"npy output needs a file" in npy.stderr
    assert out.read_bytes() == b"prefix\n" + expected


@pytest.mark.parametrize("command", ["encode", "encode-model", "decode", "train", "encode-stdin",
                                     "encode-dash", "decode-stdin", "train-stdin", "model-stdin"])
def test_an_output_that_is_an_input_is_refused(cli, model, texts, tmp_path, command):
    data = tmp_path / "data.txt"
    data.write_bytes(Path(texts[0]).read_bytes() if command != "decode-stdin" else b"104 105\n")
    copy = tmp_path / "model.json"
    copy.write_bytes(Path(model).read_bytes())
    alias = tmp_path / "alias"
    alias.symlink_to(copy if command == "encode-model" else data)
    argv = {
        "encode": ["encode", "-m", copy, data, "-o", data],
        "encode-model": ["encode", "-m", copy, data, "-o", alias],
        "decode": ["decode", "-m", copy, data, "-o", alias],
        "train": ["train", data, "--vocab-size", "300", "-o", alias],
        # The file on standard input is an input too, named or not.
        "encode-stdin": ["encode", "-m", copy, "-o", data],
        "encode-dash": ["encode", "-m", copy, "-", "-o", "/dev/stdin"],
        "decode-stdin": ["decode", "-m", copy, "-o", alias],
        "train-stdin": ["train", "-", "--vocab-size", "300", "-o", "/dev/stdin"],
        "model-stdin": ["encode", "-m", "-", str(texts[0]), "-o", copy],
    }[command]
    before = {p.name: p.read_bytes() for p in (data, copy)}
    with open(copy if command == "model-stdin" else data, "rb") as stdin:
        result = subprocess.run([cli, *map(str, argv)], stdin=stdin, capture_output=True,
                                timeout=120)
    assert result.returncode == 1 and b"refusing to write" in result.stderr, result.stderr
    assert {p.name: p.read_bytes() for p in (data, copy)} == before


def test_the_model_can_come_from_standard_input(cli, model, texts, tmp_path):
    expected = run(cli, "encode", "-m", model, texts[0]).stdout
    assert run(cli, "encode", "-m", "-", texts[0], stdin=Path(model).read_bytes()).stdout == expected
    ids = tmp_path / "ids.txt"
    ids.write_bytes(expected)
    assert (run(cli, "decode", "-m", "-", ids, stdin=Path(model).read_bytes()).stdout
            == Path(texts[0]).read_bytes())
    # Not when the text (or the ids) would have to come from there too.
    for argv in (["encode", "-m", "-"], ["encode", "-m", "-", texts[0], "-"], ["decode", "-m", "-"]):
        result = run(cli, *argv, stdin=Path(model).read_bytes(), check=False)
        assert result.returncode == 1 and b"-m - reads the model from standard input" in result.stderr
    result = run(cli, "encode", "-m", "-", texts[0], stdin=b"{not a model", check=False)
    assert result.returncode == 1
    assert result.stderr.startswith(b"tarvik: error: cannot load model from standard input: ")


def test_failed_run_keeps_the_previous_output(cli, model, texts, tmp_path):
    out = tmp_path / "OUT"
    out.write_bytes(b"previous")
    result = run(cli, "decode", "-m", model, texts[0], "-o", out, check=False)
    assert result.returncode == 1
    assert out.read_bytes() == b"previous" and leftovers(tmp_path, "OUT") == ["OUT"]


@pytest.mark.parametrize("target", [["-o", "/dev/full"], []])
def test_a_write_that_fails_after_many_blocks_fails_the_run(cli, model, texts, target):
    # Blocks are written while later ones are encoded: a failed write must
    # still end the run with its error, whichever block it hit.
    words = Path(texts[0]).read_bytes() * 8
    command = [cli, "encode", "-m", str(model), "-", "-f", "bin", "--dtype", "uint32",
               "--block-size", "4096", "--no-progress", *target]
    with open("/dev/full", "wb") as full:
        result = subprocess.run(command, input=words, stdout=full, stderr=subprocess.PIPE,
                                timeout=120)
    assert result.returncode == 1
    assert b"No space left on device" in result.stderr, result.stderr


@pytest.mark.parametrize("args", [
    ["train", "-", "-o", "OUT", "--no-progress"],
    ["encode", "-m", "{model}", "-", "-f", "npy", "-o", "OUT"],
])
def test_interrupt_leaves_no_output(cli, model, tmp_path, args):
    # Standard input stays open, so the command waits with its temporary
    # output created until the signal comes.
    command = [cli, *(a.format(model=model) for a in args)]
    proc = subprocess.Popen(command, stdin=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path)
    try:
        deadline = time.monotonic() + 30
        while not any(p.name.startswith(".OUT.tmp") for p in tmp_path.iterdir()):
            assert proc.poll() is None and time.monotonic() < deadline
            time.sleep(0.01)
        proc.stdin.write(b"some text that arrives before the interrupt ")
        proc.stdin.flush()
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=30) == -signal.SIGINT
    finally:
        proc.kill()
        proc.wait()
    assert leftovers(tmp_path, "OUT") == []


# ---- encoding files at scale: blocks, documents, --eos ----

def lines_of(data: bytes):
    """The documents of --document-per-line: each line with its line feed,
    and a last line without one when the data does not end in a line feed."""
    return re.findall(rb"[^\n]*\n|[^\n]+$", data)


@pytest.fixture(scope="module")
def corpus_files(workdir, texts):
    """Inputs that put document ends, long lines and multi-byte characters
    across read blocks: real text over the library's 128 KiB single-unit limit,
    every byte value and a special token's name, an empty file, a 300 KB
    line of multi-byte UTF-8 between empty lines, and a special token's name
    across each of the library's piece boundaries (the library ends a piece
    where such a name starts, and the next boundary counts from there)."""
    empty = workdir / "empty.txt"
    empty.write_bytes(b"")
    long_line = workdir / "long_line.txt"
    long_line.write_bytes(b"\n\n" + "z\u00e9\u4e2d\U0001F600 ".encode() * 25_000 + b"\n\nend")
    names = workdir / "names_on_edges.txt"
    names.write_bytes(b"a" * 65_534 + b"<eos>" + b"b" * 65_529 + b"<eos>" + b"c" * 65_529
                      + b"<eos>" + b"d" * 100_000)
    return [texts[0], empty, long_line, names, texts[1]]


def expected_ids(python, files, per_line, eos, encode=None):
    encode = encode or python.encode
    out = []
    for path in files:
        data = path.read_bytes()
        for document in (lines_of(data) if per_line else [data]):
            out += encode(document) + ([eos] if eos is not None else [])
    return out


@pytest.mark.parametrize("per_line", [False, True], ids=["per-file", "per-line"])
@pytest.mark.parametrize("block_size", [7, 65_537, None])
def test_blocks_give_the_ids_of_whole_documents(cli, model, corpus_files, tmp_path, per_line,
                                                block_size):
    out = tmp_path / "OUT"
    args = ["encode", "-m", model, *corpus_files, "-f", "bin", "-o", out, "--eos", "<eos>"]
    args += ["--document-per-line"] if per_line else []
    args += ["--block-size", block_size] if block_size else []
    run(cli, *args)
    python = tarvik_core.QormTokenizer.from_file(str(model))
    eos = python.special_tokens()[0][1]
    assert np.fromfile(out, dtype="<u4").tolist() == expected_ids(python, corpus_files, per_line, eos)


@pytest.mark.parametrize("flag, encode", [
    ("--greedy", lambda tok, data: tok.encode(data, greedy=True)),
    ("--dense", lambda tok, data: tok.encode_dense(data)),
])
@pytest.mark.parametrize("per_line", [False, True], ids=["per-file", "per-line"])
def test_greedy_and_dense_documents_are_whole_units(cli, model, corpus_files, tmp_path, flag,
                                                     encode, per_line):
    out = tmp_path / "OUT"
    run(cli, "encode", "-m", model, *corpus_files, flag, "-f", "bin", "-o", out,
        "--block-size", 1000, *(["--document-per-line"] if per_line else []))
    python = tarvik_core.QormTokenizer.from_file(str(model))
    expected = expected_ids(python, corpus_files, per_line, None, lambda d: encode(python, d))
    assert np.fromfile(out, dtype="<u4").tolist() == expected


@pytest.mark.parametrize("filters", [
    ["normalize_whitespace"],
    ["strip_non_printable", "normalize_whitespace", "lowercase"],
    ["normalize_whitespace", "strip_non_printable"],
])
def test_filters_across_blocks_equal_filtering_whole_files(cli, workdir, texts, tmp_path, rng,
                                                           filters):
    path = tmp_path / "filtered.json"
    run(cli, "train", texts[0], "-o", path, "--vocab-size", 400, "--no-progress",
        "--no-quality-check", *[a for f in filters for a in ("--filter", f)])
    # Whitespace runs, stripped bytes and upper case everywhere, so that block
    # ends fall inside runs; long enough to be encoded in 64 KiB pieces.
    pieces = [b"Word", b" ", b"  \t ", b"\r\n", b"\x01", b"\x00 \x0b", b"\n", b"\xc3\xa9", b"X"]
    data = b"".join(rng.choice(pieces) for _ in range(120_000))
    source = tmp_path / "source.txt"
    source.write_bytes(data)
    python = tarvik_core.QormTokenizer.from_file(str(path))
    assert python.active_filters()[0].startswith(filters[0][:5])
    for block_size in [3, 4096]:
        out = tmp_path / f"OUT{block_size}"
        run(cli, "encode", "-m", path, source, "-f", "bin", "-o", out, "--block-size", block_size)
        assert np.fromfile(out, dtype="<u4").tolist() == python.encode(data), block_size


def test_lines_from_standard_input_and_eos_decoding(cli, model, tmp_path):
    data = b"first line\n\n\xff broken \xc3\nlast <eos> without a line feed"
    out = tmp_path / "OUT.npy"
    run(cli, "encode", "-m", model, "--document-per-line", "--eos", "<eos>", "-f", "npy",
        "-o", out, "--block-size", 5, stdin=data)
    python = tarvik_core.QormTokenizer.from_file(str(model))
    eos = python.special_tokens()[0][1]
    ids = np.load(out).tolist()
    assert ids.count(eos) == len(lines_of(data)) + 1  # one more from the name in the text
    # The eos ids decode to the token's name, so the output is the lines, each followed by it.
    decoded = run(cli, "decode", "-m", model, "-f", "npy", out).stdout
    assert decoded == b"".join(line + b"<eos>" for line in lines_of(data))


def test_text_format_writes_a_line_per_document(cli, model, tmp_path):
    source = tmp_path / "lines.txt"
    source.write_bytes(b"one\ntwo two\n\nthree")
    out = run(cli, "encode", "-m", model, source, "--document-per-line", "--eos", "<eos>").stdout
    python = tarvik_core.QormTokenizer.from_file(str(model))
    eos = python.special_tokens()[0][1]
    assert [[int(x) for x in line.split()] for line in out.decode().splitlines()] == [
        python.encode(line) + [eos] for line in lines_of(source.read_bytes())]


def test_progress_bar_only_when_asked(cli, model, texts, tmp_path):
    args = ["encode", "-m", model, texts[0], "-f", "bin", "-o", tmp_path / "OUT"]
    assert run(cli, *args).stderr == b""
    shown = run(cli, *args, "--progress").stderr.decode()
    assert shown.startswith("\r[") and shown.endswith("\n") and "MB/s" in shown
    assert f"{len(texts[0].read_bytes()) / 1e6:.1f} MB" in shown
    assert run(cli, *args, "--no-progress").stderr == b""


@pytest.mark.parametrize("flag", ["--greedy", "--dense"])
def test_greedy_and_dense_refuse_huge_files_before_work(cli, model, tmp_path, flag):
    huge = tmp_path / "huge.txt"
    with open(huge, "wb") as f:
        f.truncate((64 << 20) + 1)  # sparse: costs no disk
    result = run(cli, "encode", "-m", model, huge, flag, "-f", "bin", "-o", tmp_path / "OUT",
                 check=False)
    assert result.returncode == 1 and b"larger than 64 MiB" in result.stderr
    assert leftovers(tmp_path, "OUT") == []


# ---- inspect and quality ----

def test_inspect_reports_the_model(cli, model, texts):
    python = tarvik_core.QormTokenizer.from_file(str(model))
    sample = texts[0].read_bytes()
    out = run(cli, "inspect", model, "--sample", texts[0], "-n", 3).stdout.decode()
    assert f"vocab size: {python.vocab_size}\n" in out
    eos = python.get_special_token_id("<eos>")
    assert f"special tokens: 1\n  {eos}  \"<eos>\"\n" in out
    assert "filters: none\n" in out
    lengths = sorted((len(python.id_to_bytes(i)) for i in range(python.vocab_size) if i != eos),
                     reverse=True)
    listed = re.findall(r"^  (\d+)  (\d+)  \"", out.split("longest tokens")[1], re.M)
    assert [int(length) for length, _ in listed] == lengths[:3]
    assert all(len(python.id_to_bytes(int(i))) == int(n) for n, i in listed)
    ratio = len(sample) / len(python.encode(sample))
    assert f"  bytes per token: {ratio:.3f}\n" in out


@pytest.mark.parametrize("name, shown", [
    (b"tab\there\"\\", b'"tab\\there\\"\\\\"'),
    ("é😀".encode(), '"é😀"'.encode()),
    (b"\x7f\x1b", b'"\\x7f\\x1b"'),
])
def test_inspect_escapes_token_bytes(cli, tmp_path, name, shown):
    model = tmp_path / "m.json"
    run(cli, "train", "-", "-o", model, "--vocab-size", 256, "--special-token", name,
        "--no-progress", "--no-quality-check")
    out = run(cli, "inspect", model, "-n", 256).stdout
    assert b"special tokens: 1\n  256  " + shown + b"\n" in out
    # The byte tokens: a lone lead or continuation byte is not UTF-8.
    for token, text in [(10, b"\\n"), (65, b"A"), (0x80, b"\\x80"), (0xC3, b"\\xc3"), (0xFF, b"\\xff")]:
        assert b'  1  %d  "%s"\n' % (token, text) in out


@pytest.mark.parametrize("name", [b"\xed\xa0\x80", b"\xe0\x80\xaf", b"\xf0\x9f\x98", b"\xff"])
def test_special_token_names_must_be_utf8(cli, tmp_path, name):
    # A model file holds names as JSON text, so such a name could not be read back.
    result = run(cli, "train", "-", "-o", tmp_path / "OUT", "--special-token", name, check=False)
    assert result.returncode == 2 and b"not valid UTF-8" in result.stderr
    assert leftovers(tmp_path, "OUT") == []


def test_quality_reports_the_check(cli, texts):
    out = run(cli, "quality", *texts).stdout.decode()
    report = tarvik_core.QormTokenizer.check_quality(b"".join(p.read_bytes() for p in texts))
    fields = dict(line.split(": ", 1) for line in out.splitlines() if not line.startswith("  "))
    for key, value in report.items():
        if key == "warnings":
            assert int(fields[key]) == len(value)
            assert [line[2:] for line in out.splitlines() if line.startswith("  ")] == value
        elif isinstance(value, float):
            assert float(fields[key]) == pytest.approx(value, abs=5e-5)
        else:
            assert int(fields[key]) == value


def report_fields(out: str) -> dict:
    return dict(line.split(": ", 1) for line in out.splitlines() if not line.startswith("  "))


def test_quality_streams_the_concatenation(cli, tmp_path):
    # Files over a read block each, every boundary inside a word (one inside a
    # UTF-8 character), and standard input as the last file: the report is
    # that of the joined bytes, not of each file on its own.
    text = stdlib_text(2_600_000)
    cuts = [0]
    for target in (1_100_000, 2_300_000):
        cut = next(i for i in range(target, len(text)) if text[i - 1:i + 1].isalpha())
        cuts.append(cut)
    parts = [text[a:b] for a, b in zip(cuts, cuts[1:] + [len(text)])]
    parts[0] += "é".encode()[:1]
    parts[1] = "é".encode()[1:] + parts[1]
    paths = []
    for i, part in enumerate(parts[:-1]):
        paths.append(tmp_path / f"part{i}.txt")
        paths[-1].write_bytes(part)
    fields = report_fields(run(cli, "quality", *paths, "-", stdin=parts[-1]).stdout.decode())
    expected = tarvik_core.QormTokenizer.check_quality(b"".join(parts))
    separate = sum(tarvik_core.QormTokenizer.check_quality(p)["total_words"] for p in parts)
    assert separate != expected["total_words"]
    for key in ("total_bytes", "unique_bytes", "unique_words", "total_words"):
        assert int(fields[key]) == expected[key], key
    for key in ("quality_score", "byte_entropy", "avg_word_len"):
        assert float(fields[key]) == pytest.approx(expected[key], abs=5e-5), key


@pytest.mark.parametrize("filters", [[], ["lowercase", "normalize_whitespace"]])
def test_inspect_sample_counts_the_whole_file(cli, tmp_path, texts, filters):
    # A sample of several read blocks, with whitespace runs across block ends,
    # has the token count of encoding the file whole with the model's filters.
    model = tmp_path / "m.json"
    run(cli, "train", texts[0], "-o", model, "--vocab-size", 600, "--no-progress",
        "--no-quality-check", *[a for f in filters for a in ("--filter", f)])
    base = stdlib_text(700_000)
    sample = tmp_path / "sample.txt"
    sample.write_bytes(base[:1_048_570] + b" \n\t  \n" * 3 + base + b"<eos>" * 3)
    out = run(cli, "inspect", model, "--sample", sample).stdout.decode()
    python = tarvik_core.QormTokenizer.from_file(str(model))
    data = sample.read_bytes()
    fields = {k.strip(): v for k, v in (line.split(": ", 1) for line in out.splitlines()
                                        if line.startswith("  ") and ": " in line)}
    assert int(fields["bytes"]) == len(data)
    assert int(fields["tokens"]) == len(python.encode(data))


def test_quality_lists_warnings_of_a_tiny_corpus(cli, tmp_path):
    tiny = tmp_path / "tiny.txt"
    tiny.write_bytes(b"ab")
    out = run(cli, "quality", tiny).stdout.decode()
    assert "quality_score: 0.0000\n" in out and "warnings: 4\n" in out
    assert "  Dataset very small (2 bytes). Tokenizer quality will be poor.\n" in out


# ---- help and version ----

SUBCOMMANDS = ["train", "encode", "decode", "inspect", "quality"]


def test_help_lists_every_subcommand(cli):
    out = run(cli, "--help").stdout.decode()
    assert all(re.search(rf"^  {name} ", out, re.M) for name in SUBCOMMANDS)


@pytest.mark.parametrize("name", SUBCOMMANDS)
def test_subcommand_help(cli, name):
    out = run(cli, name, "--help").stdout.decode()
    assert out.startswith(f"usage: tarvik {name}") and "-h, --help" in out
    assert max(map(len, out.splitlines())) <= 79


def test_cli_page_documents_every_subcommand_and_option(cli):
    page = (ROOT / "docs" / "cli.md").read_text()
    for name in SUBCOMMANDS:
        assert f"## `tarvik {name}" in page, name
        options = re.findall(r"^ +(?:-\w, )?(--[\w-]+)", run(cli, name, "--help").stdout.decode(), re.M)
        missing = [o for o in options if o != "--help" and f"`{o}" not in page]
        assert options and missing == [], (name, missing)


def test_version(cli):
    out = run(cli, "--version").stdout.decode()
    assert out == f"tarvik {tarvik_core.__version__}\n"


def test_command_reaches_the_library_only_through_the_public_headers():
    sources = list(CLI_SOURCES.glob("*.[ch]*"))
    assert sources
    found = [(p.name, i) for p in sources for i in re.findall(r'#\s*include\s*"([^"]+)"', p.read_text())]
    assert [(name, i) for name, i in found if not i.startswith(("cli/", "tarvik/"))] == []


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs named pipes")
def test_train_reads_a_named_pipe_its_writer_writes_once(cli, tmp_path):
    # Checking the inputs must not open the pipe: its data would go with the check.
    fifo = tmp_path / "in.fifo"
    os.mkfifo(fifo)
    data = b"hello pipe world " * 2000
    out = tmp_path / "pipe.json"
    child = subprocess.Popen([cli, "train", str(fifo), "-o", str(out), "--vocab-size", "300",
                              "--no-progress", "--no-quality-check"], stderr=subprocess.PIPE)
    try:
        with open(fifo, "wb") as w:
            w.write(data)
        _, err = child.communicate(timeout=60)
    finally:
        child.kill()
    assert child.returncode == 0, err.decode(errors="replace")
    plain = tmp_path / "plain.txt"
    plain.write_bytes(data)
    expected = tmp_path / "plain.json"
    run(cli, "train", plain, "-o", expected, "--vocab-size", 300, "--no-progress",
        "--no-quality-check")
    assert out.read_bytes() == expected.read_bytes()
