// morvane.backtest._service: the backtest service (preparation, loading and
// the factor and strategy backtest flows).
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>

#include "doc.hpp"
#include "imports.hpp"
#include "pyglue/data_dir.hpp"
#include "pyglue/dates.hpp"
#include "pyglue/store_errors.hpp"
#include "service.hpp"
#include "validate.hpp"

namespace nb = nanobind;

namespace {

// Today's local date as "YYYYMMDD"; a module function so that a caller can
// fix "today" for the whole service.
std::string today() { return morvane::pyglue::today_text(); }

}  // namespace

NB_MODULE(_service, m) {
  m.doc() = morvane::doc::kServiceModule;
  morvane::service::load_imports(m);
  const morvane::service::Imports& imports = morvane::service::imports();
  const morvane::pyglue::Imports& common = morvane::pyglue::imports();
  m.attr("shutil") = nb::module_::import_("shutil");
  m.attr("Path") = common.path;
  m.attr("pd") = common.pd;
  m.attr("logger") = common.logger;
  // The two backtest cores, read through these names when a flow runs.
  m.attr("core") = imports.core;
  m.attr("ravelle") = imports.ravelle;

  // The refresh looks its window function up on _prepare when it runs.
  const nb::object& prepare = imports.prepare;
  for (const char* name : {"COMPONENT_FACTOR_NAMES", "TAIL_RELOAD_ROWS", "BinaryPreparedDataStore",
                           "component_dataset_key"}) {
    m.attr(name) = prepare.attr(name);
  }
  // Index code -> component factor name: the accepted universes.
  m.attr("_UNIVERSE_TO_COMPONENT") =
      morvane::service::universe_to_component(imports.component_names);
  for (const char* name : {"clean_matrix", "normalize_yyyymmdd"}) {
    m.attr(name) = imports.store.attr(name);
  }
  for (const char* name : {"download_benchmark_package", "flatten_single_subdir"}) {
    m.attr(name) = imports.pkg.attr(name);
  }
  m.attr("BacktestData") = imports.backtest_data;
  m.attr("BacktestResult") = imports.backtest_result;
  m.attr("StrategyBacktestResult") = imports.strategy_result;
  m.attr("MorvaneError") = imports.morvane_error;

  const nb::handle text(reinterpret_cast<PyObject*>(&PyUnicode_Type));
  const nb::handle integer(reinterpret_cast<PyObject*>(&PyLong_Type));
  m.attr("DateLike") = nb::module_::import_("typing").attr("Union")[nb::make_tuple(text, integer)];
  m.attr("_DEFAULT_DATA_DIR") = morvane::pyglue::package_data_dir();
  m.def("_today", &today, nb::sig("def _today() -> str"),
        "今天的本地日期 \"YYYYMMDD\"。\n\nReturns:\n    str: 例如 \"20240102\"。");
  morvane::pyglue::register_store_errors();
  morvane::service::define_service(m);
  morvane::service::define_folder_api(m);
  morvane::service::define_request_checks(m);
}
