#include "format.hpp"

#include <charconv>
#include <cmath>
#include <vector>

namespace morvane::kernels {

std::string format_fixed(double value, int digits) {
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  // 309 integer digits at most, plus sign, point and the decimals.
  std::vector<char> buffer(static_cast<std::size_t>(digits) + 330);
  const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                          std::chars_format::fixed, digits);
  if (error != std::errc()) return "nan";
  return std::string(buffer.data(), end);
}

}  // namespace morvane::kernels
