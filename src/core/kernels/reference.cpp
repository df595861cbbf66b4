// The scalar reference kernels and their table.
#include "core/kernels/reference.h"

#include <algorithm>
#include <bit>
#include <utility>

#include "core/kernels.h"
#include "core/kernels/bits.h"
#include "core/kernels/dispatch.h"
#include "core/parallel.h"

namespace vorn::core::kernels::reference {
namespace {

constexpr std::uint64_t bit(unsigned q) { return std::uint64_t{1} << q; }
constexpr bool is_set(std::uint64_t i, unsigned q) { return ((i >> q) & 1) != 0; }

// Pair update: both amplitudes are read before either is written.
template <typename T>
inline void pair_update(Complex<T>& x, Complex<T>& y, const Matrix2<T>& m) {
  const Complex<T> a0 = x;
  const Complex<T> a1 = y;
  x = add(mul(m[0], a0), mul(m[1], a1));
  y = add(mul(m[2], a0), mul(m[3], a1));
}

// Group update of the 4x4 kernel on (v[i00], v[i01], v[i10], v[i11]), local indices 0 to 3;
// each row is accumulated in column order from the values read first.
template <typename T>
inline void group_update(Complex<T>* v, const std::uint64_t (&index)[4], const Matrix4<T>& m) {
  const Complex<T> a[4] = {v[index[0]], v[index[1]], v[index[2]], v[index[3]]};
  Complex<T> out[4];
  for (int r = 0; r < 4; ++r) {
    const Complex<T>* row = &m[4 * r];
    out[r] =
        add(add(add(mul(row[0], a[0]), mul(row[1], a[1])), mul(row[2], a[2])), mul(row[3], a[3]));
  }
  for (int r = 0; r < 4; ++r) {
    v[index[r]] = out[r];
  }
}

template <typename T>
inline void two_qubit_group(Complex<T>* v, std::uint64_t k, const ZeroBitMasks& masks,
                            const Matrix4<T>& m, unsigned q0, unsigned q1) {
  const std::uint64_t i00 = insert_zero_bits(k, masks);
  const std::uint64_t i01 = i00 | bit(q0);
  const std::uint64_t index[4] = {i00, i01, i00 | bit(q1), i01 | bit(q1)};
  group_update(v, index, m);
}

}  // namespace

template <typename T>
void serial_single(Complex<T>* v, std::uint64_t len, const Matrix2<T>& matrix, unsigned target) {
  const Matrix2<T> m = matrix;
  const std::uint64_t stride = bit(target);
  const std::uint64_t block = stride << 1;
  for (std::uint64_t base = 0; base < len; base += block) {
    for (std::uint64_t i = base; i < base + stride; ++i) {
      pair_update(v[i], v[i + stride], m);
    }
  }
}

template <typename T>
void serial_controlled(Complex<T>* v, std::uint64_t len, const Matrix2<T>& matrix, unsigned control,
                       unsigned target) {
  const Matrix2<T> m = matrix;
  for (std::uint64_t i = 0; i < len; ++i) {
    if (is_set(i, control) && !is_set(i, target)) {
      pair_update(v[i], v[i | bit(target)], m);
    }
  }
}

template <typename T>
void serial_doubly_controlled(Complex<T>* v, std::uint64_t len, const Matrix2<T>& matrix,
                              unsigned control1, unsigned control2, unsigned target) {
  const Matrix2<T> m = matrix;
  for (std::uint64_t i = 0; i < len; ++i) {
    if (is_set(i, target) || !is_set(i, control1) || !is_set(i, control2)) {
      continue;
    }
    pair_update(v[i], v[i | bit(target)], m);
  }
}

template <typename T>
void serial_controlled_swap(Complex<T>* v, std::uint64_t len, unsigned control, unsigned target1,
                            unsigned target2) {
  for (std::uint64_t i = 0; i < len; ++i) {
    if (is_set(i, target2) && is_set(i, control) && !is_set(i, target1)) {
      const std::uint64_t j = (i | bit(target1)) & ~bit(target2);
      std::swap(v[i], v[j]);
    }
  }
}

template <typename T>
void serial_two_qubit(Complex<T>* v, std::uint64_t len, const Matrix4<T>& matrix, unsigned q0,
                      unsigned q1) {
  const Matrix4<T> m = matrix;
  const ZeroBitMasks masks = zero_bit_masks(std::min(q0, q1), std::max(q0, q1));
  for (std::uint64_t k = 0; k < len / 4; ++k) {
    two_qubit_group(v, k, masks, m, q0, q1);
  }
}

template <typename T>
void parallel_single(Complex<T>* v, std::uint64_t len, const Matrix2<T>& matrix, unsigned target) {
  const Matrix2<T> m = matrix;
  const std::uint64_t stride = bit(target);
  const std::uint64_t block = stride << 1;
  const std::uint64_t chunks = len / block;
  if (chunks > 1) {
    // One work item per piece of block amplitudes: its lower half pairs with its upper half.
    parallel_for(0, chunks, 1, [&](std::uint64_t begin, std::uint64_t end) {
      for (std::uint64_t piece = begin; piece < end; ++piece) {
        Complex<T>* lower = v + piece * block;
        Complex<T>* upper = lower + stride;
        for (std::uint64_t j = 0; j < stride; ++j) {
          pair_update(lower[j], upper[j], m);
        }
      }
    });
  } else {
    // The highest target: the vector is one piece, so each pair is a work item of its own.
    Complex<T>* lower = v;
    Complex<T>* upper = v + stride;
    parallel_for(0, stride, 1, [&](std::uint64_t begin, std::uint64_t end) {
      for (std::uint64_t j = begin; j < end; ++j) {
        pair_update(lower[j], upper[j], m);
      }
    });
  }
}

template <typename T>
void parallel_controlled(Complex<T>* v, std::uint64_t len, const Matrix2<T>& matrix,
                         unsigned control, unsigned target) {
  const Matrix2<T> m = matrix;
  const ZeroBitMasks masks = zero_bit_masks(std::min(control, target), std::max(control, target));
  parallel_for(0, len / 4, 1, [&](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t k = begin; k < end; ++k) {
      const std::uint64_t i = insert_zero_bits(k, masks) | bit(control);
      pair_update(v[i], v[i | bit(target)], m);
    }
  });
}

template <typename T>
void parallel_two_qubit(Complex<T>* v, std::uint64_t len, const Matrix4<T>& matrix, unsigned q0,
                        unsigned q1) {
  const Matrix4<T> m = matrix;
  const ZeroBitMasks masks = zero_bit_masks(std::min(q0, q1), std::max(q0, q1));
  parallel_for(0, len / 4, 1, [&](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t k = begin; k < end; ++k) {
      two_qubit_group(v, k, masks, m, q0, q1);
    }
  });
}

namespace {

// The runs of pairs that a gate under controls updates. Work items are runs of 2^low
// consecutive pairs, low the lowest operand position: below it no operand bit lies. A run number
// r becomes the run's first index by inserting a zero bit at every operand position in
// increasing order (each insertion moves the bits above it up, so that the next position is
// already where the index has it), then setting the controls' values. As r runs over all runs,
// the first indices cover once every index with the target clear and the controls at their
// values.
struct ControlledRuns {
  unsigned low = 0;          // 2^low pairs per run
  std::uint64_t count = 0;   // runs
  std::uint64_t stride = 0;  // from a pair's lower amplitude to its upper one
  std::uint64_t values = 0;
  unsigned positions[64] = {};
  unsigned n_positions = 0;

  ControlledRuns(std::uint64_t len, std::uint64_t control_mask, std::uint64_t control_values,
                 unsigned target) {
    const std::uint64_t operands = control_mask | bit(target);
    low = static_cast<unsigned>(std::countr_zero(operands));
    count = (len >> std::popcount(operands)) >> low;
    stride = bit(target);
    values = control_values;
    for (std::uint64_t rest = operands; rest != 0; rest &= rest - 1) {
      positions[n_positions++] = static_cast<unsigned>(std::countr_zero(rest));
    }
  }

  template <typename T>
  void apply(Complex<T>* v, const Matrix2<T>& m, std::uint64_t begin, std::uint64_t end) const {
    const std::uint64_t run = bit(low);
    for (std::uint64_t r = begin; r < end; ++r) {
      std::uint64_t first = r << low;
      for (unsigned j = 0; j < n_positions; ++j) {
        const unsigned p = positions[j];
        first = ((first >> p) << (p + 1)) | (first & (bit(p) - 1));
      }
      first |= values;
      Complex<T>* lower = v + first;
      Complex<T>* upper = lower + stride;
      for (std::uint64_t j = 0; j < run; ++j) {
        pair_update(lower[j], upper[j], m);
      }
    }
  }
};

}  // namespace

template <typename T>
void serial_multi_controlled(Complex<T>* v, std::uint64_t len, const Matrix2<T>& matrix,
                             std::uint64_t control_mask, std::uint64_t control_values,
                             unsigned target) {
  const Matrix2<T> m = matrix;
  const ControlledRuns runs(len, control_mask, control_values, target);
  runs.apply(v, m, 0, runs.count);
}

template <typename T>
void parallel_multi_controlled(Complex<T>* v, std::uint64_t len, const Matrix2<T>& matrix,
                               std::uint64_t control_mask, std::uint64_t control_values,
                               unsigned target) {
  const Matrix2<T> m = matrix;
  const ControlledRuns runs(len, control_mask, control_values, target);
  parallel_for(0, runs.count, 1,
               [&](std::uint64_t begin, std::uint64_t end) { runs.apply(v, m, begin, end); });
}

namespace {
ZeroBitMasks sorted_masks(unsigned a, unsigned b, unsigned c) {
  unsigned p[3] = {a, b, c};
  std::sort(p, p + 3);
  return zero_bit_masks(p[0], p[1], p[2]);
}
}  // namespace

template <typename T>
void parallel_doubly_controlled(Complex<T>* v, std::uint64_t len, const Matrix2<T>& matrix,
                                unsigned control1, unsigned control2, unsigned target) {
  const Matrix2<T> m = matrix;
  const ZeroBitMasks masks = sorted_masks(control1, control2, target);
  const std::uint64_t controls = bit(control1) | bit(control2);
  parallel_for(0, len / 8, 1, [&](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t k = begin; k < end; ++k) {
      const std::uint64_t i = insert_zero_bits(k, masks) | controls;
      pair_update(v[i], v[i | bit(target)], m);
    }
  });
}

template <typename T>
void parallel_controlled_swap(Complex<T>* v, std::uint64_t len, unsigned control, unsigned target1,
                              unsigned target2) {
  // control == target2: the scan's bit tests ask only for (target1, target2) = (0, 1), so every
  // such amplitude is exchanged with its partner, without condition.
  const bool unconditional = control == target2;
  const ZeroBitMasks masks =
      unconditional ? zero_bit_masks(std::min(target1, target2), std::max(target1, target2))
                    : sorted_masks(control, target1, target2);
  const std::uint64_t items = unconditional ? len / 4 : len / 8;
  const std::uint64_t set = unconditional ? 0 : bit(control);
  parallel_for(0, items, 1, [&](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t k = begin; k < end; ++k) {
      const std::uint64_t b = insert_zero_bits(k, masks) | set;
      std::swap(v[b | bit(target2)], v[b | bit(target1)]);
    }
  });
}

namespace {

template <typename T>
void single(Complex<T>* v, std::uint64_t len, const Matrix2<T>& m, unsigned target) {
  if (len < PARALLEL_THRESHOLD) {
    serial_single(v, len, m, target);
  } else {
    parallel_single(v, len, m, target);
  }
}

template <typename T>
void controlled(Complex<T>* v, std::uint64_t len, const Matrix2<T>& m, unsigned control,
                unsigned target) {
  if (len < PARALLEL_THRESHOLD) {
    serial_controlled(v, len, m, control, target);
  } else {
    parallel_controlled(v, len, m, control, target);
  }
}

template <typename T>
void two_qubit(Complex<T>* v, std::uint64_t len, const Matrix4<T>& m, unsigned q0, unsigned q1) {
  if (len < PARALLEL_THRESHOLD) {
    serial_two_qubit(v, len, m, q0, q1);
  } else {
    parallel_two_qubit(v, len, m, q0, q1);
  }
}

template <typename T>
void doubly_controlled(Complex<T>* v, std::uint64_t len, const Matrix2<T>& m, unsigned control1,
                       unsigned control2, unsigned target) {
  if (len < PARALLEL_THRESHOLD) {
    serial_doubly_controlled(v, len, m, control1, control2, target);
  } else {
    parallel_doubly_controlled(v, len, m, control1, control2, target);
  }
}

template <typename T>
void controlled_swap(Complex<T>* v, std::uint64_t len, unsigned control, unsigned target1,
                     unsigned target2) {
  if (len < PARALLEL_THRESHOLD) {
    serial_controlled_swap(v, len, control, target1, target2);
  } else {
    parallel_controlled_swap(v, len, control, target1, target2);
  }
}

template <typename T>
constexpr KernelTable<T> kTable = {
    {single<T>, controlled<T>, two_qubit<T>, doubly_controlled<T>, controlled_swap<T>},
    "reference",
    {serial_single<T>, serial_controlled<T>, serial_two_qubit<T>, serial_doubly_controlled<T>,
     serial_controlled_swap<T>},
    {serial_single<T>, serial_controlled<T>, serial_two_qubit<T>, serial_doubly_controlled<T>,
     serial_controlled_swap<T>}};

}  // namespace

#define VORN_INSTANTIATE(T)                                                                     \
  template void serial_single<T>(Complex<T>*, std::uint64_t, const Matrix2<T>&, unsigned);      \
  template void serial_controlled<T>(Complex<T>*, std::uint64_t, const Matrix2<T>&, unsigned,   \
                                     unsigned);                                                 \
  template void serial_doubly_controlled<T>(Complex<T>*, std::uint64_t, const Matrix2<T>&,      \
                                            unsigned, unsigned, unsigned);                      \
  template void serial_controlled_swap<T>(Complex<T>*, std::uint64_t, unsigned, unsigned,       \
                                          unsigned);                                            \
  template void serial_two_qubit<T>(Complex<T>*, std::uint64_t, const Matrix4<T>&, unsigned,    \
                                    unsigned);                                                  \
  template void parallel_single<T>(Complex<T>*, std::uint64_t, const Matrix2<T>&, unsigned);    \
  template void parallel_controlled<T>(Complex<T>*, std::uint64_t, const Matrix2<T>&, unsigned, \
                                       unsigned);                                               \
  template void parallel_two_qubit<T>(Complex<T>*, std::uint64_t, const Matrix4<T>&, unsigned,  \
                                      unsigned);                                                \
  template void parallel_doubly_controlled<T>(Complex<T>*, std::uint64_t, const Matrix2<T>&,    \
                                              unsigned, unsigned, unsigned);                    \
  template void parallel_controlled_swap<T>(Complex<T>*, std::uint64_t, unsigned, unsigned,     \
                                            unsigned);                                          \
  template void serial_multi_controlled<T>(Complex<T>*, std::uint64_t, const Matrix2<T>&,       \
                                           std::uint64_t, std::uint64_t, unsigned);             \
  template void parallel_multi_controlled<T>(Complex<T>*, std::uint64_t, const Matrix2<T>&,     \
                                             std::uint64_t, std::uint64_t, unsigned);

VORN_INSTANTIATE(float)
VORN_INSTANTIATE(double)
#undef VORN_INSTANTIATE

}  // namespace vorn::core::kernels::reference

namespace vorn::core::kernels {

template <>
const KernelTable<float>& reference_table<float>() {
  return reference::kTable<float>;
}
template <>
const KernelTable<double>& reference_table<double>() {
  return reference::kTable<double>;
}

}  // namespace vorn::core::kernels
