// One kernel call as a value, so that tests can run every kernel over every operand placement
// through any implementation and compare it with the oracle.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/kernels/dispatch.h"
#include "core/kernels/reference.h"
#include "support.h"

namespace vorn::core::test {

enum class Kernel { Single, Controlled, TwoQubit, DoublyControlled, ControlledSwap };

inline constexpr Kernel ALL_KERNELS[] = {Kernel::Single, Kernel::Controlled, Kernel::TwoQubit,
                                         Kernel::DoublyControlled, Kernel::ControlledSwap};

constexpr unsigned arity(Kernel k) {
  switch (k) {
    case Kernel::Single:
      return 1;
    case Kernel::Controlled:
    case Kernel::TwoQubit:
      return 2;
    case Kernel::DoublyControlled:
    case Kernel::ControlledSwap:
      return 3;
  }
  return 0;
}

inline std::string kernel_name(Kernel k) {
  switch (k) {
    case Kernel::Single:
      return "single";
    case Kernel::Controlled:
      return "controlled";
    case Kernel::TwoQubit:
      return "two_qubit";
    case Kernel::DoublyControlled:
      return "doubly_controlled";
    case Kernel::ControlledSwap:
      return "controlled_swap";
  }
  return "?";
}

template <typename T>
struct Op {
  Kernel kernel;
  std::vector<std::uint64_t> qubits;
  Matrix2<T> m2{};
  Matrix4<T> m4{};

  std::string describe() const {
    std::string s = kernel_name(kernel) + "(";
    for (std::size_t i = 0; i < qubits.size(); ++i) {
      s += (i ? ", " : "") + std::to_string(qubits[i]);
    }
    return s + ")";
  }
};

template <typename T>
void apply_with(const kernels::KernelFunctions<T>& table, Amplitudes<T>& v, const Op<T>& op) {
  const std::span<Complex<T>> s(v);
  const auto& q = op.qubits;
  switch (op.kernel) {
    case Kernel::Single:
      kernels::apply_single_qubit_gate_with(table, s, op.m2, q[0]);
      break;
    case Kernel::Controlled:
      kernels::apply_controlled_gate_with(table, s, op.m2, q[0], q[1]);
      break;
    case Kernel::TwoQubit:
      kernels::apply_two_qubit_gate_with(table, s, op.m4, q[0], q[1]);
      break;
    case Kernel::DoublyControlled:
      kernels::apply_doubly_controlled_gate_with(table, s, op.m2, q[0], q[1], q[2]);
      break;
    case Kernel::ControlledSwap:
      kernels::apply_controlled_swap_with(table, s, q[0], q[1], q[2]);
      break;
  }
}

template <typename T>
Amplitudes<T> oracle(const Amplitudes<T>& old, const Op<T>& op) {
  const auto& q = op.qubits;
  switch (op.kernel) {
    case Kernel::Single:
      return oracle_single(old, op.m2, q[0]);
    case Kernel::Controlled:
      return oracle_controlled(old, op.m2, {q[0]}, q[1]);
    case Kernel::TwoQubit:
      return oracle_two_qubit(old, op.m4, q[0], q[1]);
    case Kernel::DoublyControlled:
      return oracle_controlled(old, op.m2, {q[0], q[1]}, q[2]);
    case Kernel::ControlledSwap:
      return oracle_controlled_swap(old, q[0], q[1], q[2]);
  }
  return old;
}

// The literal serial scans of the reference, whatever the vector's length (the two-qubit
// kernel has no scan; its enumeration needs distinct operands).
template <typename T>
void apply_serial_scan(Amplitudes<T>& v, const Op<T>& op) {
  const auto& q = op.qubits;
  const auto n = static_cast<unsigned>(q[0]);
  switch (op.kernel) {
    case Kernel::Single:
      kernels::reference::serial_single(v.data(), v.size(), op.m2, n);
      break;
    case Kernel::Controlled:
      kernels::reference::serial_controlled(v.data(), v.size(), op.m2, n,
                                            static_cast<unsigned>(q[1]));
      break;
    case Kernel::TwoQubit:
      kernels::reference::serial_two_qubit(v.data(), v.size(), op.m4, n,
                                           static_cast<unsigned>(q[1]));
      break;
    case Kernel::DoublyControlled:
      kernels::reference::serial_doubly_controlled(
          v.data(), v.size(), op.m2, n, static_cast<unsigned>(q[1]), static_cast<unsigned>(q[2]));
      break;
    case Kernel::ControlledSwap:
      kernels::reference::serial_controlled_swap(v.data(), v.size(), n, static_cast<unsigned>(q[1]),
                                                 static_cast<unsigned>(q[2]));
      break;
  }
}

// Calls fn with every ordered choice of arity(kernel) operands among the given qubits,
// coinciding ones included when allow_coinciding is set.
inline void for_each_placement(Kernel kernel, const std::vector<std::uint64_t>& qubits,
                               bool allow_coinciding,
                               const std::function<void(const std::vector<std::uint64_t>&)>& fn) {
  std::vector<std::uint64_t> chosen;
  std::function<void()> rec = [&] {
    if (chosen.size() == arity(kernel)) {
      fn(chosen);
      return;
    }
    for (const std::uint64_t q : qubits) {
      bool used = false;
      for (const std::uint64_t c : chosen) {
        used = used || c == q;
      }
      if (used && !allow_coinciding) {
        continue;
      }
      chosen.push_back(q);
      rec();
      chosen.pop_back();
    }
  };
  rec();
}

inline std::vector<std::uint64_t> qubit_range(unsigned n) {
  std::vector<std::uint64_t> q(n);
  for (unsigned i = 0; i < n; ++i) {
    q[i] = i;
  }
  return q;
}

template <typename T>
Op<T> make_op(Kernel kernel, const std::vector<std::uint64_t>& qubits, std::uint64_t seed) {
  return Op<T>{kernel, qubits, random_matrix2<T>(seed), random_matrix4<T>(seed + 1)};
}

}  // namespace vorn::core::test
