#include "market.hpp"

#include <nanobind/ndarray.h>

#include <vector>

#include "args.hpp"
#include "frames.hpp"
#include "imports.hpp"
#include "kernels/gather.hpp"

using namespace nanobind::literals;

namespace morvane::pyglue {

namespace {

struct Target {
  nb::object index;
  nb::object columns;
  std::size_t rows;
  std::size_t cols;
};

// Positions of the target's labels in each table's, matched once per distinct
// label object: the tables of loaded data share one index and one column set.
class PositionMemo {
 public:
  const std::vector<std::int64_t>& find(nb::handle labels, nb::handle target, const char* name,
                                        const char* axis) {
    for (const Entry& entry : entries_) {
      if (entry.labels.is(labels)) return entry.positions;
    }
    entries_.push_back({nb::borrow(labels), label_positions(labels, target, name, axis)});
    return entries_.back().positions;
  }

 private:
  struct Entry {
    nb::object labels;
    std::vector<std::int64_t> positions;
  };
  std::vector<Entry> entries_;
};

struct Memos {
  PositionMemo rows;
  PositionMemo cols;
};

template <class T>
nb::object align(const LabelledMatrix<T>& table, const Target& target, T fill, const char* name,
                 Memos& memos) {
  const std::vector<std::int64_t>& rows = memos.rows.find(table.index, target.index, name, "行");
  const std::vector<std::int64_t>& cols =
      memos.cols.find(table.columns, target.columns, name, "列");
  if (target.rows > 0 && target.cols > 0 && kernels::is_consecutive(rows) &&
      kernels::is_consecutive(cols)) {
    const auto r0 = static_cast<std::size_t>(rows.front());
    const auto c0 = static_cast<std::size_t>(cols.front());
    return read_only_view(table.owner[nb::make_tuple(py_slice(r0, r0 + target.rows),
                                                     py_slice(c0, c0 + target.cols))]);
  }
  // Every cell is written by the gather.
  const std::size_t cells = target.rows * target.cols;
  nb::object out;
  if constexpr (std::is_same_v<T, bool>) {
    out = numpy_flags(std::vector<std::uint8_t>(cells), target.rows, target.cols);
  } else {
    out = numpy_from(std::vector<double>(cells), target.rows, target.cols);
  }
  using Out = nb::ndarray<T, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
  Out buffer = nb::cast<Out>(out);
  {
    const nb::gil_scoped_release unlocked;
    kernels::gather_matrix<T>(table.view, rows, cols, fill,
                              std::span<T>(buffer.data(), target.rows * target.cols));
  }
  return out;
}

}  // namespace

void require_market_frames(nb::handle weights, const char* weights_name, const MarketTables& t) {
  require_dataframe(weights, weights_name);
  const char* const names[] = {"can_buy_stock",   "cant_sell_stock", "split_factor",
                               "dividend_factor", "close_price",     "prev_close",
                               "buy_price",       "sell_price"};
  const nb::handle tables[] = {t.can_buy_stock,   t.cant_sell_stock, t.split_factor,
                               t.dividend_factor, t.close_price,     t.prev_close,
                               t.buy_price,       t.sell_price};
  for (std::size_t k = 0; k < std::size(tables); ++k) require_dataframe(tables[k], names[k]);
}

MarketArrays build_market_arrays(nb::handle index, nb::handle columns, const MarketTables& tables) {
  Target target{imports().index(index), imports().index(columns), 0, 0};
  target.rows = nb::len(target.index);
  target.cols = nb::len(target.columns);

  // Check every table before aligning any, so a bad argument fails fast.
  const auto can_buy = read_bool_frame(tables.can_buy_stock, "can_buy_stock", false);
  const auto cant_sell = read_bool_frame(tables.cant_sell_stock, "cant_sell_stock", true);
  const auto split = read_float_frame(tables.split_factor, "split_factor");
  const auto dividend = read_float_frame(tables.dividend_factor, "dividend_factor");
  const auto close = read_float_frame(tables.close_price, "close_price");
  const auto prev_close = read_float_frame(tables.prev_close, "prev_close");
  const auto buy_price = read_float_frame(tables.buy_price, "buy_price");
  const auto sell_price = read_float_frame(tables.sell_price, "sell_price");

  const double nan = std::numeric_limits<double>::quiet_NaN();
  Memos memos;
  MarketArrays out;
  out.arrays["prev_close_arr"] = align(prev_close, target, nan, "prev_close", memos);
  out.arrays["can_buy_arr"] = align(can_buy, target, false, "can_buy_stock", memos);
  out.arrays["cant_sell_arr"] = align(cant_sell, target, true, "cant_sell_stock", memos);
  out.arrays["close_arr"] = align(close, target, nan, "close_price", memos);
  out.arrays["buy_price_arr"] = align(buy_price, target, nan, "buy_price", memos);
  out.arrays["sell_price_arr"] = align(sell_price, target, nan, "sell_price", memos);
  out.arrays["split_arr"] = align(split, target, nan, "split_factor", memos);
  out.arrays["dividend_arr"] = align(dividend, target, nan, "dividend_factor", memos);

  kernels::MarketView& view = out.view;
  view.prev_close = view_of<double>(out.arrays["prev_close_arr"], "prev_close");
  view.can_buy = view_of<bool>(out.arrays["can_buy_arr"], "can_buy_stock");
  view.cant_sell = view_of<bool>(out.arrays["cant_sell_arr"], "cant_sell_stock");
  view.close = view_of<double>(out.arrays["close_arr"], "close_price");
  view.buy_price = view_of<double>(out.arrays["buy_price_arr"], "buy_price");
  view.sell_price = view_of<double>(out.arrays["sell_price_arr"], "sell_price");
  view.split = view_of<double>(out.arrays["split_arr"], "split_factor");
  view.dividend = view_of<double>(out.arrays["dividend_arr"], "dividend_factor");
  return out;
}

}  // namespace morvane::pyglue
