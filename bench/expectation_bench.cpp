// The time of expectation() against one read pass over the same state, measured in the same
// program: a 40-term Hamiltonian of Z and ZZ terms (Ising) and a 40-term Heisenberg chain (XX,
// YY and ZZ on neighbouring qubits), on a normalised state of pseudo-random amplitudes.
//
// The read pass adds the state's 64-bit words, each range of the pool on its own: it reads
// every byte once and does next to nothing else, the least any evaluation must pay. The
// "passes" columns are the evaluation's time over that pass's.
//
// Ising: Z_k Z_{k+1} for k = 0 ... 22 and Z_k for k = 0 ... 16 (40 terms, all in one group).
// Heisenberg: XX, YY and ZZ on the bonds (k, k + 1) for k = 0, 2, ..., 22, then on (1, 2), then
// XX on (3, 4) (40 terms; the bonds from qubit 14 up each flip beyond a unit of 2^14 amplitudes
// and cost a pass of their own).
//
// Usage: expectation_bench [--qubits 24] [--threads 1,2] [--precision f64,f32] [--repeat 5]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/complex.h"
#include "core/parallel.h"
#include "core/state_vector.h"
#include "simulator/expectation.h"
#include "simulator/observable.h"
#include "sweep_options.h"

namespace {

using namespace vorn;
using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string ising(unsigned n) {
  std::string text;
  for (unsigned k = 0; k + 1 < n && k < 23; ++k) {
    text += " + 0.7*Z" + std::to_string(k) + " Z" + std::to_string(k + 1);
  }
  for (unsigned k = 0; k < n && k < 17; ++k) {
    text += " - 0.3*Z" + std::to_string(k);
  }
  return text.substr(3);
}

std::string heisenberg(unsigned n) {
  std::vector<unsigned> bonds;
  for (unsigned k = 0; k + 1 < n && k <= 22; k += 2) {
    bonds.push_back(k);
  }
  bonds.push_back(1);
  bonds.push_back(3);
  std::string text;
  int terms = 0;
  for (const unsigned k : bonds) {
    for (const char letter : std::string("XYZ")) {
      if (terms++ < 40) {
        const std::string q = std::to_string(k);
        const std::string r = std::to_string(k + 1);
        text += " + ";
        text.push_back(letter);
        text += q + " ";
        text.push_back(letter);
        text += r;
      }
    }
  }
  return text.substr(3);
}

// A normalised state of pseudo-random amplitudes (a 64-bit mix of the index).
template <typename T>
void fill(std::span<core::Complex<T>> v) {
  const double scale = 1.0 / std::sqrt(static_cast<double>(v.size()) * 2.0 / 3.0);
  core::parallel_for(0, v.size(), 4096, [&](std::uint64_t b, std::uint64_t e) {
    for (std::uint64_t i = b; i < e; ++i) {
      std::uint64_t h = (i + 1) * 0x9E3779B97F4A7C15ull;
      h ^= h >> 31;
      h *= 0xBF58476D1CE4E5B9ull;
      h ^= h >> 29;
      const double re = static_cast<double>(h >> 40) / 16777216.0 * 2.0 - 1.0;
      const double im = static_cast<double>((h >> 16) & 0xFFFFFF) / 16777216.0 * 2.0 - 1.0;
      v[i] = {static_cast<T>(re * scale), static_cast<T>(im * scale)};
    }
  });
}

// One read of every byte of the state: the sum of its 64-bit words.
template <typename T>
std::uint64_t read_pass(std::span<const core::Complex<T>> v) {
  const auto* words = reinterpret_cast<const std::uint64_t*>(v.data());
  const std::uint64_t count = v.size_bytes() / sizeof(std::uint64_t);
  constexpr std::uint64_t kRange = std::uint64_t{1} << 16;
  std::vector<std::uint64_t> sums((count + kRange - 1) / kRange);
  core::parallel_for(0, sums.size(), 1, [&](std::uint64_t b, std::uint64_t e) {
    for (std::uint64_t r = b; r < e; ++r) {
      std::uint64_t sum = 0;
      for (std::uint64_t i = r * kRange; i < std::min(count, (r + 1) * kRange); ++i) {
        sum += words[i];
      }
      sums[r] = sum;
    }
  });
  std::uint64_t total = 0;
  for (const std::uint64_t s : sums) {
    total += s;
  }
  return total;
}

template <typename F>
double best_ms(int repeat, F&& f) {
  double best = std::numeric_limits<double>::infinity();
  for (int r = 0; r < repeat; ++r) {
    const auto start = Clock::now();
    f();
    best = std::min(best, ms_since(start));
  }
  return best;
}

template <typename T>
void run_config(unsigned n, const char* precision, std::size_t threads, int repeat) {
  const sim::PauliSum ising_sum = sim::parse_observable(ising(n), n).value();
  const sim::PauliSum heisenberg_sum = sim::parse_observable(heisenberg(n), n).value();
  core::testing::run_with_pool_size(threads, [&] {
    core::StateVector<T> state(n);
    const std::span<core::Complex<T>> v = state.amplitudes();
    fill(v);
    const std::span<const core::Complex<T>> read(v);
    volatile std::uint64_t sink = 0;
    double ising_value = 0;
    double heisenberg_value = 0;
    const double pass = best_ms(repeat, [&] { sink = sink + read_pass(read); });
    const double ising_ms =
        best_ms(repeat, [&] { ising_value = sim::expectation<T>(read, ising_sum); });
    const double heisenberg_ms =
        best_ms(repeat, [&] { heisenberg_value = sim::expectation<T>(read, heisenberg_sum); });
    std::printf("%3u %4s %4zu | %8.2f | %8.2f %6.2f | %8.2f %6.2f | %+.6f %+.6f\n", n, precision,
                threads, pass, ising_ms, ising_ms / pass, heisenberg_ms, heisenberg_ms / pass,
                ising_value, heisenberg_value);
    std::fflush(stdout);
  });
}

}  // namespace

int main(int argc, char** argv) {
  bench::SweepOptions options;
  options.qubits = {24};
  options.numbers["repeat"] = 5;
  if (!bench::parse_sweep_options(
          argc, argv, options,
          "expectation_bench [--qubits 24] [--threads 1,2] [--precision f64,f32] [--repeat 5]")) {
    return 2;
  }
  const int repeat = bench::repeat_count(options);
  std::printf("times in ms, best of %d; passes: over one read pass of the state\n", repeat);
  std::printf("  n prec pool |     read |    ising passes | heisenb. passes | values\n");
  for (const unsigned n : options.qubits) {
    for (const std::string& precision : options.precisions) {
      for (const std::size_t threads : options.threads) {
        if (precision == "f32") {
          run_config<float>(n, "f32", threads, repeat);
        } else {
          run_config<double>(n, "f64", threads, repeat);
        }
      }
    }
  }
  return 0;
}
