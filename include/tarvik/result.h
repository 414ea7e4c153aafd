// Errors as values: the library's one failure type.
//
// No library function throws across its interface or aborts on user data: a
// function that can fail returns Result<T> (or Status), and each caller maps
// ErrorKind to its own reporting in one place (the Python binding to one
// exception per kind, the command line to a one-line message and exit code).
// std::bad_alloc is the only exception that may escape; it means the machine
// ran out of memory and nothing else.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace tarvik {

enum class ErrorKind : std::uint8_t {
  kInternal,         // a violated internal condition: the module's internal-fault exception
  kIo,               // a file or stream failure: the caller adds its own prefix
  kInterrupted,      // the caller's cancellation check asked to stop
  kInvalidArgument,  // a value the caller passed is not acceptable (ValueError)
  kLimit,            // a size beyond what a structure or format can hold; names the limit
};

struct Error {
  ErrorKind kind;
  std::string message;
  // For kIo: the errno behind the failure (0 when there is none) and the path
  // it concerns (empty when none), so callers can report the matching OS error.
  int os_error = 0;
  std::string path;

  static Error internal(std::string message) { return {ErrorKind::kInternal, std::move(message), 0, {}}; }
  static Error io(std::string message, int os_error = 0, std::string path = {}) {
    return {ErrorKind::kIo, std::move(message), os_error, std::move(path)};
  }
  static Error interrupted() { return {ErrorKind::kInterrupted, "interrupted", 0, {}}; }
  static Error invalid_argument(std::string message) {
    return {ErrorKind::kInvalidArgument, std::move(message), 0, {}};
  }
  static Error limit(std::string message) { return {ErrorKind::kLimit, std::move(message), 0, {}}; }
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
  Error error_{ErrorKind::kInternal, {}, 0, {}};
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
