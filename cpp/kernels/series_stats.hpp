// Path statistics of daily series used by the strategy charts. NaN marks a
// missing day throughout; spans in, vectors out.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace morvane::kernels {

// value - running maximum of the values so far (missing days are skipped by
// the maximum and stay missing): 0 at every new high, negative below it.
[[nodiscard]] std::vector<double> drawdown_from_peak(std::span<const double> values);

struct RollingStability {
  std::vector<double> sharpe;    // window mean / sample std * sqrt(periods)
  std::vector<double> win_rate;  // share of window days strictly above 0
};

// Trailing windows of `window` days; a window yields a value only when all of
// its days are present, so the first window - 1 days have none. A window
// with zero deviation yields an infinite or undefined Sharpe ratio.
[[nodiscard]] RollingStability rolling_stability(std::span<const double> values, std::size_t window,
                                                 double periods);

// The table library's rolling(window, min_periods=min_count).mean() bit for
// bit: a trailing window of `window` days whose present values (infinities
// count as missing) are averaged by RollingWindow once at least `min_count`
// (> 0) of them are in view, else NaN.
[[nodiscard]] std::vector<double> rolling_mean(std::span<const double> values, std::size_t window,
                                               std::size_t min_count);

}  // namespace morvane::kernels
