#include "perf_summary.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "chart_format.hpp"
#include "kernels/dates.hpp"
#include "mpl.hpp"
#include "pyglue/frames.hpp"

using namespace nanobind::literals;

namespace morvane::ravelle {

namespace {

namespace glue = morvane::pyglue;

// Padding of a table cell's text, as a fraction of the cell's width
// (matplotlib's Cell.PAD), kept on both sides.
constexpr double kCellPad = 0.1;
// A text line's height over its font size, with a little room in the cell.
constexpr double kLinePerFont = 1.3;

// "2024-01-02" of 20240102.
std::string dashed_date(std::int32_t yyyymmdd) {
  return kernels::dashed_date(kernels::format_date_number(yyyymmdd));
}

struct Wrapped {
  std::string text;
  long lines;
};

// "2021: 5.12% | 2022: -3.10% | ..." cut into lines no wider than `width`
// points at `fontsize`, each line but the last ending in " |".
Wrapped wrap_pieces(const std::string& text, double width, double fontsize) {
  const std::string separator = " | ";
  std::vector<std::string> pieces;
  for (std::size_t start = 0;;) {
    const std::size_t end = text.find(separator, start);
    pieces.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + separator.size();
  }
  const glue::ChartImports& charts = glue::chart_imports();
  const nb::object measure = charts.text_to_path.attr("get_text_width_height_descent");
  const nb::object font = charts.font_properties("size"_a = fontsize);
  const auto fits = [&](const std::string& line) {
    return nb::cast<double>(measure(line + " |", font, false)[0]) <= width;
  };
  Wrapped out{pieces.front(), 1};
  std::string line = pieces.front();
  for (std::size_t k = 1; k < pieces.size(); ++k) {
    if (fits(line + separator + pieces[k])) {
      line += separator + pieces[k];
      out.text += separator + pieces[k];
    } else {
      line = pieces[k];
      out.text += " |\n" + pieces[k];
      ++out.lines;
    }
  }
  return out;
}

// Gives the table's last row room for `lines` lines; a table that then
// outgrows both its axes and its former height is scaled back to that, and
// when the last row is then too low for its lines at `fontsize`, its text
// gets the size that fits (decades of years on the wide page).
void grow_last_row(const draw::Axes& ax, const draw::Table& table, long lines, double fontsize) {
  const double before = table.height();
  const nb::dict cells = pyglue::table_cells(table.object());
  const long last = static_cast<long>(nb::len(cells) / 2) - 1;
  const auto last_cell = [&](long col) { return cells[nb::make_tuple(last, col)]; };
  const auto height = [&](long col) {
    return nb::cast<double>(last_cell(col).attr("get_height")());
  };
  for (const long col : {0L, 1L}) {
    last_cell(col).attr("set_height")(height(col) * static_cast<double>(lines));
  }
  const double limit = std::max(1.0, before);
  const double after = table.height();
  if (after <= limit) return;
  table.set_heights([&](double cell_height) { return cell_height * limit / after; });
  const double row_points = height(1) * ax.size_points().second;
  const double fitting = row_points / (static_cast<double>(lines) * kLinePerFont);
  if (fitting < fontsize) {
    for (const long col : {0L, 1L}) last_cell(col).attr("get_text")().attr("set_fontsize")(fitting);
  }
}

}  // namespace

void draw_summary_table(const draw::Axes& ax, const std::vector<std::int32_t>& days,
                        nb::handle stats, nb::handle yearly, std::int64_t rolling_window,
                        const std::string& bench, bool tall) {
  const auto pick = [tall](double tall_value, double wide_value) {
    return tall ? tall_value : wide_value;
  };
  const auto stat = [&stats](const char* key) { return stat_value(stats, key); };
  const nb::object annual_excess =
      nb::len(yearly) > 0 ? nb::object(yearly["extra_daily_return"]) : glue::empty_float_series();
  std::vector<std::vector<std::string>> rows = {
      {"Date Range", dashed_date(days.front()) + " ~ " + dashed_date(days.back())},
      {"Trading Days", std::to_string(days.size())},
      {"Rolling Window", std::to_string(rolling_window)},
      {"Benchmark", bench},
      {"Benchmark Ann.", format_pct_points(stat("benchmark_annual_return"))},
      {"Benchmark Sharpe", format_num(stat("benchmark_sharp"))},
      {"Return Corr.", format_num(stat("return_corr"))},
      {"Avg Holding", format_num(stat("holding_count"), 0)},
      {"Turnover", format_pct(stat("turnover"))},
      {"Excess Win Rate", format_pct(stat("excess_win_rate"))},
      {"Annual Excess", format_annual_excess(annual_excess)},
  };
  const double value_width = pick(0.74, 0.6);
  const double fontsize = pick(9.4, 8.6);
  // The yearly excess list grows a piece per year: it is wrapped to the value
  // column (a cell's text does not wrap by itself and ran past the table).
  const Wrapped annual = wrap_pieces(
      rows.back()[1], ax.size_points().first * value_width * (1.0 - 2.0 * kCellPad), fontsize);
  rows.back()[1] = annual.text;
  ax.axis_off();
  const draw::Table table = ax.table(rows, {.col_labels = {"Metric", "Value"},
                                            .col_widths = {1.0 - value_width, value_width},
                                            .loc = "center",
                                            .cell_loc = "left",
                                            .col_loc = "left"});
  table.font_size(fontsize);
  table.scale(1.0, pick(1.28, 1.18));
  table.style_cells();
  if (annual.lines > 1) grow_last_row(ax, table, annual.lines, fontsize);
}

}  // namespace morvane::ravelle
