// The scalar fused kernels (the definition the vectorised ones match bit for bit), the choice
// among the implementations, and whole-state application.
#include <bit>
#include <cmath>
#include <string_view>

#include "core/kernels/fused.h"
#include "core/kernels/fused_impl.h"
#include "core/kernels/variants.h"

namespace vorn::core::kernels {
namespace {

// One amplitude per register; std::fma rounds once, as the vector instructions do.
template <typename Float>
struct Scalar {
  using T = Float;
  struct V {
    T re;
    T im;
  };
  using Index = int;
  using Mask = bool;
  static constexpr unsigned LOG_W = 0;

  static V load(const T* p) { return {p[0], p[1]}; }
  static void store(T* p, V x) {
    p[0] = x.re;
    p[1] = x.im;
  }
  static V zero() { return {T{0}, T{0}}; }
  static V broadcast(T t) { return {t, t}; }
  static V fma(V a, V b, V c) { return {std::fma(a.re, b.re, c.re), std::fma(a.im, b.im, c.im)}; }
  static V mul(V a, V b) { return {a.re * b.re, a.im * b.im}; }
  static V negswap(V x) { return {-x.im, x.re}; }
  static V permute(V x, Index /*unused*/) { return x; }
  static Index make_permutation(const unsigned* /*unused*/) { return 0; }
  static Mask make_mask(const bool* active) { return active[0]; }
  static V blend(V old, V neu, Mask m) { return m ? neu : old; }
};

template <typename T>
std::unique_ptr<PreparedGate<T>> prepare_scalar(const FusedGate<T>& gate, unsigned n_qubits) {
  return fused_detail::prepare<Scalar<T>>(gate, n_qubits);
}

}  // namespace

template <typename T>
const FusedKernels<T>& fused_reference_kernels() {
  static constexpr FusedKernels<T> kernels{"reference", &prepare_scalar<T>};
  return kernels;
}

template <typename T>
const FusedKernels<T>& fused_kernels(std::string_view name) {
  if (name == "avx512" && __builtin_cpu_supports("avx512f")) {
    return fused_avx512_kernels<T>();
  }
  if (name == "avx2" && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
    return fused_avx2_kernels<T>();
  }
  return fused_reference_kernels<T>();
}

template <typename T>
void apply_fused_gate(const FusedKernels<T>& kernels, std::span<Complex<T>> v,
                      const FusedGate<T>& gate) {
  const auto n = static_cast<unsigned>(std::bit_width(v.size()) - 1);
  const std::unique_ptr<PreparedGate<T>> prepared = kernels.prepare(gate, n);
  prepared->apply(v.data(), 0, prepared->units);
}

template const FusedKernels<float>& fused_reference_kernels<float>();
template const FusedKernels<double>& fused_reference_kernels<double>();
template const FusedKernels<float>& fused_kernels<float>(std::string_view);
template const FusedKernels<double>& fused_kernels<double>(std::string_view);
template void apply_fused_gate<float>(const FusedKernels<float>&, std::span<Complex<float>>,
                                      const FusedGate<float>&);
template void apply_fused_gate<double>(const FusedKernels<double>&, std::span<Complex<double>>,
                                       const FusedGate<double>&);

}  // namespace vorn::core::kernels
