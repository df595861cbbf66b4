// Reading speed of the OpenQASM front end: the largest accepted real-world programs and
// generated programs of 10^5 statements, in statements per second.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "qasm/lexer.h"
#include "qasm/lowering.h"
#include "qasm/parser.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::size_t statement_count(const std::string& text) {
  auto tokens = vorn::qasm::tokenize(text);
  if (!tokens.ok()) {
    return 0;
  }
  auto program = vorn::qasm::parse_program(std::move(tokens).value());
  return program.ok() ? program.value().stmts.size() : 0;
}

// Best of several runs of the whole reader, in seconds.
double best_time(const std::string& text, int runs, std::size_t& operations) {
  double best = 1e30;
  for (int r = 0; r < runs; ++r) {
    const auto start = Clock::now();
    auto circuit = vorn::qasm::parse_qasm(text);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!circuit.ok()) {
      std::fprintf(stderr, "refused: %s\n", circuit.error().render().c_str());
      std::exit(1);
    }
    operations = circuit.value().ops().size();
    best = std::min(best, seconds);
  }
  return best;
}

void report(const std::string& name, const std::string& text, int runs) {
  const std::size_t statements = statement_count(text);
  std::size_t operations = 0;
  const double seconds = best_time(text, runs, operations);
  std::printf("%-40s %8zu bytes %8zu stmts %9zu ops %10.3f ms %12.0f stmts/s\n", name.c_str(),
              text.size(), statements, operations, seconds * 1e3, statements / seconds);
}

// 10^5 gate statements over 20 qubits, a mix of plain, parameterised and two-qubit gates.
std::string generated_flat(std::size_t statements) {
  std::string text = "OPENQASM 2.0;\ninclude \"qelib1.inc\";\nqreg q[20];\ncreg c[20];\n";
  for (std::size_t i = 0; i < statements; ++i) {
    const std::size_t a = i % 20;
    const std::size_t b = (i * 7 + 3) % 20 == a ? (a + 1) % 20 : (i * 7 + 3) % 20;
    switch (i % 4) {
      case 0:
        text += "h q[" + std::to_string(a) + "];\n";
        break;
      case 1:
        text += "cx q[" + std::to_string(a) + "], q[" + std::to_string(b) + "];\n";
        break;
      case 2:
        text += "rz(" + std::to_string(i % 97) + "*pi/128) q[" + std::to_string(a) + "];\n";
        break;
      default:
        text += "u3(0.125, -pi/3, 1.5e-2) q[" + std::to_string(a) + "];\n";
        break;
    }
  }
  return text + "measure q -> c;\n";
}

// The same number of calls to user-defined gates, each expanding into a few built-ins.
std::string generated_user_gates(std::size_t statements) {
  std::string text =
      "OPENQASM 2.0;\ngate zz(t) a, b { cx a, b; rz(t) b; cx a, b; }\n"
      "gate layer(t) a, b { h a; zz(t/2) a, b; }\nqreg q[20];\n";
  for (std::size_t i = 0; i < statements; ++i) {
    const std::size_t a = i % 20;
    text += "layer(" + std::to_string(i % 13) + ".5) q[" + std::to_string(a) + "], q[" +
            std::to_string((a + 1) % 20) + "];\n";
  }
  return text;
}

}  // namespace

int main() {
  const char* from_env = std::getenv("VORN_CORPUS_DIR");
  const std::filesystem::path accepted =
      std::filesystem::path(from_env != nullptr ? from_env : VORN_CORPUS_DIR) / "qasm" / "accepted";
  std::vector<std::filesystem::path> files;
  if (std::filesystem::is_directory(accepted)) {
    for (const auto& entry : std::filesystem::directory_iterator(accepted)) {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) {
    return std::filesystem::file_size(a) > std::filesystem::file_size(b);
  });
  if (files.empty()) {
    std::printf("no corpus at %s\n", accepted.c_str());
  }
  for (std::size_t i = 0; i < std::min<std::size_t>(5, files.size()); ++i) {
    report(files[i].filename().string(), read_file(files[i]), 20);
  }
  report("generated: 10^5 gate statements", generated_flat(100000), 5);
  report("generated: 10^5 user-gate calls", generated_user_gates(100000), 5);
  return 0;
}
