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

}  // namespace

TradeLedger build_trade_ledger(const TradeLog& log, const MarketView& market,
                               const PortfolioParams& params,
                               const std::vector<std::uint8_t>& keep_day) {
  const std::vector<TradeRecord> sorted = by_day(log, market.days());
  // Each record's trade, from the shares held before (the stock's previous
  // record) and after.
  std::vector<StockDayTrade> trades(sorted.size());
  {
    std::vector<double> before(market.stocks(), 0.0);
    for (std::size_t k = 0; k < sorted.size(); ++k) {
      const TradeRecord& r = sorted[k];
      const double held = before[r.stock];
      StockDayTrade& t = trades[k];
      t.buy = r.held > held ? r.held - held : 0.0;
      t.sell = r.held < held ? held - r.held : 0.0;
      t.keep = held - t.sell;
      before[r.stock] = r.held;
    }
  }
  TradeLedger out;
  // Sized once, then written in place: a ledger may hold millions of rows.
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
  out.day_pnl.assign(market.days(), 0.0);
  const double buy_cost = 1.0 + params.fee;
  const double sell_keep = 1.0 - params.fee - params.rule_fee;
  std::size_t row = 0, held_row = 0;
  const auto add = [&](const TradeRecord& r, const Row& values) {
    out.day[row] = r.day;
    out.stock[row] = r.stock;
    out.side[row] = static_cast<std::uint8_t>(values.side);
    out.shares[row] = values.shares;
    out.price[row] = values.price;
    out.commission[row] = values.commission;
    out.stamp_duty[row] = values.stamp_duty;
    out.dividend[row] = values.dividend;
    out.split_effect[row] = values.split_effect;
    out.pnl[row] = values.pnl;
    out.day_pnl[r.day] += values.pnl;
    ++row;
  };
  // Shares held at the last close the ledger keeps, per stock: a spell begins
  // when a kept day holds a stock that the kept day before did not.
  std::vector<double> kept_held(market.stocks(), 0.0);
  double held_days = 0.0, spells = 0.0;
  for (std::size_t k = 0; k < sorted.size(); ++k) {
    const TradeRecord& rec = sorted[k];
    const std::size_t i = rec.day, j = rec.stock;
    if (!keep_day[i]) continue;
    const StockDayTrade& r = trades[k];
    const double close = market.close(i, j), buy_price = market.buy_price(i, j);
    const double sell_price = market.sell_price(i, j);
    const double split_raw = market.split(i, j);
    const double split = std::isnan(split_raw) ? 1.0 : split_raw;
    const StockDayPrices p =
        stock_day_prices(close, market.prev_close(i, j), split_raw, market.dividend(i, j),
                         buy_price, sell_price, buy_cost, sell_keep);
    const double held = r.keep + r.buy;
    if (held > 0.0) {
      held_days += 1.0;
      spells += static_cast<double>(kept_held[j] == 0.0);
    }
    kept_held[j] = held;
    out.held_day[held_row] = rec.day;
    out.held_stock[held_row] = rec.stock;
    out.held_shares[held_row] = held;
    out.held_value[held_row] = held > 0.0 ? held * latest_close(market, i, j) : 0.0;
    ++held_row;
    if (r.buy > 0.0) {
      const double value = r.buy * buy_price;
      add(rec, {LedgerSide::kBuy, r.buy, buy_price, value * params.fee, 0.0, 0.0, 0.0,
                r.buy * p.buy_coeff});
      add_known(out.traded_value, value);
      add_known(out.total_commission, value * params.fee);
    }
    if (r.sell > 0.0) {
      const double value = r.sell * split * sell_price;
      add(rec, {LedgerSide::kSell, r.sell, sell_price, value * params.fee, value * params.rule_fee,
                r.sell * p.dividend, r.sell * (split - 1.0) * sell_price * sell_keep,
                r.sell * p.sell_coeff + r.sell * p.dividend});
      add_known(out.traded_value, value);
      add_known(out.total_commission, value * params.fee);
      add_known(out.total_stamp_duty, value * params.rule_fee);
    }
    if (r.keep > 0.0) {
      add(rec, {LedgerSide::kHold, r.keep, close, 0.0, 0.0, r.keep * p.dividend,
                r.keep * (split - 1.0) * close, r.keep * p.hold_coeff + r.keep * p.dividend});
    }
  }
  out.average_holding_days =
      spells > 0.0 ? held_days / spells : std::numeric_limits<double>::quiet_NaN();
  return out;
}

}  // namespace morvane::kernels
