#include "mpl.hpp"

#include <nanobind/stl/string.h>

#include "pyglue/args.hpp"
#include "pyglue/frames.hpp"
#include "pyglue/imports.hpp"

using namespace nanobind::literals;

namespace morvane::ravelle {

namespace glue = morvane::pyglue;

Pyplot begin_chart() {
  const glue::ChartImports& charts = glue::begin_chart();
  return {charts.plt, charts.percent_formatter};
}

std::string path_text(nb::handle path, const char* name) {
  if (PyUnicode_Check(path.ptr())) return nb::cast<std::string>(path);
  if (!nb::isinstance(path, glue::imports().path_like))
    glue::raise_type_error(name, "str | os.PathLike", path);
  return nb::cast<std::string>(nb::str(glue::imports().fspath(path)));
}

std::vector<double> column_values(nb::handle table, const char* column) {
  const glue::FloatVector values = glue::read_float_column(table, column);
  return {values.values.begin(), values.values.end()};
}

nb::object numpy_array(const std::vector<double>& values) {
  return glue::numpy_from(std::vector<double>(values));
}

void zero_line(nb::handle ax, double y, double width) {
  ax.attr("axhline")(y, "color"_a = "#94a3b8", "linewidth"_a = width);
}

void percent_ticks(const Pyplot& mpl, nb::handle ax) {
  ax.attr("yaxis").attr("set_major_formatter")(mpl.percent(1.0));
}

void plain_twin(nb::handle twin) {
  twin.attr("grid")(false);
  glue::hide_spines(twin, {"top"});
}

void style_panel(nb::handle ax) {
  ax.attr("grid")(true, "color"_a = "#e5e7eb", "linewidth"_a = 0.75, "alpha"_a = 0.84);
  glue::hide_spines(ax, {"top", "right"});
}

ChartTexts chart_texts(nb::handle strategy_name, nb::handle plot_title, nb::handle save_path,
                       nb::handle image_kind, nb::handle benchmark_name) {
  return {glue::to_text(strategy_name, "strategy_name"),
          glue::to_optional_text(plot_title, "plot_title"), path_text(save_path, "save_path"),
          glue::to_text(image_kind, "image_kind"), glue::to_text(benchmark_name, "benchmark_name")};
}

void combined_legend(nb::handle ax, nb::handle twin, const char* loc, double fontsize) {
  const nb::object first = ax.attr("get_legend_handles_labels")();
  const nb::object second = twin.attr("get_legend_handles_labels")();
  const nb::object handles = first[0].attr("__add__")(second[0]);
  const nb::object labels = first[1].attr("__add__")(second[1]);
  ax.attr("legend")(handles, labels, "loc"_a = loc, "frameon"_a = true, "framealpha"_a = 0.92,
                    "fontsize"_a = fontsize);
}

void zero_line(const draw::Axes& ax, double y, double width) {
  ax.hline(y, {.color = "#94a3b8", .linewidth = width});
}

void plain_twin(const draw::Axes& twin) {
  twin.no_grid();
  twin.hide_spines({"top"});
}

void style_panel(const draw::Axes& ax) {
  ax.grid({.color = "#e5e7eb", .linewidth = 0.75, .alpha = 0.84});
  ax.hide_spines({"top", "right"});
}

draw::Legend framed_legend(const char* loc, std::optional<double> fontsize) {
  return {.loc = loc, .frameon = true, .framealpha = 0.92, .fontsize = fontsize};
}

void combined_legend(const draw::Axes& ax, const draw::Axes& twin, const char* loc,
                     double fontsize) {
  ax.legend_of(ax, twin, framed_legend(loc, fontsize));
}

}  // namespace morvane::ravelle
