"""The model file as users meet it: save/from_file layout, round trips, reading rules, failures."""

import copy
import json
import os
import re
import resource
import signal
import shutil
import stat
import subprocess
import tempfile
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tarvik_core

Tok = tarvik_core.QormTokenizer

EXCERPT = """{
  "version": "0.1.1",
  "tokens": [
    {
      "id": 0,
      "bytes": [
        0
      ],
      "log_prob": -12.5,
      "merge_pair": null
    },
    {
      "id": 256,
      "bytes": [
        116,
        104
      ],
      "log_prob": -4.5,
      "merge_pair": [
        116,
        104
      ]
    },
    {
      "id": 257,
      "bytes": [
        101,
        110,
        100
      ],
      "log_prob": 0.0,
      "merge_pair": null
    }
  ],
  "bigrams": [
    {
      "left": 116,
      "right": 104,
      "log_prob": -0.25
    }
  ],
  "vocab_size": 258,
  "special_tokens": [
    {
      "name": "end",
      "id": 257,
      "bytes": [
        101,
        110,
        100
      ]
    }
  ]
}"""

# The excerpt's vocabulary written compactly, in the positional form.
EXCERPT_POSITIONAL = (
    '["x", [[0, [0], -12.5, null], [256, [116, 104], -4.5, [116, 104]],'
    " [257, [101, 110, 100], 0, null]], [[116, 104, -0.25]], 258,"
    ' [["end", 257, [101, 110, 100]]]]'
)


def write(tmp_path, text, name="model.json"):
    path = tmp_path / name
    path.write_bytes(text.encode() if isinstance(text, str) else text)
    return str(path)


def resave(tmp_path, text):
    """Loads `text` and returns what save writes for it."""
    tok = Tok.from_file(write(tmp_path, text))
    tok.save(str(tmp_path / "out.json"))
    return (tmp_path / "out.json").read_text()


def load_error(tmp_path, text):
    with pytest.raises(OSError) as info:
        Tok.from_file(write(tmp_path, text))
    message = str(info.value)
    assert message.startswith("Failed to load model: ")
    return message.removeprefix("Failed to load model: ")


def with_token(token):
    return '{"version": "x", "tokens": [' + token + '], "bigrams": [], "vocab_size": 1}'


def test_layout_of_the_excerpt(tmp_path):
    assert resave(tmp_path, EXCERPT_POSITIONAL) == EXCERPT


@pytest.mark.parametrize(
    "written, saved",
    [
        ("0", "0.0"), ("-0", "-0.0"), ("1", "1.0"), ("-4.5", "-4.5"), ("1e16", "1e+16"),
        ("1000000000000000", "1000000000000000.0"), ("0.00001", "0.00001"), ("1e-6", "1e-6"),
        ("1.5E-7", "1.5e-7"), ("2.5e-300", "2.5e-300"), ("0.1", "0.1"), ("5e-324", "5e-324"),
        ("123456789012345678901234567890", "1.2345678901234568e+29"),
        ("9007199254740993", "9007199254740992.0"), ("1e-400", "0.0"), ("-1e-400", "-0.0"),
        ("1.7976931348623157e308", "1.7976931348623157e+308"),
    ],
)
def test_float_forms(tmp_path, written, saved):
    text = resave(tmp_path, with_token('{"id": 0, "bytes": [], "log_prob": ' + written + "}"))
    assert re.findall(r'"log_prob": (.*),', text) == [saved]


def model_data(path):
    """The saved document with the bigrams as a dict, floats as exact text."""
    doc = json.loads(open(path).read(), parse_float=lambda s: repr(float(s)))
    doc["bigrams"] = {(b["left"], b["right"]): b["log_prob"] for b in doc["bigrams"]}
    return doc


def test_trained_round_trip(tmp_path, fresh):
    fresh.add_special_token("<|end|>")
    fresh.add_special_token('é\n"\x01')
    first, second = tmp_path / "a.json", tmp_path / "b.json"
    fresh.save(str(first))
    loaded = Tok.from_file(str(first))
    loaded.save(str(second))
    assert loaded.vocab_size == fresh.vocab_size
    assert loaded.special_tokens() == fresh.special_tokens()
    assert [loaded.id_to_bytes(i) for i in range(loaded.vocab_size)] == [
        fresh.id_to_bytes(i) for i in range(fresh.vocab_size)
    ]
    assert model_data(first) == model_data(second)
    assert len(model_data(first)["bigrams"]) > 0


BAD_DOCUMENTS = [
    ("", "EOF while parsing a value at line 1 column 0"),
    ('{"version": "", "tokens": [], "bigrams": []}',
     "missing field `vocab_size` at line 1 column 44"),
    ('{"tokens": []}', "missing field `version` at line 1 column 14"),
    ('{"version": "", "version": ""}', "duplicate field `version` at line 1 column 17"),
    (with_token('{"id": 1, "bytes": [], "log_prob": 0, "id": 2}'),
     "duplicate field `id` at line 1 column 67"),
    (with_token('{"id": 1, "bytes": []}'), "missing field `log_prob` at line 1 column 50"),
    (with_token('{"id": -1, "bytes": [], "log_prob": 0}'),
     "invalid value: integer `-1`, expected a token id (an integer from 0 to 4294967295)"
     " at line 1 column 36"),
    (with_token('{"id": 4294967296, "bytes": [], "log_prob": 0}'),
     "invalid value: integer `4294967296`, expected a token id (an integer from 0 to 4294967295)"
     " at line 1 column 36"),
    (with_token('{"id": 1e0, "bytes": [], "log_prob": 0}'),
     "invalid type: floating point `1e0`, expected a token id (an integer from 0 to 4294967295)"
     " at line 1 column 36"),
    (with_token('{"id": 1, "bytes": "ab", "log_prob": 0}'),
     'invalid type: string "ab", expected an array of byte values at line 1 column 48'),
    (with_token('{"id": 1, "bytes": [256], "log_prob": 0}'),
     "invalid value: integer `256`, expected a byte value (an integer from 0 to 255)"
     " at line 1 column 49"),
    (with_token('{"id": 1, "bytes": [], "log_prob": null}'),
     "invalid type: null, expected a number at line 1 column 64"),
    (with_token('{"id": 1, "bytes": [], "log_prob": -1e309}'),
     "number out of range: `-1e309` is too large for a 64-bit float at line 1 column 64"),
    (with_token('{"id": 1, "bytes": [], "log_prob": 0, "merge_pair": [1, 2, 3]}'),
     "invalid length 3, expected an array of 2 token ids at line 1 column 89"),
    (with_token('{"id": 1, "bytes": [], "log_prob": 0, "merge_pair": {}}'),
     "invalid type: object, expected null or an array of 2 token ids at line 1 column 81"),
    (with_token("[1, [], 0]"),
     "invalid length 3, expected struct Token with 4 elements at line 1 column 38"),
    (with_token("[1, [], 0, null, 5]"),
     "invalid length 5, expected struct Token with 4 elements at line 1 column 47"),
    (with_token('"t"'), 'invalid type: string "t", expected struct Token at line 1 column 29'),
    ('["v", [], []]',
     "invalid length 3, expected struct VocabFile with 5 elements at line 1 column 13"),
    ('["v", [], [], 0, [], 1]',
     "invalid length 6, expected struct VocabFile with 5 elements at line 1 column 23"),
    ('["v", [], [[1, 2]], 0]',
     "invalid length 2, expected struct BigramEntry with 3 elements at line 1 column 17"),
    ('["v", [], [], 0, [["n", 1]]]',
     "invalid length 2, expected struct SpecialToken with 3 elements at line 1 column 26"),
    ('["v", {}, [], 0]', "invalid type: object, expected an array of tokens at line 1 column 7"),
    ('[1, [], [], 0]', "invalid type: integer `1`, expected a string at line 1 column 2"),
    ('["v", [], [], -0.5]', "invalid type: floating point `-0.5`, expected an integer from 0 to "
     "18446744073709551615 at line 1 column 15"),
    ('["v", [], [], 0]\n  x', "trailing characters after the document at line 2 column 3"),
    ('["é", [], [], 0] é', "trailing characters after the document at line 1 column 18"),
    ('["v", [], [], 0,]', "trailing comma at line 1 column 17"),
    ('["v", [], [], 01]', "invalid number: leading zero at line 1 column 16"),
    ('["v", [], [], 0', "EOF while parsing an array at line 1 column 15"),
    ('["a\tb"]',
     "control character (below U+0020) in a string; write it as an escape at line 1 column 4"),
    (r'["\q"]', "invalid escape at line 1 column 3"),
    (r'["\udc00"]', "unpaired low surrogate in \\u escape at line 1 column 3"),
    ('{"x": [1 2]}', "expected `,` or `]` after an array element at line 1 column 10"),
    ('{"x": {"a" 1}}', "expected `:` after an object key at line 1 column 12"),
    ('{"x": nul}', "expected value at line 1 column 7"),
    (b'["\xe9", [], [], 0]', "stream did not contain valid UTF-8"),
]


@pytest.mark.parametrize("text, message", BAD_DOCUMENTS)
def test_reading_rules(tmp_path, text, message):
    assert load_error(tmp_path, text) == message


@pytest.mark.parametrize(
    "text",
    [
        EXCERPT,
        # keys in any order, unknown keys with any value, merge_pair missing, escaped key
        '{"special_tokens": [{"bytes": [101, 110, 100], "id": 257, "name": "\\u0065nd"}],'
        ' "extra": {"a": [1, {"b": [null, true, "\\"]"]}], "c": 1e999}, "vocab_size": 258,'
        ' "\\u0076ersion": "any", "bigrams": [{"log_prob": -0.25, "right": 104, "left": 116}],'
        ' "tokens": [{"merge_pair": null, "log_prob": -12.5, "bytes": [0], "id": 0, "?": []},'
        ' {"id": 256, "bytes": [116, 104], "log_prob": -4.5, "merge_pair": [116, 104]},'
        ' {"id": 257, "bytes": [101, 110, 100], "log_prob": 0}]}',
        # records mixing both forms; a repeated bigram keeps the last value
        '{"version": "", "tokens": [[0, [0], -12.5, null], {"id": 256, "bytes": [116, 104],'
        ' "log_prob": -4.5, "merge_pair": [116, 104]}, [257, [101, 110, 100], 0.0, null]],'
        ' "bigrams": [[116, 104, 7], {"left": 116, "right": 104, "log_prob": -25e-2}],'
        ' "vocab_size": 258, "special_tokens": [["end", 257, [101, 110, 100]]]}',
    ],
)
def test_equivalent_documents(tmp_path, text):
    assert resave(tmp_path, text) == EXCERPT


def test_stored_values_load_as_written(tmp_path):
    ids = Tok.from_file(write(tmp_path, '["v", [[4294967295, [97], 0, [7, 4000000000]]], [], 3]'))
    assert ids.vocab_size == 3 and ids.special_tokens() == []
    huge = Tok.from_file(write(tmp_path, '["v", [], [], 18446744073709551615]'))
    assert huge.vocab_size == 2**64 - 1
    repeated = Tok.from_file(write(tmp_path, '["v", [], [], 0, [["a", 1, []], ["a", 2, []]]]'))
    assert repeated.get_special_token_id("a") == 2


def test_nesting_in_skipped_values_is_bounded(tmp_path):
    def nested(depth):
        rest = '"version": "", "tokens": [], "bigrams": [], "vocab_size": 0}'
        return '{"x": ' + "[" * depth + "]" * depth + ", " + rest

    assert Tok.from_file(write(tmp_path, nested(256))).vocab_size == 0
    assert load_error(tmp_path, nested(1_000_000)).startswith(
        "nesting deeper than 256 levels in a skipped value at line 1 column"
    )


def test_file_errors(tmp_path, trained):
    cases = [
        (lambda: Tok.from_file(str(tmp_path / "absent.json")), "load",
         "No such file or directory (os error 2)"),
        (lambda: Tok.from_file(str(tmp_path)), "load", "Is a directory (os error 21)"),
        (lambda: Tok.from_file("a\0b"), "load", "file name contained an unexpected NUL byte"),
        (lambda: trained.save(str(tmp_path / "no" / "m.json")), "save",
         "No such file or directory (os error 2)"),
        (lambda: trained.save("a\0b"), "save", "file name contained an unexpected NUL byte"),
        (lambda: trained.save(str(tmp_path)), "save", "Is a directory (os error 21)"),
        (lambda: trained.save("/dev/full"), "save", "No space left on device (os error 28)"),
    ]
    for call, verb, message in cases:
        with pytest.raises(OSError) as info:
            call()
        assert str(info.value) == f"Failed to {verb} model: {message}"
    assert os.listdir(tmp_path) == []


def test_modes_links_and_fifos(tmp_path, trained):
    path = tmp_path / "m.json"
    old_mask = os.umask(0o027)
    try:
        trained.save(str(path))
    finally:
        os.umask(old_mask)
    assert stat.S_IMODE(path.stat().st_mode) == 0o640
    path.chmod(0o604)
    trained.save(str(path))
    assert stat.S_IMODE(path.stat().st_mode) == 0o604
    if os.geteuid() == 0:  # only root may give a file away
        os.chown(path, 65534, 65534)
        trained.save(str(path))
        assert (path.stat().st_uid, path.stat().st_gid) == (65534, 65534)

    link = tmp_path / "link.json"
    link.symlink_to(path)
    path.write_text("old")
    trained.save(str(link))
    assert link.is_symlink() and path.read_text().startswith("{\n")

    # save keeps the interpreter lock, so the reader must be another process.
    fifo, received = tmp_path / "fifo", tmp_path / "received"
    os.mkfifo(fifo)
    with open(received, "wb") as out:
        reader = subprocess.Popen(["cat", str(fifo)], stdout=out)
        trained.save(str(fifo))
        assert reader.wait(timeout=60) == 0
    assert stat.S_ISFIFO(fifo.stat().st_mode) and received.read_text() == path.read_text()


def in_child(action, unprivileged=False, file_size_limit=None):
    """Runs action() in a forked child and returns the text it returned or the error it raised."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child reports through the pipe
        try:
            if unprivileged and os.geteuid() == 0:
                os.setgid(65534)
                os.setuid(65534)
            if file_size_limit is not None:
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))
            out = action()
        except BaseException as e:  # noqa: B036 - everything goes back to the parent
            out = str(e)
        os.write(write_end, out.encode())
        os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        out = pipe.read()
    os.waitpid(pid, 0)
    return out


def test_failed_save_keeps_the_old_file(tmp_path, trained):
    target = tmp_path / "target.json"
    target.write_text("previous model")
    out = in_child(lambda: trained.save(str(target)) or "saved", file_size_limit=4096)
    assert out == "Failed to save model: File too large (os error 27)"
    assert target.read_text() == "previous model"
    assert os.listdir(tmp_path) == ["target.json"]


def test_permissions_are_respected(tmp_path, trained):
    """A writable file in a directory we may not write to is still saved (in place);
    a read-only file in a writable directory is refused, not replaced."""
    # Outside tmp_path, whose parents an unprivileged child may not enter.
    locked = Path(tempfile.mkdtemp())
    locked.chmod(0o777)
    (locked / "m.json").write_text("old")
    (locked / "m.json").chmod(0o666)
    (locked / "ro.json").write_text("read-only")
    (locked / "ro.json").chmod(0o444)
    try:
        ro = in_child(lambda: trained.save(str(locked / "ro.json")) or "saved", unprivileged=True)
        assert ro == "Failed to save model: Permission denied (os error 13)"
        assert (locked / "ro.json").read_text() == "read-only"
        locked.chmod(0o555)
        out = [in_child(lambda: trained.save(str(locked / name)) or "saved", unprivileged=True)
               for name in ("m.json", "new.json")]
        trained.save(str(tmp_path / "reference.json"))
        assert (locked / "m.json").read_text() == (tmp_path / "reference.json").read_text()
    finally:
        locked.chmod(0o755)
        shutil.rmtree(locked)
    assert out == ["saved", "Failed to save model: Permission denied (os error 13)"]


def test_a_failed_in_place_save_keeps_the_old_file():
    """Where no temporary file can be made, the save writes in place: it must
    claim the room first, so running out of it leaves the old model whole."""
    locked = Path(tempfile.mkdtemp())
    old = "previous model " * 100
    (locked / "m.json").write_text(old)
    (locked / "m.json").chmod(0o666)
    big = Tok(bytes(range(256)) * 64, vocab_size=600, show_progress=False, check_quality=False)
    try:
        locked.chmod(0o555)
        out = in_child(lambda: big.save(str(locked / "m.json")) or "saved", unprivileged=True,
                       file_size_limit=len(old) + 10)
        assert out == "Failed to save model: File too large (os error 27)"
        assert (locked / "m.json").read_text() == old
        assert os.listdir(locked) == ["m.json"]
    finally:
        locked.chmod(0o755)
        shutil.rmtree(locked)


finite = st.floats(allow_nan=False, allow_infinity=False)
ids = st.integers(0, 2**32 - 1)
byte_lists = st.lists(st.integers(0, 255), max_size=6)
names = st.text(st.characters(blacklist_categories=("Cs",)), max_size=8)
vocab_files = st.fixed_dictionaries({
    "tokens": st.lists(st.fixed_dictionaries({
        "id": ids, "bytes": byte_lists, "log_prob": finite,
        "merge_pair": st.none() | st.lists(ids, min_size=2, max_size=2),
    }), max_size=20),
    "bigrams": st.dictionaries(st.tuples(ids, ids), finite, max_size=20),
    "vocab_size": st.integers(0, 2**64 - 1),
    "special_tokens": st.lists(
        st.builds(lambda n, i: {"name": n, "id": i, "bytes": list(n.encode())}, names, ids),
        max_size=5),
})


@settings(max_examples=60, deadline=None)
@given(data=vocab_files, positional=st.booleans())
def test_written_vocabularies_read_back_equal(tmp_path_factory, data, positional):
    tmp_path = tmp_path_factory.mktemp("prop")
    bigrams = [{"left": l, "right": r, "log_prob": v} for (l, r), v in data["bigrams"].items()]
    if positional:
        def fields(records, *keys):
            return [[record[key] for key in keys] for record in records]

        doc = ["v", fields(data["tokens"], "id", "bytes", "log_prob", "merge_pair"),
               fields(bigrams, "left", "right", "log_prob"), data["vocab_size"],
               fields(data["special_tokens"], "name", "id", "bytes")]
    else:
        doc = {**data, "version": "v", "bigrams": bigrams}
    saved = tmp_path / "saved.json"
    Tok.from_file(write(tmp_path, json.dumps(doc))).save(str(saved))
    again = tmp_path / "again.json"
    Tok.from_file(str(saved)).save(str(again))
    expected = copy.deepcopy(data)
    expected["version"] = "0.1.1"
    expected["bigrams"] = {k: repr(v) for k, v in data["bigrams"].items()}
    for token in expected["tokens"]:
        token["log_prob"] = repr(token["log_prob"])
    assert model_data(saved) == expected == model_data(again)


def test_filters_are_saved_and_restored_in_order(tmp_path, fresh):
    plain = tmp_path / "plain.json"
    fresh.save(str(plain))
    assert "filters" not in json.loads(plain.read_text())
    for name in ("normalize_whitespace", "lowercase", "normalize_whitespace"):
        fresh.add_filter(name)
    path = tmp_path / "filtered.json"
    fresh.save(str(path))
    names = ["normalize_whitespace", "lowercase_ascii", "normalize_whitespace"]
    assert json.loads(path.read_text())["filters"] == names
    loaded = Tok.from_file(str(path))
    assert loaded.active_filters() == names
    assert repr(loaded) == repr(fresh)
    text = "Hello \t  WORLD\n  Again"
    assert loaded.encode(text) == fresh.encode(text) != Tok.from_file(str(plain)).encode(text)
    # Other tools' documents may carry a filter this module lacks: refused, not dropped.
    doc = json.loads(path.read_text())
    doc["filters"] = ["lowercase", "sharpen"]
    assert "sharpen" in load_error(tmp_path, json.dumps(doc))


class FsPath:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


@pytest.mark.parametrize("as_path", [str, Path, lambda p: FsPath(str(p))], ids=["str", "Path", "PathLike"])
def test_paths_may_be_path_like(tmp_path, trained, as_path):
    path = tmp_path / "m.json"
    trained.save(as_path(path))
    assert Tok.from_file(as_path(path)).encode("path like") == trained.encode("path like")


@pytest.mark.parametrize(
    "value, type_name",
    [(b"m.json", "bytes"), (FsPath(b"m.json"), "FsPath"), (3, "int")],
    ids=["bytes", "bytes-fspath", "int"],
)
def test_paths_that_are_not_str_are_refused(tmp_path, trained, value, type_name):
    message = f"argument 'path': '{type_name}' object cannot be converted to 'PyString'"
    for call in (lambda: trained.save(value), lambda: Tok.from_file(value)):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message


def test_an_error_raised_by_fspath_reaches_the_caller(trained):
    with pytest.raises(KeyError, match="no path"):
        trained.save(FsPath(KeyError("no path")))


def test_a_signal_handler_interrupts_a_load_blocked_on_a_fifo(tmp_path, trained):
    """The handler runs while the read waits, and its exception reaches the caller."""

    class Stop(Exception):
        pass

    def handler(signum, frame):
        raise Stop

    model, fifo, wrote = tmp_path / "m.json", tmp_path / "fifo", tmp_path / "wrote"
    trained.save(str(model))
    os.mkfifo(fifo)
    # The writer opens the FIFO, signals us while our read waits, and only much
    # later sends a document: a reader that ignores the interruption would
    # finish the load first (and then meet the exception), which `wrote` shows.
    script = (f'exec 3>"{fifo}"; sleep 0.3; kill -USR1 {os.getpid()}; sleep 20; '
              f'touch "{wrote}"; cat "{model}" >&3')
    previous = signal.signal(signal.SIGUSR1, handler)
    writer = subprocess.Popen(["sh", "-c", script])
    try:
        with pytest.raises(Stop):
            Tok.from_file(str(fifo))
        assert not wrote.exists()
    finally:
        writer.kill()
        writer.wait()
        signal.signal(signal.SIGUSR1, previous)
