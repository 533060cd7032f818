#include "trade_ledger.hpp"

#include <cmath>
#include <limits>

namespace morvane::kernels {

namespace {

// Records by day, stable: the engine sweeps a stock at a time (column-major
// markets) or a day at a time, in ascending stock order either way.
std::vector<TradeRecord> by_day(const TradeLog& log, std::size_t days) {
  std::vector<std::size_t> start(days + 1, 0);
  log.for_each([&](const TradeRecord& r) { ++start[r.day + 1]; });
  for (std::size_t d = 0; d < days; ++d) start[d + 1] += start[d];
  std::vector<TradeRecord> out(start[days]);
  log.for_each([&](const TradeRecord& r) { out[start[r.day]++] = r; });
  return out;
}

// Totals skip what has no price (a trade the masks let through on a day
// without one), as pandas' sums skip missing values.
void add_known(double& total, double value) {
  if (!std::isnan(value)) total += value;
}

// The stock's close on day i, or its latest close before a day without one
// (a suspension); NaN when it had none since the engine's first day.
double latest_close(const MarketView& market, std::size_t i, std::size_t j) {
  for (std::size_t d = i + 1; d-- > 0;) {
    const double close = market.close(d, j);
    if (!std::isnan(close)) return close;
  }
  return std::numeric_limits<double>::quiet_NaN();
}

struct Row {
  LedgerSide side;
  double shares, price, commission, stamp_duty, dividend, split_effect, pnl;
};

// Each record's trade, from the shares held before (the stock's previous
// record) and after.
std::vector<StockDayTrade> trades_of(const std::vector<TradeRecord>& sorted, std::size_t stocks) {
  std::vector<StockDayTrade> trades(sorted.size());
  std::vector<double> before(stocks, 0.0);
  for (std::size_t k = 0; k < sorted.size(); ++k) {
    const TradeRecord& r = sorted[k];
    const double held = before[r.stock];
    StockDayTrade& t = trades[k];
    t.buy = r.held > held ? r.held - held : 0.0;
    t.sell = r.held < held ? held - r.held : 0.0;
    t.keep = held - t.sell;
    before[r.stock] = r.held;
  }
  return trades;
}

// Sizes the ledger's columns once, to be written in place: a ledger may hold
// millions of rows.
void size_ledger(TradeLedger& out, const std::vector<TradeRecord>& sorted,
                 const std::vector<StockDayTrade>& trades,
                 const std::vector<std::uint8_t>& keep_day, std::size_t days) {
  std::size_t n_rows = 0, n_held = 0;
  for (std::size_t k = 0; k < sorted.size(); ++k) {
    if (!keep_day[sorted[k].day]) continue;
    const StockDayTrade& t = trades[k];
    ++n_held;
    n_rows += static_cast<std::size_t>(t.buy > 0.0) + static_cast<std::size_t>(t.sell > 0.0) +
              static_cast<std::size_t>(t.keep > 0.0);
  }
  for (auto* column : {&out.day, &out.stock}) column->resize(n_rows);
  out.side.resize(n_rows);
  for (auto* column : {&out.shares, &out.price, &out.commission, &out.stamp_duty, &out.dividend,
                       &out.split_effect, &out.pnl}) {
    column->resize(n_rows);
  }
  out.held_day.resize(n_held);
  out.held_stock.resize(n_held);
  out.held_shares.resize(n_held);
  out.held_value.resize(n_held);
  out.day_pnl.assign(days, 0.0);
}

// Writes the kept records into a sized ledger, a stock-day at a time in day
// order, and counts the holding spells on the way.
class LedgerWriter {
 public:
  LedgerWriter(TradeLedger& out, const MarketView& market, const PortfolioParams& params)
      : out_(out),
        market_(market),
        params_(params),
        buy_cost_(1.0 + params.fee),
        sell_keep_(1.0 - params.fee - params.rule_fee),
        kept_held_(market.stocks(), 0.0) {}

  void write(const TradeRecord& rec, const StockDayTrade& r) {
    const std::size_t i = rec.day, j = rec.stock;
    const double close = market_.close(i, j), buy_price = market_.buy_price(i, j);
    const double sell_price = market_.sell_price(i, j);
    const double split_raw = market_.split(i, j);
    const double split = std::isnan(split_raw) ? 1.0 : split_raw;
    const StockDayPrices p =
        stock_day_prices(close, market_.prev_close(i, j), split_raw, market_.dividend(i, j),
                         buy_price, sell_price, buy_cost_, sell_keep_);
    add_held(rec, r.keep + r.buy);
    if (r.buy > 0.0) {
      const double value = r.buy * buy_price;
      add(rec, {LedgerSide::kBuy, r.buy, buy_price, value * params_.fee, 0.0, 0.0, 0.0,
                r.buy * p.buy_coeff});
      add_known(out_.traded_value, value);
      add_known(out_.total_commission, value * params_.fee);
    }
    if (r.sell > 0.0) {
      const double value = r.sell * split * sell_price;
      add(rec,
          {LedgerSide::kSell, r.sell, sell_price, value * params_.fee, value * params_.rule_fee,
           r.sell * p.dividend, r.sell * (split - 1.0) * sell_price * sell_keep_,
           r.sell * p.sell_coeff + r.sell * p.dividend});
      add_known(out_.traded_value, value);
      add_known(out_.total_commission, value * params_.fee);
      add_known(out_.total_stamp_duty, value * params_.rule_fee);
    }
    if (r.keep > 0.0) {
      add(rec, {LedgerSide::kHold, r.keep, close, 0.0, 0.0, r.keep * p.dividend,
                r.keep * (split - 1.0) * close, r.keep * p.hold_coeff + r.keep * p.dividend});
    }
  }

  [[nodiscard]] double average_holding_days() const {
    return spells_ > 0.0 ? held_days_ / spells_ : std::numeric_limits<double>::quiet_NaN();
  }

 private:
  // The stock-day's holding row. A spell begins when a kept day holds a
  // stock that the kept day before did not.
  void add_held(const TradeRecord& rec, double held) {
    if (held > 0.0) {
      held_days_ += 1.0;
      spells_ += static_cast<double>(kept_held_[rec.stock] == 0.0);
    }
    kept_held_[rec.stock] = held;
    out_.held_day[held_row_] = rec.day;
    out_.held_stock[held_row_] = rec.stock;
    out_.held_shares[held_row_] = held;
    out_.held_value[held_row_] =
        held > 0.0 ? held * latest_close(market_, rec.day, rec.stock) : 0.0;
    ++held_row_;
  }

  void add(const TradeRecord& r, const Row& values) {
    out_.day[row_] = r.day;
    out_.stock[row_] = r.stock;
    out_.side[row_] = static_cast<std::uint8_t>(values.side);
    out_.shares[row_] = values.shares;
    out_.price[row_] = values.price;
    out_.commission[row_] = values.commission;
    out_.stamp_duty[row_] = values.stamp_duty;
    out_.dividend[row_] = values.dividend;
    out_.split_effect[row_] = values.split_effect;
    out_.pnl[row_] = values.pnl;
    out_.day_pnl[r.day] += values.pnl;
    ++row_;
  }

  TradeLedger& out_;
  const MarketView& market_;
  const PortfolioParams& params_;
  const double buy_cost_;
  const double sell_keep_;
  // Shares held at the last close the ledger keeps, per stock.
  std::vector<double> kept_held_;
  double held_days_ = 0.0, spells_ = 0.0;
  std::size_t row_ = 0, held_row_ = 0;
};

}  // namespace

TradeLedger build_trade_ledger(const TradeLog& log, const MarketView& market,
                               const PortfolioParams& params,
                               const std::vector<std::uint8_t>& keep_day) {
  const std::vector<TradeRecord> sorted = by_day(log, market.days());
  const std::vector<StockDayTrade> trades = trades_of(sorted, market.stocks());
  TradeLedger out;
  size_ledger(out, sorted, trades, keep_day, market.days());
  LedgerWriter writer(out, market, params);
  for (std::size_t k = 0; k < sorted.size(); ++k) {
    if (keep_day[sorted[k].day]) writer.write(sorted[k], trades[k]);
  }
  out.average_holding_days = writer.average_holding_days();
  return out;
}

}  // namespace morvane::kernels
