// morvane.backtest._prepare: the prepared backtest data (payload layout,
// constants, name and date helpers, the binary prepared-data store).
#include <nanobind/nanobind.h>

#include "builder.hpp"
#include "doc.hpp"
#include "imports.hpp"
#include "names.hpp"
#include "prepared_store.hpp"
#include "pyglue/store_errors.hpp"
#include "window.hpp"

namespace nb = nanobind;
using namespace nb::literals;
namespace prep = morvane::prepare;

NB_MODULE(_prepare, m) {
  m.doc() = morvane::doc::kPrepareModule;
  // The objects the module's functions call, then the module's own imports
  // in their documented order.
  prep::load_imports(m);
  const prep::Imports& imports = prep::imports();
  const morvane::pyglue::Imports& common = morvane::pyglue::imports();
  const nb::object union_type = nb::module_::import_("typing").attr("Union");
  m.attr("pickle") = nb::module_::import_("pickle");
  m.attr("Path") = common.path;
  m.attr("Union") = union_type;
  m.attr("np") = common.np;
  m.attr("pd") = common.pd;
  m.attr("NetworkError") = imports.network_error;
  m.attr("get_instance") = imports.singleton.attr("get_instance");
  for (const char* name : {"BinaryPreparedDataStoreBase", "clean_matrix", "component_dataset_key",
                           "normalize_yyyymmdd"}) {
    m.attr(name) = imports.store.attr(name);
  }

  m.attr("PathLike") = union_type[nb::make_tuple(
      nb::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type)), common.path)];
  prep::define_constants(m);
  morvane::pyglue::register_store_errors();

  m.def("parse_name_list", &prep::parse_name_list, "raw_values"_a.none(),
        nb::sig("def parse_name_list(raw_values: object) -> list[str]"),
        morvane::doc::kParseNameList);
  m.def("get_component_factor_names", &prep::get_component_factor_names,
        nb::sig("def get_component_factor_names() -> list[str]"),
        morvane::doc::kGetComponentFactorNames);
  m.def(
      "build_matrix_dtype", &prep::build_matrix_dtype, "component_names"_a.none() = nb::none(),
      nb::sig("def build_matrix_dtype(component_names: list[str] | None = None) -> dict[str, str]"),
      morvane::doc::kBuildMatrixDtype);
  m.def("series_to_yyyymmdd", &prep::series_to_yyyymmdd, "values"_a,
        nb::sig("def series_to_yyyymmdd(values: object) -> pandas.Series"),
        morvane::doc::kSeriesToYyyymmdd);
  prep::define_builder(m);
  prep::define_prepared_store(m);
  prep::define_window(m);
}
