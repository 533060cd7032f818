#include "align_weights.hpp"

#include <cstdint>
#include <limits>
#include <numeric>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "kernels/gather.hpp"
#include "kernels/weight_smoothing.hpp"
#include "kernels/weights.hpp"
#include "pyglue/args.hpp"
#include "pyglue/builtins.hpp"
#include "pyglue/frames.hpp"
#include "pyglue/log.hpp"

using namespace nanobind::literals;

namespace morvane::ravelle {

namespace {

namespace glue = morvane::pyglue;

void require_unique(nb::handle labels, const char* axis) {
  if (!nb::cast<bool>(labels.attr("is_unique"))) {
    glue::raise_value_error(std::string("参数 strategy_matrix 的") + axis +
                            "标签有重复, 无法按标签对齐到行情");
  }
}

// The span [first, last] of the kept weight dates and the trading days of the
// market inside it that the weight table does not give. Labels that cannot be
// ordered against each other give no gap: there is no span to speak of.
struct Gap {
  nb::object first, last;
  std::size_t skipped = 0;
};

Gap missing_trading_days(nb::handle market_dates, nb::handle kept_dates) {
  const std::size_t kept = nb::len(kept_dates);
  if (kept < 2) return {};
  try {
    Gap gap{kept_dates.attr("min")(), kept_dates.attr("max")()};
    const nb::object inside =
        glue::at_least(market_dates, gap.first) & glue::at_most(market_dates, gap.last);
    const std::size_t in_span = nb::cast<std::size_t>(nb::int_(inside.attr("sum")()));
    gap.skipped = in_span > kept ? in_span - kept : 0;
    return gap;
  } catch (const nb::python_error& error) {
    if (error.matches(PyExc_TypeError)) return {};
    throw;
  }
}

void report(nb::handle kept_dates, nb::handle market_dates, std::size_t dropped_rows,
            std::size_t foreign_cols, std::size_t empty_cols) {
  if (dropped_rows + foreign_cols + empty_cols > 0) {
    glue::log_message("debug",
                      "策略权重对齐行情: 去掉 %d 行非交易日权重, %d 列行情中没有的股票, "
                      "%d 列没有任何权重的股票",
                      dropped_rows, foreign_cols, empty_cols);
  }
  const Gap gap = missing_trading_days(market_dates, kept_dates);
  if (gap.skipped > 0) {
    glue::warn_user(
        "策略权重在 %s 至 %s 之间缺少 %d 个交易日: 每行权重在下一行的日期成交, "
        "缺少的交易日既不调仓也不计收益; 若权重只在调仓日给出, 请先 "
        "weights.reindex(trading_days, method=\"ffill\")",
        gap.first, gap.last, gap.skipped);
  }
}

// Where the kept stocks go in the engine's table: the span of market columns
// they fall in when they appear there in the same order (the engine then
// sums every day over the stocks in the order it would anyway), else the kept
// stocks themselves.
struct Placement {
  nb::object columns;                  // labels of the engine's columns
  std::size_t width = 0;               // their number
  std::vector<std::int64_t> out_cols;  // engine column of each kept stock
};

Placement place_in_market(nb::handle kept_codes, nb::handle market_codes, std::size_t kept) {
  Placement p;
  p.out_cols.resize(kept);
  std::iota(p.out_cols.begin(), p.out_cols.end(), std::int64_t{0});
  p.columns = nb::borrow(kept_codes);
  p.width = kept;
  if (kept == 0 || !nb::cast<bool>(market_codes.attr("is_unique"))) return p;
  const std::vector<std::int64_t> in_market =
      glue::label_positions(market_codes, kept_codes, "close_price", "列");
  for (std::size_t c = 0; c < kept; ++c) {
    if (in_market[c] < 0 || (c > 0 && in_market[c] <= in_market[c - 1])) return p;
  }
  const std::int64_t first = in_market.front();
  const auto width = static_cast<std::size_t>(in_market.back() - first + 1);
  if (width == kept) return p;  // already a run of market columns
  p.columns = width == nb::len(market_codes)
                  ? nb::borrow(market_codes)
                  : market_codes[glue::py_slice(static_cast<std::size_t>(first),
                                                static_cast<std::size_t>(in_market.back()) + 1)];
  p.width = width;
  for (std::size_t c = 0; c < kept; ++c) p.out_cols[c] = in_market[c] - first;
  return p;
}

// The first column of the block of the caller's table the engine can read in
// place of a gathered copy: the rows are consecutive, and the caller's columns
// from the first kept stock to the last are all market stocks lying where
// `place` puts the kept ones. The others in between carry no weight in these
// rows, so they read as NaN, as the market's other stocks in the span do.
std::optional<std::size_t> in_place_columns(std::span<const std::int64_t> rows,
                                            std::span<const std::int64_t> shared_cols,
                                            std::span<const std::int64_t> kept_cols,
                                            const Placement& place, std::size_t source_cols) {
  if (rows.empty() || kept_cols.empty() || !kernels::is_consecutive(rows)) return std::nullopt;
  const std::int64_t first = kept_cols.front();
  if (static_cast<std::int64_t>(place.width) != kept_cols.back() - first + 1) return std::nullopt;
  for (std::size_t c = 0; c < kept_cols.size(); ++c) {
    if (place.out_cols[c] != kept_cols[c] - first) return std::nullopt;
  }
  std::vector<std::uint8_t> shared(source_cols, 0);
  for (const std::int64_t c : shared_cols) shared[static_cast<std::size_t>(c)] = 1;
  for (std::size_t c = 0; c < place.width; ++c) {
    if (!shared[static_cast<std::size_t>(first) + c]) return std::nullopt;
  }
  return static_cast<std::size_t>(first);
}

// The weight table's rows on market trading days and its columns on market
// stocks, with the stocks that carry no weight in those rows left out.
struct Selection {
  glue::LabelledMatrix<double> weights;
  nb::object dates;                     // labels of the kept rows
  std::vector<std::int64_t> rows;       // their positions in the weight table
  std::vector<std::int64_t> cols;       // positions of the market stocks
  std::vector<std::int64_t> kept_cols;  // those of them that carry weight
  bool all_rows = false;                // every row, in order
  bool all_cols = false;                // every column, in order
};

Selection select_weights(nb::handle strategy_matrix, nb::handle close_price) {
  Selection s;
  s.weights = glue::read_float_frame(strategy_matrix, "strategy_matrix");
  require_unique(s.weights.index, "行");
  require_unique(s.weights.columns, "列");
  const nb::object market_dates = close_price.attr("index");
  s.dates = s.weights.index.attr("intersection")(market_dates);
  const nb::object codes = s.weights.columns.attr("intersection")(close_price.attr("columns"));
  s.rows = glue::label_positions(s.weights.index, s.dates, "strategy_matrix", "行");
  s.cols = glue::label_positions(s.weights.columns, codes, "strategy_matrix", "列");
  std::vector<std::uint8_t> weighted;
  {
    const nb::gil_scoped_release unlocked;
    weighted = kernels::columns_with_weight(s.weights.view, s.rows, s.cols);
  }
  s.kept_cols.reserve(s.cols.size());
  for (std::size_t c = 0; c < s.cols.size(); ++c) {
    if (weighted[c]) s.kept_cols.push_back(s.cols[c]);
  }
  const kernels::MatrixView<double>& view = s.weights.view;
  report(s.dates, market_dates, view.rows - s.rows.size(), view.cols - s.cols.size(),
         s.cols.size() - s.kept_cols.size());
  s.all_rows = s.rows.size() == view.rows && kernels::is_consecutive(s.rows);
  s.all_cols = s.kept_cols.size() == view.cols && kernels::is_consecutive(s.kept_cols);
  return s;
}

// The caller's table as given. Its figures are summed as over a row-major
// table whatever its layout, so a table read in place and its row-major copy
// report the same holding count and turnover.
WorkWeights whole_table(glue::LabelledMatrix<double>&& weights) {
  WorkWeights out;
  out.source_owner = weights.owner;
  out.figure_view = weights.view;
  if (!weights.view.row_major()) {
    out.row_order = true;
    out.figure_cols.resize(weights.view.cols);
    std::iota(out.figure_cols.begin(), out.figure_cols.end(), std::int64_t{0});
  }
  out.matrix = std::move(weights);
  return out;
}

// Smoothed weights: computed cell by cell as the engine reads them; `out`
// keeps only the labels of the rows the smoothing keeps.
void smooth_into(WorkWeights& out, const Selection& s, const Placement& place,
                 std::int64_t rolling_window) {
  {
    const nb::gil_scoped_release unlocked;
    out.smoothed.emplace(s.weights.view, s.rows, s.kept_cols, place.out_cols, place.width,
                         static_cast<std::size_t>(rolling_window));
  }
  const nb::object base = s.all_rows && s.all_cols ? s.weights.index : s.dates;
  const std::vector<std::int64_t>& kept_rows = out.smoothed->kept_rows();
  out.matrix.index =
      glue::take_labels(base, std::vector<std::size_t>(kept_rows.begin(), kept_rows.end()));
}

// The aligned table, row-major: a block of the caller's table read in place
// when there is one, else the kept cells gathered into `out.storage`.
void align_into(WorkWeights& out, const Selection& s, const Placement& place) {
  out.matrix.index = s.dates;
  out.row_order = true;
  out.figure_cols = place.out_cols;
  const kernels::MatrixView<double>& view = s.weights.view;
  if (const std::optional<std::size_t> first_col =
          in_place_columns(s.rows, s.cols, s.kept_cols, place, view.cols)) {
    out.matrix.view =
        kernels::MatrixView<double>{&view(static_cast<std::size_t>(s.rows.front()), *first_col),
                                    s.rows.size(), place.width, view.row_stride, view.col_stride};
  } else {
    std::vector<std::int64_t> source_cols(place.width, -1);
    for (std::size_t c = 0; c < s.kept_cols.size(); ++c) {
      source_cols[static_cast<std::size_t>(place.out_cols[c])] = s.kept_cols[c];
    }
    out.storage.resize(s.rows.size() * place.width);
    {
      const nb::gil_scoped_release unlocked;
      kernels::gather_matrix<double>(view, s.rows, source_cols,
                                     std::numeric_limits<double>::quiet_NaN(), out.storage);
    }
    out.matrix.view = kernels::row_major_view(out.storage.data(), s.rows.size(), place.width);
  }
  out.figure_view = out.matrix.view;
}

}  // namespace

kernels::WeightFigures WorkWeights::figures() const {
  return row_order ? kernels::weight_figures_in_row_order(figure_view, figure_cols)
                   : kernels::weight_figures(figure_view);
}

WorkWeights work_weights(nb::handle strategy_matrix, nb::handle close_price,
                         std::int64_t rolling_window) {
  Selection s = select_weights(strategy_matrix, close_price);
  const bool smoothing = rolling_window > 1;
  if (s.all_rows && s.all_cols && !smoothing) return whole_table(std::move(s.weights));

  const nb::object kept_codes =
      s.all_cols
          ? s.weights.columns
          : glue::take_labels(s.weights.columns,
                              std::vector<std::size_t>(s.kept_cols.begin(), s.kept_cols.end()));
  const Placement place =
      place_in_market(kept_codes, close_price.attr("columns"), s.kept_cols.size());
  WorkWeights out;
  out.source_owner = s.weights.owner;
  out.matrix.columns = place.columns;
  out.matrix.owner = nb::none();
  if (smoothing) {
    smooth_into(out, s, place, rolling_window);
  } else {
    align_into(out, s, place);
  }
  return out;
}

}  // namespace morvane::ravelle
