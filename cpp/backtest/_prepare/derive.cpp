#include "derive.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "imports.hpp"
#include "kernels/derive.hpp"
#include "pyglue/args.hpp"
#include "pyglue/arrays.hpp"
#include "pyglue/builtins.hpp"
#include "pyglue/frames.hpp"

using namespace nanobind::literals;

namespace morvane::prepare {

namespace {

namespace glue = morvane::pyglue;
namespace kn = morvane::kernels;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The row and column labels every operand of one derivation is aligned to.
using Labels = glue::FrameLabels;

kn::Grid grid_of(const Labels& labels) { return {labels.rows(), labels.cols()}; }

// A new float64 array the shape of `labels`, every value written by a kernel.
nb::object new_numbers(const Labels& labels) {
  return glue::numpy_from(std::vector<double>(labels.rows() * labels.cols()), labels.rows(),
                          labels.cols());
}

// A new bool array the shape of `labels`, every flag written by a kernel.
nb::object new_flags(const Labels& labels) {
  return glue::numpy_flags(std::vector<std::uint8_t>(labels.rows() * labels.cols()), labels.rows(),
                           labels.cols());
}

nb::object lookup(nb::handle source, const char* name) {
  if (!pyglue::contains(source, name)) {
    throw nb::key_error(name);
  }
  const nb::object matrix = source[name];
  glue::require_dataframe(matrix, name);
  return matrix;
}

// cant_sell_stock or can_buy_stock over the union of the price's and the
// suspension flag's labels.
nb::object trade_mask(nb::handle price, nb::handle limit, nb::handle suspended, bool selling) {
  const Labels labels = glue::labels_of(price).united(glue::labels_of(suspended));
  const nb::object price_grid = glue::float64_on(price, labels);
  const nb::object limit_grid = glue::float64_on(limit, labels);
  const nb::object flag_grid = glue::float64_on(suspended, labels);
  const nb::object out = new_flags(labels);
  {
    const auto p = pyglue::contiguous_span<const double>(price_grid);
    const auto l = pyglue::contiguous_span<const double>(limit_grid);
    const auto s = pyglue::contiguous_span<const double>(flag_grid);
    const auto o = pyglue::contiguous_span<bool>(out);
    const nb::gil_scoped_release release;
    if (selling) {
      kn::cant_sell_mask(p, l, s, o);
    } else {
      kn::can_buy_mask(p, l, s, o);
    }
  }
  return glue::frame_on(out, labels);
}

// The carried close of every stock before the grid's first row, over the
// labels the previous close is written on: the close's, joined by the stocks
// that have a close before the grid but none in it (delisted, or halted
// through the whole grid), whose previous close is carried on as a full
// build carries it.
struct CloseSeed {
  Labels labels;
  nb::object values;  // contiguous float64, one per column; NaN: no close before
};

CloseSeed close_seed(const Labels& on_close, nb::handle close_before_start) {
  if (close_before_start.is_none()) {
    return {on_close, glue::numpy_from(std::vector<double>(on_close.cols(), kNaN))};
  }
  if (!nb::isinstance(close_before_start, pyglue::imports().series)) {
    glue::raise_type_error("close_before_start", "pandas.Series | None", close_before_start);
  }
  // Values that are no numbers raise pandas' own error, as before any seed.
  const glue::FloatVector closes =
      glue::read_float_vector(close_before_start.attr("astype")("float64"), "close_before_start");
  std::vector<std::size_t> with_close;
  for (std::size_t k = 0; k < closes.values.size(); ++k) {
    if (!std::isnan(closes.values[k])) with_close.push_back(k);
  }
  const nb::object known = glue::take_labels(close_before_start.attr("index"), with_close);
  Labels labels = on_close;
  const std::vector<std::int64_t> in_close =
      glue::label_positions(on_close.columns, known, "close_price", "列");
  if (std::find(in_close.begin(), in_close.end(), -1) != in_close.end()) {
    labels.columns = on_close.columns.attr("union")(known);
  }
  const std::vector<std::int64_t> from =
      glue::label_positions(known, labels.columns, "close_before_start", "");
  std::vector<double> seeds(from.size(), kNaN);
  for (std::size_t c = 0; c < from.size(); ++c) {
    if (from[c] >= 0) seeds[c] = closes.values[with_close[static_cast<std::size_t>(from[c])]];
  }
  return {labels, glue::numpy_from(std::move(seeds))};
}

}  // namespace

nb::dict derive_matrices(nb::handle source, nb::handle close_before_start) {
  const nb::object industry = lookup(source, "rq_industry_exposure_new");
  const nb::object limit_down = lookup(source, "limit_down");
  const nb::object limit_up = lookup(source, "limit_up");
  const nb::object close = lookup(source, "Close");
  const nb::object open = lookup(source, "Open");
  const nb::object buy = lookup(source, "tick_vwap_price_935_1005");
  const nb::object sell = lookup(source, "tick_vwap_price_925_1000");
  const nb::object split = lookup(source, "split_coefficient_to");
  const nb::object dividend = lookup(source, "rq_get_dividend");
  const nb::object suspended = lookup(source, "rq_is_suspended");

  // Everything tied to the close lives on the close's labels: cells outside
  // them would only hold missing values. An empty close keeps no rows.
  const Labels on_close = glue::labels_of(close);
  const nb::object close_grid = glue::float64_on(close, on_close);
  const nb::object split_grid = glue::float64_on(split, on_close);
  const nb::object dividend_grid = glue::float64_on(dividend, on_close);
  const nb::object valid = new_numbers(on_close);
  const nb::object split_out = new_numbers(on_close);
  const nb::object dividend_out = new_numbers(on_close);
  const CloseSeed seed = close_seed(on_close, close_before_start);
  const nb::object carried_close = glue::float64_on(close, seed.labels);
  const nb::object prev_close = new_numbers(seed.labels);
  const Labels on_open = glue::labels_of(open);
  const nb::object open_grid = glue::float64_on(open, on_open);
  const nb::object forward = new_numbers(on_open);
  {
    const auto c = pyglue::contiguous_span<const double>(close_grid);
    const auto v = pyglue::contiguous_span<double>(valid);
    const auto sp = pyglue::contiguous_span<const double>(split_grid);
    const auto so = pyglue::contiguous_span<double>(split_out);
    const auto dv = pyglue::contiguous_span<const double>(dividend_grid);
    const auto dout = pyglue::contiguous_span<double>(dividend_out);
    const auto carried = pyglue::contiguous_span<const double>(carried_close);
    const auto seeds = pyglue::contiguous_span<const double>(seed.values);
    const auto pc = pyglue::contiguous_span<double>(prev_close);
    const auto op = pyglue::contiguous_span<const double>(open_grid);
    const auto fw = pyglue::contiguous_span<double>(forward);
    const kn::Grid prev_shape = grid_of(seed.labels);
    const kn::Grid open_shape = grid_of(on_open);
    const nb::gil_scoped_release release;
    kn::close_valid(c, v);
    kn::split_factor(sp, v, so);
    kn::dividend_factor(dv, v, dout);
    kn::last_close_before(prev_shape, carried, seeds, pc);
    kn::forward_open_return(open_shape, op, fw);
    kn::rank_rows(open_shape, fw, fw);
  }

  nb::dict out;
  out["industry_matrix"] = industry;
  out["close_price"] = close;
  out["open_price"] = open;
  out["close_price_valid"] = glue::frame_on(valid, on_close);
  out["prev_close"] = glue::frame_on(prev_close, seed.labels);
  out["buy_price"] = buy;
  out["sell_price"] = sell;
  out["rq_get_split"] = glue::frame_on(split_out, on_close);
  out["rq_get_dividend"] = glue::frame_on(dividend_out, on_close);
  out["can_buy_stock"] = trade_mask(buy, limit_up, suspended, false);
  out["cant_sell_stock"] = trade_mask(sell, limit_down, suspended, true);
  out["forward_return_rank_cache"] = glue::frame_on(forward, on_open);
  return out;
}

}  // namespace morvane::prepare
