// The unitarity check of M·M†, the Z-Y-Z decomposition M = e^(i·alpha)·Rz(beta)·Ry(gamma)·
// Rz(delta), and its append as three rotations plus a global-phase increment.
#include "simulator/unitary.h"

#include <cmath>

namespace vorn::sim {
namespace {

using C = core::Complex<double>;

// x·conj(y), written out so the order of every product and sum is fixed.
C mul_conj(C x, C y) { return {x.re * y.re + x.im * y.im, x.im * y.re - x.re * y.im}; }

C sum(C a, C b) { return {a.re + b.re, a.im + b.im}; }

double arg(C x) { return std::atan2(x.im, x.re); }

}  // namespace

std::optional<UnitarityViolation> check_unitary(const core::Matrix2<double>& m, double tol) {
  const C m00 = m[0];
  const C m01 = m[1];
  const C m10 = m[2];
  const C m11 = m[3];
  // Visiting order (0,0), (0,1), (1,0), (1,1).
  const C p[4] = {
      sum(mul_conj(m00, m00), mul_conj(m01, m01)),
      sum(mul_conj(m00, m10), mul_conj(m01, m11)),
      sum(mul_conj(m10, m00), mul_conj(m11, m01)),
      sum(mul_conj(m10, m10), mul_conj(m11, m11)),
  };
  std::optional<UnitarityViolation> worst;
  for (std::uint64_t k = 0; k < 4; ++k) {
    const std::uint64_t i = k / 2;
    const std::uint64_t j = k % 2;
    const double expected = i == j ? 1.0 : 0.0;
    const double error = std::hypot(p[k].re - expected, p[k].im - 0.0);
    // A NaN error fails both comparisons, so it never violates; ties keep the earlier entry.
    if (error > tol && (!worst || error > worst->error)) {
      worst = UnitarityViolation{i, j, p[k], C{expected, 0.0}, error, tol};
    }
  }
  return worst;
}

ZyzAngles decompose_zyz(const core::Matrix2<double>& m) {
  const C m00 = m[0];
  const C m01 = m[1];
  const C m10 = m[2];
  const C m11 = m[3];

  const double det_re = (m00.re * m11.re - m00.im * m11.im) - (m01.re * m10.re - m01.im * m10.im);
  const double det_im = (m00.im * m11.re + m11.im * m00.re) - (m01.im * m10.re + m10.im * m01.re);
  const double alpha = std::atan2(det_im, det_re) * 0.5;

  // Strip the phase: x' = x·e^(-i·alpha).
  const double c = std::cos(alpha);
  const double s = std::sin(alpha);
  const auto strip = [c, s](C x) { return C{x.re * c + x.im * s, x.im * c - x.re * s}; };
  const C a00 = strip(m00);
  const C a10 = strip(m10);
  const C a11 = strip(m11);

  const double r0 = std::hypot(a00.re, a00.im);
  const double r1 = std::hypot(a10.re, a10.im);
  const double gamma = 2.0 * std::atan2(r1, r0);

  double beta;
  double delta;
  if (r0 > ZYZ_EPS && r1 > ZYZ_EPS) {
    beta = arg(a11) + arg(a10);
    delta = arg(a11) - arg(a10);
  } else if (r1 < ZYZ_EPS) {
    // Diagonal up to the threshold.
    beta = 2.0 * arg(a11);
    delta = 0.0;
  } else {
    // Anti-diagonal up to the threshold; also reached when r1 equals ZYZ_EPS or is NaN.
    beta = 2.0 * arg(a10);
    delta = 0.0;
  }
  return {alpha, beta, gamma, delta};
}

void append_unitary(Circuit& circuit, const core::Matrix2<double>& m, std::uint64_t qubit) {
  const ZyzAngles a = decompose_zyz(m);
  // Time order Rz(delta), Ry(gamma), Rz(beta): the product Rz(beta)·Ry(gamma)·Rz(delta).
  circuit.rz(a.delta, qubit);
  circuit.ry(a.gamma, qubit);
  circuit.rz(a.beta, qubit);
  circuit.add_global_phase(a.alpha);
}

}  // namespace vorn::sim
