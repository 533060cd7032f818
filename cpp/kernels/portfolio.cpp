#include "portfolio.hpp"

#include <cassert>

namespace morvane::kernels {

void run_weight_portfolio(const MatrixView<double>& weights, const MarketView& market,
                          const PortfolioParams& params, std::span<double> daily_return) {
  assert(weights.rows == market.days() && weights.cols == market.stocks());
  assert(daily_return.size() == market.days());
  std::fill(daily_return.begin(), daily_return.end(), 0.0);
  run_portfolio(
      market, params,
      [&](std::size_t day, std::size_t stock) {
        return lot_target(weights(day, stock), market.prev_close(day, stock), params);
      },
      daily_return);
  for (double& value : daily_return) value /= params.total_money;
}

}  // namespace morvane::kernels
