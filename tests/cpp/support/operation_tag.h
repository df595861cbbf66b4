// The tag of an operation as the circuit model numbers them: 0 to 17 the gate kinds, 18 Measure,
// 19 MeasureAll. Tests compare operations by it.
#pragma once

#include <cstdint>
#include <variant>

#include "simulator/circuit.h"

namespace vorn::test {

inline constexpr std::uint8_t MEASURE_TAG = 18;
inline constexpr std::uint8_t MEASURE_ALL_TAG = 19;

inline std::uint8_t operation_tag(const sim::Operation& op) {
  if (const auto* gate = std::get_if<sim::GateOp>(&op)) {
    return static_cast<std::uint8_t>(gate->gate.kind);
  }
  return std::holds_alternative<sim::Measure>(op) ? MEASURE_TAG : MEASURE_ALL_TAG;
}

}  // namespace vorn::test
