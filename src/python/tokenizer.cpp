// The QormTokenizer type: argument binding, the interpreter lock and the
// shared/exclusive hold around calls into the core Tokenizer.
#include "python/tokenizer.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "python/arguments.h"
#include "python/batch.h"
#include "python/errors.h"
#include "python/guards.h"
#include "python/heap_type.h"
#include "python/results.h"
#include "tarvik/tokenizer.h"

namespace tarvik::py {
namespace {

// ---- Instance state and the shared/exclusive hold ---------------------------

struct TokenizerState {
  Tokenizer tokenizer;
  // 0 when free, the number of shared holders, or -1 for one exclusive holder.
  // Read and written only with the interpreter lock held.
  int holds = 0;
};

using TokenizerObject = ObjectWith<TokenizerState>;

PyTypeObject* g_type = nullptr;

TokenizerState& state_of(PyObject* self) {
  return TokenizerObject::of(self);
}

Tokenizer& tokenizer_of(PyObject* self) {
  return state_of(self).tokenizer;
}

// kByBody: an instance method whose body takes its hold itself, so that the
// hold can end before the call does.
enum class Use { kNone, kShared, kExclusive, kByBody };

// Shared or exclusive use of one instance for the duration of a call. Must be
// destroyed with the interpreter lock held.
class Hold {
 public:
  bool acquire(PyObject* self, Use use) {
    if (use == Use::kNone || use == Use::kByBody) return true;
    TokenizerState& state = state_of(self);
    if (use == Use::kExclusive) {
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
    use_ = use;
    return true;
  }

  Hold() = default;
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;
  ~Hold() { release(); }

  // Ends the hold before the destructor would.
  void release() {
    if (state_ != nullptr) state_->holds = use_ == Use::kExclusive ? 0 : state_->holds - 1;
    state_ = nullptr;
  }

 private:
  TokenizerState* state_ = nullptr;
  Use use_ = Use::kShared;
};

PyObject* new_instance(Tokenizer tokenizer) {
  PyObject* self = g_type->tp_alloc(g_type, 0);
  if (self == nullptr) return nullptr;
  new (reinterpret_cast<TokenizerObject*>(self)->storage) TokenizerState{std::move(tokenizer), 0};
  return self;
}

// ---- One entry point shape for every method -------------------------------------

using Slots = PyObject* const*;
using Body = PyObject* (*)(PyObject* self, Slots slots);

// Binds the arguments to S, takes the instance for `use`, then runs the body.
template <const auto& S, Use use, Body body>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[kMaxParameters];
    if (!bind_fastcall(S, args, nargs, kwnames, slots)) return nullptr;
    Hold hold;
    if (!hold.acquire(self, use)) return nullptr;
    return body(self, slots);
  });
}

// The same for methods without arguments (Unused: PyObject*), property
// getters (void*) and slots (nothing).
template <Use use, Body body, class... Unused>
PyObject* no_arguments(PyObject* self, Unused...) {
  return guarded([&]() -> PyObject* {
    Hold hold;
    if (!hold.acquire(self, use)) return nullptr;
    return body(self, nullptr);
  });
}

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyCFunction as_cfunction(FastMethod method) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(method));
}

// None, or the error raised.
PyObject* none_or_raise(const Status& status) {
  if (!status.ok()) return raise_error(status.error());
  Py_RETURN_NONE;
}

PyObject* id_or_none(std::optional<TokenId> id) {
  if (!id) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(*id);
}

PyObject* str_list(const std::vector<std::string>& items) {
  return list_of(items, [](const std::string& item) { return lossy_str(item); });
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

// For file work done with the lock held: a signal's handler runs at once, and
// the exception it raises stops the work and reaches the caller.
bool handler_raised() {
  return PyErr_CheckSignals() != 0;
}

// For long work that keeps the lock: runs the signal handlers at most about
// every 100 ms; a raised exception stays set for the caller.
class LockedSignalPoll {
 public:
  bool operator()() {
    auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(100)) return false;
    last_ = now;
    return handler_raised();
  }

 private:
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// ---- Constructor, loading and saving ---------------------------------------

// The options of every way of training, after its first parameter, in
// parameter order; max_token_bytes only where the signature has it.
bool convert_train_options(Slots slots, TrainOptions* options) {
  if (!((!slots[1] || convert_size(slots[1], "vocab_size", &options->vocab_size)) &&
        (!slots[2] || convert_real(slots[2], "context_weight", &options->context_weight)) &&
        (!slots[3] || convert_flag(slots[3], "verbose", &options->verbose)) &&
        (!slots[4] || convert_flag(slots[4], "show_progress", &options->show_progress)) &&
        (!slots[5] || convert_names(slots[5], "special_tokens", &options->special_tokens)) &&
        (!slots[6] || convert_flag(slots[6], "check_quality", &options->check_quality)))) {
    return false;
  }
  if (slots[7] && slots[7] != Py_None) {
    std::uint64_t limit = 0;
    if (!convert_size(slots[7], "max_token_bytes", &limit)) return false;
    options->max_token_bytes = limit;
  }
  return true;
}

constexpr MethodSignature kNewSignature{
    "QormTokenizer.__new__()",
    {{"corpus", true}, {"vocab_size", false}, {"context_weight", false}, {"verbose", false},
     {"show_progress", false}, {"special_tokens", false}, {"check_quality", false}}};

PyObject* tokenizer_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[kMaxParameters] = {};  // no max_token_bytes here
    if (!bind_tuple(kNewSignature, args, kwargs, slots)) return nullptr;
    TrainOptions options;
    TextBytes corpus;
    // In parameter order after the corpus, which is converted last.
    if (!convert_train_options(slots, &options) ||
        !convert_text(slots[0], "corpus must be str or bytes", &corpus)) {
      return nullptr;
    }

    Ref pending;  // destroyed after the lock is back
    Result<Tokenizer> trained = [&] {
      ReleasedLock unlocked;
      SignalPoll poll(unlocked, pending);
      return Tokenizer::train(corpus.view, options, stderr_sink(), std::ref(poll));
    }();
    if (!trained.ok()) {
      if (pending) set_raised_exception(pending.release());
      return raise_error(trained.error());
    }
    return new_instance(std::move(trained).value());
  });
}

constexpr MethodSignature kFromFileSignature{
    "QormTokenizer.from_file()",
    {{"path", true}, {"context_weight", false}},
    "from_file(path, context_weight=0.3)\n--\n\nLoad a pre-trained model from a JSON file."};

PyObject* from_file_body(PyObject*, Slots slots) {
  std::string path;
  double context_weight = kDefaultContextWeight;
  if (!convert_path(slots[0], "path", &path)) return nullptr;
  if (slots[1] && !convert_real(slots[1], "context_weight", &context_weight)) return nullptr;
  Result<Tokenizer> loaded = Tokenizer::load(path, context_weight, handler_raised);
  if (!loaded.ok()) return raise_error(loaded.error(), "Failed to load model: ");
  return new_instance(std::move(loaded).value());
}

constexpr MethodSignature kSaveSignature{
    "QormTokenizer.save()",
    {{"path", true}},
    "save($self, path)\n--\n\nSave the trained model to a JSON file."};

PyObject* save_body(PyObject* self, Slots slots) {
  std::string path;
  if (!convert_path(slots[0], "path", &path)) return nullptr;
  Status saved = tokenizer_of(self).save(path, handler_raised);
  if (!saved.ok()) return raise_error(saved.error(), "Failed to save model: ");
  Py_RETURN_NONE;
}

// ---- Training at dataset scale ---------------------------------------------------

// A core error, with a file error raised as the OSError subclass of its errno
// (FileNotFoundError, IsADirectoryError, PermissionError, ...) naming the path.
PyObject* raise_core_error(const Error& error) {
  if (error.kind == ErrorKind::kIo && error.os_error != 0) {
    Ref filename = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(
        error.path.data(), static_cast<Py_ssize_t>(error.path.size())));
    if (!filename) return nullptr;
    errno = error.os_error;
    return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.get());
  }
  return raise_error(error);
}

// Runs `work(poll, meanwhile)` with the lock released and signals polled; a
// signal handler's exception, or the core's error, is raised when it fails.
// `beside` (Python work, false with an error raised), when set, runs as the
// core's `meanwhile` with the lock held again, so that it overlaps the pool's
// work, or after the call when the core never asked for it. A failed
// beside() stops the call at its next poll, and its error is the one raised
// unless the core failed on its own; so errors come as they would one step
// after the other, the core's on this window before beside()'s on the next.
// *beside_ok: beside() ran and succeeded.
template <class Work>
auto run_unlocked_beside(Work&& work, const std::function<bool()>& beside, bool* beside_ok) {
  bool called = false;
  Ref raised;   // beside()'s error, parked while the lock is released
  Ref pending;  // a signal handler's
  auto result = [&] {
    ReleasedLock unlocked;
    SignalPoll poll(unlocked, pending);
    // Asked on this thread only, as is `meanwhile`.
    const CancelCheck stop = [&] { return static_cast<bool>(raised) || poll(); };
    std::function<void()> meanwhile;
    if (beside) {
      meanwhile = [&] {
        unlocked.with_lock([&] {
          called = true;
          if (!beside()) raised = Ref::steal(fetch_raised_exception());
        });
      };
    }
    return work(stop, meanwhile);
  }();
  *beside_ok = false;
  if (!result.ok()) {
    const bool stopped_by_beside =
        raised && !pending && result.error().kind == ErrorKind::kInterrupted;
    if (stopped_by_beside) {
      set_raised_exception(raised.release());
    } else {
      if (pending) set_raised_exception(pending.release());
      raise_core_error(result.error());
    }
  } else if (raised) {
    set_raised_exception(raised.release());
  } else {
    *beside_ok = called || !beside || beside();
  }
  return result;
}

// Runs `work(poll)` with the lock released and signals polled; a signal
// handler's exception, or the core's error, is raised when it fails.
template <class Work>
auto run_unlocked(Work&& work) {
  bool no_beside = false;
  return run_unlocked_beside(
      [&](const CancelCheck& poll, const std::function<void()>&) { return work(poll); }, {},
      &no_beside);
}

// One path: str, bytes or os.PathLike, in the file system's encoding.
bool path_item(PyObject* object, std::string* out) {
  Ref path = Ref::steal(PyOS_FSPath(object));
  if (!path) return false;
  Ref encoded = PyBytes_Check(path.get()) ? std::move(path)
                                          : Ref::steal(PyUnicode_EncodeFSDefault(path.get()));
  if (!encoded) return false;
  out->assign(PyBytes_AS_STRING(encoded.get()),
              static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  return true;
}

bool is_single_path(PyObject* object) {
  return PyUnicode_Check(object) || PyBytes_Check(object) ||
         PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__fspath__");
}

// An iterator over the argument `name`, or nothing with the TypeError
// "argument '{name}': expected {expected}, not '{type}'".
Ref iterate_argument(PyObject* object, const char* name, const char* expected) {
  Ref iterator = Ref::steal(PyObject_GetIter(object));
  if (iterator) return iterator;
  PyErr_Clear();
  Ref qualname = Ref::steal(type_qualname(Py_TYPE(object)));
  if (qualname) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, not '%U'", name, expected,
                 qualname.get());
  }
  return Ref();
}

// One path or an iterable of them; a bad item is named by its position.
bool convert_paths(PyObject* object, std::vector<std::string>* out) {
  if (is_single_path(object)) {
    out->emplace_back();
    return path_item(object, &out->back());
  }
  Ref iterator = iterate_argument(object, "paths", "a path or an iterable of paths");
  if (!iterator) return false;
  Py_ssize_t index = 0;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    if (!is_single_path(item.get())) {
      PyErr_Format(PyExc_TypeError, "paths[%zd]: path must be str or os.PathLike", index);
      return false;
    }
    out->emplace_back();
    if (!path_item(item.get(), &out->back())) return false;
    ++index;
  }
  return !PyErr_Occurred();
}

// Hands one text to the counter: str as UTF-8, a bytes-like object of
// one-byte items as its bytes (copied by the counter), or a sequence of ints
// 0-255. An array of wider items is read by value, as encode() and the
// constructor read it, not as its memory; so is anything that is not one
// contiguous row of bytes (a 2-D array or a scalar is refused there, as
// every other method refuses it).
bool add_text_item(TextCounter& counter, PyObject* item, const std::string& message) {
  if (!PyUnicode_Check(item) && PyObject_CheckBuffer(item)) {
    Py_buffer view;
    if (PyObject_GetBuffer(item, &view, PyBUF_FORMAT | PyBUF_ND) == 0) {
      // Only unsigned bytes are their own values; other one-byte formats
      // (int8, bool, char) are read item by item like everywhere else.
      const char* format = view.format != nullptr ? view.format : "B";
      if (std::strchr("@=<>!", *format) != nullptr) ++format;
      const bool bytes = view.ndim == 1 && view.itemsize == 1 && std::strcmp(format, "B") == 0;
      if (bytes) {
        counter.add(std::string_view(static_cast<const char*>(view.buf),
                                     static_cast<std::size_t>(view.len)));
      }
      PyBuffer_Release(&view);
      if (bytes) return true;
    } else {
      PyErr_Clear();
    }
  }
  TextBytes text;
  if (!convert_text(item, message.c_str(), &text)) return false;
  counter.add(text.view);
  return true;
}

// str and every bytes-like object but those of two or more dimensions (an
// array of rows is an iterable of texts) are one text.
bool is_single_text(PyObject* object) {
  if (PyUnicode_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object) ||
      PyMemoryView_Check(object)) {
    return true;
  }
  if (!PyObject_CheckBuffer(object)) return false;
  Py_buffer view;
  if (PyObject_GetBuffer(object, &view, PyBUF_FULL_RO) != 0) {
    PyErr_Clear();
    return false;
  }
  const bool one_row = view.ndim <= 1;
  PyBuffer_Release(&view);
  return one_row;
}

// Feeds one text, or every item of an iterable as it arrives, counting each
// full batch on the worker pool with the lock released.
bool feed_texts(TextCounter& counter, PyObject* texts) {
  if (is_single_text(texts)) return add_text_item(counter, texts, "text must be str or bytes");
  Ref iterator = iterate_argument(texts, "texts", "a text or an iterable of texts");
  if (!iterator) return false;
  Py_ssize_t index = 0;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    if (!add_text_item(counter, item.get(),
                       "texts[" + std::to_string(index) + "]: text must be str or bytes")) {
      return false;
    }
    ++index;
    if (counter.full()) {
      if (!run_unlocked([&](const CancelCheck& poll) { return counter.count(poll); }).ok()) {
        return false;
      }
    } else if (index % 1024 == 0 && PyErr_CheckSignals() != 0) {
      // A list of short texts runs no Python code that would notice Ctrl-C.
      return false;
    }
  }
  return !PyErr_Occurred();
}

// The ways of training share their options: the signature and the text
// signature of each, from its name, first parameter and summary.
#define TARVIK_TRAIN_METHOD(Name, method, first, summary)                       \
  constexpr MethodSignature k##Name##Signature{                                 \
      "QormTokenizer." method "()",                                             \
      {{first, true},                                                           \
       {"vocab_size", false},                                                   \
       {"context_weight", false},                                               \
       {"verbose", false},                                                      \
       {"show_progress", false},                                                \
       {"special_tokens", false},                                               \
       {"check_quality", false},                                                \
       {"max_token_bytes", false, true}},                                       \
      method "(" first                                                          \
             ", vocab_size=8192, context_weight=0.3, verbose=False, "           \
             "show_progress=True, special_tokens=None, check_quality=True, *, " \
             "max_token_bytes=None)\n--\n\n" summary};

TARVIK_TRAIN_METHOD(TrainFromFiles, "train_from_files", "paths",
                    "Train a new tokenizer on text files (one path or an iterable of paths).\n"
                    "Each file is its own text, read in blocks and counted on all cores.")
TARVIK_TRAIN_METHOD(TrainFromIterator, "train_from_iterator", "texts",
                    "Train a new tokenizer on an iterable of str or bytes, each item its own "
                    "text,\nconsumed once as it arrives.")
TARVIK_TRAIN_METHOD(TrainFromCounts, "train_from_counts", "blob",
                    "Train a new tokenizer on a count blob from count_chunks or "
                    "merge_chunk_counts.")
#undef TARVIK_TRAIN_METHOD

constexpr MethodSignature kCountChunksSignature{
    "QormTokenizer.count_chunks()",
    {{"texts", true}},
    "count_chunks(texts)\n--\n\n"
    "Count the chunks of one text or an iterable of texts into a blob of bytes\n"
    "that merge_chunk_counts sums and train_from_counts trains on."};
constexpr MethodSignature kMergeChunkCountsSignature{
    "QormTokenizer.merge_chunk_counts()",
    {{"blobs", true}},
    "merge_chunk_counts(blobs)\n--\n\n"
    "Sum count blobs into one; any order and grouping gives the same bytes."};

PyObject* trained_instance(Result<Tokenizer> trained) {
  if (!trained.ok()) return nullptr;  // raised by run_unlocked
  return new_instance(std::move(trained).value());
}

PyObject* train_from_files_body(PyObject*, Slots slots) {
  TrainOptions options;
  std::vector<std::string> paths;
  if (!convert_train_options(slots, &options) || !convert_paths(slots[0], &paths)) return nullptr;
  return trained_instance(run_unlocked([&](const CancelCheck& poll) {
    return Tokenizer::train_from_files(paths, options, stderr_sink(), poll);
  }));
}

PyObject* train_from_iterator_body(PyObject*, Slots slots) {
  TrainOptions options;
  if (!convert_train_options(slots, &options)) return nullptr;
  TextCounter counter(options.show_progress ? stderr_sink() : ConsoleSink{});
  if (!feed_texts(counter, slots[0])) return nullptr;
  return trained_instance(run_unlocked([&](const CancelCheck& poll) {
    return Tokenizer::train_from_texts(counter, options, stderr_sink(), poll);
  }));
}

PyObject* count_chunks_body(PyObject*, Slots slots) {
  TextCounter counter;
  if (!feed_texts(counter, slots[0])) return nullptr;
  Result<std::string> blob =
      run_unlocked([&](const CancelCheck& poll) { return Tokenizer::count_chunks(counter, poll); });
  if (!blob.ok()) return nullptr;
  return PyBytes_FromStringAndSize(blob->data(), static_cast<Py_ssize_t>(blob->size()));
}

// The bytes of a bytes-like object, copied (a bytearray may change while the
// lock is released).
bool blob_bytes(PyObject* object, const std::string& message, std::string* out) {
  Py_buffer view;
  if (PyUnicode_Check(object) || PyObject_GetBuffer(object, &view, PyBUF_SIMPLE) != 0) {
    PyErr_Clear();
    raise_message(PyExc_TypeError, message);
    return false;
  }
  out->assign(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
  PyBuffer_Release(&view);
  return true;
}

PyObject* merge_chunk_counts_body(PyObject*, Slots slots) {
  // A blob is itself an iterable (of ints), which is never what is meant.
  if (PyBytes_Check(slots[0]) || PyByteArray_Check(slots[0]) || PyMemoryView_Check(slots[0])) {
    PyErr_SetString(PyExc_TypeError, "blobs must be an iterable of blobs, not a single blob");
    return nullptr;
  }
  std::vector<std::string> blobs;
  Ref iterator = Ref::steal(PyObject_GetIter(slots[0]));
  if (!iterator) return nullptr;
  Py_ssize_t index = 0;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    blobs.emplace_back();
    if (!blob_bytes(item.get(), "blobs[" + std::to_string(index) + "]: blob must be bytes-like",
                    &blobs.back())) {
      return nullptr;
    }
    ++index;
  }
  if (PyErr_Occurred()) return nullptr;
  const std::vector<std::string_view> views(blobs.begin(), blobs.end());
  Result<std::string> merged = run_unlocked(
      [&](const CancelCheck& poll) { return Tokenizer::merge_chunk_counts(views, poll); });
  if (!merged.ok()) return nullptr;  // raised by run_unlocked
  return PyBytes_FromStringAndSize(merged->data(), static_cast<Py_ssize_t>(merged->size()));
}

PyObject* train_from_counts_body(PyObject*, Slots slots) {
  TrainOptions options;
  std::string blob;
  if (!convert_train_options(slots, &options) ||
      !blob_bytes(slots[0], "blob must be bytes-like", &blob)) {
    return nullptr;
  }
  return trained_instance(run_unlocked([&](const CancelCheck& poll) {
    return Tokenizer::train_from_counts(blob, options, stderr_sink(), poll);
  }));
}

constexpr MethodSignature kFromBytesSignature{
    "QormTokenizer.from_bytes()",
    {{"data", true}, {"context_weight", false}},
    "from_bytes(data, context_weight=0.3)\n--\n\n"
    "Load a model from a document made by to_bytes (or read from a saved file)."};

PyObject* from_bytes_body(PyObject*, Slots slots) {
  TextBytes data;
  double context_weight = kDefaultContextWeight;
  if (!convert_text(slots[0], "data must be str or bytes", &data)) return nullptr;
  if (slots[1] && !convert_real(slots[1], "context_weight", &context_weight)) return nullptr;
  Result<Tokenizer> parsed = Tokenizer::from_document(data.view, context_weight);
  if (!parsed.ok()) {
    // The document came from memory, so what the reader rejects is a bad value.
    const Error& error = parsed.error();
    if (error.kind != ErrorKind::kIo) return raise_error(error);
    return raise_message(PyExc_ValueError, "Failed to load model: " + error.message);
  }
  return new_instance(std::move(parsed).value());
}

constexpr char kToBytesDoc[] =
    "to_bytes($self)\n--\n\nThe model document as bytes, exactly as save writes it.";

PyObject* to_bytes_body(PyObject* self, Slots) {
  Ref bytes;
  // The callback cannot fail: a failed PyBytes leaves its MemoryError set.
  (void)tokenizer_of(self).write_document([&](std::string_view document) {
    bytes = Ref::steal(
        PyBytes_FromStringAndSize(document.data(), static_cast<Py_ssize_t>(document.size())));
    return Status{};
  });
  return bytes.release();
}

constexpr char kReduceDoc[] =
    "__reduce__($self)\n--\n\nPickle support: rebuilt by from_bytes with the same context_weight.";

// Pickling rebuilds through from_bytes. The payload depends only on the model
// (the document's bigrams are sorted) and the weight, so equal tokenizers
// pickle to equal bytes, which caches that hash pickles rely on.
PyObject* reduce_body(PyObject* self, Slots) {
  Ref rebuild = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(g_type), "from_bytes"));
  if (!rebuild) return nullptr;
  Ref document = Ref::steal(to_bytes_body(self, nullptr));
  if (!document) return nullptr;
  return Py_BuildValue("(O(Od))", rebuild.get(), document.get(),
                       tokenizer_of(self).context_weight());
}

constexpr char kCopyDoc[] =
    "__copy__($self)\n--\n\nAn independent copy (the trained model is shared, read-only).";

// copy.copy and copy.deepcopy: the core's copy shares the immutable model and
// is otherwise independent, so a shallow copy is already a deep one.
PyObject* copy_body(PyObject* self, Slots) {
  return new_instance(Tokenizer(tokenizer_of(self)));
}

constexpr MethodSignature kDeepcopySignature{
    "QormTokenizer.__deepcopy__()",
    {{"memo", true}},
    "__deepcopy__($self, memo)\n--\n\nThe same as __copy__: a tokenizer holds no Python objects."};

// ---- Filters and special tokens ------------------------------------------------

// The methods of one filter or special-token name, by what they do with it.
template <PyObject* (*call)(Tokenizer&, const std::string&)>
PyObject* name_body(PyObject* self, Slots slots) {
  std::string name;
  if (!convert_name(slots[0], "name", &name)) return nullptr;
  return call(tokenizer_of(self), name);
}

constexpr Parameter kNameParameter[] = {{"name", true}};

PyObject* add_filter(Tokenizer& tokenizer, const std::string& name) {
  return none_or_raise(tokenizer.add_filter(name));
}
constexpr MethodSignature kAddFilterSignature{
    "QormTokenizer.add_filter()", kNameParameter,
    "add_filter($self, name)\n--\n\nAdd a pre-tokenization filter by name.\n"
    "Available: \"lowercase\", \"normalize_whitespace\", \"strip_non_printable\""};

PyObject* add_special_token(Tokenizer& tokenizer, const std::string& name) {
  Result<TokenId> id = tokenizer.add_special_token(name);
  if (!id.ok()) return raise_error(id.error());
  return PyLong_FromUnsignedLong(*id);
}
constexpr MethodSignature kAddSpecialSignature{
    "QormTokenizer.add_special_token()", kNameParameter,
    "add_special_token($self, name)\n--\n\nAdd a special token. Returns its ID."};

PyObject* special_token_id(Tokenizer& tokenizer, const std::string& name) {
  return id_or_none(tokenizer.special_token_id(name));
}
constexpr MethodSignature kGetSpecialSignature{
    "QormTokenizer.get_special_token_id()", kNameParameter,
    "get_special_token_id($self, name)\n--\n\nGet special token ID by name, or None."};

constexpr char kActiveFiltersDoc[] =
    "active_filters($self)\n--\n\nGet list of active filter names.";

PyObject* active_filters_body(PyObject* self, Slots) {
  return str_list(tokenizer_of(self).filter_names());
}

constexpr char kSpecialTokensDoc[] =
    "special_tokens($self)\n--\n\nList all special tokens as list of (name, id) tuples.";

PyObject* special_tokens_body(PyObject* self, Slots) {
  return list_of(tokenizer_of(self).special_tokens(), [](const auto& special) -> PyObject* {
    Ref name = Ref::steal(lossy_str(special.first));
    if (!name) return nullptr;
    return Py_BuildValue("(Ok)", name.get(), static_cast<unsigned long>(special.second));
  });
}

// ---- Pruning and the quality check ---------------------------------------------

constexpr MethodSignature kPruneSignature{
    "QormTokenizer.prune_vocab()",
    {{"target_size", true}, {"corpus", true}},
    "prune_vocab($self, target_size, corpus)\n--\n\n"
    "Prune vocabulary to target size, keeping most frequent tokens.\n"
    "Base byte tokens (0-255) and special tokens are always kept."};

// The report line is written with the lock released (see
// unlocked_stderr_sink), which lets other threads run: it is written after
// the hold ends, so that a thread encoding with this tokenizer meanwhile
// does not meet the exclusive hold ("Already mutably borrowed").
PyObject* prune_vocab_body(PyObject* self, Slots slots) {
  Hold hold;
  if (!hold.acquire(self, Use::kExclusive)) return nullptr;
  std::uint64_t target = 0;
  if (!convert_size(slots[0], "target_size", &target)) return nullptr;
  TextBytes corpus;
  if (!convert_text(slots[1], "corpus must be str or bytes", &corpus)) return nullptr;
  LockedSignalPoll poll;
  std::string report;
  const ConsoleSink keep = [&](std::string_view text) -> Status {
    report += text;
    return {};
  };
  const Status pruned = tokenizer_of(self).prune(target, corpus.view, keep, std::ref(poll));
  hold.release();
  if (!pruned.ok()) return raise_error(pruned.error());
  return none_or_raise(unlocked_stderr_sink()(report));
}

constexpr MethodSignature kCheckQualitySignature{
    "QormTokenizer.check_quality()",
    {{"corpus", true}},
    "check_quality(corpus)\n--\n\nCheck dataset quality. Returns dict with score and warnings."};

PyObject* check_quality_body(PyObject*, Slots slots) {
  TextBytes corpus;
  if (!convert_text(slots[0], "corpus must be str or bytes", &corpus)) return nullptr;
  QualityReport report = Tokenizer::check_quality(corpus.view);
  Ref warnings = Ref::steal(str_list(report.warnings));
  if (!warnings) return nullptr;
  return Py_BuildValue("{s:d,s:K,s:K,s:d,s:d,s:K,s:K,s:O}", "quality_score", report.quality_score,
                       "total_bytes", static_cast<unsigned long long>(report.total_bytes),
                       "unique_bytes", static_cast<unsigned long long>(report.unique_bytes),
                       "byte_entropy", report.byte_entropy, "avg_word_len", report.avg_word_len,
                       "unique_words", static_cast<unsigned long long>(report.unique_words),
                       "total_words", static_cast<unsigned long long>(report.total_words),
                       "warnings", warnings.get());
}

// ---- Encoding ----------------------------------------------------------------------

constexpr MethodSignature kEncodeSignature{
    "QormTokenizer.encode()",
    {{"text", true}, {"greedy", false}},
    "encode($self, text, greedy=False)\n--\n\nEncode text into token IDs."};
constexpr MethodSignature kEncodeDenseSignature{
    "QormTokenizer.encode_dense()",
    {{"text", true}},
    "encode_dense($self, text)\n--\n\n"
    "Encode text using density-optimal DP (minimizes token count)."};
constexpr MethodSignature kEncodeOffsetsSignature{
    "QormTokenizer.encode_with_offsets()",
    {{"text", true}, {"greedy", false}},
    "encode_with_offsets($self, text, greedy=False)\n--\n\n"
    "Encode text and return token IDs along with byte offsets."};

// The text argument's bytes, through the tokenizer's filters (lock held).
bool convert_filtered_text(const Tokenizer& tokenizer, PyObject* object, TextBytes* text) {
  if (!convert_text(object, "text must be str or bytes", text)) return false;
  if (tokenizer.has_filters()) {
    text->storage = tokenizer.apply_filters(text->view);
    text->view = text->storage;
  }
  return true;
}

// The three encode methods: convert, filter with the lock held, encode (and
// measure offsets) with it released, then build the result with it held again.
template <bool dense, bool with_offsets>
PyObject* encode_body(PyObject* self, Slots slots) {
  bool greedy = false;
  if (!dense && slots[1] && !convert_flag(slots[1], "greedy", &greedy)) return nullptr;
  const Tokenizer& tokenizer = tokenizer_of(self);
  TextBytes text;
  if (!convert_filtered_text(tokenizer, slots[0], &text)) return nullptr;
  const EncodeMode mode = dense ? EncodeMode::kDense
                          : greedy ? EncodeMode::kGreedy
                                   : EncodeMode::kScored;
  TokenIds ids;
  Offsets offsets;
  Ref pending;  // destroyed after the lock is back
  Status status = [&]() -> Status {
    ReleasedLock unlocked;
    SignalPoll poll(unlocked, pending);
    Result<TokenIds> encoded = tokenizer.encode_filtered(text.view, mode, true, std::ref(poll));
    if (!encoded.ok()) return std::move(encoded).error();
    ids = std::move(encoded).value();
    if (with_offsets) {
      Result<Offsets> spans = tokenizer.offsets(ids);
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

// ---- Batches, arrays and ordinary text -------------------------------------------

constexpr MethodSignature kEncodeBatchSignature{
    "QormTokenizer.encode_batch()",
    {{"texts", true}, {"greedy", false}, {"special", false, true}},
    "encode_batch($self, texts, greedy=False, *, special=True)\n--\n\n"
    "Encode many texts on all cores. Returns a list of token ID lists."};
constexpr MethodSignature kEncodeDenseBatchSignature{
    "QormTokenizer.encode_dense_batch()",
    {{"texts", true}, {"special", false, true}},
    "encode_dense_batch($self, texts, *, special=True)\n--\n\n"
    "Encode many texts with the density-optimal DP on all cores."};
constexpr MethodSignature kEncodeToNumpySignature{
    "QormTokenizer.encode_to_numpy()",
    {{"text", true}, {"greedy", false}, {"dense", false}, {"special", false, true}},
    "encode_to_numpy($self, text, greedy=False, dense=False, *, special=True)\n--\n\n"
    "Encode text into a numpy uint32 array of token IDs."};
constexpr MethodSignature kEncodeBatchToNumpySignature{
    "QormTokenizer.encode_batch_to_numpy()",
    {{"texts", true}, {"greedy", false}, {"dense", false}, {"special", false, true}},
    "encode_batch_to_numpy($self, texts, greedy=False, dense=False, *, special=True)\n--\n\n"
    "Encode many texts into one numpy uint32 array of token IDs and an int64 array\n"
    "of len(texts) + 1 offsets: text i is ids[offsets[i]:offsets[i + 1]]."};
constexpr MethodSignature kEncodeOrdinarySignature{
    "QormTokenizer.encode_ordinary()",
    {{"text", true}, {"greedy", false}, {"dense", false}},
    "encode_ordinary($self, text, greedy=False, dense=False)\n--\n\n"
    "Encode text with special token names treated as ordinary text."};
constexpr MethodSignature kDecodeBatchSignature{
    "QormTokenizer.decode_batch()",
    {{"id_lists", true}},
    "decode_batch($self, id_lists)\n--\n\n"
    "Decode many token ID lists (lists, tuples or integer arrays) to UTF-8 strings."};

// Converts the optional greedy (slot g), dense (slot d) and special (slot s)
// flags, in parameter order; a slot index of 0 means the method has none.
bool convert_mode(Slots slots, std::size_t g, std::size_t d, std::size_t s, EncodeMode* mode,
                  bool* special) {
  bool greedy = false;
  bool dense = false;
  if ((g && slots[g] && !convert_flag(slots[g], "greedy", &greedy)) ||
      (d && slots[d] && !convert_flag(slots[d], "dense", &dense)) ||
      (s && slots[s] && !convert_flag(slots[s], "special", special))) {
    return false;
  }
  if (greedy && dense) {
    PyErr_SetString(PyExc_ValueError, "greedy=True and dense=True cannot be combined");
    return false;
  }
  *mode = dense ? EncodeMode::kDense : greedy ? EncodeMode::kGreedy : EncodeMode::kScored;
  return true;
}

// The id lists of one encoded window, appended to `lists`.
bool append_lists(PyObject* lists, const FlatIds& flat) {
  GcPause no_collections;
  for (std::size_t i = 0; i + 1 < flat.offsets.size(); ++i) {
    std::span<const TokenId> item(flat.ids.data() + flat.offsets[i],
                                  flat.offsets[i + 1] - flat.offsets[i]);
    Ref list = Ref::steal(ids_to_list(item));
    if (!list || PyList_Append(lists, list.get()) != 0) return false;
  }
  return true;
}

// encode_batch and encode_dense_batch: a list of id lists. While the pool
// encodes one window, this thread makes the lists of the window before and
// reads the next, so the two cores' worth of encoding is not held up by the
// Python work between windows.
template <bool dense>
PyObject* encode_batch_body(PyObject* self, Slots slots) {
  EncodeMode mode = EncodeMode::kDense;
  bool special = true;
  if (!convert_mode(slots, dense ? 0 : 1, 0, dense ? 1 : 2, &mode, &special)) return nullptr;
  if (dense) mode = EncodeMode::kDense;
  const Tokenizer& tokenizer = tokenizer_of(self);
  Ref lists = Ref::steal(PyList_New(0));
  if (!lists) return nullptr;
  FlatIds before;  // the ids of the window before, whose lists are not made yet
  const bool encoded =
      convert_texts(slots[0], tokenizer, [&](const TextBatch& batch, const ReadAhead& read_ahead) {
        bool beside_ok = false;
        Result<FlatIds> flat = run_unlocked_beside(
            [&](const CancelCheck& poll, const std::function<void()>& meanwhile) {
              return tokenizer.encode_batch(batch.views, mode, special, poll, meanwhile);
            },
            [&] { return append_lists(lists.get(), before) && read_ahead(); }, &beside_ok);
        // Made beside the next window, the lists of this one can fail (out
        // of memory) after an error reading the one after it.
        if (!flat.ok() || !beside_ok) return false;
        before = std::move(flat).value();
        return true;
      });
  if (!encoded || !append_lists(lists.get(), before)) return nullptr;
  return lists.release();
}

// encode_to_numpy (one text, one array) and encode_batch_to_numpy (ids and
// boundaries); a batch's windows append to the same ids.
template <bool batched>
PyObject* encode_numpy_body(PyObject* self, Slots slots) {
  const char* method = batched ? "encode_batch_to_numpy" : "encode_to_numpy";
  EncodeMode mode = EncodeMode::kScored;
  bool special = true;
  if (!convert_mode(slots, 1, 2, 3, &mode, &special)) return nullptr;
  const Tokenizer& tokenizer = tokenizer_of(self);
  MappedIds ids;
  std::vector<std::uint64_t> offsets{0};
  std::vector<std::uint64_t> window_offsets;
  auto encode = [&](const TextBatch& batch, const ReadAhead& read_ahead) {
    window_offsets.resize(batch.views.size() + 1);
    bool beside_ok = false;
    Status status = run_unlocked_beside(
        [&](const CancelCheck& poll, const std::function<void()>& meanwhile) {
          return tokenizer.encode_batch(batch.views, mode, special, ids, window_offsets, poll,
                                        meanwhile);
        },
        read_ahead, &beside_ok);
    if (!status.ok() || !beside_ok) return false;
    const std::uint64_t base = offsets.back();
    for (std::size_t i = 1; i < window_offsets.size(); ++i) {
      offsets.push_back(base + window_offsets[i]);
    }
    return true;
  };
  if (batched) {
    if (PyList_CheckExact(slots[0]) || PyTuple_CheckExact(slots[0])) {
      offsets.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(slots[0])) + 1);
    }
    if (!convert_texts(slots[0], tokenizer, encode)) return nullptr;
  } else {
    TextBatch batch;
    if (!append_text(slots[0], tokenizer, &batch) || !encode(batch, ReadAhead())) return nullptr;
  }
  Ref id_array = Ref::steal(ids_to_array(std::move(ids), method));
  if (!id_array || !batched) return id_array.release();
  Ref offset_array = Ref::steal(offsets_to_array(std::move(offsets), method));
  if (!offset_array) return nullptr;
  return PyTuple_Pack(2, id_array.get(), offset_array.get());
}

PyObject* encode_ordinary_body(PyObject* self, Slots slots) {
  EncodeMode mode = EncodeMode::kScored;
  bool special = false;
  if (!convert_mode(slots, 1, 2, 0, &mode, &special)) return nullptr;
  const Tokenizer& tokenizer = tokenizer_of(self);
  TextBytes text;
  if (!convert_filtered_text(tokenizer, slots[0], &text)) return nullptr;
  Result<TokenIds> ids = run_unlocked([&](const CancelCheck& poll) {
    return tokenizer.encode_filtered(text.view, mode, false, poll);
  });
  return ids.ok() ? ids_to_list(*ids) : nullptr;
}

PyObject* decode_batch_body(PyObject* self, Slots slots) {
  const Tokenizer& tokenizer = tokenizer_of(self);
  Ref texts = Ref::steal(PyList_New(0));
  if (!texts) return nullptr;
  std::vector<std::string> decoded;
  const bool done = convert_id_lists(slots[0], [&](std::vector<std::vector<TokenId>>& lists) {
    decoded.clear();
    const Status status = run_unlocked([&](const CancelCheck& poll) -> Status {
      for (const auto& ids : lists) {
        if (poll()) return Error::interrupted();
        Result<std::string> text = tokenizer.decode(ids);
        if (!text.ok()) return std::move(text).error();
        decoded.push_back(std::move(text).value());
      }
      return {};
    });
    if (!status.ok()) return false;  // raised by run_unlocked
    for (const std::string& text : decoded) {
      Ref item = Ref::steal(lossy_str(text));
      if (!item || PyList_Append(texts.get(), item.get()) != 0) return false;
    }
    return true;
  });
  return done ? texts.release() : nullptr;
}

// ---- Decoding and inspection ---------------------------------------------------------

// The text methods return lossy UTF-8 str, the bytes methods bytes.
PyObject* bytes_result(std::string_view bytes, bool as_str) {
  if (as_str) return lossy_str(bytes);
  return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

constexpr Parameter kTokenIdsParameter[] = {{"token_ids", true}};
constexpr MethodSignature kDecodeSignature{
    "QormTokenizer.decode()", kTokenIdsParameter,
    "decode($self, token_ids)\n--\n\nDecode token IDs back to a UTF-8 string."};
constexpr MethodSignature kDecodeBytesSignature{
    "QormTokenizer.decode_bytes()", kTokenIdsParameter,
    "decode_bytes($self, token_ids)\n--\n\nDecode token IDs back to bytes."};

// decode and decode_bytes: join the token bytes with the lock released.
template <bool as_str>
PyObject* decode_body(PyObject* self, Slots slots) {
  std::vector<TokenId> ids;
  if (!convert_token_ids(slots[0], "token_ids", &ids)) return nullptr;
  const Tokenizer& tokenizer = tokenizer_of(self);
  Result<std::string> decoded = [&] {
    ReleasedLock unlocked;
    return tokenizer.decode(ids);
  }();
  if (!decoded.ok()) return raise_error(decoded.error());
  return bytes_result(decoded.value(), as_str);
}

constexpr Parameter kTokenIdParameter[] = {{"token_id", true}};
constexpr MethodSignature kIdToTokenSignature{
    "QormTokenizer.id_to_token()", kTokenIdParameter,
    "id_to_token($self, token_id)\n--\n\n"
    "Get the string representation of a token (lossy UTF-8)."};
constexpr MethodSignature kIdToBytesSignature{
    "QormTokenizer.id_to_bytes()", kTokenIdParameter,
    "id_to_bytes($self, token_id)\n--\n\nGet the byte representation of a token."};

// id_to_token and id_to_bytes: one token's bytes; ValueError when out of range.
template <bool as_str>
PyObject* token_body(PyObject* self, Slots slots) {
  TokenId id = 0;
  if (!convert_token_id(slots[0], "token_id", &id)) return nullptr;
  Result<std::string_view> bytes = tokenizer_of(self).token_bytes(id);
  if (!bytes.ok()) return raise_error(bytes.error());
  return bytes_result(*bytes, as_str);
}

constexpr MethodSignature kTokenToIdSignature{
    "QormTokenizer.token_to_id()",
    {{"token", true}},
    "token_to_id($self, token)\n--\n\n"
    "Get the ID of the token whose bytes are `token` (a str as UTF-8), or None.\n"
    "When several tokens share those bytes, the one encoding produces (the later ID)."};

PyObject* token_to_id_body(PyObject* self, Slots slots) {
  TextBytes token;
  if (!convert_text(slots[0], "token must be str or bytes", &token)) return nullptr;
  return id_or_none(tokenizer_of(self).token_id(token.view));
}

// ---- Properties and slots ------------------------------------------------------------

PyObject* vocab_size_body(PyObject* self, Slots) {
  return PyLong_FromUnsignedLongLong(tokenizer_of(self).vocab_size());
}

PyObject* context_weight_body(PyObject* self, Slots) {
  return PyFloat_FromDouble(tokenizer_of(self).context_weight());
}

PyObject* is_lossless_body(PyObject*, Slots) {
  Py_RETURN_TRUE;
}

Py_ssize_t tokenizer_len(PyObject* self) {
  return guarded([&]() -> Py_ssize_t {
    Hold hold;
    if (!hold.acquire(self, Use::kShared)) return -1;
    std::uint64_t size = tokenizer_of(self).vocab_size();
    if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
      PyErr_SetString(PyExc_OverflowError, "vocabulary size does not fit in a Py_ssize_t");
      return -1;
    }
    return static_cast<Py_ssize_t>(size);
  });
}

PyObject* repr_body(PyObject* self, Slots) {
  const std::vector<std::string> names = tokenizer_of(self).filter_names();
  std::string filters = "none";
  if (!names.empty()) {
    filters = "[";
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (i > 0) filters += ", ";
      filters += "\"" + names[i] + "\"";
    }
    filters += "]";
  }
  std::string text = "QormTokenizer(vocab_size=" + std::to_string(tokenizer_of(self).vocab_size()) +
                     ", lossless=True, filters=" + filters + ")";
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// ---- The type --------------------------------------------------------------------------

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

constexpr Use kShared = Use::kShared;
constexpr Use kExclusive = Use::kExclusive;
constexpr Use kFree = Use::kNone;  // static methods: no instance to hold

// Table entries. A method without an instance to hold is a static method.
template <const auto& S, Use use, Body body>
PyMethodDef with_arguments(const char* name) {
  const int flags = kFast | (use == Use::kNone ? METH_STATIC : 0);
  return {name, as_cfunction(method<S, use, body>), flags, S.doc};
}

template <Use use, Body body>
PyMethodDef without_arguments(const char* name, const char* doc) {
  return {name, no_arguments<use, body, PyObject*>, METH_NOARGS, doc};
}

PyMethodDef kMethods[] = {
    with_arguments<kFromFileSignature, kFree, from_file_body>("from_file"),
    with_arguments<kSaveSignature, kShared, save_body>("save"),
    with_arguments<kTrainFromFilesSignature, kFree, train_from_files_body>("train_from_files"),
    with_arguments<kTrainFromIteratorSignature, kFree, train_from_iterator_body>(
        "train_from_iterator"),
    with_arguments<kCountChunksSignature, kFree, count_chunks_body>("count_chunks"),
    with_arguments<kMergeChunkCountsSignature, kFree, merge_chunk_counts_body>(
        "merge_chunk_counts"),
    with_arguments<kTrainFromCountsSignature, kFree, train_from_counts_body>("train_from_counts"),
    with_arguments<kAddFilterSignature, kExclusive, name_body<add_filter>>("add_filter"),
    without_arguments<kShared, active_filters_body>("active_filters", kActiveFiltersDoc),
    with_arguments<kAddSpecialSignature, kExclusive, name_body<add_special_token>>(
        "add_special_token"),
    with_arguments<kGetSpecialSignature, kShared, name_body<special_token_id>>(
        "get_special_token_id"),
    without_arguments<kShared, special_tokens_body>("special_tokens", kSpecialTokensDoc),
    with_arguments<kPruneSignature, Use::kByBody, prune_vocab_body>("prune_vocab"),
    with_arguments<kCheckQualitySignature, kFree, check_quality_body>("check_quality"),
    with_arguments<kEncodeSignature, kShared, encode_body<false, false>>("encode"),
    with_arguments<kEncodeDenseSignature, kShared, encode_body<true, false>>("encode_dense"),
    with_arguments<kEncodeOffsetsSignature, kShared, encode_body<false, true>>(
        "encode_with_offsets"),
    with_arguments<kDecodeBytesSignature, kShared, decode_body<false>>("decode_bytes"),
    with_arguments<kDecodeSignature, kShared, decode_body<true>>("decode"),
    with_arguments<kIdToBytesSignature, kShared, token_body<false>>("id_to_bytes"),
    with_arguments<kIdToTokenSignature, kShared, token_body<true>>("id_to_token"),
    with_arguments<kEncodeBatchSignature, kShared, encode_batch_body<false>>("encode_batch"),
    with_arguments<kEncodeDenseBatchSignature, kShared, encode_batch_body<true>>(
        "encode_dense_batch"),
    with_arguments<kEncodeToNumpySignature, kShared, encode_numpy_body<false>>("encode_to_numpy"),
    with_arguments<kEncodeBatchToNumpySignature, kShared, encode_numpy_body<true>>(
        "encode_batch_to_numpy"),
    with_arguments<kEncodeOrdinarySignature, kShared, encode_ordinary_body>("encode_ordinary"),
    with_arguments<kDecodeBatchSignature, kShared, decode_batch_body>("decode_batch"),
    with_arguments<kTokenToIdSignature, kShared, token_to_id_body>("token_to_id"),
    without_arguments<kShared, to_bytes_body>("to_bytes", kToBytesDoc),
    with_arguments<kFromBytesSignature, kFree, from_bytes_body>("from_bytes"),
    without_arguments<kShared, reduce_body>("__reduce__", kReduceDoc),
    without_arguments<kShared, copy_body>("__copy__", kCopyDoc),
    with_arguments<kDeepcopySignature, kShared, copy_body>("__deepcopy__"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"vocab_size", no_arguments<kShared, vocab_size_body, void*>, nullptr, "Get the vocabulary size.", nullptr},
    {"is_lossless", no_arguments<kShared, is_lossless_body, void*>, nullptr,
     "Check if this tokenizer is lossless (always True for Qorm).", nullptr},
    {"context_weight", no_arguments<kShared, context_weight_body, void*>, nullptr,
     "Get the weight of the bigram scores in encoding.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kClassDoc[] =
    "QormTokenizer(corpus, vocab_size=8192, context_weight=0.3, verbose=False, "
    "show_progress=True, special_tokens=None, check_quality=True)\n--\n\n"
    "Python-facing Qorm tokenizer.\n"
    "Train from a corpus or load a pre-trained model, then encode/decode.";

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tokenizer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(TokenizerObject::dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(no_arguments<Use::kShared, repr_body>)},
    {Py_mp_length, reinterpret_cast<void*>(tokenizer_len)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kProperties},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {0, nullptr},
};

PyType_Spec kSpec = TokenizerObject::spec("tarvik_core.QormTokenizer", kSlots);

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
