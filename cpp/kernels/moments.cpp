#include "moments.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace morvane::kernels {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
}

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
  // A constant series has no risk, but its rounded mean can differ from the
  // values in the last bit and give a tiny deviation and an absurd ratio.
  const bool constant =
      std::all_of(values.begin(), values.end(), [&](double v) { return v == values.front(); });
  if (constant) return kNaN;
  const double deviation = sample_std(values);
  if (!std::isfinite(deviation) || deviation == 0.0) return kNaN;
  return mean(values) / deviation * std::sqrt(periods);
}

}  // namespace morvane::kernels
