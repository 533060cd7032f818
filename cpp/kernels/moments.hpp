// Sample moments of a return series and the annualised Sharpe ratio.
//
// Two passes (mean, then squared deviations), the way pandas computes a
// standard deviation, so results agree with it to rounding. No allocation.
#pragma once

#include <span>

namespace morvane::kernels {

// Arithmetic mean; NaN for an empty span. NaN values propagate.
[[nodiscard]] double mean(std::span<const double> values);

// Sample standard deviation (ddof 1); NaN for fewer than two values.
[[nodiscard]] double sample_std(std::span<const double> values);

// mean / sample_std * sqrt(periods); NaN for fewer than two values, or when the
// deviation is not finite or no larger than rounding noise: 1e-12, or 1e-9 of
// the largest magnitude in the series. Never throws.
[[nodiscard]] double sharpe_ratio(std::span<const double> values, double periods);

}  // namespace morvane::kernels
