#include "align_weights.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include "kernels/gather.hpp"
#include "kernels/weights.hpp"
#include "pyglue/args.hpp"
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

// Trading days of the market inside [first, last] of the kept weight dates
// that the weight table does not give. Labels that cannot be ordered against
// each other give 0: there is no span to speak of.
std::size_t skipped_trading_days(nb::handle market_dates, nb::handle kept_dates) {
  const std::size_t kept = nb::len(kept_dates);
  if (kept < 2) return 0;
  try {
    const nb::object first = kept_dates.attr("min")();
    const nb::object last = kept_dates.attr("max")();
    const nb::object inside =
        market_dates.attr("__ge__")(first).attr("__and__")(market_dates.attr("__le__")(last));
    const std::size_t in_span = nb::cast<std::size_t>(nb::int_(inside.attr("sum")()));
    return in_span > kept ? in_span - kept : 0;
  } catch (const nb::python_error& error) {
    if (error.matches(PyExc_TypeError)) return 0;
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
  const std::size_t skipped = skipped_trading_days(market_dates, kept_dates);
  if (skipped > 0) {
    glue::log_message("warning",
                      "策略权重在 %s 至 %s 之间缺少 %d 个交易日: 每行权重在下一行的日期成交, "
                      "缺少的交易日既不调仓也不计收益; 若权重只在调仓日给出, 请先 "
                      "weights.reindex(trading_days, method=\"ffill\")",
                      kept_dates.attr("min")(), kept_dates.attr("max")(), skipped);
  }
}

}  // namespace

nb::object align_weights_to_market(nb::handle strategy_matrix, nb::handle close_price) {
  const glue::LabelledMatrix<double> weights =
      glue::read_float_frame(strategy_matrix, "strategy_matrix");
  require_unique(weights.index, "行");
  require_unique(weights.columns, "列");
  const nb::object market_dates = close_price.attr("index");
  const nb::object dates = weights.index.attr("intersection")(market_dates);
  const nb::object codes = weights.columns.attr("intersection")(close_price.attr("columns"));
  const std::vector<std::int64_t> rows =
      glue::label_positions(weights.index, dates, "strategy_matrix", "行");
  const std::vector<std::int64_t> cols =
      glue::label_positions(weights.columns, codes, "strategy_matrix", "列");

  std::vector<std::uint8_t> weighted;
  {
    const nb::gil_scoped_release unlocked;
    weighted = kernels::columns_with_weight(weights.view, rows, cols);
  }
  std::vector<std::int64_t> kept_cols;
  kept_cols.reserve(cols.size());
  for (std::size_t c = 0; c < cols.size(); ++c) {
    if (weighted[c]) kept_cols.push_back(cols[c]);
  }
  report(dates, market_dates, weights.view.rows - rows.size(), weights.view.cols - cols.size(),
         cols.size() - kept_cols.size());

  const bool all_rows = rows.size() == weights.view.rows && kernels::is_consecutive(rows);
  const bool all_cols = kept_cols.size() == weights.view.cols && kernels::is_consecutive(kept_cols);
  if (all_rows && all_cols) return nb::borrow(strategy_matrix);

  nb::list kept_positions;
  for (const std::int64_t c : kept_cols) kept_positions.append(c);
  const nb::object kept_codes = weights.columns.attr("take")(kept_positions);
  std::vector<double> aligned(rows.size() * kept_cols.size());
  {
    const nb::gil_scoped_release unlocked;
    kernels::gather_matrix<double>(weights.view, rows, kept_cols, 0.0, aligned);
  }
  const nb::object values = glue::numpy_from(std::move(aligned), rows.size(), kept_cols.size());
  return nb::module_::import_("pandas").attr("DataFrame")(
      values, "index"_a = dates, "columns"_a = kept_codes, "copy"_a = false);
}

}  // namespace morvane::ravelle
