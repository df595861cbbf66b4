// The core's internal error type: a broken invariant aborts the current operation with a
// message. Only the Python boundary catches it (as PanicException); libraries never print.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace vorn::core {

class Abort : public std::exception {
 public:
  explicit Abort(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

[[noreturn]] inline void abort_with(std::string message) { throw Abort(std::move(message)); }

// A state vector of an admissible size whose memory could not be obtained. Distinct from
// Abort so that the Python boundary can raise MemoryError rather than PanicException.
class AllocationFailure : public std::exception {
 public:
  AllocationFailure(unsigned long long num_qubits, unsigned long long bytes, std::string message)
      : num_qubits_(num_qubits), bytes_(bytes), message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  unsigned long long num_qubits() const noexcept { return num_qubits_; }
  unsigned long long bytes() const noexcept { return bytes_; }

 private:
  unsigned long long num_qubits_;
  unsigned long long bytes_;
  std::string message_;
};

}  // namespace vorn::core
