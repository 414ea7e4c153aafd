// Errors as values for the core.
//
// The core never throws across its public functions and never aborts on user
// data: a function that can fail returns Result<T>, and the Python layer maps
// each ErrorKind to one exception in one place. std::bad_alloc is the only
// exception that may escape the core; the binding turns it into MemoryError.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace tarvik {

enum class ErrorKind : std::uint8_t {
  kInternal,     // a violated internal condition: the module's internal-fault exception
  kIo,           // a file or stream failure: the caller adds its own prefix
  kInterrupted,  // the caller's cancellation check asked to stop
};

struct Error {
  ErrorKind kind;
  std::string message;

  static Error internal(std::string message) { return {ErrorKind::kInternal, std::move(message)}; }
  static Error io(std::string message) { return {ErrorKind::kIo, std::move(message)}; }
  static Error interrupted() { return {ErrorKind::kInterrupted, "interrupted"}; }
  // The fault of reading past the end of a table, worded as users see it.
  static Error index_out_of_bounds(std::uint64_t len, std::uint64_t index) {
    return internal("index out of bounds: the len is " + std::to_string(len) +
                    " but the index is " + std::to_string(index));
  }
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const& { return std::get<1>(state_); }
  Error&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)), failed_(true) {}

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const Error& error() const& { return error_; }
  Error&& error() && { return std::move(error_); }

 private:
  Error error_{ErrorKind::kInternal, {}};
  bool failed_ = false;
};

using Status = Result<void>;

}  // namespace tarvik

// Returns the error of a failed Result/Status from the enclosing function.
#define TARVIK_TRY(expr)                                                        \
  do {                                                                          \
    auto tarvik_try_result_ = (expr);                                           \
    if (!tarvik_try_result_.ok()) return std::move(tarvik_try_result_).error(); \
  } while (0)
