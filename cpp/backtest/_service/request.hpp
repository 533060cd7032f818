// What the two backtest flows share when they take a request apart: the
// date arguments, the chart folder arguments and the folder a chart creates.
#pragma once

#include <nanobind/nanobind.h>

#include <filesystem>
#include <string>
#include <vector>

namespace morvane::service {

namespace nb = nanobind;

// `normalize_yyyymmdd(value)`, which must give a text; otherwise a TypeError
// naming the argument.
[[nodiscard]] nb::object normalized_date(nb::handle value, const char* name);

// A TypeError unless `output_dir` is a text, a path-like object or None.
void require_output_dir_type(nb::handle output_dir);

// The ValueErrors of a chart request without a folder or without a file name.
void require_chart_target(nb::handle output_dir, const std::string& plot_filename);

// The text form of output_dir / "<plot_filename>.png".
[[nodiscard]] nb::object chart_path(nb::handle output_dir, const std::string& plot_filename);

// The chart folder, created for the request and removed again (when still
// empty) if the backtest fails, so a rejected call leaves no trace.
class ChartFolder {
 public:
  explicit ChartFolder(nb::handle output_dir);
  ChartFolder(const ChartFolder&) = delete;
  ChartFolder& operator=(const ChartFolder&) = delete;
  ~ChartFolder();
  void keep() { created_.clear(); }

 private:
  std::vector<std::filesystem::path> created_;
};

}  // namespace morvane::service
