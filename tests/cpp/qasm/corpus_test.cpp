// The real-world corpus: every accepted program reads with the qubit count of its manifest
// row and runs to a normalised state, every refused one fails with the error kind of its row.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/precision.h"
#include "qasm/lowering.h"
#include "simulator/engine.h"
#include "text.h"

namespace vorn::qasm {
namespace {

struct Row {
  std::string file;
  std::string qubits;
  std::string klass;
  std::string error_kind;
};

// The corpus directory: VORN_CORPUS_DIR from the environment when set, else the build's.
std::filesystem::path qasm_corpus() {
  const char* from_env = std::getenv("VORN_CORPUS_DIR");
  return std::filesystem::path(from_env != nullptr ? from_env : VORN_CORPUS_DIR) / "qasm";
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<Row> manifest() {
  std::vector<Row> rows;
  std::istringstream lines(read_file(qasm_corpus() / "MANIFEST.tsv"));
  std::string line;
  std::getline(lines, line);  // header
  while (std::getline(lines, line)) {
    std::vector<std::string> cells;
    std::istringstream fields(line);
    std::string cell;
    while (std::getline(fields, cell, '\t')) {
      cells.push_back(cell);
    }
    if (cells.size() >= 8) {
      rows.push_back(Row{cells[0], cells[4], cells[5], cells[7]});
    }
  }
  return rows;
}

TEST(Corpus, ManifestIsPresent) {
  const std::vector<Row> rows = manifest();
  ASSERT_FALSE(rows.empty()) << "no corpus at " << qasm_corpus();
  std::size_t accepted = 0;
  for (const Row& row : rows) {
    accepted += row.klass == "accepted" ? 1 : 0;
  }
  EXPECT_GT(accepted, 0u);
  EXPECT_LT(accepted, rows.size());
}

TEST(Corpus, AcceptedProgramsReadWithTheirQubitCount) {
  for (const Row& row : manifest()) {
    if (row.klass != "accepted") {
      continue;
    }
    SCOPED_TRACE(row.file);
    const std::filesystem::path path = qasm_corpus() / "accepted" / row.file;
    ASSERT_TRUE(std::filesystem::exists(path));
    Result<sim::Circuit> circuit = parse_qasm(read_file(path));
    ASSERT_TRUE(circuit.ok()) << circuit.error().render();
    EXPECT_EQ(std::to_string(circuit.value().n_qubits()), row.qubits);
    EXPECT_LE(circuit.value().n_qubits(), 20u);
  }
}

TEST(Corpus, AcceptedProgramsRunToANormalisedState) {
  for (const Row& row : manifest()) {
    if (row.klass != "accepted") {
      continue;
    }
    SCOPED_TRACE(row.file);
    Result<sim::Circuit> circuit = parse_qasm(read_file(qasm_corpus() / "accepted" / row.file));
    ASSERT_TRUE(circuit.ok()) << circuit.error().render();
    const sim::SimulationResult result =
        sim::run(circuit.value(), 16, std::uint64_t{1}, core::Precision::F64);
    const auto& f64 = std::get<sim::RunResult<double>>(result);
    double total = 0.0;
    for (const auto& amplitude : f64.statevector.amplitudes()) {
      total += amplitude.re * amplitude.re + amplitude.im * amplitude.im;
    }
    EXPECT_NEAR(total, 1.0, 1e-9);
  }
}

TEST(Corpus, RefusedProgramsFailWithTheirErrorKind) {
  for (const Row& row : manifest()) {
    if (row.klass != "refused") {
      continue;
    }
    SCOPED_TRACE(row.file);
    const std::filesystem::path path = qasm_corpus() / "refused" / row.file;
    ASSERT_TRUE(std::filesystem::exists(path));
    Result<sim::Circuit> circuit = parse_qasm(read_file(path));
    ASSERT_FALSE(circuit.ok());
    EXPECT_EQ(test::kind_name(circuit.error().kind), row.error_kind) << circuit.error().render();
  }
}

}  // namespace
}  // namespace vorn::qasm
