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

kernels::PortfolioParams read_portfolio_params(nb::handle total_money, nb::handle fee,
                                               nb::handle rule_fee, nb::handle lot_size) {
  kernels::PortfolioParams params;
  params.total_money = glue::to_float(total_money, "total_money");
  params.fee = glue::to_float(fee, "fee");
  params.rule_fee = glue::to_float(rule_fee, "rule_fee");
  params.lot_size = glue::to_int(lot_size, "lot_size");
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
  const glue::MarketTables& m = args.market;
  const char* const names[] = {"signal_matrix", "can_buy_stock",   "cant_sell_stock",
                               "split_factor",  "dividend_factor", "close_price",
                               "prev_close",    "buy_price",       "sell_price"};
  const nb::handle tables[] = {args.signal_matrix, m.can_buy_stock,   m.cant_sell_stock,
                               m.split_factor,     m.dividend_factor, m.close_price,
                               m.prev_close,       m.buy_price,       m.sell_price};
  for (std::size_t k = 0; k < std::size(tables); ++k) glue::require_dataframe(tables[k], names[k]);
  const kernels::PortfolioParams params =
      read_portfolio_params(args.total_money, args.fee, args.rule_fee, args.lot_size);

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
