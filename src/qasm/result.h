// A value or the front end's error: the reader's stages return this and never throw for bad input.
#pragma once

#include <utility>
#include <variant>

#include "qasm/error.h"

namespace vorn::qasm {

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : data_(std::in_place_index<0>, std::move(value)) {}          // NOLINT: implicit
  Result(QasmError error) : data_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return data_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(data_); }
  T&& value() && { return std::get<0>(std::move(data_)); }
  const T& value() const& { return std::get<0>(data_); }
  const QasmError& error() const { return std::get<1>(data_); }
  QasmError&& take_error() && { return std::get<1>(std::move(data_)); }

 private:
  std::variant<T, QasmError> data_;
};

// For stages that produce nothing but may fail.
struct Ok {};
using Status = Result<Ok>;

}  // namespace vorn::qasm
