#include "engine.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "kernels/portfolio.hpp"
#include "pyglue/args.hpp"
#include "pyglue/frames.hpp"
#include "pyglue/market.hpp"
#include "pyglue/portfolio_params.hpp"

using namespace nanobind::literals;

namespace morvane::ravelle {

namespace {

namespace glue = morvane::pyglue;

// First row holding any weight (a non-NaN value), or `rows` when none does.
std::size_t first_weighted_row(const kernels::MatrixView<double>& weights) {
  for (std::size_t i = 0; i < weights.rows; ++i) {
    for (std::size_t j = 0; j < weights.cols; ++j) {
      if (!std::isnan(weights(i, j))) return i;
    }
  }
  return weights.rows;
}

}  // namespace

EngineRun run_engine(const glue::LabelledMatrix<double>& signal, const glue::MarketTables& market,
                     const kernels::PortfolioParams& params) {
  // The weights of row t are traded on row t + 1. Rows before the first
  // weights have nothing to trade and get no return; a later row without any
  // weight is an empty portfolio and is valued like any other day.
  std::size_t first = 0;
  {
    const nb::gil_scoped_release unlocked;
    first = first_weighted_row(signal.view);
  }
  if (first + 1 >= signal.view.rows) return {nb::none(), {}};
  const std::size_t n_days = signal.view.rows - first - 1;

  EngineRun out{signal.index[glue::py_slice(first + 1, signal.view.rows)],
                std::vector<double>(n_days)};
  const glue::MarketArrays arrays =
      glue::build_market_arrays(out.pnl_index, signal.columns, market);
  const kernels::MatrixView<double> shifted = signal.view.row_slice(first, n_days);
  {
    const nb::gil_scoped_release unlocked;
    kernels::run_weight_portfolio(shifted, arrays.view, params, out.returns);
  }
  return out;
}

nb::object daily_return(const EngineArgs& args) {
  glue::require_market_frames(args.signal_matrix, "signal_matrix", args.market);
  const kernels::PortfolioParams params =
      glue::read_portfolio_params(args.total_money, args.fee, args.rule_fee, args.lot_size);

  const glue::LabelledMatrix<double> signal =
      glue::read_float_frame(args.signal_matrix, "signal_matrix");
  EngineRun run = run_engine(signal, args.market, params);
  if (run.pnl_index.is_none()) return glue::empty_float_series();
  return glue::make_series(std::move(run.returns), run.pnl_index);
}

nb::object smooth_strategy_weights(nb::handle strategy_matrix, nb::handle rolling_window) {
  glue::require_dataframe(strategy_matrix, "strategy_matrix");
  const std::int64_t window = glue::to_int(rolling_window, "rolling_window");
  if (window <= 1) return nb::borrow(strategy_matrix);
  // pandas' rolling mean (with its compensated running sum) decides which
  // averages are exactly zero, so the smoothing is left to it.
  const nb::object smoothed =
      strategy_matrix.attr("fillna")(0.0).attr("rolling")(window).attr("mean")().attr("dropna")(
          "how"_a = "all");
  return smoothed.attr("where")(smoothed.attr("__ne__")(0));
}

}  // namespace morvane::ravelle
