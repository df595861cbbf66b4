// The mathematical constants of the gate matrices, the reader and the transforms, each the
// double nearest its exact value (bit patterns beside them), defined once for every layer.
#pragma once

namespace vorn::core {

inline constexpr double PI = 3.141592653589793;              // 0x400921FB54442D18
inline constexpr double TWO_PI = 6.283185307179586;          // 0x401921FB54442D18
inline constexpr double HALF_PI = 1.5707963267948966;        // 0x3FF921FB54442D18
inline constexpr double QUARTER_PI = 0.7853981633974483;     // 0x3FE921FB54442D18
inline constexpr double FRAC_1_SQRT_2 = 0.7071067811865476;  // 0x3FE6A09E667F3BCD, 1/√2

}  // namespace vorn::core
