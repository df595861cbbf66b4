// The message of the core::Abort that a call throws, or "<no abort>": for the tests of every
// layer that check an abort's exact text.
#pragma once

#include <functional>
#include <string>

#include "core/abort.h"

namespace vorn::test {

inline std::string abort_message(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const core::Abort& e) {
    return e.message();
  }
  return "<no abort>";
}

}  // namespace vorn::test
