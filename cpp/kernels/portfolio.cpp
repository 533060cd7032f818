#include "portfolio.hpp"

#include <cassert>

namespace morvane::kernels {

void run_weight_portfolio(const MatrixView<double>& weights, const MarketView& market,
                          const PortfolioParams& params, std::span<double> daily_return) {
  assert(weights.rows == market.days() && weights.cols == market.stocks());
  assert(daily_return.size() == market.days());
  run_weights([&](std::size_t day, std::size_t stock) { return weights(day, stock); }, market,
              params, daily_return);
}

}  // namespace morvane::kernels
