// Group exchanges and fused runs over the ranks this binary runs on (meson runs it alone and
// under mpirun): a group exchange is the swap of the traded index bits, amplitude by amplitude,
// and sends 1 - 2^-m of the slice; a fused plan leaves every rank's slice as the single-process
// fused passes leave that part of the whole state, bit for bit, with the global targets of one
// operation, or of operations close together, brought in by one exchange.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

#include "core/complex.h"
#include "core/gates.h"
#include "mpi/distributed.h"
#include "mpi/fused.h"
#include "simulator/circuit.h"
#include "simulator/fused_passes.h"
#include "simulator/fusion.h"
#include "world.h"

namespace vorn::mpi {
namespace {

using core::Complex;
using sim::FusedOp;

using test::world;

// The index with the bits at positions a[j] and b[j] exchanged, for every j.
std::uint64_t swapped(std::uint64_t index, const std::vector<std::uint64_t>& a,
                      const std::vector<std::uint64_t>& b) {
  std::uint64_t out = index;
  for (std::size_t j = 0; j < a.size(); ++j) {
    const std::uint64_t x = (index >> a[j]) & 1;
    const std::uint64_t y = (index >> b[j]) & 1;
    out = (out & ~(std::uint64_t{1} << a[j]) & ~(std::uint64_t{1} << b[j])) | (y << a[j]) |
          (x << b[j]);
  }
  return out;
}

// Every choice of m global positions traded for m random local ones: each amplitude, which
// holds its own whole-state index, ends where the swap of those bits sends it. A slice of 2^20
// f64 amplitudes takes several 4 MiB chunks per partner.
TEST(GroupExchange, IsTheSwapOfTheTradedBits) {
  const std::uint64_t g_count = world(1).global_qubits;
  if (g_count == 0) {
    GTEST_SKIP() << "one rank makes no exchange";
  }
  for (const std::uint64_t local : {std::uint64_t{7}, std::uint64_t{20}}) {
    const Ranks ranks = world(local + g_count);
    std::mt19937_64 rng(local);
    for (std::uint64_t subset = 1; subset < (std::uint64_t{1} << g_count); ++subset) {
      std::vector<std::uint64_t> globals;
      for (std::uint64_t j = 0; j < g_count; ++j) {
        if ((subset >> j) & 1) {
          globals.push_back(local + j);
        }
      }
      std::vector<std::uint64_t> positions(local);
      std::iota(positions.begin(), positions.end(), std::uint64_t{0});
      std::shuffle(positions.begin(), positions.end(), rng);
      const std::vector<std::uint64_t> locals(positions.begin(),
                                              positions.begin() + globals.size());
      std::vector<Complex<double>> slice(std::uint64_t{1} << local);
      const std::uint64_t offset = ranks.rank << local;
      for (std::uint64_t i = 0; i < slice.size(); ++i) {
        slice[i] = Complex<double>{static_cast<double>(offset + i), -1.0};
      }
      Exchanger exchanger(ranks);
      exchanger.exchange_group(std::span<Complex<double>>(slice), globals, locals);
      std::uint64_t wrong = 0;
      for (std::uint64_t i = 0; i < slice.size(); ++i) {
        const auto expected = static_cast<double>(swapped(offset + i, globals, locals));
        wrong += slice[i].re != expected || slice[i].im != -1.0;
      }
      EXPECT_EQ(wrong, 0u) << "local " << local << ", subset " << subset;
      const std::uint64_t m = globals.size();
      EXPECT_EQ(exchanger.bytes_sent(),
                (slice.size() - (slice.size() >> m)) * sizeof(Complex<double>));
      EXPECT_EQ(exchanger.exchanges(), 1u);
    }
  }
}

std::vector<Complex<double>> random_entries(std::size_t count, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<Complex<double>> entries(count);
  for (auto& e : entries) {
    e = Complex<double>{u(rng), u(rng)};
  }
  return entries;
}

FusedOp dense(std::vector<unsigned> targets, std::mt19937_64& rng, std::uint64_t controls = 0) {
  FusedOp op;
  op.targets = std::move(targets);
  op.controls = controls;
  const std::size_t dim = std::size_t{1} << op.targets.size();
  op.entries = random_entries(dim * dim, rng);
  op.gates = 1;
  return op;
}

FusedOp diagonal(std::vector<unsigned> targets, std::mt19937_64& rng) {
  FusedOp op;
  op.diagonal = true;
  op.targets = std::move(targets);
  op.entries = random_entries(std::size_t{1} << op.targets.size(), rng);
  op.gates = 1;
  return op;
}

// Runs the plan on this rank's part of a random state of n qubits and checks it against the
// single-process fused passes on the whole state. Returns the exchanger for its figures.
template <typename T>
Exchanger expect_single_process_bits(const std::vector<FusedOp>& plan, std::uint64_t n,
                                     std::uint64_t seed) {
  const Ranks ranks = world(n);
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<Complex<T>> whole(std::uint64_t{1} << n);
  for (auto& a : whole) {
    a = Complex<T>{static_cast<T>(u(rng)), static_cast<T>(u(rng))};
  }
  const std::uint64_t length = std::uint64_t{1} << ranks.local_qubits;
  std::vector<Complex<T>> slice(
      whole.begin() + static_cast<std::ptrdiff_t>(ranks.rank * length),
      whole.begin() + static_cast<std::ptrdiff_t>((ranks.rank + 1) * length));
  Exchanger exchanger(ranks);
  run_fused_plan<T>(std::span<Complex<T>>(slice), plan, ranks, exchanger);
  sim::execute_fused_plan<T>(std::span<Complex<T>>(whole), plan, std::nullopt);
  EXPECT_EQ(
      std::memcmp(slice.data(), whole.data() + ranks.rank * length, length * sizeof(Complex<T>)), 0)
      << "seed " << seed << " on rank " << ranks.rank;
  return exchanger;
}

// Plans of random gates of every kind over all qubits, with widths 2 to 5.
TEST(FusedRun, RandomPlansGiveTheSingleProcessBits) {
  for (std::uint64_t seed = 1; seed <= 8; ++seed) {
    std::mt19937_64 rng(seed);
    const std::uint64_t n = 9;
    std::uniform_int_distribution<std::uint64_t> qubit(0, n - 1);
    std::uniform_int_distribution<int> kind(0, 17);
    std::uniform_real_distribution<double> angle(-4.0, 4.0);
    std::vector<sim::Operation> ops;
    for (int g = 0; g < 120; ++g) {
      const auto k = static_cast<core::GateKind>(kind(rng));
      sim::GateOp op{core::Gate{k, angle(rng), angle(rng), angle(rng)}, {}};
      for (unsigned i = 0; i < op.arity(); ++i) {
        std::uint64_t q = qubit(rng);
        while (std::find(op.qubits.begin(), op.qubits.begin() + i, q) != op.qubits.begin() + i) {
          q = (q + 1) % n;
        }
        op.qubits[i] = q;
      }
      ops.emplace_back(op);
    }
    sim::FusionOptions options;
    options.max_qubits = 2 + static_cast<unsigned>(seed % 4);
    const std::vector<FusedOp> plan = sim::plan_fusion(sim::fusion_gates(ops), options);
    expect_single_process_bits<double>(plan, n, seed);
    expect_single_process_bits<float>(plan, n, seed);
  }
}

// Dense operations on several of the top qubits at once, with controls and diagonals on global
// qubits between them: every combination of the top three positions (global from 8 ranks on),
// and operations whose targets are all global.
TEST(FusedRun, OperationsOnSeveralGlobalQubitsGiveTheSingleProcessBits) {
  const std::uint64_t n = 8;
  std::mt19937_64 rng(77);
  std::vector<FusedOp> plan;
  for (unsigned subset = 1; subset < 8; ++subset) {
    std::vector<unsigned> targets;
    for (unsigned j = 0; j < 3; ++j) {
      if ((subset >> j) & 1) {
        targets.push_back(5 + j);
      }
    }
    plan.push_back(dense(targets, rng));
    plan.push_back(dense({0, 7}, rng, std::uint64_t{1} << 6));
    plan.push_back(diagonal({1, 5, 6, 7}, rng));
    plan.push_back(dense({2, 4, 5, 6}, rng));
    plan.push_back(dense({1}, rng, (std::uint64_t{1} << 7) | (std::uint64_t{1} << 3)));
  }
  expect_single_process_bits<double>(plan, n, 5);
  expect_single_process_bits<float>(plan, n, 6);
}

// What the exchanges cost. One operation on the two top qubits: with two or more global
// qubits, one group exchange brings both in and one takes them home, each sending 3/4 of the
// slice (pairwise: four exchanges of half of it). Three single-qubit operations on global
// qubits close together share their exchanges the same way.
TEST(FusedRun, GlobalTargetsCloseTogetherShareOneExchange) {
  const std::uint64_t n = 10;
  const Ranks ranks = world(n);
  const std::uint64_t slice_bytes = (std::uint64_t{1} << ranks.local_qubits) * 16;
  std::mt19937_64 rng(3);
  const std::vector<FusedOp> both = {dense({0, 1}, rng), dense({8, 9}, rng), dense({2}, rng)};
  const Exchanger on_both = expect_single_process_bits<double>(both, n, 11);
  const std::vector<FusedOp> apart = {dense({9}, rng), dense({0, 1}, rng), diagonal({8, 9}, rng),
                                      dense({7}, rng), dense({8}, rng),    dense({2, 3}, rng)};
  const Exchanger on_apart = expect_single_process_bits<double>(apart, n, 12);
  // The global qubits among 7, 8 and 9, and how many of them the operations above target.
  const std::uint64_t g = ranks.global_qubits;
  const std::uint64_t in_both = std::min<std::uint64_t>(g, 2);
  const std::uint64_t in_apart = std::min<std::uint64_t>(g, 3);
  const auto group_bytes = [&](std::uint64_t m) { return 2 * (slice_bytes - (slice_bytes >> m)); };
  EXPECT_EQ(on_both.exchanges(), in_both == 0 ? 0u : 2u);
  EXPECT_EQ(on_both.bytes_sent(), group_bytes(in_both));
  EXPECT_EQ(on_apart.exchanges(), in_apart == 0 ? 0u : 2u);
  EXPECT_EQ(on_apart.bytes_sent(), group_bytes(in_apart));
}

// A window closes when too few local positions stay free: with two local qubits, each
// operation on two local qubits must wait for its own exchange.
TEST(FusedRun, ExchangesWaitWhenNoLocalPositionIsFree) {
  const Ranks ranks = world(4);
  if (ranks.global_qubits != 2) {
    GTEST_SKIP() << "needs 4 ranks";
  }
  std::mt19937_64 rng(9);
  const std::vector<FusedOp> plan = {dense({3}, rng), dense({0, 1}, rng), dense({2}, rng),
                                     dense({0, 3}, rng), dense({1, 2}, rng)};
  const Exchanger exchanger = expect_single_process_bits<double>(plan, 4, 13);
  EXPECT_GT(exchanger.exchanges(), 2u);
}

}  // namespace
}  // namespace vorn::mpi
