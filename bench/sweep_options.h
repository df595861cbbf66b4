// Command-line options of the benchmarks that sweep over state sizes, pool sizes and
// precisions: "--qubits 20,24 --threads 1,2 --precision f64,f32" and named numbers
// ("--repeat 5"), each option followed by its value.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace vorn::bench {

struct SweepOptions {
  std::vector<unsigned> qubits;
  std::vector<std::size_t> threads = {1, 2};
  std::vector<std::string> precisions = {"f64", "f32"};
  // The numeric settings by option name without its dashes, holding their defaults until parsed.
  std::map<std::string, double> numbers;
};

inline std::vector<std::string> split_list(const std::string& s) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= s.size()) {
    const std::size_t comma = std::min(s.find(',', start), s.size());
    out.push_back(s.substr(start, comma - start));
    start = comma + 1;
  }
  return out;
}

// The "--repeat" setting, at least 1.
inline int repeat_count(const SweepOptions& options) {
  return std::max(1, static_cast<int>(options.numbers.at("repeat")));
}

// Reads argv into options. On an unknown option or a missing value prints usage and returns
// false.
inline bool parse_sweep_options(int argc, char** argv, SweepOptions& options, const char* usage) {
  bool ok = (argc - 1) % 2 == 0;
  for (int i = 1; ok && i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const std::string value = argv[i + 1];
    if (key == "--qubits") {
      options.qubits.clear();
      for (const auto& s : split_list(value)) {
        options.qubits.push_back(static_cast<unsigned>(std::stoul(s)));
      }
    } else if (key == "--threads") {
      options.threads.clear();
      for (const auto& s : split_list(value)) {
        options.threads.push_back(std::max<std::size_t>(1, std::stoul(s)));
      }
    } else if (key == "--precision") {
      options.precisions = split_list(value);
    } else if (key.size() > 2 && options.numbers.count(key.substr(2)) != 0) {
      options.numbers[key.substr(2)] = std::stod(value);
    } else {
      ok = false;
    }
  }
  if (!ok) {
    std::fprintf(stderr, "usage: %s\n", usage);
  }
  return ok;
}

}  // namespace vorn::bench
