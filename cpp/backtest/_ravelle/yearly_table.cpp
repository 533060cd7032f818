#include "yearly_table.hpp"

#include <nanobind/stl/string.h>

#include <array>
#include <string>

#include "chart_format.hpp"
#include "mpl.hpp"
#include "pyglue/args.hpp"

using namespace nanobind::literals;

namespace morvane::ravelle {

namespace {

struct Column {
  const char* compact_header;
  const char* full_header;
  const char* metric;  // nullptr for the year column
  bool percent;
  double compact_width;
  double full_width;
};

constexpr std::array<Column, 9> kColumns{{
    {"Year", "Year", nullptr, false, 0.09, 0.08},
    {"Ret", "Strategy Return", "strategy_return", true, 0.11, 0.115},
    {"Sharpe", "Strategy Sharpe", "strategy_sharpe", false, 0.11, 0.115},
    {"MaxDD", "Strategy Max DD", "strategy_max_dd", true, 0.12, 0.115},
    {"Calmar", "Strategy Calmar", "strategy_calmar", false, 0.11, 0.115},
    {"ExRet", "Excess Return", "excess_return", true, 0.12, 0.115},
    {"ExSh", "Excess Sharpe", "excess_sharpe", false, 0.11, 0.115},
    {"ExDD", "Excess Max DD", "excess_max_dd", true, 0.11, 0.115},
    {"ExCal", "Excess Calmar", "excess_calmar", false, 0.12, 0.115},
}};

std::string year_cell(nb::handle year) {
  const nb::object as_int = nb::module_::import_("builtins").attr("int")(year);
  return nb::cast<std::string>(nb::str(as_int));
}

}  // namespace

void draw_yearly_metrics_table(nb::handle ax, nb::handle yearly_metrics, bool compact) {
  morvane::pyglue::require_dataframe(yearly_metrics, "yearly_metrics");
  ax.attr("axis")("off");
  if (nb::len(yearly_metrics) == 0) {
    ax.attr("text")(0.5, 0.5, "No yearly metric data", "ha"_a = "center", "va"_a = "center",
                    "transform"_a = ax.attr("transAxes"));
    return;
  }

  nb::list rows;
  for (nb::handle pair : yearly_metrics.attr("iterrows")()) {
    const nb::object year = pair[0];
    const nb::object row = pair[1];
    nb::list cells;
    cells.append(year_cell(year));
    for (std::size_t c = 1; c < kColumns.size(); ++c) {
      const nb::object value = row.attr("__getitem__")(kColumns[c].metric);
      cells.append(kColumns[c].percent ? format_pct(value) : format_num(value));
    }
    rows.append(cells);
  }
  nb::list headers;
  nb::list widths;
  for (const Column& column : kColumns) {
    headers.append(compact ? column.compact_header : column.full_header);
    widths.append(compact ? column.compact_width : column.full_width);
  }

  const nb::object table =
      ax.attr("table")("cellText"_a = rows, "colLabels"_a = headers, "loc"_a = "center",
                       "cellLoc"_a = "center", "colLoc"_a = "center", "colWidths"_a = widths);
  table.attr("auto_set_font_size")(false);
  table.attr("set_fontsize")(compact ? 7.8 : 8.4);
  table.attr("scale")(1.0, compact ? 1.22 : 1.24);
  constexpr const char* kBlue = "#1d4ed8";
  constexpr const char* kRed = "#b91c1c";
  style_table_cells(table, {"", kBlue, kBlue, kBlue, kBlue, kRed, kRed, kRed, kRed});
  ax.attr("set_title")("Yearly Strategy & Excess Metrics", "fontsize"_a = compact ? 10.2 : 11.5,
                       "color"_a = "#0f172a", "pad"_a = compact ? 4 : 8);
}

}  // namespace morvane::ravelle
