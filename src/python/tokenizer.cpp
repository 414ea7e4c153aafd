// The QormTokenizer type: state, holds, and every member.
#include "python/tokenizer.h"

#include <chrono>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "common/console.h"
#include "corpus/filters.h"
#include "corpus/quality.h"
#include "encoder/encoder.h"
#include "python/arguments.h"
#include "python/errors.h"
#include "python/guards.h"
#include "python/results.h"
#include "training/trainer.h"
#include "vocab/model_file.h"
#include "vocab/prune.h"

namespace tarvik::py {
namespace {

// ---- Instance state and the shared/exclusive hold ---------------------------

struct TokenizerState {
  Encoder encoder;
  std::vector<Filter> filters;
  // 0 when free, the number of shared holders, or -1 for one exclusive holder.
  // Read and written only with the interpreter lock held.
  int holds = 0;
};

struct TokenizerObject {
  PyObject_HEAD alignas(TokenizerState) unsigned char storage[sizeof(TokenizerState)];
};

PyTypeObject* g_type = nullptr;

TokenizerState& state_of(PyObject* self) {
  return *std::launder(
      reinterpret_cast<TokenizerState*>(reinterpret_cast<TokenizerObject*>(self)->storage));
}

// Shared or exclusive use of one instance for the duration of a call. Must be
// destroyed with the interpreter lock held.
class Hold {
 public:
  enum Mode { kShared, kExclusive };

  bool acquire(PyObject* self, Mode mode) {
    TokenizerState& state = state_of(self);
    if (mode == kExclusive) {
      if (state.holds != 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return false;
      }
      state.holds = -1;
    } else {
      if (state.holds < 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return false;
      }
      ++state.holds;
    }
    state_ = &state;
    mode_ = mode;
    return true;
  }

  Hold() = default;
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;
  ~Hold() {
    if (state_ == nullptr) return;
    if (mode_ == kExclusive) {
      state_->holds = 0;
    } else {
      --state_->holds;
    }
  }

 private:
  TokenizerState* state_ = nullptr;
  Mode mode_ = kShared;
};

PyObject* new_instance(Encoder encoder) {
  PyObject* self = g_type->tp_alloc(g_type, 0);
  if (self == nullptr) return nullptr;
  new (reinterpret_cast<TokenizerObject*>(self)->storage) TokenizerState{std::move(encoder), {}, 0};
  return self;
}

void tokenizer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  state_of(self).~TokenizerState();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

// ---- Helpers shared by the members -----------------------------------------

// Applies the active filters (lock held); `text` views the result.
void apply_active_filters(const TokenizerState& state, TextBytes& text) {
  if (state.filters.empty()) return;
  text.storage = apply_filters(state.filters, text.view);
  text.view = text.storage;
}

// Polls for pending signals while the lock is released, taking the lock at
// most about every 100 ms; a raised exception is parked in `pending`.
class SignalPoll {
 public:
  SignalPoll(ReleasedLock& unlocked, Ref& pending) : unlocked_(unlocked), pending_(pending) {}

  bool operator()() {
    auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(100)) return false;
    last_ = now;
    return unlocked_.with_lock([this] {
      if (PyErr_CheckSignals() == 0) return false;
      pending_ = Ref::steal(fetch_raised_exception());
      return true;
    });
  }

 private:
  ReleasedLock& unlocked_;
  Ref& pending_;
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// The same for long work that keeps the lock: runs the signal handlers at
// most about every 100 ms; a raised exception stays set for the caller.
class LockedSignalPoll {
 public:
  bool operator()() {
    auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(100)) return false;
    last_ = now;
    return PyErr_CheckSignals() != 0;
  }

 private:
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyCFunction as_cfunction(FastMethod method) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(method));
}

// ---- Constructor, loading and saving ---------------------------------------

const Signature kNewSignature{"QormTokenizer.__new__()",
                              {{"corpus", true},
                               {"vocab_size", false},
                               {"context_weight", false},
                               {"verbose", false},
                               {"show_progress", false},
                               {"special_tokens", false},
                               {"check_quality", false}}};

PyObject* tokenizer_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[kMaxParameters];
    if (!bind_tuple(kNewSignature, args, kwargs, slots)) return nullptr;
    MergeOptions options;
    double context_weight = 0.3;
    bool check = true;
    std::vector<std::string> special_names;
    if (slots[1] && !convert_size(slots[1], "vocab_size", &options.target_vocab_size))
      return nullptr;
    if (slots[2] && !convert_real(slots[2], "context_weight", &context_weight)) return nullptr;
    if (slots[3] && !convert_flag(slots[3], "verbose", &options.verbose)) return nullptr;
    if (slots[4] && !convert_flag(slots[4], "show_progress", &options.show_progress))
      return nullptr;
    if (slots[5] && !convert_names(slots[5], "special_tokens", &special_names)) return nullptr;
    if (slots[6] && !convert_flag(slots[6], "check_quality", &check)) return nullptr;
    TextBytes corpus;
    if (!convert_text(slots[0], "corpus must be str or bytes", &corpus)) return nullptr;

    Ref pending;  // destroyed after the lock is back
    Result<Encoder> built = [&]() -> Result<Encoder> {
      ReleasedLock unlocked;
      if (check) {
        std::string report = format_quality_report(check_quality(corpus.view));
        if (!report.empty()) TARVIK_TRY(write_stderr(report));
      }
      SignalPoll poll(unlocked, pending);
      Result<Vocab> trained = train(corpus.view, options, write_stderr, std::ref(poll));
      if (!trained.ok()) return std::move(trained).error();
      Vocab vocab = std::move(trained).value();
      for (const auto& name : special_names) TARVIK_TRY(vocab.add_special_token(name));
      return Encoder::build(std::move(vocab), context_weight);
    }();
    if (!built.ok()) {
      if (pending) set_raised_exception(pending.release());
      return raise_error(built.error());
    }
    return new_instance(std::move(built).value());
  });
}

const Signature kFromFileSignature{"QormTokenizer.from_file()",
                                   {{"path", true}, {"context_weight", false}}};

PyObject* tokenizer_from_file(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[kMaxParameters];
    if (!bind_fastcall(kFromFileSignature, args, nargs, kwnames, slots)) return nullptr;
    std::string path;
    double context_weight = 0.3;
    if (!convert_name(slots[0], "path", &path)) return nullptr;
    if (slots[1] && !convert_real(slots[1], "context_weight", &context_weight)) return nullptr;
    Result<ModelDocument> loaded = load_model(path);
    if (!loaded.ok()) return raise_error(loaded.error(), "Failed to load model: ");
    Result<Encoder> built = Encoder::build(std::move(loaded->vocab), context_weight);
    if (!built.ok()) return raise_error(built.error());
    return new_instance(std::move(built).value());
  });
}

const Signature kSaveSignature{"QormTokenizer.save()", {{"path", true}}};

PyObject* tokenizer_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[kMaxParameters];
    if (!bind_fastcall(kSaveSignature, args, nargs, kwnames, slots)) return nullptr;
    Hold hold;
    if (!hold.acquire(self, Hold::kShared)) return nullptr;
    std::string path;
    if (!convert_name(slots[0], "path", &path)) return nullptr;
    Status saved = save_model(state_of(self).encoder.vocab(), {}, path);
    if (!saved.ok()) return raise_error(saved.error(), "Failed to save model: ");
    Py_RETURN_NONE;
  });
}

// ---- Filters -----------------------------------------------------------------

const Signature kAddFilterSignature{"QormTokenizer.add_filter()", {{"name", true}}};

PyObject* tokenizer_add_filter(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[kMaxParameters];
    if (!bind_fastcall(kAddFilterSignature, args, nargs, kwnames, slots)) return nullptr;
    Hold hold;
    if (!hold.acquire(self, Hold::kExclusive)) return nullptr;
    std::string name;
    if (!convert_name(slots[0], "name", &name)) return nullptr;
    auto filter = filter_from_name(name);
    if (!filter) {
      return raise_message(
          PyExc_ValueError,
          "Unknown filter: '" + name +
              "'. Available: lowercase, normalize_whitespace, strip_non_printable");
    }
    state_of(self).filters.push_back(*filter);
    Py_RETURN_NONE;
  });
}

PyObject* tokenizer_active_filters(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Hold hold;
    if (!hold.acquire(self, Hold::kShared)) return nullptr;
    const auto& filters = state_of(self).filters;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(filters.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < filters.size(); ++i) {
      std::string_view name = filter_name(filters[i]);
      PyObject* item =
          PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

// ---- Special tokens ------------------------------------------------------------

const Signature kAddSpecialSignature{"QormTokenizer.add_special_token()", {{"name", true}}};

PyObject* tokenizer_add_special_token(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[kMaxParameters];
    if (!bind_fastcall(kAddSpecialSignature, args, nargs, kwnames, slots)) return nullptr;
    Hold hold;
    if (!hold.acquire(self, Hold::kExclusive)) return nullptr;
    std::string name;
    if (!convert_name(slots[0], "name", &name)) return nullptr;
    Result<TokenId> id = state_of(self).encoder.vocab_mut().add_special_token(name);
    if (!id.ok()) return raise_error(id.error());
    return PyLong_FromUnsignedLong(*id);
  });
}

const Signature kGetSpecialSignature{"QormTokenizer.get_special_token_id()", {{"name", true}}};

PyObject* tokenizer_get_special_token_id(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[kMaxParameters];
    if (!bind_fastcall(kGetSpecialSignature, args, nargs, kwnames, slots)) return nullptr;
    Hold hold;
    if (!hold.acquire(self, Hold::kShared)) return nullptr;
    std::string name;
    if (!convert_name(slots[0], "name", &name)) return nullptr;
    auto id = state_of(self).encoder.vocab().find_special(name);
    if (!id) Py_RETURN_NONE;
    return PyLong_FromUnsignedLong(*id);
  });
}

PyObject* tokenizer_special_tokens(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Hold hold;
    if (!hold.acquire(self, Hold::kShared)) return nullptr;
    const auto& specials = state_of(self).encoder.vocab().special_tokens;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(specials.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < specials.size(); ++i) {
      Ref name = Ref::steal(lossy_str(specials[i].name));
      if (!name) return nullptr;
      PyObject* pair =
          Py_BuildValue("(Ok)", name.get(), static_cast<unsigned long>(specials[i].id));
      if (pair == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
  });
}

// ---- Pruning and the quality check ---------------------------------------------

const Signature kPruneSignature{"QormTokenizer.prune_vocab()",
                                {{"target_size", true}, {"corpus", true}}};

PyObject* tokenizer_prune_vocab(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[kMaxParameters];
    if (!bind_fastcall(kPruneSignature, args, nargs, kwnames, slots)) return nullptr;
    Hold hold;
    if (!hold.acquire(self, Hold::kExclusive)) return nullptr;
    std::uint64_t target = 0;
    if (!convert_size(slots[0], "target_size", &target)) return nullptr;
    TextBytes corpus;
    if (!convert_text(slots[1], "corpus must be str or bytes", &corpus)) return nullptr;

    TokenizerState& state = state_of(self);
    const Vocab& vocab = state.encoder.vocab();
    std::uint64_t old_size = vocab.vocab_size;
    LockedSignalPoll poll;
    Result<TokenIds> usage = state.encoder.encode_greedy(corpus.view, std::ref(poll));
    if (!usage.ok()) return raise_error(usage.error());
    Result<Vocab> pruned = prune_vocab(vocab, target, usage.value());
    if (!pruned.ok()) return raise_error(pruned.error());
    Result<Encoder> rebuilt =
        Encoder::build(std::move(pruned).value(), state.encoder.context_weight());
    if (!rebuilt.ok()) return raise_error(rebuilt.error());
    Status printed = write_stderr("Pruned vocab: " + std::to_string(old_size) + " -> " +
                                  std::to_string(rebuilt->vocab().vocab_size) + " tokens\n");
    if (!printed.ok()) return raise_error(printed.error());
    state.encoder = std::move(rebuilt).value();
    Py_RETURN_NONE;
  });
}

const Signature kCheckQualitySignature{"QormTokenizer.check_quality()", {{"corpus", true}}};

PyObject* tokenizer_check_quality(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[kMaxParameters];
    if (!bind_fastcall(kCheckQualitySignature, args, nargs, kwnames, slots)) return nullptr;
    TextBytes corpus;
    if (!convert_text(slots[0], "corpus must be str or bytes", &corpus)) return nullptr;
    QualityReport report = check_quality(corpus.view);

    Ref warnings = Ref::steal(PyList_New(static_cast<Py_ssize_t>(report.warnings.size())));
    if (!warnings) return nullptr;
    for (std::size_t i = 0; i < report.warnings.size(); ++i) {
      PyObject* text = lossy_str(report.warnings[i]);
      if (text == nullptr) return nullptr;
      PyList_SET_ITEM(warnings.get(), static_cast<Py_ssize_t>(i), text);
    }
    return Py_BuildValue("{s:d,s:K,s:K,s:d,s:d,s:K,s:K,s:O}", "quality_score", report.quality_score,
                         "total_bytes", static_cast<unsigned long long>(report.total_bytes),
                         "unique_bytes", static_cast<unsigned long long>(report.unique_bytes),
                         "byte_entropy", report.byte_entropy, "avg_word_len", report.avg_word_len,
                         "unique_words", static_cast<unsigned long long>(report.unique_words),
                         "total_words", static_cast<unsigned long long>(report.total_words),
                         "warnings", warnings.get());
  });
}

// ---- Encoding ----------------------------------------------------------------------

enum class EncodeMethod { kEncode, kEncodeDense, kEncodeWithOffsets };

const Signature kEncodeSignature{"QormTokenizer.encode()", {{"text", true}, {"greedy", false}}};
const Signature kEncodeDenseSignature{"QormTokenizer.encode_dense()", {{"text", true}}};
const Signature kEncodeOffsetsSignature{"QormTokenizer.encode_with_offsets()",
                                        {{"text", true}, {"greedy", false}}};

// The three encode methods: bind, hold the instance shared, convert, filter
// with the lock held, encode (and measure offsets) with it released, then
// build the result with it held again.
PyObject* encode_method(EncodeMethod method, PyObject* self, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames) {
  const bool dense = method == EncodeMethod::kEncodeDense;
  const bool with_offsets = method == EncodeMethod::kEncodeWithOffsets;
  const Signature& signature = dense          ? kEncodeDenseSignature
                               : with_offsets ? kEncodeOffsetsSignature
                                              : kEncodeSignature;
  PyObject* slots[kMaxParameters];
  if (!bind_fastcall(signature, args, nargs, kwnames, slots)) return nullptr;
  Hold hold;
  if (!hold.acquire(self, Hold::kShared)) return nullptr;
  bool greedy = false;
  if (!dense && slots[1] && !convert_flag(slots[1], "greedy", &greedy)) return nullptr;
  TextBytes text;
  if (!convert_text(slots[0], "text must be str or bytes", &text)) return nullptr;
  const TokenizerState& state = state_of(self);
  apply_active_filters(state, text);

  TokenIds ids;
  Offsets offsets;
  Ref pending;  // destroyed after the lock is back
  Status status = [&]() -> Status {
    ReleasedLock unlocked;
    SignalPoll poll(unlocked, pending);
    const CancelCheck cancel = std::ref(poll);
    const Encoder& encoder = state.encoder;
    Result<TokenIds> encoded = dense    ? encoder.encode_dense(text.view, cancel)
                               : greedy ? encoder.encode_greedy(text.view, cancel)
                                        : encoder.encode_parallel(text.view, cancel);
    if (!encoded.ok()) return std::move(encoded).error();
    ids = std::move(encoded).value();
    if (with_offsets) {
      Result<Offsets> spans = encoder.offsets(ids);
      if (!spans.ok()) return std::move(spans).error();
      offsets = std::move(spans).value();
    }
    return {};
  }();
  if (!status.ok()) {
    if (pending) set_raised_exception(pending.release());
    return raise_error(status.error());
  }

  Ref id_list = Ref::steal(ids_to_list(ids));
  if (!id_list || !with_offsets) return id_list.release();
  Ref offset_list = Ref::steal(offsets_to_list(offsets));
  if (!offset_list) return nullptr;
  return PyTuple_Pack(2, id_list.get(), offset_list.get());
}

PyObject* tokenizer_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&] { return encode_method(EncodeMethod::kEncode, self, args, nargs, kwnames); });
}

PyObject* tokenizer_encode_dense(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded(
      [&] { return encode_method(EncodeMethod::kEncodeDense, self, args, nargs, kwnames); });
}

PyObject* tokenizer_encode_with_offsets(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  return guarded(
      [&] { return encode_method(EncodeMethod::kEncodeWithOffsets, self, args, nargs, kwnames); });
}

// ---- Decoding and inspection ---------------------------------------------------------

// The text methods return lossy UTF-8 str, the bytes methods bytes.
PyObject* bytes_result(std::string_view bytes, bool as_str) {
  if (as_str) return lossy_str(bytes);
  return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

const Signature kDecodeSignature{"QormTokenizer.decode()", {{"token_ids", true}}};
const Signature kDecodeBytesSignature{"QormTokenizer.decode_bytes()", {{"token_ids", true}}};

// decode and decode_bytes: join the token bytes with the lock released.
PyObject* decode_method(bool as_str, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  PyObject* slots[kMaxParameters];
  const Signature& signature = as_str ? kDecodeSignature : kDecodeBytesSignature;
  if (!bind_fastcall(signature, args, nargs, kwnames, slots)) return nullptr;
  Hold hold;
  if (!hold.acquire(self, Hold::kShared)) return nullptr;
  std::vector<TokenId> ids;
  if (!convert_token_ids(slots[0], "token_ids", &ids)) return nullptr;
  const Vocab& vocab = state_of(self).encoder.vocab();
  Result<std::string> decoded = [&] {
    ReleasedLock unlocked;
    return vocab.decode(ids);
  }();
  if (!decoded.ok()) return raise_error(decoded.error());
  return bytes_result(decoded.value(), as_str);
}

PyObject* tokenizer_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&] { return decode_method(true, self, args, nargs, kwnames); });
}

PyObject* tokenizer_decode_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded([&] { return decode_method(false, self, args, nargs, kwnames); });
}

const Signature kIdToTokenSignature{"QormTokenizer.id_to_token()", {{"token_id", true}}};
const Signature kIdToBytesSignature{"QormTokenizer.id_to_bytes()", {{"token_id", true}}};

// id_to_token and id_to_bytes: one token's bytes; ValueError when out of range.
PyObject* token_method(bool as_str, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  PyObject* slots[kMaxParameters];
  const Signature& signature = as_str ? kIdToTokenSignature : kIdToBytesSignature;
  if (!bind_fastcall(signature, args, nargs, kwnames, slots)) return nullptr;
  Hold hold;
  if (!hold.acquire(self, Hold::kShared)) return nullptr;
  TokenId id = 0;
  if (!convert_token_id(slots[0], "token_id", &id)) return nullptr;
  const Vocab& vocab = state_of(self).encoder.vocab();
  if (id >= vocab.tokens.size()) {
    return raise_message(PyExc_ValueError, "token_id " + std::to_string(id) +
                                               " out of range (vocab size " +
                                               std::to_string(vocab.vocab_size) + ")");
  }
  return bytes_result(vocab.tokens[id].bytes, as_str);
}

PyObject* tokenizer_id_to_token(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guarded([&] { return token_method(true, self, args, nargs, kwnames); });
}

PyObject* tokenizer_id_to_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guarded([&] { return token_method(false, self, args, nargs, kwnames); });
}

// ---- Properties and slots ------------------------------------------------------------

PyObject* tokenizer_vocab_size(PyObject* self, void*) {
  Hold hold;
  if (!hold.acquire(self, Hold::kShared)) return nullptr;
  return PyLong_FromUnsignedLongLong(state_of(self).encoder.vocab().vocab_size);
}

PyObject* tokenizer_is_lossless(PyObject* self, void*) {
  Hold hold;
  if (!hold.acquire(self, Hold::kShared)) return nullptr;
  Py_RETURN_TRUE;
}

Py_ssize_t tokenizer_len(PyObject* self) {
  Hold hold;
  if (!hold.acquire(self, Hold::kShared)) return -1;
  std::uint64_t size = state_of(self).encoder.vocab().vocab_size;
  if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetString(PyExc_OverflowError, "vocabulary size does not fit in a Py_ssize_t");
    return -1;
  }
  return static_cast<Py_ssize_t>(size);
}

PyObject* tokenizer_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    Hold hold;
    if (!hold.acquire(self, Hold::kShared)) return nullptr;
    const TokenizerState& state = state_of(self);
    std::string filters = "none";
    if (!state.filters.empty()) {
      filters = "[";
      for (std::size_t i = 0; i < state.filters.size(); ++i) {
        if (i > 0) filters += ", ";
        filters += "\"";
        filters += filter_name(state.filters[i]);
        filters += "\"";
      }
      filters += "]";
    }
    std::string text =
        "QormTokenizer(vocab_size=" + std::to_string(state.encoder.vocab().vocab_size) +
        ", lossless=True, filters=" + filters + ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

// ---- The type --------------------------------------------------------------------------

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"from_file", as_cfunction(tokenizer_from_file), kFast | METH_STATIC,
     "from_file(path, context_weight=0.3)\n--\n\nLoad a pre-trained model from a JSON file."},
    {"save", as_cfunction(tokenizer_save), kFast,
     "save($self, path)\n--\n\nSave the trained model to a JSON file."},
    {"add_filter", as_cfunction(tokenizer_add_filter), kFast,
     "add_filter($self, name)\n--\n\nAdd a pre-tokenization filter by name.\n"
     "Available: \"lowercase\", \"normalize_whitespace\", \"strip_non_printable\""},
    {"active_filters", tokenizer_active_filters, METH_NOARGS,
     "active_filters($self)\n--\n\nGet list of active filter names."},
    {"add_special_token", as_cfunction(tokenizer_add_special_token), kFast,
     "add_special_token($self, name)\n--\n\nAdd a special token. Returns its ID."},
    {"get_special_token_id", as_cfunction(tokenizer_get_special_token_id), kFast,
     "get_special_token_id($self, name)\n--\n\nGet special token ID by name, or None."},
    {"special_tokens", tokenizer_special_tokens, METH_NOARGS,
     "special_tokens($self)\n--\n\nList all special tokens as list of (name, id) tuples."},
    {"prune_vocab", as_cfunction(tokenizer_prune_vocab), kFast,
     "prune_vocab($self, target_size, corpus)\n--\n\n"
     "Prune vocabulary to target size, keeping most frequent tokens.\n"
     "Base byte tokens (0-255) and special tokens are always kept."},
    {"check_quality", as_cfunction(tokenizer_check_quality), kFast | METH_STATIC,
     "check_quality(corpus)\n--\n\nCheck dataset quality. Returns dict with score and warnings."},
    {"encode", as_cfunction(tokenizer_encode), kFast,
     "encode($self, text, greedy=False)\n--\n\nEncode text into token IDs."},
    {"encode_dense", as_cfunction(tokenizer_encode_dense), kFast,
     "encode_dense($self, text)\n--\n\n"
     "Encode text using density-optimal DP (minimizes token count)."},
    {"encode_with_offsets", as_cfunction(tokenizer_encode_with_offsets), kFast,
     "encode_with_offsets($self, text, greedy=False)\n--\n\n"
     "Encode text and return token IDs along with byte offsets."},
    {"decode_bytes", as_cfunction(tokenizer_decode_bytes), kFast,
     "decode_bytes($self, token_ids)\n--\n\nDecode token IDs back to bytes."},
    {"decode", as_cfunction(tokenizer_decode), kFast,
     "decode($self, token_ids)\n--\n\nDecode token IDs back to a UTF-8 string."},
    {"id_to_bytes", as_cfunction(tokenizer_id_to_bytes), kFast,
     "id_to_bytes($self, token_id)\n--\n\nGet the byte representation of a token."},
    {"id_to_token", as_cfunction(tokenizer_id_to_token), kFast,
     "id_to_token($self, token_id)\n--\n\n"
     "Get the string representation of a token (lossy UTF-8)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"vocab_size", tokenizer_vocab_size, nullptr, "Get the vocabulary size.", nullptr},
    {"is_lossless", tokenizer_is_lossless, nullptr,
     "Check if this tokenizer is lossless (always True for Qorm).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kClassDoc[] =
    "QormTokenizer(corpus, vocab_size=8192, context_weight=0.3, verbose=False, "
    "show_progress=True, special_tokens=None, check_quality=True)\n--\n\n"
    "Python-facing Qorm tokenizer.\n"
    "Train from a corpus or load a pre-trained model, then encode/decode.";

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tokenizer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tokenizer_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(tokenizer_repr)},
    {Py_mp_length, reinterpret_cast<void*>(tokenizer_len)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kProperties},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.QormTokenizer",
    static_cast<int>(sizeof(TokenizerObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace

PyTypeObject* tokenizer_type() {
  if (g_type != nullptr) return g_type;
  PyObject* type = PyType_FromSpec(&kSpec);
  if (type == nullptr) {
    PyErr_Print();
    raise_internal_fault("failed to create type object for QormTokenizer");
    return nullptr;
  }
  g_type = reinterpret_cast<PyTypeObject*>(type);  // kept for the life of the process
  return g_type;
}

}  // namespace tarvik::py
