// Text helpers shared by the reader's tests.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace vorn::qasm::test {

// Concatenation by appending (operator+ on temporaries trips a false -Wrestrict in GCC 12).
inline std::string cat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view part : parts) {
    out += part;
  }
  return out;
}

}  // namespace vorn::qasm::test
