"""The module object, the class object and the small members of an instance."""
import inspect
import subprocess
import sys
import textwrap

import pytest

import tarvik_core
from tarvik_core import QormTokenizer


def test_module_attributes():
    assert tarvik_core.__version__ == "0.1.1"
    assert tarvik_core.__all__ == ["QormTokenizer", "__version__"]
    assert tarvik_core.__doc__ == "Register the Python module."
    names = [n for n in vars(tarvik_core) if not n.startswith("__") or n in ("__version__", "__all__")]
    assert names == ["QormTokenizer", "__version__", "__all__"]


def test_second_import_returns_same_module():
    first = tarvik_core
    del sys.modules["tarvik_core"]
    try:
        import tarvik_core as again

        assert again is first
    finally:
        sys.modules["tarvik_core"] = first


def test_subinterpreter_refused():
    code = textwrap.dedent(
        """
        import tarvik_core, _testcapi
        rc = _testcapi.run_in_subinterp("import tarvik_core")
        print("rc", rc)
        """
    )
    try:
        import _testcapi  # noqa: F401
    except ImportError:
        pytest.skip("interpreter built without _testcapi")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert "rc -1" in out.stdout, out.stdout + out.stderr
    assert "subinterpreters" in out.stderr


def test_class_identity_and_docs():
    assert QormTokenizer.__name__ == "QormTokenizer"
    assert QormTokenizer.__module__ == "tarvik_core"
    assert QormTokenizer.__qualname__ == "QormTokenizer"
    assert QormTokenizer.__doc__ == (
        "Python-facing Qorm tokenizer.\n"
        "Train from a corpus or load a pre-trained model, then encode/decode."
    )
    assert str(inspect.signature(QormTokenizer)) == (
        "(corpus, vocab_size=8192, context_weight=0.3, verbose=False, show_progress=True, "
        "special_tokens=None, check_quality=True)"
    )


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("encode", "($self, text, greedy=False)", "Encode text into token IDs."),
        ("encode_dense", "($self, text)", "Encode text using density-optimal DP (minimizes token count)."),
        (
            "encode_with_offsets",
            "($self, text, greedy=False)",
            "Encode text and return token IDs along with byte offsets.",
        ),
        ("decode_bytes", "($self, token_ids)", "Decode token IDs back to bytes."),
        ("id_to_bytes", "($self, token_id)", "Get the byte representation of a token."),
        ("add_special_token", "($self, name)", "Add a special token. Returns its ID."),
        ("get_special_token_id", "($self, name)", "Get special token ID by name, or None."),
        ("special_tokens", "($self)", "List all special tokens as list of (name, id) tuples."),
        ("decode", "($self, token_ids)", "Decode token IDs back to a UTF-8 string."),
        ("id_to_token", "($self, token_id)", "Get the string representation of a token (lossy UTF-8)."),
        ("active_filters", "($self)", "Get list of active filter names."),
        ("save", "($self, path)", "Save the trained model to a JSON file."),
        ("from_file", "(path, context_weight=0.3)", "Load a pre-trained model from a JSON file."),
        ("check_quality", "(corpus)", "Check dataset quality. Returns dict with score and warnings."),
        (
            "add_filter",
            "($self, name)",
            'Add a pre-tokenization filter by name.\nAvailable: "lowercase", "normalize_whitespace", '
            '"strip_non_printable"',
        ),
        (
            "prune_vocab",
            "($self, target_size, corpus)",
            "Prune vocabulary to target size, keeping most frequent tokens.\n"
            "Base byte tokens (0-255) and special tokens are always kept.",
        ),
    ],
)
def test_method_docs(name, signature, doc):
    method = getattr(QormTokenizer, name)
    assert method.__doc__ == doc
    assert method.__text_signature__ == signature
    inspect.signature(method)  # parses


def test_property_docs():
    assert QormTokenizer.vocab_size.__doc__ == "Get the vocabulary size."
    assert QormTokenizer.is_lossless.__doc__ == "Check if this tokenizer is lossless (always True for Qorm)."


def test_method_order():
    expected = [
        "from_file", "save", "add_filter", "active_filters", "add_special_token",
        "get_special_token_id", "special_tokens", "prune_vocab", "check_quality", "encode",
        "encode_dense", "encode_with_offsets", "decode_bytes", "decode", "id_to_bytes",
        "id_to_token", "vocab_size", "is_lossless",
    ]
    members = [n for n in vars(QormTokenizer) if n in expected]
    assert members == expected


def test_type_flags(fresh):
    with pytest.raises(TypeError):
        type("Sub", (QormTokenizer,), {})
    with pytest.raises(AttributeError):
        fresh.anything = 1
    assert not hasattr(fresh, "__dict__")
    assert "__weakref__" not in dir(QormTokenizer)
    import gc

    assert not gc.is_tracked(fresh)


def test_properties_len_and_repr(fresh):
    assert fresh.is_lossless is True
    assert len(fresh) == fresh.vocab_size == 400
    assert repr(fresh) == "QormTokenizer(vocab_size=400, lossless=True, filters=none)"
    fresh.add_filter("lowercase")
    fresh.add_filter("lowercase")
    assert repr(fresh) == (
        'QormTokenizer(vocab_size=400, lossless=True, filters=["lowercase_ascii", "lowercase_ascii"])'
    )
    fresh.add_special_token("<eos>")
    assert len(fresh) == fresh.vocab_size == 401
    with pytest.raises(AttributeError):
        fresh.vocab_size = 3


def test_reference_counts_stable(fresh, internal_error):
    text = "some text to encode " * 20
    out_of_range = "^index out of bounds: the len is 400 but the index is 1000000$"
    fresh.encode(text)
    before = sys.getrefcount(text), sys.getrefcount(fresh)
    for _ in range(200):
        fresh.encode(text)
        fresh.encode_with_offsets(text)
        fresh.decode(fresh.encode(text))
        with pytest.raises(TypeError):
            fresh.encode(text, greedy=1)
        with pytest.raises(internal_error, match=out_of_range):
            fresh.decode([10**6])
    assert (sys.getrefcount(text), sys.getrefcount(fresh)) == before
