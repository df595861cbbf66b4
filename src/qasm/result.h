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

// Propagation inside a stage, so that each rule reads as its grammar: the first error returns
// from the enclosing function, which returns a Result of any type.
//   QASM_TRY(expect(TokenKind::Semicolon, "';'"));
//   QASM_TRY_ASSIGN(std::string name, identifier("gate name"));
#define QASM_TRY(...)                                      \
  do {                                                     \
    if (auto qasm_try_ = (__VA_ARGS__); !qasm_try_.ok()) { \
      return std::move(qasm_try_).take_error();            \
    }                                                      \
  } while (false)
#define QASM_TRY_ASSIGN(target, ...) \
  QASM_TRY_ASSIGN_(QASM_TRY_CONCAT_(qasm_try_, __LINE__), target, __VA_ARGS__)
#define QASM_TRY_CONCAT_(a, b) QASM_TRY_CONCAT2_(a, b)
#define QASM_TRY_CONCAT2_(a, b) a##b
#define QASM_TRY_ASSIGN_(result, target, ...) \
  auto result = (__VA_ARGS__);                \
  if (!result.ok()) {                         \
    return std::move(result).take_error();    \
  }                                           \
  target = std::move(result).value()

}  // namespace vorn::qasm
