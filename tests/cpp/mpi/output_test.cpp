// The pure pieces of vorn-mpi's sampling and output: the split search against the
// single-process search, the .npy header, and the table and JSON texts.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "mpi/npy.h"
#include "mpi/report.h"
#include "mpi/sampling.h"
#include "simulator/sampling.h"

namespace vorn::mpi {
namespace {

// Searching the pivots, then the owner's slice, must find what the whole-table search finds,
// for ordered tables and for tables with NaN entries, where the search is no longer a count.
TEST(SplitSearch, FindsTheSingleProcessIndexForEveryDraw) {
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (int trial = 0; trial < 200; ++trial) {
    const std::uint64_t n = 1 + static_cast<std::uint64_t>(trial % 8);
    const std::uint64_t size = std::uint64_t{1} << n;
    std::vector<double> table(size);
    double sum = 0;
    for (double& c : table) {
      sum += trial % 3 == 0 ? 0.0 : unit(rng) / static_cast<double>(size);
      c = sum;
    }
    if (trial % 4 == 1) {
      for (std::uint64_t i = 0; i < size; i += 1 + rng() % 3) {
        table[i] = nan;
      }
    }
    table.back() = 1.0;
    for (std::uint64_t global = 0; global < n; ++global) {
      const std::uint64_t local = std::uint64_t{1} << (n - global);
      std::vector<double> pivots;
      for (std::uint64_t r = 0; r < (std::uint64_t{1} << global); ++r) {
        pivots.push_back(table[r * local]);
      }
      for (int draw = 0; draw < 50; ++draw) {
        const double u = draw == 0 ? 0.0 : draw == 1 ? table[rng() % size] : unit(rng);
        const std::uint64_t owner = search_owner(pivots, u);
        const std::span<const double> slice(table.data() + owner * local, local);
        const std::uint64_t got = std::min(owner * local + search_slice(slice, u), size - 1);
        ASSERT_EQ(got, sim::search_cumulative(table, u)) << "n " << n << " k " << global;
      }
    }
  }
}

TEST(NpyHeader, IsFormatOneWithTheDictionaryPaddedTo64Bytes) {
  for (const auto& [descr, length] : {std::pair{"<c16", 8ull}, std::pair{"<f4", 1ull << 36}}) {
    const std::string header = npy_header(descr, length);
    ASSERT_EQ(header.size() % 64, 0u);
    EXPECT_EQ(header.substr(0, 8), std::string("\x93NUMPY\x01\x00", 8));
    const auto dict_length = static_cast<std::size_t>(static_cast<unsigned char>(header[8]) |
                                                      static_cast<unsigned char>(header[9]) << 8);
    EXPECT_EQ(dict_length, header.size() - 10);
    const std::string expected = std::string("{'descr': '") + descr +
                                 "', 'fortran_order': False, 'shape': (" + std::to_string(length) +
                                 ",), }";
    EXPECT_EQ(header.substr(10, expected.size()), expected);
    EXPECT_EQ(header.back(), '\n');
    EXPECT_EQ(header.find_first_not_of(' ', 10 + expected.size()), header.size() - 1);
  }
}

TEST(Report, FloatsAsPythonReprWritesThem) {
  const std::vector<std::pair<double, std::string>> cases = {
      {0.0, "0.0"},          {1.0, "1.0"},
      {0.1, "0.1"},          {0.00021, "0.00021"},
      {0.0001, "0.0001"},    {1e-05, "1e-05"},
      {1.5e-07, "1.5e-07"},  {123.456, "123.456"},
      {1e16, "1e+16"},       {1234567890123456.0, "1234567890123456.0"},
      {2.5e-323, "2.5e-323"}};
  for (const auto& [value, text] : cases) {
    EXPECT_EQ(python_float(value), text);
  }
  // As json.dumps writes them (an expectation of a NaN state can be either).
  EXPECT_EQ(python_float(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(python_float(std::numeric_limits<double>::infinity()), "Infinity");
  EXPECT_EQ(python_float(-std::numeric_limits<double>::infinity()), "-Infinity");
}

TEST(Report, BytesSecondsAndJsonStrings) {
  EXPECT_EQ(format_bytes(64), "64 B");
  EXPECT_EQ(format_bytes(1023), "1023 B");
  EXPECT_EQ(format_bytes(1024), "1.0 KiB");
  EXPECT_EQ(format_bytes(std::uint64_t{256} << 20), "256.0 MiB");
  EXPECT_EQ(format_bytes(std::uint64_t{16} << 30), "16.0 GiB");
  EXPECT_EQ(format_seconds(0.00021), "0.21 ms");
  EXPECT_EQ(format_seconds(0.99999), "999.99 ms");
  EXPECT_EQ(format_seconds(1.5), "1.50 s");
  EXPECT_EQ(json_string("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
  EXPECT_EQ(json_string("\xed\x95\x9c/\xf0\x9f\x98\x80"), "\"\\ud55c/\\ud83d\\ude00\"");
}

Report bell_report() {
  Report report;
  report.file = "examples/bell.qasm";
  report.n_qubits = 2;
  report.n_cbits = 2;
  report.gates = 2;
  report.shots = 1024;
  report.seed = 7;
  report.precision = "f64";
  report.threads = 1;
  report.ranks = 2;
  report.measured = true;
  report.counts = {{"11", 504}, {"00", 520}};
  sort_counts(report.counts);
  report.read_seconds = 0.00021;
  report.simulate_seconds = 0.00035;
  report.sample_seconds = 1.25;
  return report;
}

TEST(Report, TableOfTheSharedFormat) {
  EXPECT_EQ(format_table(bell_report(), false),
            "examples/bell.qasm: 2 qubits, 2 classical bits, 2 gates, f64, 2 ranks \u00d7 1 "
            "thread, seed 7, state 64 B (32 B per rank)\n"
            "outcome  count   share\n"
            "00         520  50.78%  ████████████████████████████████████████\n"
            "11         504  49.22%  ██████████████████████████████████████▊\n"
            "read 0.21 ms, simulate 0.35 ms, sample 1.25 s\n");
  Report none = bell_report();
  none.measured = false;
  none.counts.clear();
  none.n_qubits = 1;
  none.gates = 1;
  EXPECT_EQ(format_table(none, false),
            "examples/bell.qasm: 1 qubit, 2 classical bits, 1 gate, f64, 2 ranks \u00d7 1 thread, "
            "seed 7, state 32 B (16 B per rank)\n"
            "no measurements: no counts\n"
            "read 0.21 ms, simulate 0.35 ms, sample 1.25 s\n");
}

TEST(Report, SixteenRowsThenTheRestSummed) {
  Report report = bell_report();
  report.n_qubits = 5;
  report.counts.clear();
  report.shots = 0;
  for (std::uint64_t i = 0; i < 20; ++i) {
    report.counts.emplace_back(std::string(5, '0') + std::to_string(i), 100 + i % 3);
    report.shots += 100 + i % 3;
  }
  sort_counts(report.counts);
  const std::string table = format_table(report, false);
  EXPECT_NE(table.find("\u2026 4 more outcomes, 400 shots (--all shows every one)\n"),
            std::string::npos);
  EXPECT_EQ(table.find("0000018"), std::string::npos);
  const std::string all = format_table(report, true);
  EXPECT_EQ(all.find("more outcomes"), std::string::npos);
  EXPECT_NE(all.find("0000018  "), std::string::npos);
}

TEST(Report, JsonKeysInTheSharedOrder) {
  EXPECT_EQ(format_json(bell_report()),
            "{\"file\": \"examples/bell.qasm\", \"n_qubits\": 2, \"n_cbits\": 2, \"gates\": 2, "
            "\"shots\": 1024, \"seed\": 7, \"precision\": \"f64\", \"threads\": 1, \"ranks\": 2, "
            "\"counts\": {\"00\": 520, \"11\": 504}, \"times\": {\"read\": 0.00021, "
            "\"simulate\": 0.00035, \"sample\": 1.25, \"run\": 1.25035}}\n");
}

TEST(Report, ExpectationsAfterTheCountsInTheirOrder) {
  Report report = bell_report();
  report.expectations = {{"Z0 Z1", 1.0000000000000002}, {"-0.5*X0 \"q\"", -0.5}};
  const std::string table = format_table(report, false);
  EXPECT_NE(table.find("49.22%  ██████████████████████████████████████▊\n"
                       "<Z0 Z1> = 1.0000000000000002\n"
                       "<-0.5*X0 \"q\"> = -0.5\n"
                       "read 0.21 ms"),
            std::string::npos)
      << table;
  EXPECT_EQ(format_json(report),
            "{\"file\": \"examples/bell.qasm\", \"n_qubits\": 2, \"n_cbits\": 2, \"gates\": 2, "
            "\"shots\": 1024, \"seed\": 7, \"precision\": \"f64\", \"threads\": 1, \"ranks\": 2, "
            "\"counts\": {\"00\": 520, \"11\": 504}, \"expectations\": [{\"observable\": "
            "\"Z0 Z1\", \"value\": 1.0000000000000002}, {\"observable\": \"-0.5*X0 \\\"q\\\"\", "
            "\"value\": -0.5}], \"times\": {\"read\": 0.00021, \"simulate\": 0.00035, "
            "\"sample\": 1.25, \"run\": 1.25035}}\n");
}

}  // namespace
}  // namespace vorn::mpi
