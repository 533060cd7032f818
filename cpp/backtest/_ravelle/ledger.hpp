// The pandas side of the strategy's trade ledger: the long table of trades
// and carried shares, the daily positions in shares and the totals.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>

#include "engine.hpp"

namespace morvane::ravelle {

namespace nb = nanobind;

struct LedgerTables {
  nb::object trades;     // one row per buy, sell and carried holding
  nb::object positions;  // result dates x stocks ever held: shares after the day's trades
  nb::dict totals;       // commission, stamp duty, traded value, average holding days, trades
  // result dates x (stocks ever held, "cash"): their money value at the close
  // and the rest of the portfolio's value, as pyfolio reads positions.
  nb::object values;
};

// The ledger of `recorded` on the days of the result (`result_dates`, a
// subset of the engine's days, as trimming and the benchmark join leave it).
[[nodiscard]] LedgerTables ledger_tables(RecordedTrades& recorded,
                                         const kernels::PortfolioParams& params,
                                         nb::handle result_dates);

// The ledger of a run with nothing to backtest: empty tables, zero totals.
[[nodiscard]] LedgerTables empty_ledger_tables();

// A morvane.backtest.ledger.TradeLedger whose tables `ledger_tables` builds
// on first access (it keeps the records and the market view they were traded
// on until then), and one of tables already built.
[[nodiscard]] nb::object deferred_ledger(std::shared_ptr<RecordedTrades> recorded,
                                         const kernels::PortfolioParams& params,
                                         nb::object result_dates);
[[nodiscard]] nb::object ready_ledger(const LedgerTables& tables);

}  // namespace morvane::ravelle
