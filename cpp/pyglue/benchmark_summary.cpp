#include "benchmark_summary.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include "args.hpp"
#include "frames.hpp"
#include "imports.hpp"
#include "kernels/strategy_stats.hpp"

namespace morvane::pyglue {

namespace {

std::string entry_name(nb::handle key) {
  return "benchmark_dict[" + nb::cast<std::string>(nb::repr(key)) + "]";
}

std::vector<std::string> dict_keys(nb::handle benchmark_dict) {
  std::vector<std::string> keys;
  if (benchmark_dict.is_none()) return keys;
  for (const auto& [key, value] : nb::borrow<nb::dict>(benchmark_dict)) {
    keys.push_back(nb::cast<std::string>(nb::str(key)));
  }
  return keys;
}

}  // namespace

std::vector<std::string> choose_benchmarks(nb::handle names, nb::handle benchmark_dict,
                                           const char* name) {
  const std::vector<std::string> available = dict_keys(benchmark_dict);
  if (names.is_none()) return available;
  std::vector<std::string> wanted;
  if (PyUnicode_Check(names.ptr())) {
    const std::string code = to_text(names, name);
    if (code == "all") return available;
    wanted.push_back(code);
  } else {
    const nb::object items = nb::steal(PyObject_GetIter(names.ptr()));
    if (!items.is_valid()) PyErr_Clear();
    if (!items.is_valid() || PyBytes_Check(names.ptr())) {
      raise_type_error(name, "str | list[str] | None", names);
    }
    for (nb::handle item : names) {
      const std::string code = to_text(item, name);
      if (std::find(wanted.begin(), wanted.end(), code) == wanted.end()) wanted.push_back(code);
    }
  }
  if (benchmark_dict.is_none()) return available;
  for (const std::string& code : wanted) {
    if (std::find(available.begin(), available.end(), code) == available.end()) {
      std::string list;
      for (const std::string& k : available) list += (list.empty() ? "" : ", ") + k;
      raise_value_error(std::string("参数 ") + name + " 的基准 " + code +
                        " 不在 benchmark_dict 中, 可用的基准: [" + list + "]");
    }
  }
  return wanted;
}

void check_benchmark_series(nb::handle benchmark_dict) {
  if (benchmark_dict.is_none()) return;
  const nb::object& series_type = imports().series;
  for (const auto& [key, value] : nb::borrow<nb::dict>(benchmark_dict)) {
    if (!nb::isinstance(value, series_type)) {
      const std::string name = entry_name(key);
      raise_type_error(name.c_str(), "pandas.Series", value);
    }
  }
}

nb::object benchmark_summary(nb::handle dates, const std::vector<double>& daily_return,
                             nb::handle benchmark_dict) {
  nb::list names;
  std::vector<double> columns[4];
  if (!benchmark_dict.is_none()) {
    for (const auto& [key, series] : nb::borrow<nb::dict>(benchmark_dict)) {
      const std::string name = entry_name(key);
      const std::vector<double> placed = float64_on_rows(series, dates, name);
      std::vector<double> strategy;
      std::vector<double> bench;
      for (std::size_t i = 0; i < placed.size(); ++i) {
        if (std::isnan(placed[i])) continue;
        strategy.push_back(daily_return[i]);
        bench.push_back(placed[i]);
      }
      if (strategy.empty()) continue;
      const kernels::BenchmarkFigures f = kernels::benchmark_figures(strategy, bench);
      names.append(key);
      columns[0].push_back(f.benchmark_annual_return);
      columns[1].push_back(f.excess_annual_return);
      columns[2].push_back(f.excess_sharpe);
      columns[3].push_back(f.excess_max_dd);
    }
  }
  if (nb::len(names) == 0) return imports().data_frame();
  nb::dict data;
  data["benchmark_name"] = names;
  const char* const labels[] = {"benchmark_annual_return", "excess_annual_return", "excess_sharpe",
                                "excess_max_dd"};
  for (std::size_t c = 0; c < 4; ++c) data[labels[c]] = numpy_from(std::move(columns[c]));
  return imports().data_frame(data);
}

}  // namespace morvane::pyglue
