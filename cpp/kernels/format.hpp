// Fixed-point text of a double, correctly rounded from its exact binary value
// (ties to even), locale-independent; infinities print as "inf" / "-inf".
#pragma once

#include <string>

namespace morvane::kernels {

[[nodiscard]] std::string format_fixed(double value, int digits);

}  // namespace morvane::kernels
