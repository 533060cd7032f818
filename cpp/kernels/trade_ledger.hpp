// The strategy's trade ledger: every stock-day the portfolio engine held or
// traded, taken apart into trades (buys and sells) and the shares it carried
// overnight, with the money each of them made, so that a day's rows add up
// to the day's P&L.
//
// Recording is a sink of run_portfolio (`TradeLog`), used only when a ledger
// is asked for; without it the engine compiles to the loop it always was.
#pragma once

#include <cstdint>
#include <vector>

#include "portfolio.hpp"

namespace morvane::kernels {

// One stock-day as the engine traded it.
struct TradeRecord {
  std::uint32_t day = 0;
  std::uint32_t stock = 0;
  double buy = 0.0, sell = 0.0, keep = 0.0;
};

// The recording sink: appends every stock-day that is not idle.
struct TradeLog {
  static constexpr bool kRecords = true;
  std::vector<TradeRecord> records;
  void record(std::size_t day, std::size_t stock, const StockDayTrade& trade) {
    records.push_back({static_cast<std::uint32_t>(day), static_cast<std::uint32_t>(stock),
                       trade.buy, trade.sell, trade.keep});
  }
};

enum class LedgerSide : std::uint8_t { kBuy = 0, kSell = 1, kHold = 2 };

// The ledger's rows, sorted by day, then stock, then side (buy or sell before
// hold), as columns. A buy: the shares bought at the buy price, their
// commission and the day's P&L of them (close less the price with fees). A
// sell: the shares sold at the sell price (valued after the day's split),
// commission and stamp duty on the proceeds, the dividend those shares
// receive, and the split's part of the proceeds. A hold: the shares carried
// over and kept, marked to the close, with their dividend and the split's part
// of their value. `pnl` is each row's money P&L, the engine's own terms.
struct TradeLedger {
  std::vector<std::uint32_t> day, stock;
  std::vector<std::uint8_t> side;  // LedgerSide
  std::vector<double> shares, price, commission, stamp_duty, dividend, split_effect, pnl;
  // Shares held after each recorded stock-day's trades (record order, by day then stock).
  std::vector<std::uint32_t> held_day, held_stock;
  std::vector<double> held_shares;
  double total_commission = 0.0, total_stamp_duty = 0.0, traded_value = 0.0;
  // Stock-days held at the close over the holding spells begun (a spell begins
  // when a stock is bought with nothing held, and ends when it is sold out).
  double average_holding_days = 0.0;
};

// Builds the ledger of `records` (in any order) for the days where `keep_day`
// is non-zero (the days the result keeps), reading the prices from `market`,
// the engine's own view.
[[nodiscard]] TradeLedger build_trade_ledger(std::vector<TradeRecord>&& records,
                                             const MarketView& market,
                                             const PortfolioParams& params,
                                             const std::vector<std::uint8_t>& keep_day);

}  // namespace morvane::kernels
