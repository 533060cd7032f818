// morvane.backtest._service: the backtest service (preparation, loading and
// the factor and strategy backtest flows).
#include <nanobind/nanobind.h>

#include "doc.hpp"
#include "imports.hpp"
#include "pyglue/store_errors.hpp"
#include "service.hpp"
#include "validate.hpp"

namespace nb = nanobind;

namespace {

// Today's local date as "YYYYMMDD"; a module function so that a caller can
// fix "today" for the whole service.
nb::object today() {
  return morvane::service::imports().timestamp.attr("today")().attr("strftime")("%Y%m%d");
}

}  // namespace

NB_MODULE(_service, m) {
  m.doc() = morvane::doc::kServiceModule;
  const nb::object pathlib = nb::module_::import_("pathlib");
  const nb::object typing = nb::module_::import_("typing");
  const nb::object builtins = nb::module_::import_("builtins");
  m.attr("shutil") = nb::module_::import_("shutil");
  m.attr("Path") = pathlib.attr("Path");
  m.attr("pd") = nb::module_::import_("pandas");
  m.attr("core") = nb::module_::import_("morvane.backtest._core");
  m.attr("logger") = nb::module_::import_("morvane.logger").attr("logger");

  // The refresh looks its window function up on _prepare when it runs.
  const nb::module_ prepare = nb::module_::import_("morvane.backtest._prepare");
  for (const char* name : {"COMPONENT_FACTOR_NAMES", "TAIL_RELOAD_ROWS", "BinaryPreparedDataStore",
                           "component_dataset_key"}) {
    m.attr(name) = prepare.attr(name);
  }
  // Index code -> component factor name: the accepted universes.
  m.attr("_UNIVERSE_TO_COMPONENT") =
      morvane::service::universe_to_component(prepare.attr("COMPONENT_FACTOR_NAMES"));
  const nb::module_ store = nb::module_::import_("morvane.backtest._store");
  for (const char* name : {"clean_matrix", "normalize_yyyymmdd"}) m.attr(name) = store.attr(name);
  const nb::module_ pkg = nb::module_::import_("morvane.backtest._pkg");
  for (const char* name : {"download_benchmark_package", "flatten_single_subdir"}) {
    m.attr(name) = pkg.attr(name);
  }
  const nb::module_ result = nb::module_::import_("morvane.backtest.result");
  for (const char* name : {"BacktestData", "BacktestResult", "StrategyBacktestResult"}) {
    m.attr(name) = result.attr(name);
  }
  m.attr("MorvaneError") = nb::module_::import_("morvane.exceptions").attr("MorvaneError");

  m.attr("DateLike") =
      typing.attr("Union")[nb::make_tuple(builtins.attr("str"), builtins.attr("int"))];
  m.attr("_DEFAULT_DATA_DIR") = pathlib.attr("Path").attr("home")().attr("joinpath")(
      ".morvane", "backtest_data", "enviroment_data");
  morvane::service::load_imports(m);
  m.def("_today", &today, nb::sig("def _today() -> str"),
        "今天的本地日期 \"YYYYMMDD\"。\n\nReturns:\n    str: 例如 \"20240102\"。");
  morvane::pyglue::register_store_errors();
  morvane::service::define_service(m);
  morvane::service::define_folder_api(m);
  morvane::service::define_request_checks(m);
}
