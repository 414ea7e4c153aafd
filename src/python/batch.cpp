// Many texts in, many id lists in, arrays out.
#include "python/batch.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "python/arguments.h"
#include "python/errors.h"
#include "python/heap_type.h"

namespace tarvik::py {
namespace {

// Iterates a list or tuple by index and anything else by its iterator,
// calling fn(index, item) until it returns false.
template <class Fn>
bool for_each_indexed(PyObject* object, Fn&& fn) {
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(object); ++i) {
      Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(object, i));
      if (!fn(static_cast<std::size_t>(i), item.get())) return false;
    }
    return true;
  }
  Ref iterator = Ref::steal(PyObject_GetIter(object));
  if (!iterator) return false;
  std::size_t index = 0;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    if (!fn(index++, item.get())) return false;
  }
  return !PyErr_Occurred();
}

// Replaces a pending TypeError by one whose message starts with `prefix`,
// keeping the original as its cause.
bool prefixed_type_error(const std::string& prefix) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  Ref original = Ref::steal(fetch_raised_exception());
  Ref text = Ref::steal(PyObject_Str(original.get()));
  if (!text) return false;
  Ref message = Ref::steal(PyUnicode_FromFormat("%s%U", prefix.c_str(), text.get()));
  if (!message) return false;
  Ref relabelled = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!relabelled) return false;
  PyException_SetCause(relabelled.get(), original.release());  // steals
  set_raised_exception(relabelled.release());
  return false;
}

bool out_of_range() {
  PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
  return false;
}

// Reads a one-dimensional buffer of native integers; kOtherKind, with no
// error set, for any other object (the caller reads it item by item).
enum class BufferRead { kDone, kFailed, kOtherKind };

BufferRead read_integer_buffer(PyObject* object, std::vector<TokenId>* out) {
  if (PyUnicode_Check(object) || !PyObject_CheckBuffer(object)) return BufferRead::kOtherKind;
  Py_buffer view;
  if (PyObject_GetBuffer(object, &view, PyBUF_RECORDS_RO) != 0) {
    PyErr_Clear();
    return BufferRead::kOtherKind;
  }
  struct Release {
    Py_buffer* view;
    ~Release() { PyBuffer_Release(view); }
  } release{&view};
  const char* format = view.format != nullptr ? view.format : "B";
  if (*format == '@' || *format == '=' || *format == '<') ++format;  // native order on x86-64
  const char kind = *format;
  if (view.ndim != 1 || kind == '\0' || format[1] != '\0' ||
      std::strchr("bBhHiIlLqQnN", kind) == nullptr) {
    return BufferRead::kOtherKind;
  }
  const bool is_signed = kind >= 'a' && kind <= 'z';
  const Py_ssize_t count = view.shape[0];
  const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
  out->resize(static_cast<std::size_t>(count));
  const char* p = static_cast<const char*>(view.buf);
  for (Py_ssize_t i = 0; i < count; ++i, p += stride) {
    std::int64_t value = 0;
    std::uint64_t unsigned_value = 0;
    switch (view.itemsize) {
      case 1: is_signed ? value = *reinterpret_cast<const std::int8_t*>(p)
                        : unsigned_value = *reinterpret_cast<const std::uint8_t*>(p); break;
      case 2: { std::int16_t s; std::uint16_t u; std::memcpy(&s, p, 2); std::memcpy(&u, p, 2);
                is_signed ? value = s : unsigned_value = u; break; }
      case 4: { std::int32_t s; std::uint32_t u; std::memcpy(&s, p, 4); std::memcpy(&u, p, 4);
                is_signed ? value = s : unsigned_value = u; break; }
      case 8: { std::int64_t s; std::uint64_t u; std::memcpy(&s, p, 8); std::memcpy(&u, p, 8);
                is_signed ? value = s : unsigned_value = u; break; }
      default: return BufferRead::kOtherKind;
    }
    if (is_signed) {
      if (value < 0) return out_of_range(), BufferRead::kFailed;
      unsigned_value = static_cast<std::uint64_t>(value);
    }
    if (unsigned_value > 0xFFFFFFFFull) return out_of_range(), BufferRead::kFailed;
    (*out)[static_cast<std::size_t>(i)] = static_cast<TokenId>(unsigned_value);
  }
  return BufferRead::kDone;
}

// ---- The array owner: a buffer numpy wraps -------------------------------------

struct ArrayStorage {
  MappedIds ids;
  std::vector<std::uint64_t> words;
  bool is_words = false;
  Py_ssize_t shape = 0;
  Py_ssize_t stride = 0;
};

using ArrayOwnerObject = ObjectWith<ArrayStorage>;

ArrayStorage& storage_of(PyObject* self) {
  return ArrayOwnerObject::of(self);
}

int owner_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  ArrayStorage& storage = storage_of(self);
  static TokenId empty = 0;  // a zero-length view still points somewhere
  void* data = storage.is_words ? static_cast<void*>(storage.words.data())
                                : static_cast<void*>(storage.ids.data());
  view->buf = data != nullptr ? data : &empty;
  view->obj = Py_NewRef(self);
  view->itemsize = storage.is_words ? 8 : 4;
  view->len = storage.shape * view->itemsize;
  view->readonly = 0;
  view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(storage.is_words ? "q" : "I") : nullptr;
  view->ndim = 1;
  view->shape = (flags & PyBUF_ND) ? &storage.shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &storage.stride : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

PyType_Slot kOwnerSlots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(owner_getbuffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ArrayOwnerObject::dealloc)},
    {Py_tp_doc, const_cast<char*>("Memory of a token id array.")},
    {0, nullptr},
};

PyType_Spec kOwnerSpec = ArrayOwnerObject::spec("tarvik_core.IdMemory", kOwnerSlots);

// numpy.frombuffer, imported on first use and kept for the process.
PyObject* frombuffer(const char* method) {
  static PyObject* function = nullptr;
  if (function != nullptr) return function;
  Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
  if (!numpy) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return nullptr;
    Ref cause = Ref::steal(fetch_raised_exception());
    PyErr_Format(PyExc_ImportError,
                 "numpy is required for %s; install it with: pip install numpy", method);
    Ref raised = Ref::steal(fetch_raised_exception());
    PyException_SetCause(raised.get(), cause.release());  // steals
    set_raised_exception(raised.release());
    return nullptr;
  }
  function = PyObject_GetAttrString(numpy.get(), "frombuffer");  // kept
  return function;
}

PyObject* wrap(ArrayStorage storage, const char* dtype, const char* method) {
  PyObject* from = frombuffer(method);
  if (from == nullptr) return nullptr;
  static PyTypeObject* type = nullptr;
  if (type == nullptr) {
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kOwnerSpec));  // kept
    if (type == nullptr) return nullptr;
  }
  Ref owner = Ref::steal(type->tp_alloc(type, 0));
  if (!owner) return nullptr;
  storage.stride = storage.is_words ? 8 : 4;
  new (reinterpret_cast<ArrayOwnerObject*>(owner.get())->storage) ArrayStorage(std::move(storage));
  return PyObject_CallFunction(from, "Os", owner.get(), dtype);
}

}  // namespace

bool append_text(PyObject* text, const Tokenizer& tokenizer, TextBatch* out) {
  TextBytes bytes;
  if (!convert_text(text, "text must be str or bytes", &bytes)) return false;
  std::string_view view = bytes.view;
  if (!bytes.owner && view.data() == bytes.storage.data()) {
    view = out->copies.emplace_back(std::move(bytes.storage));
  }
  out->owners.push_back(bytes.owner ? std::move(bytes.owner) : Ref::borrow(text));
  if (tokenizer.has_filters()) view = out->copies.emplace_back(tokenizer.apply_filters(view));
  out->views.push_back(view);
  return true;
}

// The items of a batch call's texts, read a window at a time: by index from
// a tuple (a list is read from a snapshot of its items, since other threads
// run while a window is encoded, so it is read as it was when the call
// began), by its iterator from anything else.
class TextReader {
 public:
  explicit TextReader(const Tokenizer& tokenizer) : tokenizer_(tokenizer) {}

  bool start(PyObject* texts) {
    // A str is an iterable of one-character texts, which is never what a
    // caller of a batch call means.
    if (PyUnicode_Check(texts)) {
      PyErr_SetString(PyExc_TypeError, "texts must be an iterable of texts, not str");
      return false;
    }
    if (PyList_CheckExact(texts)) {
      items_ = Ref::steal(PyList_AsTuple(texts));
      return static_cast<bool>(items_);
    }
    if (PyTuple_CheckExact(texts)) {
      items_ = Ref::borrow(texts);
      return true;
    }
    iterator_ = Ref::steal(PyObject_GetIter(texts));
    return static_cast<bool>(iterator_);
  }

  // Replaces `window` by the next items, kWindowTexts of them or fewer once
  // they hold kWindowBytes: empty after the last one.
  bool fill(TextBatch* window) {
    window->owners.clear();
    window->copies.clear();
    window->views.clear();
    if (items_) {
      const std::size_t left = static_cast<std::size_t>(PyTuple_GET_SIZE(items_.get())) - index_;
      window->owners.reserve(std::min(left, kWindowTexts));
      window->views.reserve(std::min(left, kWindowTexts));
    }
    std::size_t bytes = 0;
    while (window->views.size() < kWindowTexts && bytes < kWindowBytes) {
      Ref item;
      if (items_) {
        if (index_ == static_cast<std::size_t>(PyTuple_GET_SIZE(items_.get()))) break;
        item = Ref::borrow(PyTuple_GET_ITEM(items_.get(), static_cast<Py_ssize_t>(index_)));
      } else {
        item = Ref::steal(PyIter_Next(iterator_.get()));
        if (!item) {
          if (PyErr_Occurred()) return false;
          break;
        }
      }
      if (!append_text(item.get(), tokenizer_, window)) {
        if (raised_beyond_conversion()) return false;
        PyErr_Clear();
        raise_message(PyExc_TypeError,
                      "texts[" + std::to_string(index_) + "]: text must be str or bytes");
        return false;
      }
      bytes += window->views.back().size();
      ++index_;
    }
    // Reading the items runs no Python code, and a window may encode faster
    // than the encoder's own signal poll first asks: Ctrl-C is seen here.
    return window->views.empty() || PyErr_CheckSignals() == 0;
  }

 private:
  const Tokenizer& tokenizer_;
  Ref items_;
  Ref iterator_;
  std::size_t index_ = 0;
};

bool convert_texts(PyObject* texts, const Tokenizer& tokenizer, const EncodeWindow& encode) {
  TextReader reader(tokenizer);
  TextBatch windows[2];
  if (!reader.start(texts) || !reader.fill(&windows[0])) return false;
  for (int k = 0; !windows[k].views.empty(); k ^= 1) {
    TextBatch& next = windows[k ^ 1];
    bool read = false;
    const bool encoded = encode(windows[k], [&] {
      read = true;
      return reader.fill(&next);
    });
    if (!encoded || (!read && !reader.fill(&next))) return false;
  }
  return true;
}

bool convert_id_lists(PyObject* id_lists,
                      const std::function<bool(std::vector<std::vector<TokenId>>&)>& decode) {
  if (PyUnicode_Check(id_lists)) {
    PyErr_SetString(PyExc_TypeError, "id_lists must be an iterable of token id lists, not str");
    return false;
  }
  // About a million ids a window: reading them runs no Python code that
  // would notice Ctrl-C, and a batch of many long lists is never held whole.
  constexpr std::size_t kWindowIds = std::size_t{1} << 20;
  std::vector<std::vector<TokenId>> window;
  std::size_t window_ids = 0;
  auto flush = [&] {
    if (PyErr_CheckSignals() != 0) return false;
    const bool decoded = decode(window);
    window.clear();
    window_ids = 0;
    return decoded;
  };
  const bool read = for_each_indexed(id_lists, [&](std::size_t index, PyObject* item) {
    std::vector<TokenId>& ids = window.emplace_back();
    const BufferRead read = read_integer_buffer(item, &ids);
    if (read == BufferRead::kFailed ||
        (read == BufferRead::kOtherKind && !read_token_ids(item, &ids))) {
      return prefixed_type_error("id_lists[" + std::to_string(index) + "]: ");
    }
    // An empty list still costs its slot: count it, so that millions of them
    // are windowed too.
    window_ids += ids.size() + 1;
    return window_ids < kWindowIds || flush();
  });
  return read && (window.empty() || flush());
}

PyObject* ids_to_array(MappedIds ids, const char* method) {
  ArrayStorage storage;
  storage.shape = static_cast<Py_ssize_t>(ids.size());
  storage.ids = std::move(ids);
  return wrap(std::move(storage), "uint32", method);
}

PyObject* offsets_to_array(std::vector<std::uint64_t> offsets, const char* method) {
  ArrayStorage storage;
  storage.shape = static_cast<Py_ssize_t>(offsets.size());
  storage.words = std::move(offsets);
  storage.is_words = true;
  return wrap(std::move(storage), "int64", method);
}

}  // namespace tarvik::py
