#include "report.hpp"

#include <nanobind/stl/string.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "imports.hpp"
#include "pyglue/builtins.hpp"
#include "pyglue/frames.hpp"
#include "pyglue/log.hpp"

using namespace nanobind::literals;

namespace morvane::service {

ProgressLog::ProgressLog(const char* kind, nb::handle name, nb::handle start, nb::handle end,
                         nb::handle table)
    : kind_(kind), name_(nb::borrow(name)), started_(std::chrono::steady_clock::now()) {
  const nb::object shape = table.attr("shape");
  pyglue::log_message("info", "%s %s: %s 到 %s, 输入表 %d 行 x %d 列", kind_, name_, start, end,
                      shape[0], shape[1]);
}

void ProgressLog::done(nb::handle daily_returns, nb::handle plot_paths) const {
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started_;
  pyglue::log_message("info", "%s %s 完成: %d 个交易日, 用时 %.2f 秒", kind_, name_,
                      nb::len(daily_returns), took.count());
  for (nb::handle chart : plot_paths) {
    pyglue::log_message("info", "  图片 %s: %s", chart, plot_paths[chart]);
  }
}

nb::object benchmark_returns(nb::handle benchmarks, nb::handle code, nb::handle daily_returns,
                             bool zero_when_missing) {
  const nb::object dates = daily_returns.attr("index");
  const nb::object& series_type = pyglue::imports().series;
  const nb::object series =
      code.is_none() || benchmarks.is_none() ? nb::none() : pyglue::get_item(benchmarks, code);
  if (series.is_none()) {
    const nb::object value =
        zero_when_missing ? nb::float_(0.0) : nb::float_(std::numeric_limits<double>::quiet_NaN());
    return series_type(value, "index"_a = dates, "dtype"_a = "float64", "name"_a = code);
  }
  // Placed on the dates natively, as the runners read their benchmarks.
  const std::string code_text = nb::cast<std::string>(nb::str(code));
  const std::string name = "benchmark_dict[" + code_text + "]";
  return pyglue::make_series(pyglue::float64_on_rows(series, dates, name), dates,
                             code_text.c_str());
}

nb::object primary_benchmark(nb::handle benchmark_summary) {
  if (nb::len(benchmark_summary) == 0) return nb::none();
  // A table contains its column labels.
  if (!pyglue::contains(benchmark_summary, "benchmark_name")) return nb::none();
  return benchmark_summary["benchmark_name"].attr("iloc")[0];
}

}  // namespace morvane::service
