#include "ledger.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "imports.hpp"
#include "kernels/trade_ledger.hpp"
#include "pyglue/frames.hpp"
#include "pyglue/imports.hpp"

using namespace nanobind::literals;

namespace morvane::ravelle {

namespace {

namespace glue = morvane::pyglue;

constexpr const char* kSides[] = {"buy", "sell", "hold"};
constexpr const char* kNumberColumns[] = {"shares",   "price",        "commission", "stamp_duty",
                                          "dividend", "split_effect", "pnl"};

// Labels as an object column: taken from the few distinct labels as numpy
// objects, so that a column of millions of rows is pointers to them rather
// than millions of new texts, and pandas keeps it as given (object dtype).
template <class Position>
nb::object label_column(nb::handle labels, std::vector<Position>&& positions) {
  const nb::object distinct = glue::imports().np.attr("asarray")(labels, "dtype"_a = "object");
  return glue::imports().series(distinct.attr("take")(glue::numpy_from(std::move(positions))),
                                "dtype"_a = "object", "copy"_a = false);
}

nb::object trades_frame(kernels::TradeLedger& ledger, nb::handle dates, nb::handle codes) {
  nb::dict columns;
  columns["date"] = label_column(dates, std::move(ledger.day));
  columns["code"] = label_column(codes, std::move(ledger.stock));
  nb::list sides;
  for (const char* side : kSides) sides.append(side);
  columns["side"] = label_column(sides, std::move(ledger.side));
  std::vector<double>* const numbers[] = {
      &ledger.shares,   &ledger.price,        &ledger.commission, &ledger.stamp_duty,
      &ledger.dividend, &ledger.split_effect, &ledger.pnl};
  for (std::size_t k = 0; k < std::size(kNumberColumns); ++k) {
    columns[kNumberColumns[k]] = glue::numpy_from(std::move(*numbers[k]));
  }
  return glue::imports().data_frame(columns, "copy"_a = false);
}

// Shares after each day's trades and their value at the close, on the
// result's days, for every stock the ledger ever held; the values gain a
// "cash" column: the capital plus the P&L so far, less the stocks' value.
struct PositionFrames {
  nb::object shares, values;
};

PositionFrames position_frames(const kernels::TradeLedger& ledger,
                               const std::vector<std::int64_t>& result_row, nb::handle result_dates,
                               nb::handle codes, double total_money) {
  std::vector<std::int64_t> column_of(nb::len(codes), -1);
  for (std::size_t k = 0; k < ledger.held_stock.size(); ++k) {
    if (ledger.held_shares[k] > 0.0) column_of[ledger.held_stock[k]] = 0;
  }
  std::vector<std::int64_t> held_stocks;
  for (std::size_t j = 0; j < column_of.size(); ++j) {
    if (column_of[j] >= 0) {
      column_of[j] = static_cast<std::int64_t>(held_stocks.size());
      held_stocks.push_back(static_cast<std::int64_t>(j));
    }
  }
  const std::size_t rows = nb::len(result_dates);
  const std::size_t cols = held_stocks.size();
  std::vector<double> shares(rows * cols, 0.0);
  std::vector<double> values(rows * (cols + 1), 0.0);
  std::vector<double> stock_value(rows, 0.0), pnl(rows, 0.0);
  for (std::size_t k = 0; k < ledger.held_stock.size(); ++k) {
    const std::int64_t col = column_of[ledger.held_stock[k]];
    if (col < 0) continue;
    const auto row = static_cast<std::size_t>(result_row[ledger.held_day[k]]);
    shares[row * cols + static_cast<std::size_t>(col)] = ledger.held_shares[k];
    values[row * (cols + 1) + static_cast<std::size_t>(col)] = ledger.held_value[k];
    // A value without any close to mark it to is left out, as pandas' sums
    // skip missing values: the cash stays the rest of the known total.
    if (!std::isnan(ledger.held_value[k])) stock_value[row] += ledger.held_value[k];
  }
  for (std::size_t d = 0; d < result_row.size(); ++d) {
    if (result_row[d] >= 0) pnl[static_cast<std::size_t>(result_row[d])] = ledger.day_pnl[d];
  }
  double capital = total_money;
  for (std::size_t row = 0; row < rows; ++row) {
    capital += pnl[row];
    values[row * (cols + 1) + cols] = capital - stock_value[row];
  }
  const nb::object columns = codes.attr("take")(glue::numpy_from(std::move(held_stocks)));
  PositionFrames out;
  out.shares =
      glue::imports().data_frame(glue::numpy_from(std::move(shares), rows, cols),
                                 "index"_a = result_dates, "columns"_a = columns, "copy"_a = false);
  out.values = glue::imports().data_frame(
      glue::numpy_from(std::move(values), rows, cols + 1), "index"_a = result_dates,
      "columns"_a = columns.attr("append")(glue::imports().index(nb::make_tuple("cash"))),
      "copy"_a = false);
  return out;
}

nb::dict totals_dict(const kernels::TradeLedger& ledger, std::size_t trade_count) {
  nb::dict totals;
  totals["commission"] = ledger.total_commission;
  totals["stamp_duty"] = ledger.total_stamp_duty;
  totals["traded_value"] = ledger.traded_value;
  totals["average_holding_days"] = ledger.average_holding_days;
  totals["trade_count"] = static_cast<std::int64_t>(trade_count);
  return totals;
}

}  // namespace

LedgerTables ledger_tables(RecordedTrades& recorded, const kernels::PortfolioParams& params,
                           nb::handle result_dates) {
  // Each engine day's row in the result, or -1 for a day the result drops.
  const std::vector<std::int64_t> result_row = glue::label_positions(
      glue::imports().index(result_dates), recorded.dates, "result_dates", "行");
  std::vector<std::uint8_t> keep_day(result_row.size());
  for (std::size_t d = 0; d < result_row.size(); ++d) keep_day[d] = result_row[d] >= 0;

  kernels::TradeLedger ledger;
  {
    const nb::gil_scoped_release unlocked;
    ledger = kernels::build_trade_ledger(recorded.log, recorded.market.view, params, keep_day);
  }
  std::size_t trade_count = 0;
  for (const std::uint8_t side : ledger.side) {
    trade_count +=
        static_cast<std::size_t>(side != static_cast<std::uint8_t>(kernels::LedgerSide::kHold));
  }
  LedgerTables out;
  out.totals = totals_dict(ledger, trade_count);
  PositionFrames positions =
      position_frames(ledger, result_row, result_dates, recorded.codes, params.total_money);
  out.positions = std::move(positions.shares);
  out.values = std::move(positions.values);
  out.trades = trades_frame(ledger, recorded.dates, recorded.codes);
  return out;
}

nb::object deferred_ledger(std::shared_ptr<RecordedTrades> recorded,
                           const kernels::PortfolioParams& params, nb::object result_dates) {
  // Built once, on the first look at the ledger: the backtest itself only
  // records what it traded.
  nb::object build = nb::cpp_function(
      [recorded = std::move(recorded), params, result_dates = std::move(result_dates)]() {
        LedgerTables tables = ledger_tables(*recorded, params, result_dates);
        return nb::make_tuple(tables.trades, tables.positions, tables.totals, tables.values);
      });
  return imports().trade_ledger(build);
}

nb::object ready_ledger(const LedgerTables& tables) {
  return imports().trade_ledger.attr("from_tables")(tables.trades, tables.positions, tables.totals,
                                                    tables.values);
}

LedgerTables empty_ledger_tables() {
  kernels::TradeLedger ledger;
  ledger.average_holding_days = std::numeric_limits<double>::quiet_NaN();
  LedgerTables out;
  const nb::object none = glue::imports().index(nb::list(), "dtype"_a = "object");
  out.trades = trades_frame(ledger, none, none);
  out.positions = glue::imports().data_frame("dtype"_a = "float64");
  out.values =
      glue::imports().data_frame("columns"_a = nb::make_tuple("cash"), "dtype"_a = "float64");
  out.totals = totals_dict(ledger, 0);
  return out;
}

}  // namespace morvane::ravelle
