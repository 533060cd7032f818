#include "weight_smoothing.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>

namespace morvane::kernels {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The running state of one column's window, updated exactly as pandas does:
// separate compensation terms for additions and removals, a count of negative
// values in view and the length of the latest run of equal values.
struct Window {
  double sum = 0.0;
  double add_carry = 0.0;
  double remove_carry = 0.0;
  std::int64_t count = 0;
  std::int64_t negatives = 0;
  std::int64_t same_run = 0;
  double last = 0.0;

  void add(double v) {
    if (std::isnan(v)) return;
    ++count;
    const double y = v - add_carry;
    const double t = sum + y;
    add_carry = t - sum - y;
    sum = t;
    if (std::signbit(v)) ++negatives;
    same_run = v == last ? same_run + 1 : 1;
    last = v;
  }

  void remove(double v) {
    if (std::isnan(v)) return;
    --count;
    const double y = -v - remove_carry;
    const double t = sum + y;
    remove_carry = t - sum - y;
    sum = t;
    if (std::signbit(v)) --negatives;
  }

  [[nodiscard]] double mean(std::int64_t min_count) const {
    if (count < min_count || count <= 0) return kNaN;
    const double m = sum / static_cast<double>(count);
    if (same_run >= count) return last;
    if (negatives == 0 && m < 0) return 0.0;
    if (negatives == count && m > 0) return 0.0;
    return m;
  }
};

// A weight as the average sees it: missing counts as 0, infinite as missing.
inline double averaged(double w) {
  if (std::isnan(w)) return 0.0;
  return std::isinf(w) ? kNaN : w;
}

}  // namespace

SmoothedWeights smooth_weight_columns(const MatrixView<double>& source,
                                      std::span<const std::int64_t> rows,
                                      std::span<const std::int64_t> cols,
                                      std::span<const std::int64_t> out_cols, std::size_t width,
                                      std::size_t window) {
  assert(window > 1 && cols.size() == out_cols.size());
  const std::size_t n = rows.size();
  const auto min_count = static_cast<std::int64_t>(window);
  SmoothedWeights out;
  out.rows = n;
  out.width = width;
  out.values.assign(n * width, kNaN);
  std::vector<std::uint8_t> has_mean(n, 0);
  std::vector<double> column(n);
  for (std::size_t c = 0; c < cols.size(); ++c) {
    const auto src = static_cast<std::size_t>(cols[c]);
    for (std::size_t i = 0; i < n; ++i) {
      column[i] = averaged(source(static_cast<std::size_t>(rows[i]), src));
    }
    double* const dst = out.values.data() + static_cast<std::size_t>(out_cols[c]) * n;
    Window state;
    if (n > 0) state.last = column[0];
    for (std::size_t i = 0; i < n; ++i) {
      if (i >= window) state.remove(column[i - window]);
      state.add(column[i]);
      const double m = state.mean(min_count);
      dst[i] = m;
      has_mean[i] |= static_cast<std::uint8_t>(!std::isnan(m));
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (has_mean[i]) out.kept_rows.push_back(static_cast<std::int64_t>(i));
  }
  // Drop the rows without any mean, in place, column by column.
  const std::size_t kept = out.kept_rows.size();
  for (std::size_t j = 0; j < width; ++j) {
    const double* const from = out.values.data() + j * n;
    double* const to = out.values.data() + j * kept;
    for (std::size_t k = 0; k < kept; ++k) {
      const double m = from[static_cast<std::size_t>(out.kept_rows[k])];
      to[k] = m == 0.0 ? kNaN : m;
    }
  }
  out.values.resize(kept * width);
  out.rows = kept;
  return out;
}

}  // namespace morvane::kernels
