#include "yearly_table.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "chart_format.hpp"
#include "mpl.hpp"
#include "pyglue/args.hpp"

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

// Gap between the table and its note, in axes fractions.
constexpr double kNoteGap = 0.03;
// Title, table and note together take at most this share of the axes' height
// (a little more than the axes: the gaps around a panel take the rest).
constexpr double kBlockRoom = 1.1;
// A row's height over its font size, at the least.
constexpr double kRowPerFont = 1.3;

// The table's texts, a row of cells each.
using Rows = std::vector<std::vector<std::string>>;

std::string year_text(nb::handle year) {
  PyObject* const as_int = PyNumber_Long(year.ptr());
  if (as_int == nullptr) throw nb::python_error();
  return nb::cast<std::string>(nb::str(nb::steal(as_int)));
}

// "* Partial year: 2024 (11 trading days)", years in the table's order.
std::string partial_note(const std::vector<std::string>& marked, nb::handle partial) {
  std::string note = marked.size() == 1 ? "* Partial year: " : "* Partial years: ";
  for (std::size_t k = 0; k < marked.size(); ++k) {
    const nb::object days = nb::borrow<nb::dict>(partial)[nb::int_(std::stol(marked[k]))];
    note += (k > 0 ? ", " : "") + marked[k] + " (" + nb::cast<std::string>(nb::str(days)) +
            " trading days)";
  }
  return note;
}

// The largest font size at which every column's longest text (cells and
// header) fits its column, with a conservative 0.68 em per character (bold
// headers, digits and "%" are the widest) and 5% padding on each side.
double widest_font(const draw::Axes& ax, const Rows& rows, const std::vector<std::string>& headers,
                   bool compact) {
  const double axes_width = ax.size_points().first;
  double size = 1e9;
  for (std::size_t c = 0; c < kColumns.size(); ++c) {
    std::size_t longest = headers[c].size();  // the texts are ASCII: bytes are characters
    for (const std::vector<std::string>& row : rows) longest = std::max(longest, row[c].size());
    const double width = compact ? kColumns[c].compact_width : kColumns[c].full_width;
    size = std::min(size, width * axes_width * 0.9 / (0.68 * static_cast<double>(longest)));
  }
  return size;
}

// The table's rows: the year (marked "*" when partial, the year then also
// listed in `marked`) and its metrics, formatted.
Rows metric_rows(nb::handle yearly_metrics, nb::handle partial_years,
                 std::vector<std::string>& marked) {
  Rows rows;
  for (nb::handle pair : yearly_metrics.attr("iterrows")()) {
    const nb::object row = pair[1];
    std::string year = year_text(pair[0]);
    if (!partial_years.is_none() &&
        nb::borrow<nb::dict>(partial_years).contains(nb::int_(std::stol(year)))) {
      marked.push_back(year);
      year += "*";
    }
    std::vector<std::string>& cells = rows.emplace_back();
    cells.push_back(year);
    for (std::size_t c = 1; c < kColumns.size(); ++c) {
      const nb::object value = row[kColumns[c].metric];
      cells.push_back(kColumns[c].percent ? format_pct(value) : format_num(value));
    }
  }
  return rows;
}

// Many years: the rows shrink (and the font with them when a row gets too
// low for it) so that title, table and note stay about within the axes,
// clear of the panels around them. Returns the font size.
double fit_rows(const draw::Axes& ax, const draw::Table& table, std::size_t row_count, double size,
                double around) {
  const double axes_points = ax.size_points().second;
  const double table_points = table.height() * axes_points;
  const double room = axes_points * kBlockRoom - around;
  if (table_points <= room || room <= 0.0) return size;
  const double shrink = room / table_points;
  table.set_heights([shrink](double height) { return height * shrink; });
  const double row_points = room / static_cast<double>(row_count + 1);
  return std::min(size, row_points / kRowPerFont);
}

}  // namespace

void draw_yearly_metrics_table(nb::handle axes, nb::handle yearly_metrics, bool compact,
                               std::optional<double> fontsize, nb::handle partial_years) {
  morvane::pyglue::require_dataframe(yearly_metrics, "yearly_metrics");
  if (!partial_years.is_none() && !nb::isinstance<nb::dict>(partial_years)) {
    morvane::pyglue::raise_type_error("partial_years", "dict[int, int] | None", partial_years);
  }
  const draw::Axes ax(nb::borrow(axes));
  ax.axis_off();
  if (nb::len(yearly_metrics) == 0) {
    ax.note("No yearly metric data");
    return;
  }

  std::vector<std::string> marked;
  const Rows rows = metric_rows(yearly_metrics, partial_years, marked);
  std::vector<std::string> headers;
  std::vector<double> widths;
  for (const Column& column : kColumns) {
    headers.emplace_back(compact ? column.compact_header : column.full_header);
    widths.push_back(compact ? column.compact_width : column.full_width);
  }

  const draw::Table table = ax.table(rows, {.col_labels = headers,
                                            .col_widths = widths,
                                            .loc = "center",
                                            .cell_loc = "center",
                                            .col_loc = "center"});
  const double layout_size = compact ? 7.8 : 8.4;
  const double layout_scale = compact ? 1.22 : 1.24;
  const double title_size = compact ? 10.2 : 11.5;
  const double title_pad = compact ? 4 : 8;
  double size =
      fontsize ? std::max(layout_size, std::min(*fontsize, widest_font(ax, rows, headers, compact)))
               : layout_size;
  // A larger font keeps the layout's proportions: rows grow with it.
  table.scale(1.0, layout_scale * size / layout_size);
  const double around = title_size * 1.4 + title_pad + (marked.empty() ? 0.0 : size * 1.4);
  size = fit_rows(ax, table, rows.size(), size, around);
  table.font_size(size);
  constexpr const char* kBlue = "#1d4ed8";
  constexpr const char* kRed = "#b91c1c";
  table.style_cells({"", kBlue, kBlue, kBlue, kBlue, kRed, kRed, kRed, kRed});

  // loc="center" centres the table on the axes; the title goes right above
  // it (at the axes' top it would float far above a short table) and the
  // note right below.
  const double half = table.height() / 2.0;
  ax.title("Yearly Strategy & Excess Metrics",
           {.fontsize = title_size, .color = "#0f172a", .pad = title_pad, .y = 0.5 + half});
  if (!marked.empty()) {
    ax.text(
        0.0, 0.5 - half - kNoteGap, partial_note(marked, partial_years),
        {.ha = "left", .va = "top", .fontsize = size - 0.4, .color = "#64748b", .in_axes = true});
  }
}

nb::dict partial_years(const std::vector<std::int32_t>& dates) {
  nb::dict partial;
  if (dates.empty()) return partial;
  const auto year = [](std::int32_t date) { return date / 10000; };
  const auto count = [&](std::int32_t of_year) {
    return static_cast<long>(std::count_if(
        dates.begin(), dates.end(), [&](std::int32_t date) { return year(date) == of_year; }));
  };
  // Month and day as one number: 0107 is 7 January, 1224 is 24 December.
  if (dates.front() % 10000 > 107)
    partial[nb::int_(year(dates.front()))] = count(year(dates.front()));
  if (dates.back() % 10000 < 1224)
    partial[nb::int_(year(dates.back()))] = count(year(dates.back()));
  return partial;
}

}  // namespace morvane::ravelle
