#include "strategy_stats.hpp"

#include <bit>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "moments.hpp"
#include "series.hpp"

namespace morvane::kernels {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<double> one_plus_cumsum(std::span<const double> values) {
  std::vector<double> out(values.size());
  cumsum_skipna(values, out);
  for (double& v : out) v += 1.0;
  return out;
}

// x - running max of x.
std::vector<double> drawdown_of(std::span<const double> values) {
  std::vector<double> out(values.size());
  cummax_skipna(values, out);
  for (std::size_t i = 0; i < values.size(); ++i) out[i] = values[i] - out[i];
  return out;
}

void divide_by_first(std::vector<double>& values) {
  const double first = values.front();
  for (double& v : values) v /= first;
}

}  // namespace

TotalColumns build_total_columns(std::span<const double> daily_return,
                                 std::span<const double> index_daily_return,
                                 std::optional<std::span<const double>> close) {
  const std::size_t n = daily_return.size();
  assert(n > 0 && index_daily_return.size() == n);
  TotalColumns out;
  out.extra_daily_return.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    out.extra_daily_return[i] = daily_return[i] - index_daily_return[i];
  }
  out.long_nav = one_plus_cumsum(daily_return);
  divide_by_first(out.long_nav);

  if (close.has_value()) {
    const double first_close = close->front();
    if (!std::isnan(first_close) && first_close != 0.0) {
      out.close_net_value.assign(close->begin(), close->end());
      for (double& v : out.close_net_value) v /= first_close;
    } else {
      // No usable base level: the cumulated index return, not normalised.
      out.close_net_value = one_plus_cumsum(index_daily_return);
    }
  } else {
    out.close = one_plus_cumsum(index_daily_return);
    out.close_net_value = out.close;
    divide_by_first(out.close_net_value);
  }

  out.max_drawdown = drawdown_of(out.long_nav);
  out.extra_return.resize(n);
  cumsum_skipna(out.extra_daily_return, out.extra_return);
  const double first_extra = out.extra_return.front();
  for (double& v : out.extra_return) v -= first_extra;
  std::vector<double> extra_nav(out.extra_return);
  for (double& v : extra_nav) v += 1.0;
  out.extra_max_drawdown = drawdown_of(extra_nav);
  return out;
}

namespace {

// Finite count of one contiguous row and its turnover against the previous
// row (NaN counted as 0). Four independent sums keep the additions from
// waiting on each other; the count is exact in any order.
struct RowFigures {
  double held;
  double moved;
};

// Branch-free forms of "NaN counts as 0" and "is finite": weight tables are
// mostly NaN in an unpredictable pattern, and a branch per cell would
// mispredict on a good share of them.
inline double zeroed(double w) {
  const std::uint64_t keep = std::uint64_t{0} - static_cast<std::uint64_t>(w == w);
  return std::bit_cast<double>(std::bit_cast<std::uint64_t>(w) & keep);
}

inline std::size_t finite(double w) {
  return static_cast<std::size_t>(std::fabs(w) <= std::numeric_limits<double>::max());
}

// Built twice, for AVX2 and for the baseline, and picked when the library
// loads: the wider vectors halve the time of this scan over the whole table.
#if defined(__GNUC__) && defined(__x86_64__) && defined(__linux__)
__attribute__((target_clones("avx2", "default")))
#endif
RowFigures contiguous_row(const double* row, const double* previous, std::size_t cols) {
  std::size_t held = 0;
  double moved[4] = {0.0, 0.0, 0.0, 0.0};
  std::size_t j = 0;
  if (previous != nullptr) {
    for (; j + 4 <= cols; j += 4) {
      for (std::size_t k = 0; k < 4; ++k) {
        held += finite(row[j + k]);
        moved[k] += std::fabs(zeroed(row[j + k]) - zeroed(previous[j + k]));
      }
    }
    for (; j < cols; ++j) {
      held += finite(row[j]);
      moved[0] += std::fabs(zeroed(row[j]) - zeroed(previous[j]));
    }
  } else {
    for (; j < cols; ++j) held += finite(row[j]);
  }
  return {static_cast<double>(held), (moved[0] + moved[1]) + (moved[2] + moved[3])};
}

}  // namespace

WeightFigures weight_figures_of_rows(std::span<const double> held, std::span<const double> moved) {
  if (held.empty()) return {kNaN, kNaN};
  WeightFigures out{mean(held), kNaN};
  if (held.size() > 1) out.turnover = mean(moved.subspan(1)) / 2.0;
  return out;
}

WeightFigures weight_figures(const MatrixView<double>& weights) {
  const std::size_t rows = weights.rows;
  const std::size_t cols = weights.cols;
  if (rows == 0) return {kNaN, kNaN};
  // Per-row finite counts and per-row turnover (row t against row t - 1),
  // accumulated in whichever order walks the memory sequentially.
  std::vector<double> held(rows, 0.0);
  std::vector<double> moved(rows, 0.0);
  if (cols > 0 && (weights.col_stride == 1 || cols == 1)) {
    for (std::size_t t = 0; t < rows; ++t) {
      const RowFigures figures =
          contiguous_row(&weights(t, 0), t > 0 ? &weights(t - 1, 0) : nullptr, cols);
      held[t] = figures.held;
      moved[t] = figures.moved;
    }
  } else {
    for (std::size_t j = 0; j < cols; ++j) {
      double previous = 0.0;
      for (std::size_t t = 0; t < rows; ++t) {
        const double w = weights(t, j);
        held[t] += static_cast<double>(finite(w));
        const double z = zeroed(w);
        if (t > 0) moved[t] += std::fabs(z - previous);
        previous = z;
      }
    }
  }
  return weight_figures_of_rows(held, moved);
}

WeightFigures weight_figures_in_row_order(const MatrixView<double>& weights,
                                          std::span<const std::int64_t> cols) {
  const std::size_t rows = weights.rows;
  if (rows == 0) return {kNaN, kNaN};
  // The sums of contiguous_row, lane by lane in the same order, over the
  // selected columns as the row-major table of them would hold them.
  const std::size_t n = cols.size();
  const std::size_t blocked = n - n % 4;
  std::vector<double> held(rows, 0.0);
  std::vector<double> moved(rows, 0.0);
  for (std::size_t t = 0; t < rows; ++t) {
    std::size_t count = 0;
    double lanes[4] = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t q = 0; q < n; ++q) {
      const auto j = static_cast<std::size_t>(cols[q]);
      const double w = weights(t, j);
      count += finite(w);
      if (t > 0) lanes[q < blocked ? q % 4 : 0] += std::fabs(zeroed(w) - zeroed(weights(t - 1, j)));
    }
    held[t] = static_cast<double>(count);
    moved[t] = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
  }
  return weight_figures_of_rows(held, moved);
}

StrategyStats strategy_stats(const TotalView& total, std::optional<WeightFigures> weights) {
  const std::size_t n = total.rows();
  assert(n > 0);
  const double years = static_cast<double>(n) / kTradingDaysPerYear;
  const std::vector<double> daily = finite_values(total.daily_return);
  const std::vector<double> benchmark = finite_values(total.index_daily_return);
  const std::vector<double> extra = finite_values(total.extra_daily_return);
  StrategyStats s{};
  s.annual_return = (total.long_nav.back() - 1.0) / years * 100.0;
  s.long_sharp = sharpe_ratio(daily, kTradingDaysPerYear);
  s.max_dd = std::fabs(nanmin(total.max_drawdown));
  s.benchmark_annual_return = (total.close_net_value.back() - 1.0) / years * 100.0;
  s.benchmark_sharp = sharpe_ratio(benchmark, kTradingDaysPerYear);
  s.extra_annual_return = total.extra_return.back() / years * 100.0;
  s.extra_sharp = sharpe_ratio(extra, kTradingDaysPerYear);
  s.extra_max_dd = std::fabs(nanmin(total.extra_max_drawdown));
  s.return_corr = pearson_correlation(total.daily_return, total.index_daily_return);
  s.win_rate = positive_share(daily);
  s.excess_win_rate = positive_share(extra);
  s.holding_count = weights ? weights->holding_count : kNaN;
  s.turnover = weights ? weights->turnover : kNaN;
  return s;
}

std::vector<std::size_t> complete_rows(std::span<const std::span<const double>> columns) {
  const std::size_t n = columns.empty() ? 0 : columns.front().size();
  std::vector<std::size_t> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    bool complete = true;
    for (const auto& column : columns) complete = complete && !std::isnan(column[i]);
    if (complete) out.push_back(i);
  }
  return out;
}

std::vector<double> take(std::span<const double> column, std::span<const std::size_t> rows) {
  std::vector<double> out(rows.size());
  for (std::size_t k = 0; k < rows.size(); ++k) out[k] = column[rows[k]];
  return out;
}

BenchmarkFigures benchmark_figures(std::span<const double> strategy,
                                   std::span<const double> benchmark) {
  assert(strategy.size() == benchmark.size());
  std::vector<double> excess(strategy.size());
  for (std::size_t i = 0; i < excess.size(); ++i) excess[i] = strategy[i] - benchmark[i];
  std::vector<double> cumulative(excess.size());
  cumsum_skipna(excess, cumulative);
  BenchmarkFigures out{};
  out.benchmark_annual_return = nanmean(benchmark) * kTradingDaysPerYear;
  out.excess_annual_return = nanmean(excess) * kTradingDaysPerYear;
  out.excess_sharpe = sharpe_ratio(excess, kTradingDaysPerYear);
  out.excess_max_dd = nanmin(drawdown_of(cumulative));
  return out;
}

}  // namespace morvane::kernels
