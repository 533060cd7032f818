#include "moments.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace morvane::kernels {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kNoiseFloor = 1e-12;
constexpr double kNoiseShare = 1e-9;
}  // namespace

double mean(std::span<const double> values) {
  if (values.empty()) return kNaN;
  double sum = 0.0;
  for (const double v : values) sum += v;
  return sum / static_cast<double>(values.size());
}

double sample_std(std::span<const double> values) {
  if (values.size() < 2) return kNaN;
  const double centre = mean(values);
  double squares = 0.0;
  for (const double v : values) squares += (v - centre) * (v - centre);
  return std::sqrt(squares / static_cast<double>(values.size() - 1));
}

double sharpe_ratio(std::span<const double> values, double periods) {
  if (values.size() < 2) return kNaN;
  const double deviation = sample_std(values);
  if (!std::isfinite(deviation)) return kNaN;
  // A series constant up to rounding (an excess return of a strategy that
  // equals its benchmark) has no risk, but the rounding leaves a deviation of
  // a few ulps and the ratio would be absurd. Rounding moves a value by about
  // 1e-16 of its magnitude, so a deviation under 1e-9 of the largest
  // magnitude, or under 1e-12 absolute, cannot be told from noise.
  double largest = 0.0;
  for (const double v : values) largest = std::max(largest, std::abs(v));
  if (deviation <= std::max(kNoiseFloor, kNoiseShare * largest)) return kNaN;
  return mean(values) / deviation * std::sqrt(periods);
}

}  // namespace morvane::kernels
