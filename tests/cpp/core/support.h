// Test support for the core: random states, bit-exact comparison, and plain per-index oracles
// of the five kernels (each output amplitude computed from a copy of the input, with the same
// products and sums as the kernels' formulas, so results compare bit for bit).
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/complex.h"
#include "core/gates.h"

namespace vorn::core::test {

template <typename T>
using Amplitudes = std::vector<Complex<T>>;

template <typename T>
Amplitudes<T> random_state(unsigned num_qubits, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<T> dist(T(-1), T(1));
  Amplitudes<T> v(std::uint64_t{1} << num_qubits);
  for (auto& a : v) {
    a.re = dist(rng);
    a.im = dist(rng);
  }
  return v;
}

template <typename T>
Matrix2<T> random_matrix2(std::uint64_t seed) {
  const auto v = random_state<T>(2, seed);
  return {v[0], v[1], v[2], v[3]};
}

template <typename T>
Matrix4<T> random_matrix4(std::uint64_t seed) {
  const auto v = random_state<T>(4, seed);
  Matrix4<T> m;
  for (int i = 0; i < 16; ++i) {
    m[i] = v[i];
  }
  return m;
}

// Empty when a and b hold the same bits; otherwise a description of the first difference.
template <typename T>
std::string bit_difference(const Complex<T>* a, const Complex<T>* b, std::uint64_t len) {
  if (std::memcmp(a, b, len * sizeof(Complex<T>)) == 0) {
    return {};
  }
  for (std::uint64_t i = 0; i < len; ++i) {
    if (std::memcmp(&a[i], &b[i], sizeof(Complex<T>)) != 0) {
      return "first difference at index " + std::to_string(i) + ": (" + std::to_string(a[i].re) +
             ", " + std::to_string(a[i].im) + ") vs (" + std::to_string(b[i].re) + ", " +
             std::to_string(b[i].im) + ")";
    }
  }
  return "difference not located";
}

template <typename T>
std::string bit_difference(const Amplitudes<T>& a, const Amplitudes<T>& b) {
  if (a.size() != b.size()) {
    return "sizes differ";
  }
  return bit_difference(a.data(), b.data(), a.size());
}

constexpr std::uint64_t bit(std::uint64_t q) { return std::uint64_t{1} << q; }
constexpr bool is_set(std::uint64_t i, std::uint64_t q) { return ((i >> q) & 1) != 0; }

// new[i] = m[row][0] * old[i with target 0] + m[row][1] * old[i with target 1], row = bit target.
template <typename T>
Complex<T> oracle_pair_value(const Amplitudes<T>& old, const Matrix2<T>& m, std::uint64_t i,
                             std::uint64_t target) {
  const int row = is_set(i, target) ? 1 : 0;
  const std::uint64_t i0 = i & ~bit(target);
  const std::uint64_t i1 = i | bit(target);
  return add(mul(m[2 * row], old[i0]), mul(m[2 * row + 1], old[i1]));
}

template <typename T>
Amplitudes<T> oracle_single(const Amplitudes<T>& old, const Matrix2<T>& m, std::uint64_t target) {
  Amplitudes<T> out(old.size());
  for (std::uint64_t i = 0; i < old.size(); ++i) {
    out[i] = oracle_pair_value(old, m, i, target);
  }
  return out;
}

// A pair takes part when every control is 1 at both of its indices; a control equal to the
// target therefore never lets a pair take part.
template <typename T>
Amplitudes<T> oracle_controlled(const Amplitudes<T>& old, const Matrix2<T>& m,
                                const std::vector<std::uint64_t>& controls, std::uint64_t target) {
  Amplitudes<T> out(old.size());
  for (std::uint64_t i = 0; i < old.size(); ++i) {
    bool acts = true;
    for (const std::uint64_t c : controls) {
      acts = acts && is_set(i & ~bit(target), c) && is_set(i | bit(target), c);
    }
    out[i] = acts ? oracle_pair_value(old, m, i, target) : old[i];
  }
  return out;
}

// Local index bit(q0) + 2 * bit(q1); rows accumulated in column order. q0 == q1 changes nothing.
template <typename T>
Amplitudes<T> oracle_two_qubit(const Amplitudes<T>& old, const Matrix4<T>& m, std::uint64_t q0,
                               std::uint64_t q1) {
  if (q0 == q1) {
    return old;
  }
  Amplitudes<T> out(old.size());
  for (std::uint64_t i = 0; i < old.size(); ++i) {
    const int row = (is_set(i, q0) ? 1 : 0) + (is_set(i, q1) ? 2 : 0);
    const std::uint64_t base = i & ~(bit(q0) | bit(q1));
    Complex<T> a[4];
    for (int c = 0; c < 4; ++c) {
      a[c] = old[base | ((c & 1) != 0 ? bit(q0) : 0) | ((c & 2) != 0 ? bit(q1) : 0)];
    }
    out[i] =
        add(add(add(mul(m[4 * row], a[0]), mul(m[4 * row + 1], a[1])), mul(m[4 * row + 2], a[2])),
            mul(m[4 * row + 3], a[3]));
  }
  return out;
}

// The exchange pairs an index with target2 = 1, control = 1, target1 = 0 with the index that
// has target1 and target2 flipped; everything else stays.
template <typename T>
Amplitudes<T> oracle_controlled_swap(const Amplitudes<T>& old, std::uint64_t control,
                                     std::uint64_t target1, std::uint64_t target2) {
  const auto is_upper = [&](std::uint64_t i) {
    return is_set(i, target2) && is_set(i, control) && !is_set(i, target1);
  };
  Amplitudes<T> out(old.size());
  for (std::uint64_t i = 0; i < old.size(); ++i) {
    const std::uint64_t partner = (i | bit(target2)) & ~bit(target1);
    if (is_upper(i)) {
      out[i] = old[(i | bit(target1)) & ~bit(target2)];
    } else if (is_set(i, target1) && !is_set(i, target2) && is_upper(partner)) {
      out[i] = old[partner];
    } else {
      out[i] = old[i];
    }
  }
  return out;
}

}  // namespace vorn::core::test
