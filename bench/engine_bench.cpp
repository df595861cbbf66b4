// Engine throughput: whole runs of layered random circuits and of a quantum Fourier transform
// made of native gates, and outcome sampling. Prints gates per second and shots per second.
//
// Usage: engine_bench [scale]   (scale multiplies the layer counts; default 1)
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <optional>
#include <string>
#include <variant>

#include "core/precision.h"
#include "simulator/circuit.h"
#include "simulator/engine.h"
#include "simulator/rng.h"
#include "simulator/sampling.h"

namespace {

using vorn::core::Precision;
using vorn::sim::Circuit;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::uint64_t gate_count(const Circuit& c) {
  std::uint64_t gates = 0;
  for (const auto& op : c.ops()) {
    gates += std::holds_alternative<vorn::sim::GateOp>(op) ? 1 : 0;
  }
  return gates;
}

// Layers of a random rotation on every qubit followed by entangling pairs, CZ on even layers
// and CX on odd ones, with the pairing offset alternating so that entanglement spreads.
Circuit random_layers(std::uint64_t n, unsigned layers, std::uint64_t seed) {
  Circuit c(n);
  std::uint64_t x = seed | 1;
  const auto next = [&x]() {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
  };
  for (unsigned layer = 0; layer < layers; ++layer) {
    for (std::uint64_t q = 0; q < n; ++q) {
      const double theta = static_cast<double>(next() % 1000000) * 6.283185307179586e-6;
      switch (next() % 3) {
        case 0:
          c.rx(theta, q);
          break;
        case 1:
          c.ry(theta, q);
          break;
        default:
          c.rz(theta, q);
          break;
      }
    }
    for (std::uint64_t q = layer % 2; q + 1 < n; q += 2) {
      if (layer % 4 < 2) {
        c.cz(q, q + 1);
      } else {
        c.cx(q, q + 1);
      }
    }
  }
  return c;
}

// Controlled phase diag(1, 1, 1, e^{i lambda}) from native gates: with u1 it is
// u1(l/2) c; cx c,t; u1(-l/2) t; cx c,t; u1(l/2) t. Each rz(l) is u1(l) times e^{-i l/2}, so
// the rz form carries e^{-i l/4}, which the circuit's global phase gives back.
void controlled_phase(Circuit& c, double lambda, std::uint64_t control, std::uint64_t target) {
  c.rz(lambda / 2, control);
  c.cx(control, target);
  c.rz(-lambda / 2, target);
  c.cx(control, target);
  c.rz(lambda / 2, target);
  c.add_global_phase(lambda / 4);
}

// QFT|x> = 2^{-n/2} sum_y e^{2 pi i x y / 2^n} |y>, qubit 0 the least significant bit.
Circuit qft(std::uint64_t n, std::uint64_t input) {
  Circuit c(n);
  for (std::uint64_t q = 0; q < n; ++q) {
    if (((input >> q) & 1) != 0) {
      c.x(q);
    }
  }
  for (std::uint64_t j = n; j-- > 0;) {
    c.h(j);
    for (std::uint64_t k = j; k-- > 0;) {
      controlled_phase(c, std::numbers::pi / static_cast<double>(std::uint64_t{1} << (j - k)), k,
                       j);
    }
  }
  for (std::uint64_t q = 0; q < n / 2; ++q) {
    c.swap(q, n - 1 - q);
  }
  return c;
}

// Largest deviation of a QFT run from the closed form, as a check that the circuit is right.
double qft_error(std::uint64_t n, std::uint64_t input) {
  const auto result = vorn::sim::run(qft(n, input), 0, 1, Precision::F64);
  const auto& state = std::get<1>(result).statevector;
  const double size = static_cast<double>(state.len());
  double worst = 0;
  std::uint64_t y = 0;
  for (const auto& a : state.amplitudes()) {
    const double angle =
        2 * std::numbers::pi * static_cast<double>((input * y) % state.len()) / size;
    const std::complex<double> expected = std::polar(1 / std::sqrt(size), angle);
    worst = std::max(worst, std::abs(std::complex<double>(a.re, a.im) - expected));
    ++y;
  }
  return worst;
}

void time_run(const char* name, const Circuit& c, Precision precision, unsigned repeats) {
  const std::uint64_t gates = gate_count(c);
  // One untimed run first, so that the pool exists and the pages have been touched once.
  vorn::sim::run(c, 0, 1, precision);
  const auto start = Clock::now();
  for (unsigned r = 0; r < repeats; ++r) {
    vorn::sim::run(c, 0, 1, precision);
  }
  const double elapsed = seconds_since(start) / repeats;
  std::printf("%-28s %4s  n=%2llu  gates=%5llu  %8.3f s/run  %12.0f gates/s\n", name,
              std::string(vorn::core::precision_name(precision)).c_str(),
              static_cast<unsigned long long>(c.n_qubits()), static_cast<unsigned long long>(gates),
              elapsed, static_cast<double>(gates) / elapsed);
}

template <typename T>
void time_sampling(std::uint64_t n, std::uint64_t shots) {
  const Circuit c = random_layers(n, 4, 99);
  const auto result =
      vorn::sim::run(c, 0, 1, std::is_same_v<T, float> ? Precision::F32 : Precision::F64);
  const auto& state = std::get<vorn::sim::RunResult<T>>(result).statevector;
  auto rng = vorn::sim::SampleRng::seed_from_u64(7);
  const auto start = Clock::now();
  const vorn::sim::Counts counts = vorn::sim::sample_counts(state, shots, rng);
  const double elapsed = seconds_since(start);
  std::printf("%-28s %4s  n=%2llu  shots=%llu  %8.3f s  %12.0f shots/s  (%zu distinct keys)\n",
              "sample_counts", std::is_same_v<T, float> ? "f32" : "f64",
              static_cast<unsigned long long>(n), static_cast<unsigned long long>(shots), elapsed,
              static_cast<double>(shots) / elapsed, counts.size());
}

}  // namespace

int main(int argc, char** argv) {
  const unsigned scale = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 1;
  if (scale == 0) {
    std::fprintf(stderr, "usage: %s [scale >= 1]\n", argv[0]);
    return 2;
  }

  std::printf("QFT check (n=6, input 37): max |error| = %.3g\n", qft_error(6, 37));

  const Circuit r20 = random_layers(20, 10 * scale, 1);
  time_run("random layers", r20, Precision::F64, 1);
  time_run("random layers", r20, Precision::F32, 1);
  const Circuit r24 = random_layers(24, 2 * scale, 2);
  time_run("random layers", r24, Precision::F64, 1);
  time_run("random layers", r24, Precision::F32, 1);
  const Circuit q20 = qft(20, 0x5a5a5);
  time_run("QFT (rz/cx controlled phase)", q20, Precision::F64, 1);
  time_run("QFT (rz/cx controlled phase)", q20, Precision::F32, 1);

  time_sampling<double>(20, 1000000);
  time_sampling<float>(20, 1000000);
  return 0;
}
