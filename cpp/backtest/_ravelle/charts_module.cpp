#include "charts_module.hpp"

#include <nanobind/stl/string.h>

#include <optional>
#include <utility>

#include "chart_doc.hpp"
#include "chart_format.hpp"
#include "mpl.hpp"
#include "perf_figure.hpp"
#include "pyglue/args.hpp"
#include "pyglue/params.hpp"
#include "weekly_chart.hpp"
#include "yearly_table.hpp"

using namespace nanobind::literals;

namespace morvane::ravelle {

namespace {

// The entry point of every chart: hold the lock, call the unlocked drawing
// through the module with the caller's arguments by keyword, report the
// caller's path as given under `key`.
template <class... Keywords>
nb::dict locked_chart(const char* implementation, const char* key, nb::handle save_path,
                      Keywords&&... arguments) {
  {
    const PlotLock lock;
    module_function(implementation)(std::forward<Keywords>(arguments)...);
  }
  nb::dict out;
  out[key] = nb::str(save_path);
  return out;
}

nb::dict plot_strategy_performance(nb::handle total, nb::handle stats, nb::handle strategy_name,
                                   nb::handle plot_title, nb::handle save_path,
                                   nb::handle image_kind, nb::handle benchmark_name,
                                   nb::handle rolling_window) {
  return locked_chart("_plot_strategy_performance_unlocked", "main", save_path, "total"_a = total,
                      "stats"_a = stats, "strategy_name"_a = strategy_name,
                      "plot_title"_a = plot_title, "save_path"_a = save_path,
                      "image_kind"_a = image_kind, "benchmark_name"_a = benchmark_name,
                      "rolling_window"_a = rolling_window);
}

nb::dict plot_weekly_net_value(nb::handle total, nb::handle strategy_name, nb::handle plot_title,
                               nb::handle save_path, nb::handle image_kind,
                               nb::handle benchmark_name) {
  return locked_chart("_plot_weekly_net_value_unlocked", "weekly_net_value", save_path,
                      "total"_a = total, "strategy_name"_a = strategy_name,
                      "plot_title"_a = plot_title, "save_path"_a = save_path,
                      "image_kind"_a = image_kind, "benchmark_name"_a = benchmark_name);
}

void performance_unlocked(nb::handle total, nb::handle stats, nb::handle strategy_name,
                          nb::handle plot_title, nb::handle save_path, nb::handle image_kind,
                          nb::handle benchmark_name, nb::handle rolling_window) {
  plot_strategy_performance_unlocked({total, stats, strategy_name, plot_title, save_path,
                                      image_kind, benchmark_name, rolling_window});
}

void weekly_unlocked(nb::handle total, nb::handle strategy_name, nb::handle plot_title,
                     nb::handle save_path, nb::handle image_kind, nb::handle benchmark_name) {
  plot_weekly_net_value_unlocked({total, nb::none(), strategy_name, plot_title, save_path,
                                  image_kind, benchmark_name, nb::int_(0)});
}

void yearly_table(nb::handle ax, nb::handle yearly_metrics, nb::handle compact, nb::handle fontsize,
                  nb::handle partial) {
  const std::optional<double> size =
      fontsize.is_none() ? std::nullopt
                         : std::optional<double>(pyglue::to_float(fontsize, "fontsize"));
  draw_yearly_metrics_table(ax, yearly_metrics, PyObject_IsTrue(compact.ptr()) == 1, size, partial);
}

using Formatter = std::string (*)(nb::handle, nb::handle);

}  // namespace

void define_charts(nb::module_& m) {
  pyglue::def<doc::kFormatPctParams>(m, static_cast<Formatter>(&format_pct), doc::kFormatPct);
  pyglue::def<doc::kFormatPctPointsParams>(m, static_cast<Formatter>(&format_pct_points),
                                           doc::kFormatPctPoints);
  pyglue::def<doc::kFormatNumParams>(m, static_cast<Formatter>(&format_num), doc::kFormatNum);
  m.def("_format_annual_excess", &format_annual_excess, "annual_excess"_a.none(),
        nb::sig("def _format_annual_excess(annual_excess: pandas.Series | dict | None) -> str"),
        doc::kFormatAnnualExcess);
  m.def("_configure_strategy_plot_style", &pyglue::configure_chart_style, "plt"_a,
        nb::sig("def _configure_strategy_plot_style(plt: types.ModuleType) -> None"),
        doc::kConfigureStyle);
  m.def("_draw_yearly_metrics_table", &yearly_table, "ax"_a, "yearly_metrics"_a, nb::kw_only(),
        "compact"_a = false, "fontsize"_a.none() = nb::none(),
        "partial_years"_a.none() = nb::none(),
        nb::sig("def _draw_yearly_metrics_table(ax: object, yearly_metrics: pandas.DataFrame, "
                "*, compact: bool = False, fontsize: float | None = None, "
                "partial_years: dict[int, int] | None = None) -> None"),
        doc::kDrawYearlyTable);
  m.def("_plot_strategy_performance_unlocked", &performance_unlocked, "total"_a, "stats"_a,
        "strategy_name"_a, "plot_title"_a.none(), "save_path"_a, "image_kind"_a, "benchmark_name"_a,
        "rolling_window"_a,
        nb::sig("def _plot_strategy_performance_unlocked(total: pandas.DataFrame, stats: dict, "
                "strategy_name: str, plot_title: str | None, save_path: str | os.PathLike, "
                "image_kind: str, benchmark_name: str, rolling_window: int) -> None"),
        doc::kPlotPerformanceUnlocked);
  pyglue::def<doc::kPlotPerformanceParams>(m, &plot_strategy_performance, doc::kPlotPerformance);
  m.def("_build_weekly_net_value_frame", &build_weekly_net_value_frame, "total"_a,
        nb::sig("def _build_weekly_net_value_frame(total: pandas.DataFrame) -> pandas.DataFrame"),
        doc::kBuildWeeklyFrame);
  m.def("_plot_weekly_net_value_unlocked", &weekly_unlocked, "total"_a, "strategy_name"_a,
        "plot_title"_a.none(), "save_path"_a, "image_kind"_a, "benchmark_name"_a,
        nb::sig("def _plot_weekly_net_value_unlocked(total: pandas.DataFrame, strategy_name: str, "
                "plot_title: str | None, save_path: str | os.PathLike, image_kind: str, "
                "benchmark_name: str) -> None"),
        doc::kPlotWeeklyUnlocked);
  pyglue::def<doc::kPlotWeeklyParams>(m, &plot_weekly_net_value, doc::kPlotWeekly);
}

}  // namespace morvane::ravelle
