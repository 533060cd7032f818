#include "engine.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "kernels/portfolio.hpp"
#include "pyglue/args.hpp"
#include "pyglue/frames.hpp"
#include "pyglue/market.hpp"

using namespace nanobind::literals;

namespace morvane::ravelle {

namespace {

namespace glue = morvane::pyglue;

void check_rate(double value, const char* name) {
  if (!(value >= 0.0 && value < 1.0)) {
    glue::raise_value_error(std::string("参数 ") + name + " 取值范围 [0, 1), 收到 " +
                            std::to_string(value));
  }
}

kernels::PortfolioParams read_params(const EngineArgs& args) {
  kernels::PortfolioParams params;
  params.total_money = glue::to_float(args.total_money, "total_money");
  params.fee = glue::to_float(args.fee, "fee");
  params.rule_fee = glue::to_float(args.rule_fee, "rule_fee");
  params.lot_size = glue::to_int(args.lot_size, "lot_size");
  // A zero or NaN capital, or a zero lot, turns every return into NaN or inf;
  // refuse them instead of handing back a series of garbage.
  if (!(std::isfinite(params.total_money) && params.total_money > 0.0)) {
    glue::raise_value_error("参数 total_money 必须是正的有限数, 收到 " +
                            std::to_string(params.total_money));
  }
  check_rate(params.fee, "fee");
  check_rate(params.rule_fee, "rule_fee");
  if (params.lot_size < 1) {
    glue::raise_value_error("参数 lot_size 必须不小于 1, 收到 " + std::to_string(params.lot_size));
  }
  return params;
}

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

nb::object daily_return(const EngineArgs& args) {
  const glue::MarketTables& m = args.market;
  const char* const names[] = {"signal_matrix", "can_buy_stock",   "cant_sell_stock",
                               "split_factor",  "dividend_factor", "close_price",
                               "prev_close",    "buy_price",       "sell_price"};
  const nb::handle tables[] = {args.signal_matrix, m.can_buy_stock,   m.cant_sell_stock,
                               m.split_factor,     m.dividend_factor, m.close_price,
                               m.prev_close,       m.buy_price,       m.sell_price};
  for (std::size_t k = 0; k < std::size(tables); ++k) glue::require_dataframe(tables[k], names[k]);
  const kernels::PortfolioParams params = read_params(args);

  const glue::LabelledMatrix<double> signal =
      glue::read_float_frame(args.signal_matrix, "signal_matrix");
  // The weights of row t are traded on row t + 1. Rows before the first
  // weights have nothing to trade and get no return; a later row without any
  // weight is an empty portfolio and is valued like any other day.
  std::size_t first = 0;
  {
    const nb::gil_scoped_release unlocked;
    first = first_weighted_row(signal.view);
  }
  if (first + 1 >= signal.view.rows) return glue::empty_float_series();
  const std::size_t n_days = signal.view.rows - first - 1;

  const nb::object pnl_index = signal.index[glue::py_slice(first + 1, signal.view.rows)];
  const glue::MarketArrays market =
      glue::build_market_arrays(pnl_index, signal.columns, args.market);

  const kernels::MatrixView<double> shifted = signal.view.row_slice(first, n_days);
  std::vector<double> returns(n_days);
  {
    const nb::gil_scoped_release unlocked;
    kernels::run_weight_portfolio(shifted, market.view, params, returns);
  }
  return glue::make_series(std::move(returns), pnl_index);
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
