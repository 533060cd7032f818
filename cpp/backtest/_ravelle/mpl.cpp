#include "mpl.hpp"

#include <nanobind/stl/string.h>

#include "pyglue/args.hpp"
#include "pyglue/frames.hpp"
#include "pyglue/imports.hpp"

namespace morvane::ravelle {

namespace glue = morvane::pyglue;

std::string path_text(nb::handle path, const char* name) {
  if (PyUnicode_Check(path.ptr())) return nb::cast<std::string>(path);
  if (!nb::isinstance(path, glue::imports().path_like))
    glue::raise_type_error(name, "str | os.PathLike", path);
  return nb::cast<std::string>(nb::str(glue::imports().fspath(path)));
}

nb::object stat_value(nb::handle stats, const char* key) { return stats.attr("get")(key); }

nb::object daily_returns(nb::handle dated_total) {
  nb::list columns;
  for (const char* column : {"daily_return", "index_daily_return", "extra_daily_return"}) {
    columns.append(column);
  }
  return dated_total[columns].attr("copy")();
}

std::vector<double> column_values(nb::handle table, const char* column) {
  const glue::FloatVector values = glue::read_float_column(table, column);
  return {values.values.begin(), values.values.end()};
}

nb::object numpy_array(std::vector<double> values) { return glue::numpy_from(std::move(values)); }

ChartTexts chart_texts(nb::handle strategy_name, nb::handle plot_title, nb::handle save_path,
                       nb::handle image_kind, nb::handle benchmark_name) {
  return {glue::to_text(strategy_name, "strategy_name"),
          glue::to_optional_text(plot_title, "plot_title"), path_text(save_path, "save_path"),
          glue::to_text(image_kind, "image_kind"), glue::to_text(benchmark_name, "benchmark_name")};
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
