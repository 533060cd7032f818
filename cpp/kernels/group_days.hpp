// The cross-sectional half of the factor group backtest: each day's factor
// groups and rank IC, computed day by day (each day independently, so the
// days may run on any number of threads with identical results).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "matrix_view.hpp"

namespace morvane::kernels {

// Where the forward return of day T over h days (open T+1 to open T+1+h)
// comes from: the one-day return from the rank cache when there is one, every
// other from the opening prices.
struct ForwardSource {
  std::optional<MatrixView<double>> rank_cache;  // per-day values ranked across the market
  std::optional<MatrixView<double>> open;        // opening prices
  [[nodiscard]] bool any() const { return rank_cache.has_value() || open.has_value(); }
};

struct GroupDayInputs {
  MatrixView<double> factor;                   // factor rows (smoothed when asked)
  std::span<const std::int64_t> factor_row;    // per date: row of `factor`, or -1
  MatrixView<double> valid;                    // dates x stocks: NaN outside the universe
  ForwardSource forward;                       // dates x stocks
  std::optional<MatrixView<double>> industry;  // dates x stocks industry codes
  std::size_t group_num = 20;
  bool ascending = false;
  // Holding periods of the IC decay, in trading days: ascending, unique, each
  // at least 1. The one-day IC is `rank_ic` whether or not 1 is listed.
  std::vector<std::size_t> horizons{1};
  // Lags of the factor's rank autocorrelation: ascending, unique; none when empty.
  std::vector<std::size_t> lags;
};

struct GroupDays {
  std::size_t days = 0, stocks = 0, groups = 0;
  std::vector<std::uint8_t> group;       // dates x stocks, row-major; 0 = in no group
  std::vector<double> weight;            // groups x dates: 1 / group size, NaN without groups
  std::vector<std::uint8_t> formed;      // per date: 1 when groups were formed
  std::vector<std::uint8_t> has_factor;  // per date: 1 when the factor has the date
  std::vector<std::uint32_t> eligible;   // per date: the stocks that could be grouped
  std::vector<double> rank_ic;           // per date (NaN where none)
  std::vector<double> neutral_ic;        // per date, filled only with industries
  std::vector<std::size_t> horizons, lags;
  std::vector<double> horizon_ic;       // dates x horizons, row-major; filled with forward data
  std::vector<double> autocorrelation;  // dates x lags, row-major
};

// Groups: the stocks with a finite factor and a non-NaN `valid` value; with k
// of them and n groups, none when k < n, otherwise rank r (1-based, ascending
// factor unless `ascending`, which reverses it; ties by column order) joins
// group (r - 1) * n / k + 1.
// Rank IC of day T: Spearman correlation of the factor and the forward
// return over the grouped-eligible stocks that have a forward return; the
// industry-neutral IC replaces the factor by its difference to the mean of
// its industry among those stocks (a stock without industry is left out).
// The IC at horizon h is the same with the return from open T+1 to open
// T+1+h (the rank cache's return for h = 1 when there is a cache).
// Rank autocorrelation at lag L, on day T: the Pearson correlation of the
// factor's ranks on day T (average ranks among the day's eligible stocks)
// with its ranks on day T - L, over the stocks eligible on both days, as
// alphalens measures a factor's rank autocorrelation.
[[nodiscard]] GroupDays run_group_days(const GroupDayInputs& in, std::size_t threads);

// pandas' rolling(window).mean() down each column of a row-major matrix, in
// place: NaN until `window` values are in view or while one of them is
// missing or infinite.
void rolling_mean_columns(std::span<double> values, std::size_t rows, std::size_t cols,
                          std::size_t window);

}  // namespace morvane::kernels
