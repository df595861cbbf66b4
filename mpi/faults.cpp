// The injected faults: VORN_MPI_FAULT parsed once per process.
#include "mpi/faults.h"

#include <csignal>
#include <cstdlib>
#include <string_view>
#include <utility>

namespace vorn::mpi {
namespace {

struct Injected {
  Fault kind = Fault::None;
  std::uint64_t rank = 0;
};

Injected parse(std::string_view text) {
  constexpr std::pair<std::string_view, Fault> kKinds[] = {
      {"kill-simulate", Fault::KillSimulate},
      {"kill-write", Fault::KillWrite},
      {"alloc", Fault::Alloc},
      {"full", Fault::Full},
      {"include", Fault::Include},
  };
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    return {};
  }
  const std::string_view name = text.substr(0, colon);
  const std::string_view digits = text.substr(colon + 1);
  if (digits.empty() || digits.size() > 9) {
    return {};
  }
  std::uint64_t rank = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') {
      return {};
    }
    rank = rank * 10 + static_cast<std::uint64_t>(c - '0');
  }
  for (const auto& [kind_name, kind] : kKinds) {
    if (name == kind_name) {
      return {kind, rank};
    }
  }
  return {};
}

const Injected& injected() {
  static const Injected fault = [] {
    const char* text = std::getenv("VORN_MPI_FAULT");
    return text == nullptr ? Injected{} : parse(text);
  }();
  return fault;
}

}  // namespace

bool fault_strikes(Fault kind, std::uint64_t rank) {
  return kind != Fault::None && injected().kind == kind && injected().rank == rank;
}

void die_now() {
  std::raise(SIGKILL);
  std::abort();
}

}  // namespace vorn::mpi
