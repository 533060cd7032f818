#include "repair.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "imports.hpp"
#include "pyglue/builtins.hpp"
#include "pyglue/data_dir.hpp"

namespace morvane::store {

namespace nb = nanobind;

namespace {

// The package's prepared-data folder: the service's, when the service is
// loaded (a caller may have moved it), else where the service keeps it.
nb::object package_folder() {
  const nb::object& modules = imports().sys_modules;
  const nb::object service = pyglue::get_item(modules, "morvane.backtest._service");
  if (!service.is_none() && nb::hasattr(service, "_DEFAULT_DATA_DIR")) {
    return service.attr("_DEFAULT_DATA_DIR");
  }
  return pyglue::package_data_dir();
}

}  // namespace

std::string repair_hint(const std::string& dir) {
  const nb::object& realpath = imports().realpath;
  const bool package = realpath(nb::str(dir.c_str())).equal(realpath(package_folder()));
  if (package) {
    return "修复: 运行 morvane.prepare_backtest_data() (命令行: morvane prepare), "
           "损坏或缺失的文件会随数据包重新下载";
  }
  return "修复: 运行 morvane prepare --store " + dir +
         " --source <数据来源> (本地文件目录或 synthetic), 从数据来源重建该目录";
}

}  // namespace morvane::store
