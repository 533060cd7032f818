// The strategy backtest's per-day table (net values, drawdowns, excess
// return), its summary statistics, the weight-table figures (holding count,
// turnover) and the per-benchmark excess figures.
//
// Returns are fractions of a fixed capital (no compounding), so cumulative
// returns are sums of daily returns. Missing values follow series.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "matrix_view.hpp"

namespace morvane::kernels {

inline constexpr double kTradingDaysPerYear = 252.0;

// Derived columns of the per-day table, one value per row of the input.
struct TotalColumns {
  std::vector<double> extra_daily_return;  // daily_return - index_daily_return
  std::vector<double> long_nav;            // (1 + cumsum daily_return) / its first value
  std::vector<double> close_net_value;     // benchmark net value
  std::vector<double> close;               // filled only when no close level was given
  std::vector<double> max_drawdown;        // long_nav - running max of long_nav
  std::vector<double> extra_return;        // cumsum extra - its first value
  std::vector<double> extra_max_drawdown;  // (1 + extra_return) - its running max
};

// `close` is the benchmark level column when the table has one. The spans
// hold at least one row and no NaN (the caller dropped incomplete rows).
[[nodiscard]] TotalColumns build_total_columns(std::span<const double> daily_return,
                                               std::span<const double> index_daily_return,
                                               std::optional<std::span<const double>> close);

// The columns the statistics read, all of the same length.
struct TotalView {
  std::span<const double> daily_return;
  std::span<const double> index_daily_return;
  std::span<const double> extra_daily_return;
  std::span<const double> long_nav;
  std::span<const double> close_net_value;
  std::span<const double> max_drawdown;
  std::span<const double> extra_return;
  std::span<const double> extra_max_drawdown;
  [[nodiscard]] std::size_t rows() const { return daily_return.size(); }
};

struct WeightFigures {
  double holding_count;  // mean count of finite weights per row
  double turnover;       // mean over rows of sum |w[t] - w[t-1]| / 2, NaN counted as 0
};

// From each row's count of finite weights and its turnover against the row
// before (the first row's is not used): NaN figures without rows, turnover
// NaN for a single row.
[[nodiscard]] WeightFigures weight_figures_of_rows(std::span<const double> held,
                                                   std::span<const double> moved);

// Reads the weight matrix once, in its memory order. NaN figures for a table
// without rows; turnover NaN for a single row.
[[nodiscard]] WeightFigures weight_figures(const MatrixView<double>& weights);

// What weight_figures gives for the row-major table of the columns `cols` of
// `weights`, in that order, whatever the layout of `weights`: the turnover's
// sums run in the same order, so the figures are the same to the last bit.
[[nodiscard]] WeightFigures weight_figures_in_row_order(const MatrixView<double>& weights,
                                                        std::span<const std::int64_t> cols);

// The thirteen statistics in their reporting units: annual returns in percent,
// drawdowns as positive magnitudes, rates as fractions.
struct StrategyStats {
  double annual_return;
  double long_sharp;
  double max_dd;
  double benchmark_annual_return;
  double benchmark_sharp;
  double extra_annual_return;
  double extra_sharp;
  double extra_max_dd;
  double return_corr;
  double win_rate;
  double excess_win_rate;
  double holding_count;
  double turnover;
};

// Statistics of a per-day table with at least one row and no NaN.
[[nodiscard]] StrategyStats strategy_stats(const TotalView& total,
                                           std::optional<WeightFigures> weights);

// Positions of the rows in which none of `columns` is NaN.
[[nodiscard]] std::vector<std::size_t> complete_rows(
    std::span<const std::span<const double>> columns);

// Values of `column` at `rows`.
[[nodiscard]] std::vector<double> take(std::span<const double> column,
                                       std::span<const std::size_t> rows);

// Excess performance against one benchmark over the dates both cover
// (fractions, drawdown 0 or negative).
struct BenchmarkFigures {
  double benchmark_annual_return;  // mean benchmark return x 252
  double excess_annual_return;     // mean excess return x 252
  double excess_sharpe;
  double excess_max_dd;  // min of cumulative excess - its running max
};

[[nodiscard]] BenchmarkFigures benchmark_figures(std::span<const double> strategy,
                                                 std::span<const double> benchmark);

}  // namespace morvane::kernels
