// morvane.backtest._store: the prepared-data store and its date and matrix
// helpers.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <optional>
#include <string>

#include "clean_matrix.hpp"
#include "doc.hpp"
#include "imports.hpp"
#include "kernels/dates.hpp"
#include "kernels/keys.hpp"
#include "metadata.hpp"
#include "pyglue/args.hpp"
#include "pyglue/dates.hpp"
#include "pyglue/store_errors.hpp"
#include "store_base.hpp"

namespace nb = nanobind;
using namespace nb::literals;
namespace glue = morvane::pyglue;

namespace {

nb::object normalize_yyyymmdd(nb::handle value) {
  if (value.is_none()) return nb::none();
  const std::int32_t date = glue::date_number(value, glue::FloatDates::kReject);
  return nb::str(morvane::kernels::format_date_number(date).c_str());
}

std::string component_dataset_key(nb::handle name) {
  const std::string name_text = glue::to_text(name, "name");
  return "component__" + morvane::kernels::dataset_key_fragment(name_text);
}

}  // namespace

NB_MODULE(_store, m) {
  m.doc() = morvane::doc::kStoreModule;
  m.def("normalize_yyyymmdd", &normalize_yyyymmdd, "value"_a.none(),
        nb::sig("def normalize_yyyymmdd(value: object) -> str | None"),
        morvane::doc::kNormalizeYyyymmdd);
  m.def("component_dataset_key", &component_dataset_key, "name"_a,
        nb::sig("def component_dataset_key(name: str) -> str"), morvane::doc::kComponentDatasetKey);
  m.def("clean_matrix", &morvane::store::clean_matrix, "table"_a.none(), "copy"_a = true,
        nb::kw_only(), "name"_a = "table",
        nb::sig("def clean_matrix(table: pandas.DataFrame, copy: bool = True, *, name: str = "
                "'table') -> pandas.DataFrame"),
        morvane::doc::kCleanMatrix);
  m.attr("_MetadataUnpickler") = morvane::store::make_restricted_unpickler();
  morvane::store::load_imports(m);
  morvane::pyglue::register_store_errors();
  morvane::store::define_store_base(m);
}
