// Loading the prepared data into memory, and cutting loaded data to a date
// range for one backtest.
#include <nanobind/stl/string.h>

#include "common.hpp"
#include "folder_lock.hpp"
#include "imports.hpp"
#include "install.hpp"
#include "kernels/files.hpp"
#include "pyglue/args.hpp"
#include "pyglue/builtins.hpp"
#include "service.hpp"

using namespace nanobind::literals;

namespace morvane::service {

namespace glue = morvane::pyglue;

nb::object load_backtest_data(nb::handle) {
  const DataPaths paths = data_paths();
  if (!kernels::path_exists(paths.root)) raise_file_not_found(kNotFoundMessage);
  recover_if_idle(paths);
  const nb::object store = open_store(default_data_dir());
  const FolderLock shared(paths.data_lock(), kernels::LockMode::kShared);
  if (!has_metadata(store)) {
    raise_file_not_found(kNotFoundMessage);
  }
  const nb::object payload =
      store.attr("load")("start_date"_a = nb::none(), "end_date"_a = nb::none(), "mmap"_a = false);
  // The store answers None when its metadata vanished between the check and
  // the read; that is the same state as no data at all.
  if (payload.is_none()) raise_file_not_found(kNotFoundMessage);
  const nb::object& record = imports().backtest_data;
  return record("data"_a = payload["data"]);
}

nb::dict slice_data(nb::handle data, nb::handle start_date, nb::handle end_date) {
  if (!PyDict_CheckExact(data.ptr())) glue::raise_type_error("data", "dict", data);
  if (!PyUnicode_CheckExact(start_date.ptr())) {
    glue::raise_type_error("start_date", "str", start_date);
  }
  if (!PyUnicode_CheckExact(end_date.ptr())) glue::raise_type_error("end_date", "str", end_date);
  const nb::object& frame_type = pyglue::imports().data_frame;
  // Loaded tables share one date index; their cuts share one as well, so
  // that aligning them to a run matches the dates once, not once per table.
  nb::object last_index;
  nb::object last_cut_index;
  nb::dict sliced;
  for (auto [key, value] : nb::borrow<nb::dict>(data)) {
    if (nb::str("benchmark_dict").equal(key)) {
      nb::dict benchmarks;
      for (auto [code, series] : pyglue::dict_of(value)) {
        benchmarks[code] = rows_between(series, start_date, end_date);
      }
      sliced[key] = benchmarks;
    } else if (nb::isinstance(value, frame_type)) {
      const nb::object cut = rows_between(value, start_date, end_date);
      if (!cut.is(value)) {
        const nb::object index = value.attr("index");
        if (last_index.is_valid() && last_index.is(index)) {
          cut.attr("index") = last_cut_index;  // the same rows of the same labels
        } else {
          last_index = index;
          last_cut_index = cut.attr("index");
        }
      }
      sliced[key] = cut;
    } else {
      sliced[key] = value;
    }
  }
  return sliced;
}

}  // namespace morvane::service
