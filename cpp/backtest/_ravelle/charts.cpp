#include "charts.hpp"

#include <nanobind/stl/string.h>

namespace morvane::ravelle {

nb::dict draw_strategy_charts(const ChartRequest& request) {
  const nb::object main_path = nb::module_::import_("pathlib").attr("Path")(request.save_path);
  const nb::object weekly_path = main_path.attr("with_name")(
      nb::str("{}_weekly_net_value{}").format(main_path.attr("stem"), main_path.attr("suffix")));
  // The drawing functions are not part of the package yet.
  const std::string message = "策略图表尚不可用 (charts are not available yet): 无法写出 " +
                              nb::cast<std::string>(nb::str(main_path)) + " 与 " +
                              nb::cast<std::string>(nb::str(weekly_path)) +
                              "; 请传 plot_save_path=None 或 plot_image_kind=None";
  PyErr_SetString(PyExc_NotImplementedError, message.c_str());
  throw nb::python_error();
}

}  // namespace morvane::ravelle
