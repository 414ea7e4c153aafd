"""Register the Python module."""

# Types of the extension module, for mypy, pyright and editors. The module is a
# single C extension, so its types ship as this stub-only package beside it.
# tests/test_stubs.py holds this file to the runtime: a member added to the
# class in C++ fails that test until it is written here with the same
# parameter names and kinds, defaults and docstring. Members are in the order
# of the type's method table.

import os
from collections.abc import Callable, Iterable, Sequence
from typing import SupportsIndex, TypedDict, final

import numpy as np
import numpy.typing as npt
from typing_extensions import Self, TypeAlias

__all__ = ["QormTokenizer", "__version__"]

__version__: str

# A str is taken as its UTF-8 bytes; any other sequence must hold ints 0-255.
_Text: TypeAlias = str | bytes | bytearray | memoryview | Sequence[int]
# Token ids are ints 0-4294967295; a str is refused even though it is a sequence.
_TokenIds: TypeAlias = Sequence[int]
_Path: TypeAlias = str | os.PathLike[str]
# Paths for the file trainers, which also take bytes paths.
_FilePath: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes]
_Blob: TypeAlias = bytes | bytearray | memoryview

class _QualityReport(TypedDict):
    quality_score: float
    total_bytes: int
    unique_bytes: int
    byte_entropy: float
    avg_word_len: float
    unique_words: int
    total_words: int
    warnings: list[str]

@final
class QormTokenizer:
    """Python-facing Qorm tokenizer.
    Train from a corpus or load a pre-trained model, then encode/decode."""

    # A list or tuple, not any sequence: a single str is a sequence of str
    # and the runtime refuses it.
    def __new__(
        cls,
        corpus: _Text,
        vocab_size: SupportsIndex = 8192,
        context_weight: float = 0.3,
        verbose: bool = False,
        show_progress: bool = True,
        special_tokens: list[str] | tuple[str, ...] | None = None,
        check_quality: bool = True,
    ) -> Self: ...
    def __repr__(self) -> str: ...
    def __len__(self) -> int: ...

    # ---- Construction and files
    @staticmethod
    def from_file(path: _Path, context_weight: float = 0.3) -> QormTokenizer:
        """Load a pre-trained model from a JSON file."""

    def save(self, path: _Path) -> None:
        """Save the trained model to a JSON file."""

    # ---- Training at dataset scale
    @staticmethod
    def train_from_files(
        paths: _FilePath | Iterable[_FilePath],
        vocab_size: SupportsIndex = 8192,
        context_weight: float = 0.3,
        verbose: bool = False,
        show_progress: bool = True,
        special_tokens: list[str] | tuple[str, ...] | None = None,
        check_quality: bool = True,
        *,
        max_token_bytes: SupportsIndex | None = None,
    ) -> QormTokenizer:
        """Train a new tokenizer on text files (one path or an iterable of paths).
        Each file is its own text, read in blocks and counted on all cores."""

    @staticmethod
    def train_from_iterator(
        texts: _Text | Iterable[_Text],
        vocab_size: SupportsIndex = 8192,
        context_weight: float = 0.3,
        verbose: bool = False,
        show_progress: bool = True,
        special_tokens: list[str] | tuple[str, ...] | None = None,
        check_quality: bool = True,
        *,
        max_token_bytes: SupportsIndex | None = None,
    ) -> QormTokenizer:
        """Train a new tokenizer on an iterable of str or bytes, each item its own text,
        consumed once as it arrives."""

    @staticmethod
    def count_chunks(texts: _Text | Iterable[_Text]) -> bytes:
        """Count the chunks of one text or an iterable of texts into a blob of bytes
        that merge_chunk_counts sums and train_from_counts trains on."""

    @staticmethod
    def merge_chunk_counts(blobs: Iterable[_Blob]) -> bytes:
        """Sum count blobs into one; any order and grouping gives the same bytes."""

    @staticmethod
    def train_from_counts(
        blob: _Blob,
        vocab_size: SupportsIndex = 8192,
        context_weight: float = 0.3,
        verbose: bool = False,
        show_progress: bool = True,
        special_tokens: list[str] | tuple[str, ...] | None = None,
        check_quality: bool = True,
        *,
        max_token_bytes: SupportsIndex | None = None,
    ) -> QormTokenizer:
        """Train a new tokenizer on a count blob from count_chunks or merge_chunk_counts."""

    # ---- Filters
    def add_filter(self, name: str) -> None:
        """Add a pre-tokenization filter by name.
        Available: "lowercase", "normalize_whitespace", "strip_non_printable\""""

    def active_filters(self) -> list[str]:
        """Get list of active filter names."""

    # ---- Special tokens
    def add_special_token(self, name: str) -> int:
        """Add a special token. Returns its ID."""

    def get_special_token_id(self, name: str) -> int | None:
        """Get special token ID by name, or None."""

    def special_tokens(self) -> list[tuple[str, int]]:
        """List all special tokens as list of (name, id) tuples."""

    # ---- Vocabulary and corpus
    def prune_vocab(self, target_size: SupportsIndex, corpus: _Text) -> None:
        """Prune vocabulary to target size, keeping most frequent tokens.
        Base byte tokens (0-255) and special tokens are always kept."""

    @staticmethod
    def check_quality(corpus: _Text) -> _QualityReport:
        """Check dataset quality. Returns dict with score and warnings."""

    # ---- Encoding
    def encode(self, text: _Text, greedy: bool = False) -> list[int]:
        """Encode text into token IDs."""

    def encode_dense(self, text: _Text) -> list[int]:
        """Encode text using density-optimal DP (minimizes token count)."""

    def encode_with_offsets(
        self, text: _Text, greedy: bool = False
    ) -> tuple[list[int], list[tuple[int, int]]]:
        """Encode text and return token IDs along with byte offsets."""

    # ---- Decoding and lookup
    def decode_bytes(self, token_ids: _TokenIds) -> bytes:
        """Decode token IDs back to bytes."""

    def decode(self, token_ids: _TokenIds) -> str:
        """Decode token IDs back to a UTF-8 string."""

    def id_to_bytes(self, token_id: SupportsIndex) -> bytes:
        """Get the byte representation of a token."""

    def id_to_token(self, token_id: SupportsIndex) -> str:
        """Get the string representation of a token (lossy UTF-8)."""

    # ---- Batches, arrays and ordinary text
    def encode_batch(
        self, texts: Iterable[_Text], greedy: bool = False, *, special: bool = True
    ) -> list[list[int]]:
        """Encode many texts on all cores. Returns a list of token ID lists."""

    def encode_dense_batch(self, texts: Iterable[_Text], *, special: bool = True) -> list[list[int]]:
        """Encode many texts with the density-optimal DP on all cores."""

    def encode_to_numpy(
        self, text: _Text, greedy: bool = False, dense: bool = False, *, special: bool = True
    ) -> npt.NDArray[np.uint32]:
        """Encode text into a numpy uint32 array of token IDs."""

    def encode_batch_to_numpy(
        self,
        texts: Iterable[_Text],
        greedy: bool = False,
        dense: bool = False,
        *,
        special: bool = True,
    ) -> tuple[npt.NDArray[np.uint32], npt.NDArray[np.int64]]:
        """Encode many texts into one numpy uint32 array of token IDs and an int64 array
        of len(texts) + 1 offsets: text i is ids[offsets[i]:offsets[i + 1]]."""

    def encode_ordinary(self, text: _Text, greedy: bool = False, dense: bool = False) -> list[int]:
        """Encode text with special token names treated as ordinary text."""

    def decode_batch(self, id_lists: Iterable[_TokenIds | npt.NDArray[np.integer]]) -> list[str]:
        """Decode many token ID lists (lists, tuples or integer arrays) to UTF-8 strings."""

    def token_to_id(self, token: _Text) -> int | None:
        """Get the ID of the token whose bytes are `token` (a str as UTF-8), or None.
        When several tokens share those bytes, the one encoding produces (the later ID)."""

    # ---- The model document, pickling and copying
    def to_bytes(self) -> bytes:
        """The model document as bytes, exactly as save writes it."""

    @staticmethod
    def from_bytes(data: _Text, context_weight: float = 0.3) -> QormTokenizer:
        """Load a model from a document made by to_bytes (or read from a saved file)."""

    def __reduce__(self) -> tuple[Callable[[bytes, float], QormTokenizer], tuple[bytes, float]]: ...
    def __copy__(self) -> QormTokenizer: ...
    def __deepcopy__(self, memo: dict[int, object] | None) -> QormTokenizer: ...

    # ---- Properties
    @property
    def vocab_size(self) -> int:
        """Get the vocabulary size."""

    @property
    def is_lossless(self) -> bool:
        """Check if this tokenizer is lossless (always True for Qorm)."""

    @property
    def context_weight(self) -> float:
        """Get the weight of the bigram scores in encoding."""
