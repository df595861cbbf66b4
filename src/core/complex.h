// One amplitude: re then im, the element layout of NumPy's complex64 / complex128.
#pragma once

#include <type_traits>

namespace vorn::core {

template <typename T>
struct Complex {
  static_assert(std::is_same_v<T, float> || std::is_same_v<T, double>);
  T re;
  T im;

  friend constexpr bool operator==(const Complex&, const Complex&) = default;
};

static_assert(sizeof(Complex<float>) == 8 && alignof(Complex<float>) == 4);
static_assert(sizeof(Complex<double>) == 16 && alignof(Complex<double>) == 8);
static_assert(std::is_trivially_copyable_v<Complex<double>> &&
              std::is_standard_layout_v<Complex<double>>);

// The plain product: separate multiplications and additions, no special handling of
// infinities or NaN. The whole project is built with -ffp-contract=off, so no FMA.
template <typename T>
constexpr Complex<T> mul(Complex<T> a, Complex<T> b) {
  return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

template <typename T>
constexpr Complex<T> add(Complex<T> a, Complex<T> b) {
  return {a.re + b.re, a.im + b.im};
}

}  // namespace vorn::core
