// The kernels vectorised for AVX-512F: 512-bit registers, four f64 or eight f32 amplitudes each.
// This file alone is compiled with -mavx512f, and only runs on CPUs that report AVX-512F. The
// fused kernels at its end are the only code here that multiplies and adds in one instruction.
// GCC 12 warns inside its own AVX-512 headers, where some intrinsics start from a deliberately
// undefined register; the warning is silenced for those header lines only.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#define VORN_SIMD_NAMESPACE avx512
#include "core/kernels/fused_impl.h"
#include "core/kernels/simd.h"
#include "core/kernels/variants.h"

namespace vorn::core::kernels::avx512 {

// The indices of the two-source permutations that exchange lane bit `bit` between registers a
// and b (see exchange in the traits), for LANES amplitudes of two elements E each: an index from
// 2 * LANES on selects an element of b.
struct ExchangeIndices {
  __m512i low, high;
};

template <typename E, unsigned LANES>
ExchangeIndices exchange_indices(unsigned bit) {
  const unsigned p = 1u << bit;
  alignas(64) E low[2 * LANES];
  alignas(64) E high[2 * LANES];
  for (unsigned lane = 0; lane < LANES; ++lane) {
    const bool set = (lane & p) != 0;
    for (unsigned k = 0; k < 2; ++k) {
      low[2 * lane + k] = static_cast<E>(set ? 2 * LANES + 2 * (lane ^ p) + k : 2 * lane + k);
      high[2 * lane + k] = static_cast<E>(set ? 2 * LANES + 2 * lane + k : 2 * (lane | p) + k);
    }
  }
  return {_mm512_load_si512(low), _mm512_load_si512(high)};
}

struct F64 {
  using T = double;
  using V = __m512d;
  using Index = __m512i;
  using Mask = __mmask8;
  static constexpr unsigned LOG_W = 2;
  static constexpr bool NATIVE_ADDSUB = false;
  static constexpr unsigned REGISTERS = 32;
  static constexpr bool SHAPED = false;

  static V load(const T* p) { return _mm512_loadu_pd(p); }
  static void store(T* p, V x) { _mm512_storeu_pd(p, x); }
  static V mul(V a, V b) { return _mm512_mul_pd(a, b); }
  static V add(V a, V b) { return _mm512_add_pd(a, b); }
  // No addsub in AVX-512: the difference everywhere, then the sum into the odd elements.
  static V addsub(V a, V b) { return _mm512_mask_add_pd(_mm512_sub_pd(a, b), 0xAA, a, b); }
  static V swap_re_im(V a) { return _mm512_permute_pd(a, 0x55); }

  static Index make_permutation(const unsigned* from) {
    alignas(64) long long elements[8];
    for (unsigned lane = 0; lane < 4; ++lane) {
      elements[2 * lane] = 2 * from[lane];
      elements[2 * lane + 1] = 2 * from[lane] + 1;
    }
    return _mm512_load_si512(elements);
  }
  static V permute(V a, Index i) { return _mm512_permutexvar_pd(i, a); }
  static Mask make_mask(const bool* active) {
    unsigned bits = 0;
    for (unsigned e = 0; e < 8; ++e) {
      bits |= (active[e / 2] ? 1u : 0u) << e;
    }
    return static_cast<Mask>(bits);
  }
  static V blend(V old, V neu, Mask m) { return _mm512_mask_blend_pd(m, old, neu); }
  static V mask_add(V old, Mask m, V a, V b) { return _mm512_mask_add_pd(old, m, a, b); }

  // Lane bit 0 is a register's 128-bit quarter within its half (two-source permutations, whose
  // indices the Exchange holds), lane bit 1 its half.
  using Exchange = ExchangeIndices;
  static Exchange make_exchange(unsigned bit) { return exchange_indices<long long, 4>(bit); }
  template <unsigned Bit>
  static void exchange(V& a, V& b, const Exchange& x) {
    V low;
    if constexpr (Bit == 1) {
      low = _mm512_shuffle_f64x2(a, b, 0x44);
      b = _mm512_shuffle_f64x2(a, b, 0xEE);
    } else {
      low = _mm512_permutex2var_pd(a, x.low, b);
      b = _mm512_permutex2var_pd(a, x.high, b);
    }
    a = low;
  }
};

struct F32 {
  using T = float;
  using V = __m512;
  using Index = __m512i;
  using Mask = __mmask16;
  static constexpr unsigned LOG_W = 3;
  static constexpr bool NATIVE_ADDSUB = false;
  static constexpr unsigned REGISTERS = 32;
  static constexpr bool SHAPED = false;

  static V load(const T* p) { return _mm512_loadu_ps(p); }
  static void store(T* p, V x) { _mm512_storeu_ps(p, x); }
  static V mul(V a, V b) { return _mm512_mul_ps(a, b); }
  static V add(V a, V b) { return _mm512_add_ps(a, b); }
  static V addsub(V a, V b) { return _mm512_mask_add_ps(_mm512_sub_ps(a, b), 0xAAAA, a, b); }
  static V swap_re_im(V a) { return _mm512_permute_ps(a, 0b10110001); }

  static Index make_permutation(const unsigned* from) {
    alignas(64) int elements[16];
    for (unsigned lane = 0; lane < 8; ++lane) {
      elements[2 * lane] = static_cast<int>(2 * from[lane]);
      elements[2 * lane + 1] = static_cast<int>(2 * from[lane] + 1);
    }
    return _mm512_load_si512(elements);
  }
  static V permute(V a, Index i) { return _mm512_permutexvar_ps(i, a); }
  static Mask make_mask(const bool* active) {
    unsigned bits = 0;
    for (unsigned e = 0; e < 16; ++e) {
      bits |= (active[e / 2] ? 1u : 0u) << e;
    }
    return static_cast<Mask>(bits);
  }
  static V blend(V old, V neu, Mask m) { return _mm512_mask_blend_ps(m, old, neu); }
  static V mask_add(V old, Mask m, V a, V b) { return _mm512_mask_add_ps(old, m, a, b); }

  // Lane bit 0 is the amplitude's place in a 128-bit quarter, lane bit 1 the quarter's within
  // its half (two-source permutations, whose indices the Exchange holds), lane bit 2 the half.
  using Exchange = ExchangeIndices;
  static Exchange make_exchange(unsigned bit) { return exchange_indices<int, 8>(bit); }
  template <unsigned Bit>
  static void exchange(V& a, V& b, const Exchange& x) {
    V low;
    if constexpr (Bit == 0) {
      low = _mm512_castpd_ps(_mm512_unpacklo_pd(_mm512_castps_pd(a), _mm512_castps_pd(b)));
      b = _mm512_castpd_ps(_mm512_unpackhi_pd(_mm512_castps_pd(a), _mm512_castps_pd(b)));
    } else if constexpr (Bit == 2) {
      low = _mm512_shuffle_f32x4(a, b, 0x44);
      b = _mm512_shuffle_f32x4(a, b, 0xEE);
    } else {
      low = _mm512_permutex2var_ps(a, x.low, b);
      b = _mm512_permutex2var_ps(a, x.high, b);
    }
    a = low;
  }
};

}  // namespace vorn::core::kernels::avx512

namespace vorn::core::kernels {

template <>
const KernelTable<double>& avx512_table<double>() {
  static constexpr KernelTable<double> table = avx512::make_table<avx512::F64>("avx512");
  return table;
}

template <>
const KernelTable<float>& avx512_table<float>() {
  static constexpr KernelTable<float> table = avx512::make_table<avx512::F32>("avx512");
  return table;
}

}  // namespace vorn::core::kernels

namespace vorn::core::kernels::avx512 {

// The fused kernels' registers: the exact kernels' own, with what the fused arithmetic adds.
struct FusedF64 : F64 {
  static V zero() { return _mm512_setzero_pd(); }
  static V broadcast(T t) { return _mm512_set1_pd(t); }
  static V fma(V a, V b, V c) { return _mm512_fmadd_pd(a, b, c); }
  // (re, im) -> (-im, re): the sign bit of each real part flipped after the exchange.
  static V negswap(V x) {
    const __m512i sign = _mm512_set_epi64(0, INT64_MIN, 0, INT64_MIN, 0, INT64_MIN, 0, INT64_MIN);
    return _mm512_castsi512_pd(
        _mm512_xor_si512(_mm512_castpd_si512(_mm512_permute_pd(x, 0x55)), sign));
  }
};

struct FusedF32 : F32 {
  static V zero() { return _mm512_setzero_ps(); }
  static V broadcast(T t) { return _mm512_set1_ps(t); }
  static V fma(V a, V b, V c) { return _mm512_fmadd_ps(a, b, c); }
  static V negswap(V x) {
    const __m512i sign = _mm512_set1_epi64(static_cast<long long>(0x80000000u));
    return _mm512_castsi512_ps(
        _mm512_xor_si512(_mm512_castps_si512(_mm512_permute_ps(x, 0b10110001)), sign));
  }
};

template <class S>
std::unique_ptr<PreparedGate<typename S::T>> prepare_fused(const FusedGate<typename S::T>& gate,
                                                           unsigned n_qubits) {
  return fused_detail::prepare<S>(gate, n_qubits);
}

}  // namespace vorn::core::kernels::avx512

namespace vorn::core::kernels {

template <>
const FusedKernels<double>& fused_avx512_kernels<double>() {
  static constexpr FusedKernels<double> kernels{"avx512", &avx512::prepare_fused<avx512::FusedF64>};
  return kernels;
}

template <>
const FusedKernels<float>& fused_avx512_kernels<float>() {
  static constexpr FusedKernels<float> kernels{"avx512", &avx512::prepare_fused<avx512::FusedF32>};
  return kernels;
}

}  // namespace vorn::core::kernels
