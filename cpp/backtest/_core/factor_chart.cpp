#include "factor_chart.hpp"

#include <nanobind/stl/string.h>

#include <cmath>
#include <string>

#include "pyglue/args.hpp"
#include "pyglue/chart_guards.hpp"
#include "pyglue/frames.hpp"

using namespace nanobind::literals;

namespace morvane::core {

namespace {

namespace glue = morvane::pyglue;

constexpr const char* kExcess = "#ef4444";
constexpr const char* kBenchmark = "#111827";
constexpr const char* kIc = "#2563eb";
constexpr int kIcRollingDays = 20;

nb::object datetime_index(nb::handle table) {
  return nb::module_::import_("morvane.backtest._core").attr("_with_datetime_index")(table);
}

std::string percent(double value, int digits = 2) {
  if (!std::isfinite(value)) return "-";
  return nb::cast<std::string>(nb::str("{:.{}f}%").format(value * 100.0, digits));
}

std::string number(double value, int digits = 2) {
  if (!std::isfinite(value)) return "-";
  return nb::cast<std::string>(nb::str("{:.{}f}").format(value, digits));
}

double table_mean(nb::handle series) { return nb::cast<double>(nb::float_(series.attr("mean")())); }

void style_axes(nb::handle ax, const char* title) {
  ax.attr("set_title")(title, "fontsize"_a = 13, "loc"_a = "left");
  ax.attr("grid")(true, "alpha"_a = 0.3);
  for (const char* side : {"top", "right"}) {
    ax.attr("spines")[side].attr("set_visible")(false);
  }
}

struct Panels {
  nb::object cum, bars, ic, table;
};

Panels layout(nb::handle figure, bool tall) {
  Panels p;
  if (tall) {
    const nb::object grid = figure.attr("add_gridspec")(
        4, 1, "height_ratios"_a = nb::make_tuple(3.2, 2.2, 2.2, 1.4), "hspace"_a = 0.35);
    p.cum = figure.attr("add_subplot")(grid[0]);
    p.bars = figure.attr("add_subplot")(grid[1]);
    p.ic = figure.attr("add_subplot")(grid[2]);
    p.table = figure.attr("add_subplot")(grid[3]);
  } else {
    const nb::object grid = figure.attr("add_gridspec")(2, 2, "hspace"_a = 0.3, "wspace"_a = 0.18);
    p.cum = figure.attr("add_subplot")(grid[nb::make_tuple(0, 0)]);
    p.bars = figure.attr("add_subplot")(grid[nb::make_tuple(0, 1)]);
    p.ic = figure.attr("add_subplot")(grid[nb::make_tuple(1, 0)]);
    p.table = figure.attr("add_subplot")(grid[nb::make_tuple(1, 1)]);
  }
  return p;
}

void draw_cumulative(const ChartRequest& r, nb::handle ax, nb::handle benchmark,
                     const std::string& code) {
  const GroupOutcome& o = *r.outcome;
  const nb::object cum = datetime_index(o.group_cumulative_return);
  const nb::object columns = cum.attr("columns");
  const std::size_t n = nb::len(columns);
  const nb::object cmap = nb::module_::import_("matplotlib").attr("colormaps")["viridis"];
  for (std::size_t g = 0; g < n; ++g) {
    const nb::object label = columns[nb::int_(g)];
    const double share = n > 1 ? static_cast<double>(g) / static_cast<double>(n - 1) : 0.0;
    const bool best = nb::cast<double>(nb::float_(label)) == o.best_group;
    ax.attr("plot")(cum.attr("index"), cum[label].attr("to_numpy")(), "color"_a = cmap(share),
                    "linewidth"_a = best ? 2.4 : 1.0, "label"_a = nb::str("G{}").format(label));
  }
  style_axes(ax, "Group Cumulative Return (not compounded)");
  if (!benchmark.is_none()) {
    // Excess of the best group over the benchmark on the dates both have.
    const nb::object daily = o.group_daily_return[nb::int_(static_cast<long>(o.best_group))];
    const nb::object aligned = benchmark.attr("reindex")(daily.attr("index"));
    const nb::object excess = daily.attr("sub")(aligned).attr("dropna")().attr("cumsum")();
    if (nb::len(excess) > 0) {
      const nb::object excess_dt = datetime_index(excess);
      const nb::object bench_cum =
          datetime_index(aligned.attr("dropna")().attr("cumsum")().attr("add")(1.0));
      ax.attr("plot")(bench_cum.attr("index"), bench_cum.attr("to_numpy")(), "color"_a = kBenchmark,
                      "linestyle"_a = "--", "linewidth"_a = 1.4, "label"_a = "Benchmark " + code);
      const nb::object twin = ax.attr("twinx")();
      twin.attr("fill_between")(
          excess_dt.attr("index"), 0.0, excess_dt.attr("to_numpy")(), "color"_a = kExcess,
          "alpha"_a = 0.18,
          "label"_a = nb::str("G{} Excess").format(static_cast<long>(o.best_group)));
      twin.attr("set_ylabel")("Best Group Cumulative Excess");
      twin.attr("grid")(false);
      twin.attr("legend")("loc"_a = "lower right", "fontsize"_a = 9);
    }
  }
  ax.attr("legend")("loc"_a = "upper left", "fontsize"_a = 8, "ncol"_a = n > 10 ? 4 : 2);
}

void draw_group_means(const ChartRequest& r, nb::handle ax) {
  const GroupOutcome& o = *r.outcome;
  nb::list labels, heights, colours;
  for (std::size_t g = 0; g < o.group_means.size(); ++g) {
    labels.append(nb::str("{}").format(g + 1));
    heights.append(o.group_means[g] * 252.0 * 100.0);
    colours.append(static_cast<double>(g + 1) == o.best_group ? kExcess : kIc);
  }
  ax.attr("bar")(labels, heights, "color"_a = colours, "alpha"_a = 0.85);
  ax.attr("axhline")(0.0, "color"_a = kBenchmark, "linewidth"_a = 0.8);
  ax.attr("set_ylabel")("Annualised (%)");
  style_axes(ax, "Mean Daily Return x 252 by Group");
}

void draw_rank_ic(const ChartRequest& r, nb::handle ax) {
  const GroupOutcome& o = *r.outcome;
  style_axes(ax, "Rank IC");
  if (nb::len(o.rank_ic) == 0) {
    ax.attr("text")(0.5, 0.5, "No forward return data", "ha"_a = "center", "va"_a = "center",
                    "transform"_a = ax.attr("transAxes"));
    return;
  }
  const nb::object ic = datetime_index(o.rank_ic);
  const nb::object values = ic["rank_ic"];
  ax.attr("fill_between")(ic.attr("index"), 0.0, values.attr("fillna")(0.0).attr("to_numpy")(),
                          "color"_a = kIc, "alpha"_a = 0.35, "step"_a = "mid",
                          "label"_a = "Rank IC");
  const nb::object rolling =
      values.attr("rolling")(kIcRollingDays, "min_periods"_a = 1).attr("mean")();
  ax.attr("plot")(ic.attr("index"), rolling.attr("to_numpy")(), "color"_a = kExcess,
                  "linewidth"_a = 1.2, "label"_a = nb::str("{}-day mean").format(kIcRollingDays));
  if (nb::cast<bool>(ic.attr("columns").attr("__contains__")("industry_neutral_rank_ic"))) {
    const nb::object neutral = ic["industry_neutral_rank_ic"]
                                   .attr("rolling")(kIcRollingDays, "min_periods"_a = 1)
                                   .attr("mean")();
    ax.attr("plot")(ic.attr("index"), neutral.attr("to_numpy")(), "color"_a = kBenchmark,
                    "linewidth"_a = 1.0, "label"_a = "Industry Neutral (20-day mean)");
  }
  ax.attr("axhline")(0.0, "color"_a = kBenchmark, "linewidth"_a = 0.8);
  ax.attr("legend")("loc"_a = "upper left", "fontsize"_a = 9);
}

void draw_summary(const ChartRequest& r, nb::handle ax, nb::handle row) {
  const GroupOutcome& o = *r.outcome;
  ax.attr("axis")("off");
  nb::list cells;
  const auto add = [&](const char* name, const std::string& value) {
    cells.append(nb::make_tuple(name, value));
  };
  add("Factor", r.factor_name);
  add("Best Group", nb::cast<std::string>(nb::str("{}").format(static_cast<long>(o.best_group))));
  const std::size_t b = static_cast<std::size_t>(o.best_group) - 1;
  add("Best Group Annual Return", percent(o.group_means[b] * 252.0));
  if (nb::len(o.rank_ic) > 0) {
    const nb::object ic = o.rank_ic["rank_ic"].attr("dropna")();
    const double mean = table_mean(ic);
    const double sd = nb::cast<double>(nb::float_(ic.attr("std")()));
    add("Rank IC Mean", number(mean, 4));
    add("ICIR", number(sd > 0.0 ? mean / sd : NAN, 3));
    add("IC > 0 Ratio", percent(table_mean(ic.attr("gt")(0.0).attr("astype")("float64")), 1));
  }
  if (!row.is_none()) {
    add("Benchmark Annual Return", percent(nb::cast<double>(row["benchmark_annual_return"])));
    add("Excess Annual Return", percent(nb::cast<double>(row["excess_annual_return"])));
    add("Excess Sharpe", number(nb::cast<double>(row["excess_sharpe"])));
    add("Excess Max Drawdown", percent(nb::cast<double>(row["excess_max_dd"])));
  }
  const nb::object table =
      ax.attr("table")("cellText"_a = cells, "colLabels"_a = nb::make_tuple("Metric", "Value"),
                       "loc"_a = "center", "cellLoc"_a = "center");
  table.attr("auto_set_font_size")(false);
  table.attr("set_fontsize")(11);
  table.attr("scale")(1.0, 1.5);
  ax.attr("set_title")("Summary", "fontsize"_a = 13, "loc"_a = "left");
}

void draw_one(const ChartRequest& r, const std::string& path, const std::string& code) {
  const nb::object benchmark =
      code.empty() ? nb::none() : nb::borrow<nb::dict>(r.benchmark_dict)[code.c_str()];
  nb::object row = nb::none();
  if (!code.empty() && nb::len(r.outcome->summary) > 0) {
    const nb::object summary = r.outcome->summary;
    const nb::object match =
        summary[summary["benchmark_name"].attr("astype")("str").attr("__eq__")(code)];
    if (nb::len(match) > 0) row = match.attr("iloc")[nb::int_(0)];
  }
  const glue::PlotLock lock;
  const nb::object matplotlib = nb::module_::import_("matplotlib");
  matplotlib.attr("use")("Agg");
  const nb::object plt = nb::module_::import_("matplotlib.pyplot");
  nb::module_::import_("morvane.backtest._ravelle").attr("_configure_strategy_plot_style")(plt);
  const bool tall = r.image_kind == "long";
  const nb::object figure = plt.attr("figure")("figsize"_a = tall ? nb::make_tuple(14.0, 20.0)
                                                                  : nb::make_tuple(21.0, 11.5));
  const glue::FigureGuard guard(plt, figure);
  const Panels p = layout(figure, tall);
  draw_cumulative(r, p.cum, benchmark, code);
  draw_group_means(r, p.bars);
  draw_rank_ic(r, p.ic);
  draw_summary(r, p.table, row);
  const std::string suptitle = code.empty() ? r.title : r.title + "  (benchmark " + code + ")";
  figure.attr("suptitle")(suptitle, "fontsize"_a = 17, "fontweight"_a = "bold");
  figure.attr("savefig")(path, "dpi"_a = 110, "bbox_inches"_a = "tight");
}

}  // namespace

std::string chart_path_text(nb::handle path) {
  if (nb::isinstance<nb::str>(path)) return nb::cast<std::string>(path);
  const nb::object os = nb::module_::import_("os");
  if (!nb::isinstance(path, os.attr("PathLike"))) {
    glue::raise_type_error("plot_save_path", "str | os.PathLike | None", path);
  }
  return nb::cast<std::string>(nb::str(os.attr("fspath")(path)));
}

nb::dict draw_factor_charts(const ChartRequest& request, nb::handle save_path) {
  const nb::object main = nb::module_::import_("pathlib").attr("Path")(chart_path_text(save_path));
  main.attr("parent").attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
  nb::dict paths;
  const auto entry = [](const std::string& path) {
    nb::dict files;
    files["primary"] = path;
    return files;
  };
  if (request.benchmarks.size() <= 1) {
    const std::string path = nb::cast<std::string>(nb::str(main));
    const std::string code = request.benchmarks.empty() ? "" : request.benchmarks.front();
    draw_one(request, path, code);
    paths[code.empty() ? "factor" : code.c_str()] = entry(path);
    return paths;
  }
  for (const std::string& code : request.benchmarks) {
    const nb::object file =
        main.attr("with_name")(nb::str("{}_{}.png").format(main.attr("stem"), code));
    const std::string path = nb::cast<std::string>(nb::str(file));
    draw_one(request, path, code);
    paths[code.c_str()] = entry(path);
  }
  return paths;
}

}  // namespace morvane::core
