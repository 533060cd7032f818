#include "imports.hpp"

#include "loaded_once.hpp"

namespace morvane::pyglue {

namespace {

Imports import_all() {
  const nb::module_ np = nb::module_::import_("numpy");
  const nb::module_ pd = nb::module_::import_("pandas");
  const nb::module_ os = nb::module_::import_("os");
  const nb::module_ logger = nb::module_::import_("morvane.logger");
  return {
      .np = np,
      .nan = np.attr("nan"),
      .pd = pd,
      .data_frame = pd.attr("DataFrame"),
      .series = pd.attr("Series"),
      .index = pd.attr("Index"),
      .timestamp = pd.attr("Timestamp"),
      .nat = pd.attr("NaT"),
      .datetime_index = pd.attr("DatetimeIndex"),
      .arrow_dtype = pd.attr("ArrowDtype"),
      .string_dtype = pd.attr("StringDtype"),
      .invalid_index_error = pd.attr("errors").attr("InvalidIndexError"),
      .datetime64 = np.attr("datetime64"),
      .isna = pd.attr("isna"),
      .notna = pd.attr("notna"),
      .multi_index = pd.attr("MultiIndex"),
      .to_datetime = pd.attr("to_datetime"),
      .path = nb::module_::import_("pathlib").attr("Path"),
      .path_like = os.attr("PathLike"),
      .fspath = os.attr("fspath"),
      .date = nb::module_::import_("datetime").attr("date"),
      .range = nb::borrow(reinterpret_cast<PyObject*>(&PyRange_Type)),
      .logger = logger.attr("logger"),
      .warn_user = logger.attr("warn_user"),
  };
}

}  // namespace

const Imports& imports() { return LoadedOnce<Imports>::get_or_load(import_all); }

}  // namespace morvane::pyglue
