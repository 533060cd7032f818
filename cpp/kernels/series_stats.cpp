#include "series_stats.hpp"

#include <cmath>
#include <limits>

#include "weight_smoothing.hpp"

namespace morvane::kernels {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
}

std::vector<double> drawdown_from_peak(std::span<const double> values) {
  std::vector<double> out(values.size(), kNaN);
  double peak = -std::numeric_limits<double>::infinity();
  bool seen = false;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double v = values[i];
    if (std::isnan(v)) continue;
    peak = seen ? std::max(peak, v) : v;
    seen = true;
    out[i] = v - peak;
  }
  return out;
}

RollingStability rolling_stability(std::span<const double> values, std::size_t window,
                                   double periods) {
  const std::size_t n = values.size();
  RollingStability out{std::vector<double>(n, kNaN), std::vector<double>(n, kNaN)};
  if (window == 0) return out;
  const double scale = std::sqrt(periods);
  // Each window is summed afresh: windows are short (at most 60 days) and a
  // running sum would carry rounding from far outside the window.
  for (std::size_t end = window; end <= n; ++end) {
    const std::span<const double> days = values.subspan(end - window, window);
    double sum = 0.0;
    std::size_t wins = 0;
    bool complete = true;
    for (const double v : days) {
      if (std::isnan(v)) {
        complete = false;
        break;
      }
      sum += v;
      wins += v > 0.0 ? 1 : 0;
    }
    if (!complete) continue;
    const double count = static_cast<double>(window);
    const double mean = sum / count;
    double squares = 0.0;
    for (const double v : days) squares += (v - mean) * (v - mean);
    const double deviation = window > 1 ? std::sqrt(squares / (count - 1.0)) : kNaN;
    out.sharpe[end - 1] = mean / deviation * scale;
    out.win_rate[end - 1] = static_cast<double>(wins) / count;
  }
  return out;
}

std::vector<double> rolling_mean(std::span<const double> values, std::size_t window,
                                 std::size_t min_count) {
  const auto present = [](double v) { return std::isinf(v) ? kNaN : v; };
  std::vector<double> out(values.size(), kNaN);
  RollingWindow in_view;
  for (std::size_t i = 0; i < values.size(); ++i) {
    // The day leaving the window goes before the day entering it.
    if (i >= window) in_view.remove(present(values[i - window]));
    in_view.add(present(values[i]));
    out[i] = in_view.mean(static_cast<std::int64_t>(min_count));
  }
  return out;
}

}  // namespace morvane::kernels
