#include "weight_smoothing.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>

namespace morvane::kernels {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A weight as the average sees it: missing counts as 0, infinite as missing.
inline double averaged(double w) {
  if (std::isnan(w)) return 0.0;
  return std::isinf(w) ? kNaN : w;
}

// Positions in `rows` of the rows with any mean: at least `window` rows in,
// and some column without an infinity among its last `window` cells. Each
// infinity blocks its column for `window` rows; the blocked columns of every
// row are counted through a difference array, reading the cells in memory
// order.
std::vector<std::int64_t> rows_with_mean(const MatrixView<double>& source,
                                         std::span<const std::int64_t> rows,
                                         std::span<const std::int64_t> cols, std::size_t window) {
  const std::size_t n = rows.size();
  const std::size_t k = cols.size();
  std::vector<std::int64_t> kept;
  if (k == 0 || n < window) return kept;
  std::vector<std::int64_t> delta(n + 1, 0);
  std::vector<std::size_t> blocked_until(k, 0);
  const auto see = [&](std::size_t p, std::size_t c) {
    if (!std::isinf(source(static_cast<std::size_t>(rows[p]), static_cast<std::size_t>(cols[c]))))
      return;
    const std::size_t lo = std::max(p, blocked_until[c]);
    const std::size_t hi = std::min(p + window, n);
    if (lo < hi) {
      ++delta[lo];
      --delta[hi];
    }
    blocked_until[c] = hi;
  };
  if (source.row_major()) {
    for (std::size_t p = 0; p < n; ++p) {
      for (std::size_t c = 0; c < k; ++c) see(p, c);
    }
  } else {
    for (std::size_t c = 0; c < k; ++c) {
      for (std::size_t p = 0; p < n; ++p) see(p, c);
    }
  }
  std::int64_t blocked = 0;
  for (std::size_t p = 0; p < n; ++p) {
    blocked += delta[p];
    if (p + 1 >= window && blocked < static_cast<std::int64_t>(k)) {
      kept.push_back(static_cast<std::int64_t>(p));
    }
  }
  return kept;
}

}  // namespace

void RollingWindow::add(double v) {
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

void RollingWindow::remove(double v) {
  if (std::isnan(v)) return;
  --count;
  const double y = -v - remove_carry;
  const double t = sum + y;
  remove_carry = t - sum - y;
  sum = t;
  if (std::signbit(v)) --negatives;
}

double RollingWindow::mean(std::int64_t min_count) const {
  if (count < min_count || count <= 0) return kNaN;
  const double m = sum / static_cast<double>(count);
  if (same_run >= count) return last;
  if (negatives == 0 && m < 0) return 0.0;
  if (negatives == count && m > 0) return 0.0;
  return m;
}

SmoothedWeightStream::SmoothedWeightStream(const MatrixView<double>& source,
                                           std::span<const std::int64_t> rows,
                                           std::span<const std::int64_t> cols,
                                           std::span<const std::int64_t> out_cols,
                                           std::size_t width, std::size_t window)
    : source_(source),
      source_rows_(rows.begin(), rows.end()),
      width_(width),
      window_(window),
      column_of_(width, -1),
      columns_(cols.size()),
      kept_rows_(rows_with_mean(source, rows, cols, window)) {
  assert(window > 1 && cols.size() == out_cols.size());
  for (std::size_t c = 0; c < cols.size(); ++c) {
    Column& column = columns_[c];
    column.source_col = static_cast<std::size_t>(cols[c]);
    if (!rows.empty()) {
      column.window.last = averaged(source(static_cast<std::size_t>(rows[0]), column.source_col));
    }
    column_of_[static_cast<std::size_t>(out_cols[c])] = static_cast<std::int64_t>(c);
  }
  held_.assign(kept_rows_.size(), 0.0);
  moved_.assign(kept_rows_.size(), 0.0);
  weighted_.assign(kept_rows_.size(), 0);
}

double SmoothedWeightStream::at(std::size_t row, std::size_t col) {
  const std::int64_t c = column_of_[col];
  if (c < 0) return kNaN;  // a NaN cell adds nothing to any figure
  Column& column = columns_[static_cast<std::size_t>(c)];
  const auto cell = [&](std::size_t p) {
    return averaged(source_(static_cast<std::size_t>(source_rows_[p]), column.source_col));
  };
  const auto last = static_cast<std::size_t>(kept_rows_[row]);
  for (; column.next <= last; ++column.next) {
    if (column.next >= window_) column.window.remove(cell(column.next - window_));
    column.window.add(cell(column.next));
  }
  const double mean = column.window.mean(static_cast<std::int64_t>(window_));
  const double value = mean == 0.0 ? kNaN : mean;
  const double zeroed = std::isnan(value) ? 0.0 : value;
  held_[row] += std::isfinite(value) ? 1.0 : 0.0;
  if (row > 0) moved_[row] += std::fabs(zeroed - column.previous);
  column.previous = zeroed;
  weighted_[row] |= static_cast<std::uint8_t>(!std::isnan(value));
  return value;
}

void SmoothedWeightStream::finish_last_row() {
  if (kept_rows_.empty()) return;
  for (std::size_t col = 0; col < width_; ++col) (void)at(kept_rows_.size() - 1, col);
}

std::vector<std::size_t> SmoothedWeightStream::weighted_rows() const {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < weighted_.size(); ++i) {
    if (weighted_[i]) out.push_back(i);
  }
  return out;
}

}  // namespace morvane::kernels
