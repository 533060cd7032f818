#include "common.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <optional>
#include <utility>

#include "imports.hpp"
#include "pyglue/args.hpp"
#include "pyglue/builtins.hpp"
#include "pyglue/frames.hpp"
#include "pyglue/labels.hpp"

using namespace nanobind::literals;

namespace morvane::service {

namespace {

const nb::object& service_module() { return imports().module; }

}  // namespace

void raise_morvane(const std::string& message) {
  const nb::object& error = imports().morvane_error;
  PyErr_SetString(error.ptr(), message.c_str());
  throw nb::python_error();
}

void raise_file_not_found(const std::string& message) {
  PyErr_SetString(PyExc_FileNotFoundError, message.c_str());
  throw nb::python_error();
}

nb::object default_data_dir() {
  return pyglue::imports().path(service_module().attr("_DEFAULT_DATA_DIR"));
}

namespace {

DataPaths split_path(const std::string& store, bool package) {
  const std::size_t slash = store.find_last_of('/');
  if (slash == std::string::npos || slash + 1 == store.size()) {
    raise_morvane("回测数据目录无效: " + store);
  }
  return DataPaths{store, slash == 0 ? std::string("/") : store.substr(0, slash),
                   store.substr(slash + 1), package};
}

std::string absolute_text(nb::handle dir) {
  return nb::cast<std::string>(imports().abspath(pyglue::imports().fspath(dir)));
}

}  // namespace

DataPaths data_paths() { return split_path(absolute_text(default_data_dir()), true); }

DataPaths data_paths_of(nb::handle dir) {
  const std::string store = absolute_text(dir);
  const nb::object& realpath = imports().realpath;
  const bool package =
      realpath(nb::str(store.c_str())).equal(realpath(nb::str(data_paths().store.c_str())));
  return split_path(store, package);
}

std::string today_text() {
  const nb::object today = service_module().attr("_today")();
  return pyglue::to_text(today, "_today()");
}

namespace {

// The rows of an ascending text index in [start, end], by two binary searches
// over the labels' bytes; nullopt when the labels are not ascending texts.
std::optional<std::pair<std::size_t, std::size_t>> text_rows_between(nb::handle index,
                                                                     nb::handle start,
                                                                     nb::handle end) {
  if (!PyUnicode_CheckExact(start.ptr()) || !PyUnicode_CheckExact(end.ptr())) return std::nullopt;
  const std::optional<pyglue::TextLabels> labels = pyglue::text_labels(index);
  if (!labels || !labels->ascending()) return std::nullopt;
  const std::string first = nb::cast<std::string>(start);
  const std::string last = nb::cast<std::string>(end);
  const auto& texts = labels->texts;
  const auto from = std::lower_bound(texts.begin(), texts.end(), std::string_view(first));
  const auto to = std::upper_bound(texts.begin(), texts.end(), std::string_view(last));
  const auto a = static_cast<std::size_t>(from - texts.begin());
  const auto b = std::max(a, static_cast<std::size_t>(to - texts.begin()));
  return std::pair{a, b};
}

}  // namespace

nb::object rows_between(nb::handle table, nb::handle start, nb::handle end) {
  const nb::object index = table.attr("index");
  nb::object cut;  // the positions of the rows, as a slice
  if (const auto rows = text_rows_between(index, start, end)) {
    // Every row: the table itself. Nothing downstream writes to it, and its
    // index keeps what pandas has cached about it (a lookup engine, order).
    if (rows->first == 0 && rows->second == nb::len(index)) return nb::borrow(table);
    cut = pyglue::py_slice(rows->first, rows->second);
  } else if (nb::cast<bool>(index.attr("is_monotonic_increasing"))) {
    const nb::object first = index.attr("searchsorted")(start, "side"_a = "left");
    const nb::object last = index.attr("searchsorted")(end, "side"_a = "right");
    cut = pyglue::slice_of(first, last);
  } else {
    const nb::object mask = pyglue::at_least(index, start) & pyglue::at_most(index, end);
    return table.attr("loc")[mask];
  }
  return table.attr("iloc")[cut];
}

bool has_metadata(nb::handle store) {
  return nb::cast<bool>(store.attr("metadata_path").attr("exists")());
}

nb::object index_of(nb::handle datasets, nb::handle key) {
  return pyglue::get_item(pyglue::get_item(datasets, key, nb::dict()), "index", nb::list());
}

nb::object open_store(nb::handle dir) {
  return imports().prepare.attr("BinaryPreparedDataStore")(dir);
}

}  // namespace morvane::service
