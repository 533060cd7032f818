#include <cmath>
#include <limits>
#include <vector>

#include "group_days.hpp"

namespace morvane::kernels {

void rolling_mean_columns(std::span<double> values, std::size_t rows, std::size_t cols,
                          std::size_t window) {
  if (window <= 1) return;
  std::vector<double> column(rows);
  const double w = static_cast<double>(window);
  for (std::size_t j = 0; j < cols; ++j) {
    for (std::size_t i = 0; i < rows; ++i) column[i] = values[i * cols + j];
    // Compensated running sum of the finite values in view, and how many
    // values in view are not finite.
    double sum = 0.0, carry = 0.0;
    std::size_t bad = 0;
    const auto add = [&](double v) {
      const double y = v - carry;
      const double t = sum + y;
      carry = (t - sum) - y;
      sum = t;
    };
    for (std::size_t i = 0; i < rows; ++i) {
      if (std::isfinite(column[i]))
        add(column[i]);
      else
        ++bad;
      if (i >= window) {
        const double old = column[i - window];
        if (std::isfinite(old))
          add(-old);
        else
          --bad;
      }
      values[i * cols + j] =
          (i + 1 >= window && bad == 0) ? sum / w : std::numeric_limits<double>::quiet_NaN();
    }
  }
}

}  // namespace morvane::kernels
