#include "prepared_store.hpp"

#include <nanobind/stl/string.h>

#include <string>
#include <vector>

#include "doc.hpp"
#include "imports.hpp"
#include "kernels/files.hpp"
#include "names.hpp"
#include "pyglue/args.hpp"
#include "pyglue/builtins.hpp"
#include "pyglue/classes.hpp"
#include "pyglue/dates.hpp"
#include "pyglue/imports.hpp"
#include "pyglue/params.hpp"

using namespace nanobind::literals;

namespace morvane::prepare {

namespace nb = nanobind;
namespace glue = morvane::pyglue;

namespace {

nb::object base_class() { return imports().store_base; }

void init(nb::handle self, nb::handle store_dir, nb::handle component_names) {
  base_class().attr("__init__")(self, store_dir, build_matrix_dtype(component_names),
                                kPreparedDataVersion, kFloatStorageDtype);
}

nb::object load(nb::handle self, nb::handle start_date, nb::handle end_date, nb::handle keys,
                nb::handle mmap, nb::handle verify) {
  if (!keys.is_none() && !PyList_Check(keys.ptr())) {
    glue::raise_type_error("keys", "list[str] | None", keys);
  }
  nb::object wanted = nb::borrow(keys);
  // Without a metadata file the base load answers None.
  if (keys.is_none() && nb::cast<bool>(self.attr("metadata_path").attr("exists")())) {
    const nb::object metadata = self.attr("load_metadata")();
    nb::object datasets = pyglue::get_item(metadata, "datasets");
    if (!PyDict_Check(datasets.ptr())) datasets = nb::dict();
    nb::list present;
    for (nb::handle key : self.attr("matrix_dtype")) {
      if (pyglue::contains(datasets, key)) present.append(key);
    }
    wanted = present;
  } else if (keys.is_none()) {
    wanted = nb::list();
  }
  return base_class().attr("load")(self, "start_date"_a = start_date, "end_date"_a = end_date,
                                   "keys"_a = wanted, "mmap"_a = mmap, "verify"_a = verify);
}

// Releases the writer lock however the supplement ends.
class LockGuard {
 public:
  explicit LockGuard(nb::object lock) : lock_(std::move(lock)) {}
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;
  ~LockGuard() {
    try {
      lock_.attr("release")();
    } catch (const nb::python_error&) {
      // The lock dies with its descriptor anyway; nothing more to do.
    }
  }

 private:
  nb::object lock_;
};

nb::dict dict_entry(nb::handle mapping, const char* name) {
  nb::object entry = pyglue::get_item(mapping, name);
  if (!PyDict_Check(entry.ptr())) {
    entry = nb::dict();
    mapping[name] = entry;
  }
  return nb::borrow<nb::dict>(entry);
}

using Planned = std::vector<std::pair<nb::object, nb::object>>;  // name, dataset key

// The components to add (those the store lacks), each checked before the
// first file is written, so that a bad one leaves the directory as it was.
Planned plan_components(nb::handle self, nb::handle component_matrices, const nb::list& names,
                        const nb::dict& datasets) {
  const nb::object& key_of = imports().component_dataset_key;
  Planned planned;
  nb::set planned_keys;
  for (nb::handle name : names) {
    const nb::object key = key_of(name);
    if (datasets.contains(key) || planned_keys.contains(key)) continue;
    const nb::object matrix = pyglue::get_item(component_matrices, name);
    if (matrix.is_none() ||
        (PyObject_HasAttrString(matrix.ptr(), "empty") && nb::len(matrix) == 0)) {
      glue::raise_value_error("缺失成分股矩阵为空，无法补充: " +
                              nb::cast<std::string>(nb::str(name)));
    }
    self.attr("_check_matrix")(key, matrix, kFloatStorageDtype);
    planned_keys.add(key);
    planned.emplace_back(nb::borrow(name), key);
  }
  return planned;
}

// Writes the planned components' files and describes them in `datasets`;
// a failure removes the files already written. The names written.
nb::list write_components(nb::handle store_dir, nb::handle self, nb::handle component_matrices,
                          const Planned& planned, nb::dict& datasets) {
  nb::list written;
  std::vector<nb::object> files;
  try {
    for (const auto& [name, key] : planned) {
      const nb::object description = self.attr("_write_matrix")(
          store_dir, key, pyglue::get_item(component_matrices, name), kFloatStorageDtype);
      files.push_back(description["file"]);
      datasets[key] = description;
      written.append(name);
    }
  } catch (...) {
    for (const nb::object& file : files) {
      try {
        kernels::remove_file(
            nb::cast<std::string>(pyglue::imports().fspath(pyglue::divide(store_dir, file))));
      } catch (const std::exception&) {
        // Left for the next writer's clean-up of unreferenced files.
      }
    }
    throw;
  }
  return written;
}

// The metadata's component list (stored names, then the new ones, each once)
// and its dataset keys, stamped with the time of the supplement.
void record_components(const nb::object& metadata, const nb::list& names) {
  const nb::dict meta = dict_entry(metadata, "meta");
  nb::list merged;
  nb::set seen;
  nb::list combined = parse_name_list(pyglue::get_item(meta, "component_names"));
  for (nb::handle name : names) combined.append(name);
  for (nb::handle name : parse_name_list(combined)) {
    if (seen.contains(name)) continue;
    seen.add(name);
    merged.append(name);
  }
  meta["component_names"] = merged;
  const nb::object old_keys = pyglue::get_item(meta, "component_dataset_keys");
  nb::dict key_map = PyDict_Check(old_keys.ptr()) ? pyglue::dict_of(old_keys) : nb::dict();
  for (nb::handle name : merged) key_map[name] = imports().component_dataset_key(name);
  meta["component_dataset_keys"] = key_map;
  const nb::object now = pyglue::now_text();
  metadata["updated_at"] = now;
  meta["updated_at"] = now;
  meta["component_supplemented_at"] = now;
}

nb::list add_component_matrices(nb::handle self, nb::handle component_matrices,
                                nb::handle component_names) {
  if (!nb::isinstance(component_matrices, imports().mapping)) {
    glue::raise_type_error("component_matrices", "dict[str, pandas.DataFrame]", component_matrices);
  }
  if (!PyList_Check(component_names.ptr())) {
    glue::raise_type_error("component_names", "list[str]", component_names);
  }
  const nb::list names = parse_name_list(component_names);
  const LockGuard guard(self.attr("_writer_lock")());
  const nb::object metadata = self.attr("load_metadata")();
  nb::dict datasets = dict_entry(metadata, "datasets");
  const Planned planned = plan_components(self, component_matrices, names, datasets);
  if (planned.empty()) return nb::list();
  const nb::object store_dir = self.attr("store_dir");
  const nb::list written = write_components(store_dir, self, component_matrices, planned, datasets);
  record_components(metadata, names);
  // Atomic: a crash leaves the old metadata file or the new one, never a
  // truncated one.
  self.attr("_write_metadata")(metadata);
  self.attr("_write_manifest")(store_dir, metadata);
  return written;
}

}  // namespace

void define_prepared_store(nb::module_& m) {
  const nb::object cls = glue::make_python_class(m, "BinaryPreparedDataStore",
                                                 nb::make_tuple(base_class()), doc::kPreparedStore);
  glue::method(cls, &init, "__init__", "store_dir"_a, "component_names"_a.none() = nb::none(),
               nb::sig("def __init__(self, store_dir: str | os.PathLike[str], "
                       "component_names: list[str] | None = None) -> None"),
               doc::kPreparedStoreInit);
  glue::method<doc::kPreparedLoadParams>(m, cls, "load", &load, doc::kPreparedLoad);
  glue::method(cls, &add_component_matrices, "add_component_matrices", "component_matrices"_a,
               "component_names"_a,
               nb::sig("def add_component_matrices(self, component_matrices: "
                       "dict[str, pandas.DataFrame], component_names: list[str]) -> list[str]"),
               doc::kAddComponentMatrices);
}

}  // namespace morvane::prepare
