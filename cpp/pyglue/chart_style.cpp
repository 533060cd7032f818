#include "chart_style.hpp"

#include "chart_guards.hpp"
#include "loaded_once.hpp"

namespace morvane::pyglue {

namespace {

ChartImports import_chart_modules() {
  // The backend is chosen before pyplot is first imported, as a script would.
  const nb::module_ matplotlib = nb::module_::import_("matplotlib");
  matplotlib.attr("use")("Agg");
  const nb::module_ ticker = nb::module_::import_("matplotlib.ticker");
  const nb::module_ dates = nb::module_::import_("matplotlib.dates");
  return {
      .plot_lock = chart_lock(),
      .chart_fonts = nb::module_::import_("morvane.backtest._chart_fonts").attr("ChartFonts"),
      .chart_png = nb::module_::import_("morvane.backtest._chart_png"),
      .matplotlib = matplotlib,
      .plt = nb::module_::import_("matplotlib.pyplot"),
      .percent_formatter = ticker.attr("PercentFormatter"),
      .max_n_locator = ticker.attr("MaxNLocator"),
      .fixed_locator = ticker.attr("FixedLocator"),
      .rectangle = nb::module_::import_("matplotlib.patches").attr("Rectangle"),
      .patch_collection = nb::module_::import_("matplotlib.collections").attr("PatchCollection"),
      .date2num = dates.attr("date2num"),
      .date_locator = dates.attr("AutoDateLocator"),
      .date_formatter = dates.attr("AutoDateFormatter"),
      .text_to_path = nb::module_::import_("matplotlib.textpath").attr("text_to_path"),
      .font_properties = nb::module_::import_("matplotlib.font_manager").attr("FontProperties"),
  };
}

}  // namespace

const ChartImports& chart_imports() {
  return LoadedOnce<ChartImports>::get_or_load(import_chart_modules);
}

const ChartImports& begin_chart() {
  const ChartImports& charts = chart_imports();
  charts.matplotlib.attr("use")("Agg");
  configure_chart_style(charts.plt);
  return charts;
}

void configure_chart_style(nb::handle plt) {
  try {
    plt.attr("style").attr("use")("seaborn-v0_8-whitegrid");
  } catch (const nb::python_error& error) {
    // An older or trimmed matplotlib without the style: keep its defaults.
    // Only ordinary errors are swallowed; KeyboardInterrupt and the like pass.
    if (!error.matches(PyExc_Exception)) throw;
  }
  nb::object params = plt.attr("rcParams");
  nb::list fonts;
  for (const char* font :
       {"Helvetica Neue", "Arial", "PingFang SC", "Noto Sans CJK SC", "Source Han Sans SC",
        "WenQuanYi Micro Hei", "SimHei", "Arial Unicode MS", "DejaVu Sans"}) {
    fonts.append(font);
  }
  params["font.sans-serif"] = fonts;
  params["axes.unicode_minus"] = false;
  params["axes.titleweight"] = "bold";
  params["figure.facecolor"] = "white";
  params["axes.facecolor"] = "#fbfbfd";
}

}  // namespace morvane::pyglue
