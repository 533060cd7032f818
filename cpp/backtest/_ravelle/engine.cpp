#include "engine.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include "kernels/portfolio.hpp"
#include "kernels/weights.hpp"
#include "pyglue/args.hpp"
#include "pyglue/frames.hpp"
#include "pyglue/market.hpp"
#include "pyglue/portfolio_params.hpp"

using namespace nanobind::literals;

namespace morvane::ravelle {

namespace {

namespace glue = morvane::pyglue;

// The rows holding any weight (a non-NaN value), in order: the one scan
// both the daily return and the runner take their first traded row from.
// Needs no GIL.
std::vector<std::size_t> weighted_rows(const kernels::MatrixView<double>& weights) {
  const std::vector<std::uint8_t> weighted = kernels::rows_with_weight(weights);
  std::vector<std::size_t> rows;
  for (std::size_t i = 0; i < weighted.size(); ++i) {
    if (weighted[i]) rows.push_back(i);
  }
  return rows;
}

// `out` keeping what its engine traded, on the market view `arrays` (kept
// alive with the records) over the stocks `codes`.
EngineRun with_trades(EngineRun out, std::shared_ptr<RecordedTrades> trades,
                      glue::MarketArrays arrays, nb::object codes) {
  trades->market = std::move(arrays);
  trades->dates = out.pnl_index;
  trades->codes = std::move(codes);
  out.trades = std::move(trades);
  return out;
}

// The weights traded from row `first`, the first holding any weight: rows
// before it have nothing to trade and get no return; a later row without any
// weight is an empty portfolio and is valued like any other day.
EngineRun run_engine_from(const glue::LabelledMatrix<double>& weights, std::size_t first,
                          const glue::MarketTables& market, const kernels::PortfolioParams& params,
                          bool record_trades = false) {
  // The weights of row t are traded on row t + 1.
  if (first + 1 >= weights.view.rows) return {nb::none(), {}, {}};
  const std::size_t n_days = weights.view.rows - first - 1;

  EngineRun out{
      weights.index[glue::py_slice(first + 1, weights.view.rows)], std::vector<double>(n_days), {}};
  glue::MarketArrays arrays = glue::build_market_arrays(out.pnl_index, weights.columns, market);
  const kernels::MatrixView<double> shifted = weights.view.row_slice(first, n_days);
  if (!record_trades) {
    const nb::gil_scoped_release unlocked;
    kernels::run_weight_portfolio(shifted, arrays.view, params, out.returns);
    return out;
  }
  auto trades = std::make_shared<RecordedTrades>();
  {
    const nb::gil_scoped_release unlocked;
    kernels::run_weights([&](std::size_t day, std::size_t stock) { return shifted(day, stock); },
                         arrays.view, params, out.returns, trades->log);
  }
  return with_trades(std::move(out), std::move(trades), std::move(arrays), weights.columns);
}

}  // namespace

EngineRun run_engine(const glue::LabelledMatrix<double>& weights, const glue::MarketTables& market,
                     const kernels::PortfolioParams& params) {
  std::vector<std::size_t> rows;
  {
    const nb::gil_scoped_release unlocked;
    rows = weighted_rows(weights.view);
  }
  if (rows.empty()) return {nb::none(), {}, {}};
  return run_engine_from(weights, rows.front(), market, params);
}

namespace {

// The smoothed weights traded from the table's first row: the rows before the
// first weight hold nothing and trade nothing, so each later day's return is
// the one the engine started there gives. The last row, which no day trades,
// is read after, so that the figures cover the whole table.
EngineRun run_smoothed(const glue::LabelledMatrix<double>& labels,
                       kernels::SmoothedWeightStream& stream, const glue::MarketTables& market,
                       const kernels::PortfolioParams& params, bool record_trades) {
  const std::size_t rows = stream.rows();
  if (rows < 2) {
    const nb::gil_scoped_release unlocked;
    stream.finish_last_row();
    return {nb::none(), {}, {}};
  }
  EngineRun out{labels.index[glue::py_slice(1, rows)], std::vector<double>(rows - 1), {}};
  glue::MarketArrays arrays = glue::build_market_arrays(out.pnl_index, labels.columns, market);
  const auto weight = [&](std::size_t day, std::size_t stock) { return stream.at(day, stock); };
  if (!record_trades) {
    const nb::gil_scoped_release unlocked;
    kernels::run_weights(weight, arrays.view, params, out.returns);
    stream.finish_last_row();
    return out;
  }
  auto trades = std::make_shared<RecordedTrades>();
  {
    const nb::gil_scoped_release unlocked;
    kernels::run_weights(weight, arrays.view, params, out.returns, trades->log);
    stream.finish_last_row();
  }
  return with_trades(std::move(out), std::move(trades), std::move(arrays), labels.columns);
}

}  // namespace

TradedWeights trade_work_weights(WorkWeights& weights, const glue::MarketTables& market,
                                 const kernels::PortfolioParams& params, bool record_trades) {
  TradedWeights out;
  out.run.pnl_index = nb::none();  // nothing traded until the engine runs
  if (!weights.smoothed) {
    {
      const nb::gil_scoped_release unlocked;
      out.weighted_rows = weighted_rows(weights.matrix.view);
      out.figures = weights.figures();
    }
    if (!out.weighted_rows.empty()) {
      out.run =
          run_engine_from(weights.matrix, out.weighted_rows.front(), market, params, record_trades);
    }
    return out;
  }

  kernels::SmoothedWeightStream& stream = *weights.smoothed;
  EngineRun all = run_smoothed(weights.matrix, stream, market, params, record_trades);
  out.weighted_rows = stream.weighted_rows();
  out.figures = stream.figures();
  if (out.weighted_rows.empty() || all.pnl_index.is_none()) return out;
  const std::size_t first = out.weighted_rows.front();
  if (first + 1 >= stream.rows()) return out;
  out.run.pnl_index = all.pnl_index[glue::py_slice(first, all.returns.size())];
  out.run.returns.assign(all.returns.begin() + static_cast<std::ptrdiff_t>(first),
                         all.returns.end());
  out.run.trades = std::move(all.trades);  // its days are those of the whole run
  return out;
}

nb::object daily_return(const EngineArgs& args) {
  glue::require_market_frames(args.weights, "signal_matrix", args.market);
  const kernels::PortfolioParams params =
      glue::read_portfolio_params(args.total_money, args.fee, args.rule_fee, args.lot_size);

  const glue::LabelledMatrix<double> weights =
      glue::read_float_frame(args.weights, "signal_matrix");
  EngineRun run = run_engine(weights, args.market, params);
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
