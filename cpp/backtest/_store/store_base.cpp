#include "store_base.hpp"

#include <nanobind/stl/string.h>

#include <cerrno>
#include <optional>

#include "datasets.hpp"
#include "doc.hpp"
#include "imports.hpp"
#include "kernels/files.hpp"
#include "kernels/store_errors.hpp"
#include "metadata.hpp"
#include "payload.hpp"
#include "pyglue/args.hpp"
#include "pyglue/builtins.hpp"
#include "pyglue/classes.hpp"
#include "pyglue/dates.hpp"
#include "pyglue/params.hpp"
#include "repair.hpp"
#include "session.hpp"
#include "update_tail.hpp"

using namespace nanobind::literals;

namespace morvane::store {

namespace {

namespace k = morvane::kernels;
namespace glue = morvane::pyglue;

// The writer lock handed to Python (the component supplement holds it
// across several base calls).
class WriterLock {
 public:
  explicit WriterLock(const StorePaths& paths) { session_.emplace(paths); }
  void release() { session_.reset(); }
  [[nodiscard]] bool held() const { return session_.has_value(); }

 private:
  std::optional<WriterSession> session_;
};

void init(nb::handle self, nb::handle store_dir, nb::handle matrix_dtype, nb::handle version,
          nb::handle default_dtype) {
  const nb::object& path_type = pyglue::imports().path;
  const std::string dir = fspath(store_dir, "store_dir");
  glue::require_dict(matrix_dtype, "matrix_dtype", false);
  for (auto [key, dtype] : nb::borrow<nb::dict>(matrix_dtype)) {
    if (!PyUnicode_Check(key.ptr())) glue::raise_type_error("matrix_dtype 的键", "str", key);
    const std::string what = "matrix_dtype[" + nb::cast<std::string>(nb::repr(key)) + "]";
    (void)parse_dtype(dtype, what.c_str());
  }
  const std::int64_t version_number = glue::to_int(version, "version");
  const std::string default_text = glue::to_text(default_dtype, "default_dtype");
  (void)parse_dtype(default_dtype, "default_dtype");
  const nb::object root = path_type(nb::str(dir.c_str()));
  self.attr("store_dir") = root;
  self.attr("matrix_dtype") = dict_copy(matrix_dtype);
  self.attr("version") = version_number;
  self.attr("default_dtype") = default_text;
  self.attr("metadata_path") = pyglue::divide(root, nb::str(kMetadataName));
  self.attr("manifest_path") = pyglue::divide(root, nb::str(kManifestName));
}

nb::object repr(nb::handle self) {
  const std::string text =
      nb::cast<std::string>(pyglue::owned(PyType_GetName(Py_TYPE(self.ptr())))) + "(" +
      nb::cast<std::string>(nb::repr(nb::str(nb::handle(self.attr("store_dir"))))) + ")";
  return nb::str(text.c_str());
}

nb::object load_metadata(nb::handle self) {
  const StorePaths paths = paths_of(self);
  recover_for_read(paths);
  if (!k::path_exists(paths.metadata())) {
    const std::string message = "未找到预备数据的元信息文件: " + paths.metadata();
    const nb::object error = nb::handle(PyExc_FileNotFoundError)(ENOENT, nb::str(message.c_str()),
                                                                 nb::str(paths.metadata().c_str()));
    PyErr_SetObject(PyExc_FileNotFoundError, error.ptr());
    throw nb::python_error();
  }
  return read_metadata(paths.metadata());
}

std::optional<std::int32_t> optional_date(nb::handle value) {
  if (value.is_none()) return std::nullopt;
  return glue::date_number(value, glue::FloatDates::kReject);
}

nb::object mapping_entry(nb::handle metadata, const char* name, const std::string& path) {
  nb::object entry = pyglue::get_item(metadata, name);
  if (entry.is_none()) return nb::dict();
  if (!PyDict_Check(entry.ptr())) {
    throw k::FormatError(std::string("元信息的 \"") + name + "\" 不是映射: " + path);
  }
  return entry;
}

nb::object load_checked(nb::handle self, const StorePaths& paths, std::optional<std::int32_t> start,
                        std::optional<std::int32_t> end, nb::handle keys, bool mmap, bool verify) {
  recover_for_read(paths);
  if (!k::path_exists(paths.metadata())) return nb::none();
  const nb::object metadata = read_metadata(paths.metadata());
  const nb::object version = pyglue::get_item(metadata, "version");
  if (!PyLong_CheckExact(version.ptr()) || nb::cast<std::int64_t>(version) != store_version(self)) {
    throw k::FormatError("元信息的版本 " + nb::cast<std::string>(nb::repr(version)) +
                         " 与本存储的版本 " + std::to_string(store_version(self)) +
                         " 不符: " + paths.metadata());
  }
  const nb::object datasets = mapping_entry(metadata, "datasets", paths.metadata());
  const nb::object benchmarks = mapping_entry(metadata, "benchmarks", paths.metadata());

  nb::list wanted;
  if (keys.is_none()) {
    nb::set benchmark_keys;
    for (auto [code, key] : nb::borrow<nb::dict>(benchmarks)) benchmark_keys.add(key);
    for (nb::handle key : nb::borrow<nb::dict>(datasets).keys()) {
      if (!benchmark_keys.contains(key)) wanted.append(key);
    }
  } else {
    for (nb::handle key : keys) {
      if (!PyUnicode_Check(key.ptr())) glue::raise_type_error("keys 的元素", "str", key);
      if (!pyglue::contains(datasets, key)) {
        const std::string message = "预备数据中没有数据集 " + nb::cast<std::string>(nb::repr(key));
        PyErr_SetObject(PyExc_KeyError, nb::str(message.c_str()).ptr());
        throw nb::python_error();
      }
      wanted.append(key);
    }
  }

  TableLoader loader(paths.dir, mmap, verify, start, end);
  nb::dict data;
  for (nb::handle key : wanted) {
    const std::string name = nb::cast<std::string>(key);
    data[key] = loader.frame(read_description(datasets[key], name, paths.metadata()));
  }
  nb::dict benchmark_dict;
  for (auto [code, key] : nb::borrow<nb::dict>(benchmarks)) {
    if (!PyUnicode_Check(key.ptr()) || !pyglue::contains(datasets, key)) {
      throw k::FormatError("元信息中基准 " + nb::cast<std::string>(nb::repr(code)) +
                           " 指向不存在的数据集: " + paths.metadata());
    }
    benchmark_dict[code] = loader.series(
        read_description(datasets[key], nb::cast<std::string>(key), paths.metadata()));
  }
  data["benchmark_dict"] = benchmark_dict;
  nb::dict payload;
  payload["version"] = version;
  const nb::object meta = pyglue::get_item(metadata, "meta");
  payload["meta"] = PyDict_Check(meta.ptr()) ? dict_copy(meta) : nb::dict();
  payload["data"] = data;
  return payload;
}

nb::object load(nb::handle self, nb::handle start_date, nb::handle end_date, nb::handle keys,
                nb::handle mmap, nb::handle verify) {
  const std::optional<std::int32_t> start = optional_date(start_date);
  const std::optional<std::int32_t> end = optional_date(end_date);
  if (!keys.is_none() && !PyList_Check(keys.ptr())) {
    glue::raise_type_error("keys", "list[str] | None", keys);
  }
  if (!PyBool_Check(mmap.ptr())) glue::raise_type_error("mmap", "bool", mmap);
  if (!PyBool_Check(verify.ptr())) glue::raise_type_error("verify", "bool", verify);
  const StorePaths paths = paths_of(self);
  const std::string hint = repair_hint(paths.dir);
  return with_repair_hint(hint, [&] {
    return load_checked(self, paths, start, end, keys, nb::cast<bool>(mmap),
                        nb::cast<bool>(verify));
  });
}

// Every dataset file the metadata names, checked whole: size, header,
// checksums against the metadata and every stored row. One text per file
// that is missing or damaged (or per description that is unusable); an
// empty list when all are whole.
nb::list damaged_datasets(nb::handle self) {
  const StorePaths paths = paths_of(self);
  recover_for_read(paths);
  const nb::object metadata = read_metadata(paths.metadata());
  const nb::object datasets = mapping_entry(metadata, "datasets", paths.metadata());
  nb::list damaged;
  for (auto [key, description] : nb::borrow<nb::dict>(datasets)) {
    const std::string name = nb::cast<std::string>(nb::str(key));
    try {
      const DatasetRef ref = read_description(description, name, paths.metadata());
      const nb::gil_scoped_release released;
      verify_dataset(paths.dir, ref);
    } catch (const k::FormatError& error) {
      damaged.append(nb::str(error.what()));
    } catch (const k::IoError& error) {
      damaged.append(nb::str(error.what()));
    }
  }
  return damaged;
}

void write(nb::handle self, nb::handle payload) {
  const StorePaths paths = paths_of(self);
  const std::int64_t version = store_version(self);
  const Payload given = read_store_payload(payload, self, version);
  k::make_directories(paths.dir);
  const WriterSession session(paths);
  DateLists lists;
  nb::dict datasets;
  nb::dict benchmarks;
  std::vector<std::string> files;
  // Files are synced together at the end, so that the disk writes back one
  // file while the next is composed.
  const auto store_table = [&](const Table& table) {
    const std::string file = new_data_file_name(table.key);
    k::MatrixHeader header;
    {
      const nb::gil_scoped_release released;
      header = write_table_file(paths.dir, file, table, false);
    }
    files.push_back(file);
    datasets[table.key.c_str()] = describe_dataset(file, header, lists.get(table.dates));
  };
  for (const Table& table : given.tables) store_table(table);
  for (const Benchmark& benchmark : given.benchmarks) {
    store_table(benchmark.series);
    benchmarks[benchmark.code.c_str()] = benchmark.series.key;
  }
  {
    const nb::gil_scoped_release released;
    std::vector<k::File> opened;
    for (const std::string& file : files)
      opened.push_back(k::File::open_read(paths.dir + "/" + file));
    std::vector<const k::File*> to_sync;
    for (const k::File& file : opened) to_sync.push_back(&file);
    k::sync_files(to_sync);
    k::sync_directory(paths.dir);
  }
  nb::dict metadata;
  metadata["version"] = version;
  metadata["datasets"] = datasets;
  metadata["benchmarks"] = benchmarks;
  metadata["meta"] = given.meta;
  commit_metadata(paths, metadata);
  remove_unreferenced_files(paths, metadata);
}

nb::object write_matrix(nb::handle, nb::handle store_dir, nb::handle key, nb::handle matrix,
                        nb::handle dtype) {
  const std::string dir = fspath(store_dir, "store_dir");
  const std::string name = glue::to_text(key, "key");
  const Table table = read_table(matrix, name, parse_dtype(dtype, "dtype"), name);
  const std::string file = new_data_file_name(name);
  k::MatrixHeader header;
  {
    const nb::gil_scoped_release released;
    header = write_table_file(dir, file, table);
    k::sync_directory(dir);
  }
  DateLists lists;
  return describe_dataset(file, header, lists.get(table.dates));
}

void check_matrix(nb::handle, nb::handle key, nb::handle matrix, nb::handle dtype) {
  const std::string name = glue::to_text(key, "key");
  (void)read_table(matrix, name, parse_dtype(dtype, "dtype"), name);
}

void write_manifest(nb::handle, nb::handle store_dir, nb::handle metadata) {
  const std::string dir = fspath(store_dir, "store_dir");
  glue::require_dict(metadata, "metadata", false);
  const std::string text = manifest_json(metadata);
  const nb::gil_scoped_release released;
  k::write_file_atomic(dir, kManifestName, text);
}

void write_metadata(nb::handle self, nb::handle metadata) {
  glue::require_dict(metadata, "metadata", false);
  const StorePaths paths = paths_of(self);
  const std::string pickled = pickle_metadata(metadata);
  const nb::gil_scoped_release released;
  k::write_file_atomic(paths.dir, kMetadataName, pickled);
}

bool tail(nb::handle self, nb::handle payload) { return update_tail(self, payload); }

WriterLock writer_lock(nb::handle self) { return WriterLock(paths_of(self)); }

}  // namespace

void define_store_base(nb::module_& m) {
  nb::class_<WriterLock>(m, "_WriterLock", doc::kWriterLock)
      .def("release", &WriterLock::release, "释放写入锁 (可重复调用)。")
      .def_prop_ro("held", &WriterLock::held, "是否仍持有写入锁。")
      .def("__enter__", [](nb::handle lock) { return nb::borrow(lock); })
      .def("__exit__", [](WriterLock& lock, nb::args) { lock.release(); });

  const nb::object cls = glue::make_python_class(
      m, "BinaryPreparedDataStoreBase",
      nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type))), doc::kStoreBase);

  glue::method(cls, &init, "__init__", "store_dir"_a, "matrix_dtype"_a, "version"_a,
               "default_dtype"_a,
               nb::sig("def __init__(self, store_dir: str | os.PathLike[str], "
                       "matrix_dtype: dict[str, str], version: int, default_dtype: str) -> None"),
               doc::kStoreInit);
  glue::method(cls, &repr, "__repr__", nb::sig("def __repr__(self) -> str"));
  glue::method(cls, &load_metadata, "load_metadata",
               nb::sig("def load_metadata(self) -> dict[str, typing.Any]"), doc::kLoadMetadata);
  glue::method<doc::kLoadParams>(m, cls, "load", &load, doc::kLoad);
  glue::method(cls, &damaged_datasets, "damaged_datasets",
               nb::sig("def damaged_datasets(self) -> list[str]"), doc::kDamagedDatasets);
  glue::method(cls, &write, "write", "payload"_a,
               nb::sig("def write(self, payload: dict[str, typing.Any]) -> None"), doc::kWrite);
  glue::method(cls, &tail, "update_tail", "payload"_a,
               nb::sig("def update_tail(self, payload: dict[str, typing.Any]) -> bool"),
               doc::kUpdateTail);
  glue::method(cls, &write_matrix, "_write_matrix", "store_dir"_a, "key"_a, "matrix"_a, "dtype"_a,
               nb::sig("def _write_matrix(self, store_dir: str | os.PathLike[str], key: str, "
                       "matrix: pandas.DataFrame, dtype: str) -> dict[str, typing.Any]"),
               doc::kWriteMatrix);
  glue::method(
      cls, &check_matrix, "_check_matrix", "key"_a, "matrix"_a, "dtype"_a,
      nb::sig("def _check_matrix(self, key: str, matrix: pandas.DataFrame, dtype: str) -> None"),
      doc::kCheckMatrix);
  glue::method(cls, &write_manifest, "_write_manifest", "store_dir"_a, "metadata"_a,
               nb::sig("def _write_manifest(self, store_dir: str | os.PathLike[str], "
                       "metadata: dict[str, typing.Any]) -> None"),
               doc::kWriteManifest);
  glue::method(cls, &write_metadata, "_write_metadata", "metadata"_a,
               nb::sig("def _write_metadata(self, metadata: dict[str, typing.Any]) -> None"),
               doc::kWriteMetadata);
  glue::method(cls, &writer_lock, "_writer_lock", nb::sig("def _writer_lock(self) -> _WriterLock"),
               doc::kWriterLockMethod);
}

}  // namespace morvane::store
