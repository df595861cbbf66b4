// Formatting of the table and of the JSON object.
#include "mpi/report.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <system_error>

namespace vorn::mpi {
namespace {

std::string plural(std::uint64_t n, std::string_view word) {
  return std::to_string(n) + " " + std::string(word) + (n == 1 ? "" : "s");
}

std::string fixed(double value, int decimals) {
  std::array<char, 64> text{};
  const int n = std::snprintf(text.data(), text.size(), "%.*f", decimals, value);
  return std::string(text.data(), static_cast<std::size_t>(std::max(n, 0)));
}

std::string pad_left(std::string text, std::size_t width) {
  return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

// 40 cells for the largest count, others scaled down to whole eighths of a cell.
std::string bar(std::uint64_t count, std::uint64_t largest) {
  static constexpr std::array<std::string_view, 8> kEighths = {
      "", "\u258f", "\u258e", "\u258d", "\u258c", "\u258b", "\u258a", "\u2589"};
  // count <= largest, so the exact quotient needs no more than 64 bits of product below
  // 2^55 shots; beyond that the rounding of a long double quotient cannot matter for a bar.
  const std::uint64_t eighths =
      largest <= (~std::uint64_t{0}) / 320
          ? count * 320 / largest
          : static_cast<std::uint64_t>(static_cast<long double>(count) * 320.0L /
                                       static_cast<long double>(largest));
  std::string out;
  for (std::uint64_t i = 0; i < eighths / 8; ++i) {
    out += "\u2588";
  }
  out += kEighths[eighths % 8];
  return out;
}

}  // namespace

void sort_counts(std::vector<std::pair<std::string, std::uint64_t>>& counts) {
  std::sort(counts.begin(), counts.end(), [](const auto& a, const auto& b) {
    return a.second != b.second ? a.second > b.second : a.first < b.first;
  });
}

std::string format_bytes(std::uint64_t bytes) {
  if (bytes < 1024) {
    return std::to_string(bytes) + " B";
  }
  static constexpr std::array<const char*, 6> kUnits = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double value = static_cast<double>(bytes) / 1024.0;
  std::size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < kUnits.size()) {
    value /= 1024.0;
    ++unit;
  }
  return fixed(value, 1) + " " + kUnits[unit];
}

std::string format_seconds(double seconds) {
  return seconds < 1.0 ? fixed(seconds * 1000.0, 2) + " ms" : fixed(seconds, 2) + " s";
}

std::string python_float(double value) {
  if (value != value) {
    return "NaN";
  }
  if (std::isinf(value)) {
    return value < 0 ? "-Infinity" : "Infinity";
  }
  if (value == 0.0) {
    return std::signbit(value) ? "-0.0" : "0.0";
  }
  // The shortest round-trip digits, then Python's layout: positional when the decimal exponent
  // is from -4 to 15, otherwise d.ddde+XX with at least two exponent digits.
  std::array<char, 64> text{};
  const auto result =
      std::to_chars(text.data(), text.data() + text.size(), value, std::chars_format::scientific);
  std::string s(text.data(), result.ptr);
  std::string sign;
  if (s[0] == '-') {
    sign = "-";
    s.erase(0, 1);
  }
  const std::size_t e = s.find('e');
  const int exponent = std::stoi(s.substr(e + 1));
  std::string digits = s.substr(0, e);
  digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
  if (exponent < -4 || exponent >= 16) {
    std::string mantissa = digits.substr(0, 1);
    if (digits.size() > 1) {
      mantissa += "." + digits.substr(1);
    }
    const std::string magnitude = std::to_string(exponent < 0 ? -exponent : exponent);
    return sign + mantissa + "e" + (exponent < 0 ? "-" : "+") + (magnitude.size() < 2 ? "0" : "") +
           magnitude;
  }
  const int point = exponent + 1;  // digits before the decimal point
  if (point <= 0) {
    return sign + "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
  }
  if (static_cast<std::size_t>(point) >= digits.size()) {
    return sign + digits + std::string(static_cast<std::size_t>(point) - digits.size(), '0') + ".0";
  }
  return sign + digits.substr(0, static_cast<std::size_t>(point)) + "." +
         digits.substr(static_cast<std::size_t>(point));
}

std::string json_string(std::string_view utf8) {
  std::string out = "\"";
  const auto escape = [&out](unsigned code) {
    std::array<char, 8> text{};
    std::snprintf(text.data(), text.size(), "\\u%04x", code);
    out += text.data();
  };
  for (std::size_t i = 0; i < utf8.size();) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    if (byte < 0x80) {
      switch (byte) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\b':
          out += "\\b";
          break;
        case '\f':
          out += "\\f";
          break;
        default:
          if (byte < 0x20) {
            escape(byte);
          } else {
            out.push_back(static_cast<char>(byte));
          }
      }
      ++i;
      continue;
    }
    // A multi-byte sequence; a malformed one is taken as U+FFFD for its first byte.
    const std::size_t length = byte >= 0xf0 ? 4 : byte >= 0xe0 ? 3 : byte >= 0xc0 ? 2 : 1;
    char32_t code = 0xfffd;
    std::size_t used = 1;
    if (length > 1 && i + length <= utf8.size()) {
      char32_t c = byte & (0x7fu >> length);
      bool ok = true;
      for (std::size_t j = 1; j < length; ++j) {
        const auto next = static_cast<unsigned char>(utf8[i + j]);
        ok = ok && (next & 0xc0) == 0x80;
        c = (c << 6) | (next & 0x3f);
      }
      if (ok && c <= 0x10ffff) {
        code = c;
        used = length;
      }
    }
    i += used;
    if (code >= 0x10000) {
      code -= 0x10000;
      escape(0xd800 + static_cast<unsigned>(code >> 10));
      escape(0xdc00 + static_cast<unsigned>(code & 0x3ff));
    } else {
      escape(static_cast<unsigned>(code));
    }
  }
  return out + "\"";
}

std::string format_table(const Report& report, bool all) {
  const std::uint64_t state_bytes =
      (std::uint64_t{1} << report.n_qubits) * (report.precision == "f32" ? 8 : 16);
  std::string out = report.file + ": " + plural(report.n_qubits, "qubit") + ", " +
                    plural(report.n_cbits, "classical bit") + ", " + plural(report.gates, "gate") +
                    ", " + report.precision + ", " + plural(report.ranks, "rank") + " \u00d7 " +
                    plural(report.threads, "thread") + ", seed " + std::to_string(report.seed) +
                    ", state " + format_bytes(state_bytes) + " (" +
                    format_bytes(state_bytes / report.ranks) + " per rank)\n";
  if (!report.measured) {
    out += "no measurements: no counts\n";
  } else {
    std::size_t key_width = 7;
    std::size_t count_width = 5;
    std::uint64_t largest = 0;
    for (const auto& [key, count] : report.counts) {
      key_width = std::max(key_width, key.size());
      count_width = std::max(count_width, std::to_string(count).size());
      largest = std::max(largest, count);
    }
    const auto row = [&](const std::string& key, const std::string& count,
                         const std::string& share) {
      return key + std::string(key_width - key.size(), ' ') + "  " + pad_left(count, count_width) +
             " " + pad_left(share, 7);
    };
    out += row("outcome", "count", "share") + "\n";
    const std::size_t shown =
        all ? report.counts.size() : std::min<std::size_t>(16, report.counts.size());
    for (std::size_t i = 0; i < shown; ++i) {
      const auto& [key, count] = report.counts[i];
      const double share = 100.0 * static_cast<double>(count) / static_cast<double>(report.shots);
      const std::string drawn = bar(count, largest);
      // A zero-length bar leaves no trailing blanks.
      out += row(key, std::to_string(count), fixed(share, 2) + "%") +
             (drawn.empty() ? "" : "  " + drawn) + "\n";
    }
    if (shown < report.counts.size()) {
      std::uint64_t rest = 0;
      for (std::size_t i = shown; i < report.counts.size(); ++i) {
        rest += report.counts[i].second;
      }
      out += "\u2026 " + plural(report.counts.size() - shown, "more outcome") + ", " +
             plural(rest, "shot") + " (--all shows every one)\n";
    }
  }
  for (const auto& [observable, value] : report.expectations) {
    out += "<" + observable + "> = " + python_float(value) + "\n";
  }
  out += "read " + format_seconds(report.read_seconds) + ", simulate " +
         format_seconds(report.simulate_seconds) + ", sample " +
         format_seconds(report.sample_seconds) + "\n";
  return out;
}

std::string format_json(const Report& report) {
  std::string counts = "{";
  for (std::size_t i = 0; i < report.counts.size(); ++i) {
    counts += (i == 0 ? "" : ", ") + json_string(report.counts[i].first) + ": " +
              std::to_string(report.counts[i].second);
  }
  counts += "}";
  std::string expectations;
  if (!report.expectations.empty()) {
    expectations = ", \"expectations\": [";
    for (std::size_t i = 0; i < report.expectations.size(); ++i) {
      expectations += (i == 0 ? "{\"observable\": " : ", {\"observable\": ") +
                      json_string(report.expectations[i].first) +
                      ", \"value\": " + python_float(report.expectations[i].second) + "}";
    }
    expectations += "]";
  }
  return "{\"file\": " + json_string(report.file) +
         ", \"n_qubits\": " + std::to_string(report.n_qubits) +
         ", \"n_cbits\": " + std::to_string(report.n_cbits) +
         ", \"gates\": " + std::to_string(report.gates) +
         ", \"shots\": " + std::to_string(report.shots) +
         ", \"seed\": " + std::to_string(report.seed) +
         ", \"precision\": " + json_string(report.precision) +
         ", \"threads\": " + std::to_string(report.threads) +
         ", \"ranks\": " + std::to_string(report.ranks) + ", \"counts\": " + counts + expectations +
         ", \"times\": {\"read\": " + python_float(report.read_seconds) +
         ", \"simulate\": " + python_float(report.simulate_seconds) +
         ", \"sample\": " + python_float(report.sample_seconds) +
         ", \"run\": " + python_float(report.simulate_seconds + report.sample_seconds) + "}}\n";
}

}  // namespace vorn::mpi
