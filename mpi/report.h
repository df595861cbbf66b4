// The result as the command line shows it: the counts table or the JSON object, in the format
// that the Python command `vorn run` shares.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorn::mpi {

struct Report {
  std::string file;  // as given, "<stdin>" for "-"
  std::uint64_t n_qubits = 0;
  std::uint64_t n_cbits = 0;
  std::uint64_t gates = 0;
  std::uint64_t shots = 0;
  std::uint64_t seed = 0;
  std::string precision;
  std::uint64_t threads = 1;
  std::uint64_t ranks = 1;
  bool measured = false;
  // Outcome key and count, count descending then key ascending.
  std::vector<std::pair<std::string, std::uint64_t>> counts;
  // Each --expect observable as given, with its value, in the order given.
  std::vector<std::pair<std::string, double>> expectations;
  double read_seconds = 0;
  double simulate_seconds = 0;
  double sample_seconds = 0;
};

// Sorts counts into the table's order: count descending, then key ascending.
void sort_counts(std::vector<std::pair<std::string, std::uint64_t>>& counts);

// 64 B, 1.0 KiB, 256.0 MiB, 16.0 GiB: binary units, one decimal from KiB up.
std::string format_bytes(std::uint64_t bytes);
// 0.21 ms below one second, 1.50 s from one second.
std::string format_seconds(double seconds);
// A float as Python's repr() writes it (shortest digits that read back to the same value); NaN
// and the infinities as Python's json.dumps writes them.
std::string python_float(double value);
// A JSON string as Python's json.dumps writes it (ASCII only, \uXXXX escapes).
std::string json_string(std::string_view utf8);

// The header line, the table (top 16 rows unless `all`) or the no-measurement line, a line
// "<observable> = value" per expectation, and the times; every line ends with a newline.
std::string format_table(const Report& report, bool all);
// One JSON object and a newline; "expectations" (a list of {"observable", "value"} objects)
// follows "counts" when there are any.
std::string format_json(const Report& report);

}  // namespace vorn::mpi
