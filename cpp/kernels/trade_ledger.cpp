#include "trade_ledger.hpp"

#include <cmath>
#include <limits>

namespace morvane::kernels {

namespace {

// Records by day, stable: the engine sweeps a stock at a time (column-major
// markets) or a day at a time, in ascending stock order either way.
std::vector<TradeRecord> by_day(std::vector<TradeRecord>&& records, std::size_t days) {
  std::vector<std::size_t> start(days + 1, 0);
  for (const TradeRecord& r : records) ++start[r.day + 1];
  for (std::size_t d = 0; d < days; ++d) start[d + 1] += start[d];
  std::vector<TradeRecord> out(records.size());
  for (const TradeRecord& r : records) out[start[r.day]++] = r;
  return out;
}

// Totals skip what has no price (a trade the masks let through on a day
// without one), as pandas' sums skip missing values.
void add_known(double& total, double value) {
  if (!std::isnan(value)) total += value;
}

struct Row {
  LedgerSide side;
  double shares, price, commission, stamp_duty, dividend, split_effect, pnl;
};

}  // namespace

TradeLedger build_trade_ledger(std::vector<TradeRecord>&& records, const MarketView& market,
                               const PortfolioParams& params,
                               const std::vector<std::uint8_t>& keep_day) {
  const std::vector<TradeRecord> sorted = by_day(std::move(records), market.days());
  TradeLedger out;
  const double buy_cost = 1.0 + params.fee;
  const double sell_keep = 1.0 - params.fee - params.rule_fee;
  const auto add = [&](const TradeRecord& r, const Row& row) {
    out.day.push_back(r.day);
    out.stock.push_back(r.stock);
    out.side.push_back(static_cast<std::uint8_t>(row.side));
    out.shares.push_back(row.shares);
    out.price.push_back(row.price);
    out.commission.push_back(row.commission);
    out.stamp_duty.push_back(row.stamp_duty);
    out.dividend.push_back(row.dividend);
    out.split_effect.push_back(row.split_effect);
    out.pnl.push_back(row.pnl);
  };
  // Shares held at the last close the ledger keeps, per stock: a spell begins
  // when a kept day holds a stock that the kept day before did not.
  std::vector<double> kept_held(market.stocks(), 0.0);
  double held_days = 0.0, spells = 0.0;
  for (const TradeRecord& r : sorted) {
    const std::size_t i = r.day, j = r.stock;
    const double close = market.close(i, j), buy_price = market.buy_price(i, j);
    const double sell_price = market.sell_price(i, j);
    const double split = std::isnan(market.split(i, j)) ? 1.0 : market.split(i, j);
    const StockDayPrices p =
        stock_day_prices(close, market.prev_close(i, j), market.split(i, j),
                         market.dividend(i, j), buy_price, sell_price, buy_cost, sell_keep);
    const StockDayTrade trade{r.buy, r.sell, r.keep};
    const double held = trade.held_after();
    if (!keep_day[i]) continue;
    if (held > 0.0) {
      held_days += 1.0;
      spells += static_cast<double>(kept_held[j] == 0.0);
    }
    kept_held[j] = held;
    out.held_day.push_back(r.day);
    out.held_stock.push_back(r.stock);
    out.held_shares.push_back(held);
    if (r.buy > 0.0) {
      const double value = r.buy * buy_price;
      add(r, {LedgerSide::kBuy, r.buy, buy_price, value * params.fee, 0.0, 0.0, 0.0,
              r.buy * p.buy_coeff});
      add_known(out.traded_value, value);
      add_known(out.total_commission, value * params.fee);
    }
    if (r.sell > 0.0) {
      const double value = r.sell * split * sell_price;
      add(r, {LedgerSide::kSell, r.sell, sell_price, value * params.fee, value * params.rule_fee,
              r.sell * p.dividend, r.sell * (split - 1.0) * sell_price * sell_keep,
              r.sell * p.sell_coeff + r.sell * p.dividend});
      add_known(out.traded_value, value);
      add_known(out.total_commission, value * params.fee);
      add_known(out.total_stamp_duty, value * params.rule_fee);
    }
    if (r.keep > 0.0) {
      add(r, {LedgerSide::kHold, r.keep, close, 0.0, 0.0, r.keep * p.dividend,
              r.keep * (split - 1.0) * close, r.keep * p.hold_coeff + r.keep * p.dividend});
    }
  }
  out.average_holding_days =
      spells > 0.0 ? held_days / spells : std::numeric_limits<double>::quiet_NaN();
  return out;
}

}  // namespace morvane::kernels
