// The strategy's trade ledger: every stock-day the portfolio engine held or
// traded, taken apart into trades (buys and sells) and the shares it carried
// overnight, with the money each of them made, so that a day's rows add up
// to the day's P&L.
//
// Recording is a sink of run_portfolio (`TradeLog`), used only when a ledger
// is asked for; without it the engine compiles to the loop it always was.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "portfolio.hpp"

namespace morvane::kernels {

// One stock-day as the engine left it: the shares held after the day's
// trade. That is all a log needs: a stock held at a close is recorded the
// next day (it is not idle), so the shares held before a day are those of
// the stock's previous record (0 after an unrecorded, idle day), and the
// engine either buys or sells, so the trade is the difference.
struct TradeRecord {
  std::uint32_t day = 0;
  std::uint32_t stock = 0;
  double held = 0.0;
};

// The recording sink: appends every stock-day that is not idle, in chunks of
// a fixed size, so that a growing log never copies what it holds (a run may
// record millions of stock-days).
class TradeLog {
 public:
  static constexpr bool kRecords = true;
  static constexpr std::size_t kChunk = std::size_t{1} << 16;

  void record(std::size_t day, std::size_t stock, const StockDayTrade& trade) {
    if (next_ == end_) grow();
    *next_++ = {static_cast<std::uint32_t>(day), static_cast<std::uint32_t>(stock),
                trade.held_after()};
  }
  // The records so far, chunk by chunk in the order they came.
  template <class F>
  void for_each(F&& f) const {
    for (std::size_t c = 0; c < chunks_.size(); ++c) {
      const TradeRecord* const first = chunks_[c].get();
      const TradeRecord* const last = c + 1 == chunks_.size() ? next_ : first + kChunk;
      for (const TradeRecord* r = first; r != last; ++r) f(*r);
    }
  }

 private:
  void grow() {
    chunks_.push_back(std::make_unique_for_overwrite<TradeRecord[]>(kChunk));
    next_ = chunks_.back().get();
    end_ = next_ + kChunk;
  }

  std::vector<std::unique_ptr<TradeRecord[]>> chunks_;
  TradeRecord* next_ = nullptr;
  TradeRecord* end_ = nullptr;
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
  // Shares held after each recorded stock-day's trades (record order, by day
  // then stock), and their value at the close (the latest close before a day
  // without one).
  std::vector<std::uint32_t> held_day, held_stock;
  std::vector<double> held_shares, held_value;
  // The money P&L of each engine day, the sum of its rows (0 on a day the
  // result drops).
  std::vector<double> day_pnl;
  double total_commission = 0.0, total_stamp_duty = 0.0, traded_value = 0.0;
  // Stock-days held at the close over the holding spells begun (a spell begins
  // when a stock is bought with nothing held, and ends when it is sold out).
  double average_holding_days = 0.0;
};

// Builds the ledger of what `log` recorded (in the engine's sweep order) for
// the days where `keep_day` is non-zero (the days the result keeps), reading
// the prices from `market`, the engine's own view.
[[nodiscard]] TradeLedger build_trade_ledger(const TradeLog& log, const MarketView& market,
                                             const PortfolioParams& params,
                                             const std::vector<std::uint8_t>& keep_day);

}  // namespace morvane::kernels
