// Where the real-world OpenQASM corpus lies, and reading its files, for the reader's tests.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace vorn::qasm::test {

// The corpus's qasm/ folder: VORN_CORPUS_DIR from the environment when set, else the build's.
inline std::filesystem::path qasm_corpus() {
  const char* from_env = std::getenv("VORN_CORPUS_DIR");
  return std::filesystem::path(from_env != nullptr ? from_env : VORN_CORPUS_DIR) / "qasm";
}

// The bytes of a file; empty when it cannot be read.
inline std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace vorn::qasm::test
