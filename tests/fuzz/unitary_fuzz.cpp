// libFuzzer target of the unitary decomposition: 2x2 matrices near unitary (a random unitary,
// perturbed by up to 1e-6 in each part, or not at all) and far from it (any eight doubles).
// The check is compared with M·M† computed here in long double: a refused matrix has an
// entry of M·M† - I beyond the tolerance, and its message names that entry with the fixed
// prefix; an accepted finite matrix is no further than the tolerance from unitary, and the
// three rotations and the phase appended for it rebuild it within 1e-8 per entry.
#include <array>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <string>

#include "fuzz_support.h"
#include "qasm/format.h"
#include "simulator/engine.h"
#include "simulator/unitary.h"

namespace {

namespace sim = vorn::sim;
namespace core = vorn::core;
using vorn::fuzz::require;
using LC = std::complex<long double>;

constexpr double REBUILD_TOL = 1e-8;

// e^{i a} (cos t, -e^{i c} sin t; e^{i b} sin t, e^{i(b+c)} cos t): any unitary.
core::Matrix2<double> unitary(double a, double t, double b, double c) {
  const std::complex<double> ea = std::polar(1.0, a);
  const std::complex<double> m[4] = {ea * std::cos(t), -ea * std::polar(1.0, c) * std::sin(t),
                                     ea * std::polar(1.0, b) * std::sin(t),
                                     ea * std::polar(1.0, b + c) * std::cos(t)};
  core::Matrix2<double> out;
  for (int k = 0; k < 4; ++k) {
    out[k] = {m[k].real(), m[k].imag()};
  }
  return out;
}

LC entry(const core::Matrix2<double>& m, int k) { return {m[k].re, m[k].im}; }

// The largest |(M·M† - I)[i,j]|, in long double.
long double unitarity_error(const core::Matrix2<double>& m) {
  long double worst = 0;
  for (int i = 0; i < 2; ++i) {
    for (int j = 0; j < 2; ++j) {
      const LC p = entry(m, 2 * i) * std::conj(entry(m, 2 * j)) +
                   entry(m, 2 * i + 1) * std::conj(entry(m, 2 * j + 1));
      worst = std::max(worst, std::abs(p - LC(i == j ? 1 : 0)));
    }
  }
  return worst;
}

// Column c of the matrix the appended operations apply (phase included): the state of one
// qubit prepared in |c>.
void check_rebuilt(const core::Matrix2<double>& m) {
  for (std::uint64_t column = 0; column < 2; ++column) {
    sim::Circuit c(1);
    if (column == 1) {
      c.x(0);
    }
    sim::append_unitary(c, m, 0);
    sim::SimulationResult result = sim::run(c, 0, 1, core::Precision::F64);
    const auto& state = std::get<sim::RunResult<double>>(result).statevector;
    for (std::uint64_t row = 0; row < 2; ++row) {
      const auto a = state.amplitudes()[row];
      const auto want = m[2 * row + column];
      require(std::hypot(a.re - want.re, a.im - want.im) <= REBUILD_TOL);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  core::Matrix2<double> m;
  const std::uint8_t mode = in.ConsumeIntegral<std::uint8_t>() % 3;
  if (mode == 2) {
    for (auto& x : m) {
      x = {in.ConsumeFloatingPoint<double>(), in.ConsumeFloatingPoint<double>()};
    }
  } else {
    constexpr double PI = std::numbers::pi;
    const double a = in.ConsumeFloatingPointInRange<double>(-PI, PI);
    const double t = in.ConsumeFloatingPointInRange<double>(-PI, PI);
    const double b = in.ConsumeFloatingPointInRange<double>(-PI, PI);
    const double c = in.ConsumeFloatingPointInRange<double>(-PI, PI);
    m = unitary(a, t, b, c);
    if (mode == 1) {
      for (auto& x : m) {
        x.re += in.ConsumeFloatingPointInRange<double>(-1e-6, 1e-6);
        x.im += in.ConsumeFloatingPointInRange<double>(-1e-6, 1e-6);
      }
    }
  }
  bool finite = true;
  for (const auto& x : m) {
    finite = finite && std::isfinite(x.re) && std::isfinite(x.im);
  }

  const auto violation = sim::check_unitary(m, sim::UNITARY_TOL);
  const long double error = unitarity_error(m);
  if (violation.has_value()) {
    // The reported entry is off by more than the tolerance, and by what the message says.
    require(violation->tol == sim::UNITARY_TOL && violation->error > sim::UNITARY_TOL);
    require(violation->i < 2 && violation->j < 2);
    if (finite && std::isfinite(violation->error)) {
      require(std::fabs(static_cast<long double>(violation->error) - error) <=
              1e-9L * std::max<long double>(1, error));
    }
    const std::string text = vorn::qasm::violation_text(*violation);
    const std::string head = "matrix is not unitary: (M·M†)[" + std::to_string(violation->i) + ',' +
                             std::to_string(violation->j) + "] = ";
    require(text.rfind(head, 0) == 0);
    require(text.find(", tol=1.000e-10)") != std::string::npos);
    return 0;
  }
  if (!finite) {
    // A NaN error never counts as a violation (NaN entries pass the check); an infinite one
    // always does.
    return 0;
  }
  // Accepted: within the tolerance (and rounding of the double-precision check).
  require(error <= sim::UNITARY_TOL * (1 + 1e-6L) + 1e-15L);
  check_rebuilt(m);
  return 0;
}
