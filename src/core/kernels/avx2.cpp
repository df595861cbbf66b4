// The kernels vectorised for AVX2: 256-bit registers, two f64 or four f32 amplitudes each.
// This file alone is compiled with -mavx2 -mfma, and only runs on CPUs that report AVX2 (the
// fused kernels at its end, the only code here that multiplies and adds in one instruction,
// only on CPUs that also report FMA).
#include <immintrin.h>

#define VORN_SIMD_NAMESPACE avx2
#include "core/kernels/fused_impl.h"
#include "core/kernels/simd.h"
#include "core/kernels/variants.h"

namespace vorn::core::kernels::avx2 {

struct F64 {
  using T = double;
  using V = __m256d;
  using Index = __m256i;
  using Mask = __m256d;
  static constexpr unsigned LOG_W = 1;
  static constexpr bool NATIVE_ADDSUB = true;
  static constexpr unsigned REGISTERS = 16;
  static constexpr bool SHAPED = true;

  static V load(const T* p) { return _mm256_loadu_pd(p); }
  static void store(T* p, V x) { _mm256_storeu_pd(p, x); }
  static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
  static V add(V a, V b) { return _mm256_add_pd(a, b); }
  static V addsub(V a, V b) { return _mm256_addsub_pd(a, b); }
  static V swap_re_im(V a) { return _mm256_permute_pd(a, 0b0101); }

  // An amplitude is four 32-bit words; lane l takes the words of lane from[l].
  static Index make_permutation(const unsigned* from) {
    alignas(32) int words[8];
    for (unsigned lane = 0; lane < 2; ++lane) {
      for (unsigned w = 0; w < 4; ++w) {
        words[4 * lane + w] = static_cast<int>(4 * from[lane] + w);
      }
    }
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(words));
  }
  static V permute(V a, Index i) {
    return _mm256_castsi256_pd(_mm256_permutevar8x32_epi32(_mm256_castpd_si256(a), i));
  }
  static Mask make_mask(const bool* active) {
    alignas(32) long long bits[4];
    for (unsigned e = 0; e < 4; ++e) {
      bits[e] = active[e / 2] ? -1 : 0;
    }
    return _mm256_castsi256_pd(_mm256_load_si256(reinterpret_cast<const __m256i*>(bits)));
  }
  static V blend(V old, V neu, Mask m) { return _mm256_blendv_pd(old, neu, m); }
  static V mask_add(V old, Mask m, V a, V b) { return blend(old, add(a, b), m); }

  static V one() { return _mm256_set1_pd(1.0); }
  static V bit_or(V a, V b) { return _mm256_or_pd(a, b); }
  static bool zero_bits(V a) {
    const __m256i bits = _mm256_castpd_si256(a);
    return _mm256_testz_si256(bits, bits) != 0;
  }
  // Twice the bits drops the sign: finite and not zero is 2 ... 2 * largest finite, one range of
  // unsigned values, moved to the bottom of the signed ones for a single comparison.
  static bool ordinary(V a) {
    const __m256i bits = _mm256_castpd_si256(a);
    const __m256i twice = _mm256_add_epi64(bits, bits);
    const __m256i moved = _mm256_add_epi64(twice, _mm256_set1_epi64x(0x7FFFFFFFFFFFFFFE));
    const __m256i bad = _mm256_cmpgt_epi64(moved, _mm256_set1_epi64x(0x7FDFFFFFFFFFFFFC));
    return _mm256_testz_si256(bad, bad) != 0;
  }
};

struct F32 {
  using T = float;
  using V = __m256;
  using Index = __m256i;
  using Mask = __m256;
  static constexpr unsigned LOG_W = 2;
  static constexpr bool NATIVE_ADDSUB = true;
  static constexpr unsigned REGISTERS = 16;
  static constexpr bool SHAPED = true;

  static V load(const T* p) { return _mm256_loadu_ps(p); }
  static void store(T* p, V x) { _mm256_storeu_ps(p, x); }
  static V mul(V a, V b) { return _mm256_mul_ps(a, b); }
  static V add(V a, V b) { return _mm256_add_ps(a, b); }
  static V addsub(V a, V b) { return _mm256_addsub_ps(a, b); }
  static V swap_re_im(V a) { return _mm256_permute_ps(a, 0b10110001); }

  static Index make_permutation(const unsigned* from) {
    alignas(32) int words[8];
    for (unsigned lane = 0; lane < 4; ++lane) {
      words[2 * lane] = static_cast<int>(2 * from[lane]);
      words[2 * lane + 1] = static_cast<int>(2 * from[lane] + 1);
    }
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(words));
  }
  static V permute(V a, Index i) { return _mm256_permutevar8x32_ps(a, i); }
  static Mask make_mask(const bool* active) {
    alignas(32) int bits[8];
    for (unsigned e = 0; e < 8; ++e) {
      bits[e] = active[e / 2] ? -1 : 0;
    }
    return _mm256_castsi256_ps(_mm256_load_si256(reinterpret_cast<const __m256i*>(bits)));
  }
  static V blend(V old, V neu, Mask m) { return _mm256_blendv_ps(old, neu, m); }
  static V mask_add(V old, Mask m, V a, V b) { return blend(old, add(a, b), m); }

  static V one() { return _mm256_set1_ps(1.0f); }
  static V bit_or(V a, V b) { return _mm256_or_ps(a, b); }
  static bool zero_bits(V a) {
    const __m256i bits = _mm256_castps_si256(a);
    return _mm256_testz_si256(bits, bits) != 0;
  }
  // As for F64, on 32-bit elements.
  static bool ordinary(V a) {
    const __m256i bits = _mm256_castps_si256(a);
    const __m256i twice = _mm256_add_epi32(bits, bits);
    const __m256i moved = _mm256_add_epi32(twice, _mm256_set1_epi32(0x7FFFFFFE));
    const __m256i bad = _mm256_cmpgt_epi32(moved, _mm256_set1_epi32(0x7EFFFFFC));
    return _mm256_testz_si256(bad, bad) != 0;
  }
};

}  // namespace vorn::core::kernels::avx2

namespace vorn::core::kernels {

template <>
const KernelTable<double>& avx2_table<double>() {
  static constexpr KernelTable<double> table = avx2::make_table<avx2::F64>("avx2");
  return table;
}

template <>
const KernelTable<float>& avx2_table<float>() {
  static constexpr KernelTable<float> table = avx2::make_table<avx2::F32>("avx2");
  return table;
}

}  // namespace vorn::core::kernels

namespace vorn::core::kernels::avx2 {

// The fused kernels' registers: the exact kernels' own, with what the fused arithmetic adds.
struct FusedF64 : F64 {
  static V zero() { return _mm256_setzero_pd(); }
  static V broadcast(T t) { return _mm256_set1_pd(t); }
  static V fma(V a, V b, V c) { return _mm256_fmadd_pd(a, b, c); }
  // (re, im) -> (-im, re): the sign bit of each real part flipped after the exchange.
  static V negswap(V x) {
    return _mm256_xor_pd(_mm256_permute_pd(x, 0b0101), _mm256_set_pd(0.0, -0.0, 0.0, -0.0));
  }
};

struct FusedF32 : F32 {
  static V zero() { return _mm256_setzero_ps(); }
  static V broadcast(T t) { return _mm256_set1_ps(t); }
  static V fma(V a, V b, V c) { return _mm256_fmadd_ps(a, b, c); }
  static V negswap(V x) {
    return _mm256_xor_ps(_mm256_permute_ps(x, 0b10110001),
                         _mm256_set_ps(0.0f, -0.0f, 0.0f, -0.0f, 0.0f, -0.0f, 0.0f, -0.0f));
  }
};

template <class S>
std::unique_ptr<PreparedGate<typename S::T>> prepare_fused(const FusedGate<typename S::T>& gate,
                                                           unsigned n_qubits) {
  return fused_detail::prepare<S>(gate, n_qubits);
}

}  // namespace vorn::core::kernels::avx2

namespace vorn::core::kernels {

template <>
const FusedKernels<double>& fused_avx2_kernels<double>() {
  static constexpr FusedKernels<double> kernels{"avx2", &avx2::prepare_fused<avx2::FusedF64>};
  return kernels;
}

template <>
const FusedKernels<float>& fused_avx2_kernels<float>() {
  static constexpr FusedKernels<float> kernels{"avx2", &avx2::prepare_fused<avx2::FusedF32>};
  return kernels;
}

}  // namespace vorn::core::kernels
