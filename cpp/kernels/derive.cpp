#include "derive.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <vector>

namespace morvane::kernels {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool suspended_day(double flag) { return flag == 1.0; }

}  // namespace

void close_valid(std::span<const double> close, std::span<double> out) {
  for (std::size_t k = 0; k < close.size(); ++k) out[k] = close[k] * 0.0 + 1.0;
}

void split_factor(std::span<const double> split, std::span<const double> valid,
                  std::span<double> out) {
  for (std::size_t k = 0; k < split.size(); ++k) out[k] = split[k] / 10.0 * valid[k];
}

void dividend_factor(std::span<const double> dividend, std::span<const double> valid,
                     std::span<double> out) {
  for (std::size_t k = 0; k < dividend.size(); ++k) {
    out[k] = dividend[k] / 10.0 * 0.9 + (valid[k] - 1.0);
  }
}

void cant_sell_mask(std::span<const double> sell, std::span<const double> limit_down,
                    std::span<const double> suspended, std::span<bool> out) {
  for (std::size_t k = 0; k < sell.size(); ++k) {
    out[k] = std::isnan(sell[k]) || sell[k] == limit_down[k] || suspended_day(suspended[k]);
  }
}

void can_buy_mask(std::span<const double> buy, std::span<const double> limit_up,
                  std::span<const double> suspended, std::span<bool> out) {
  for (std::size_t k = 0; k < buy.size(); ++k) {
    out[k] = !std::isnan(buy[k]) && !(buy[k] == limit_up[k]) && !suspended_day(suspended[k]);
  }
}

void last_close_before(Grid grid, std::span<const double> close, std::span<const double> seed,
                       std::span<double> out) {
  std::vector<double> last(seed.begin(), seed.end());
  for (std::size_t r = 0; r < grid.rows; ++r) {
    const std::size_t base = r * grid.cols;
    for (std::size_t c = 0; c < grid.cols; ++c) {
      out[base + c] = last[c];
      const double value = close[base + c];
      if (!std::isnan(value)) last[c] = value;
    }
  }
}

void last_known_per_column(const MatrixView<double>& values, std::span<double> out) {
  std::fill(out.begin(), out.end(), kNaN);
  std::size_t missing = values.cols;
  for (std::size_t r = values.rows; r-- > 0 && missing > 0;) {
    for (std::size_t c = 0; c < values.cols; ++c) {
      if (std::isnan(out[c]) && !std::isnan(values(r, c))) {
        out[c] = values(r, c);
        --missing;
      }
    }
  }
}

void forward_open_return(Grid grid, std::span<const double> open, std::span<double> out) {
  for (std::size_t r = 0; r < grid.rows; ++r) {
    const std::size_t base = r * grid.cols;
    for (std::size_t c = 0; c < grid.cols; ++c) {
      double value = kNaN;
      if (r + 2 < grid.rows) {
        value = open[base + 2 * grid.cols + c] / open[base + grid.cols + c] - 1.0;
        if (std::isinf(value)) value = kNaN;
      }
      out[base + c] = value;
    }
  }
}

void rank_rows(Grid grid, std::span<const double> values, std::span<double> out) {
  std::vector<std::uint32_t> order;
  order.reserve(grid.cols);
  std::vector<double> ranks(grid.cols);
  for (std::size_t r = 0; r < grid.rows; ++r) {
    const std::span<const double> row = values.subspan(r * grid.cols, grid.cols);
    order.clear();
    for (std::size_t c = 0; c < grid.cols; ++c) {
      if (!std::isnan(row[c])) order.push_back(static_cast<std::uint32_t>(c));
    }
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
      return row[a] < row[b] || (row[a] == row[b] && a < b);
    });
    std::fill(ranks.begin(), ranks.end(), kNaN);
    for (std::size_t first = 0; first < order.size();) {
      std::size_t last = first + 1;
      while (last < order.size() && row[order[last]] == row[order[first]]) ++last;
      // Positions first..last-1 share the mean of ranks first+1..last.
      const double mean = (static_cast<double>(first + 1) + static_cast<double>(last)) / 2.0;
      for (std::size_t k = first; k < last; ++k) ranks[order[k]] = mean;
      first = last;
    }
    std::copy(ranks.begin(), ranks.end(), out.begin() + static_cast<std::ptrdiff_t>(r * grid.cols));
  }
}

void membership(std::span<const double> values, std::span<double> out) {
  for (std::size_t k = 0; k < values.size(); ++k) {
    out[k] = std::isfinite(values[k]) && values[k] != 0.0 ? 1.0 : kNaN;
  }
}

}  // namespace morvane::kernels
