// The two float widths a run can use, and their text forms.
#pragma once

#include <string_view>

namespace vorn::core {

enum class Precision : unsigned char { F32 = 0, F64 = 1 };

constexpr std::string_view precision_name(Precision p) {
  return p == Precision::F32 ? "f32" : "f64";
}

}  // namespace vorn::core
