// The factor backtest chart: one PNG per benchmark showing the groups'
// cumulative returns, the best group's excess over the benchmark, the mean
// return of every group, the rank IC and a summary table. Drawn behind the
// package's chart lock in the charts' common style (pyglue's chart_guards and
// chart_style, below both backtest modules).
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <vector>

#include "group_result.hpp"

namespace morvane::core {

namespace nb = nanobind;

struct ChartRequest {
  const GroupOutcome* outcome;
  nb::handle benchmark_dict;
  std::vector<std::string> benchmarks;  // chosen codes; none gives one chart "factor"
  std::string image_kind;               // "long" or "large"
  std::string title;
  std::string factor_name;
};

// Text of a path argument (str or os.PathLike), else TypeError.
[[nodiscard]] std::string chart_path_text(nb::handle path);

// `save_path` (str or os.PathLike, else TypeError) as a pathlib.Path, its
// folder made when missing.
[[nodiscard]] nb::object chart_file(nb::handle save_path);

// The path text of the file beside `main` named "{main's stem}{ending}".
[[nodiscard]] std::string file_beside(nb::handle main, const std::string& ending);

// {"primary": path}: one chart's entry in the result's plot_paths.
[[nodiscard]] nb::dict chart_files(const std::string& path);

// One benchmark: `save_path`; several: "{stem}_{code}.png" beside it; none:
// one chart "factor" at `save_path`. Creates a missing directory. Returns
// {name: {"primary": path text}}.
[[nodiscard]] nb::dict draw_factor_charts(const ChartRequest& request, nb::handle save_path);

}  // namespace morvane::core
