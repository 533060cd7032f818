#include "imports.hpp"

#include "pyglue/loaded_once.hpp"

namespace morvane::store {

namespace {

nb::object import_attr(const char* module, const char* name) {
  return nb::module_::import_(module).attr(name);
}

Imports import_all(nb::handle module) {
  const nb::module_ os = nb::module_::import_("os");
  const nb::module_ pd = nb::module_::import_("pandas");
  const nb::module_ np = nb::module_::import_("numpy");
  const nb::module_ pickle = nb::module_::import_("pickle");
  return {.sys_modules = import_attr("sys", "modules"),
          .path_type = import_attr("pathlib", "Path"),
          .repr = import_attr("builtins", "repr"),
          .path_like = os.attr("PathLike"),
          .fspath = os.attr("fspath"),
          .realpath = os.attr("path").attr("realpath"),
          .metadata_unpickler = module.attr("_MetadataUnpickler"),
          .pickle = pickle,
          .unpickling_error = pickle.attr("UnpicklingError"),
          .bytes_io = import_attr("io", "BytesIO"),
          .json_dumps = import_attr("json", "dumps"),
          .mapping = import_attr("collections.abc", "Mapping"),
          .bool_dtype = np.attr("dtype")("bool"),
          .take = np.attr("take"),
          .index = pd.attr("Index"),
          .data_frame = pd.attr("DataFrame"),
          .series = pd.attr("Series"),
          .timestamp = pd.attr("Timestamp")};
}

}  // namespace

void load_imports(nb::handle module) {
  pyglue::LoadedOnce<Imports>::load([&] { return import_all(module); });
}

const Imports& imports() { return pyglue::LoadedOnce<Imports>::get(); }

}  // namespace morvane::store
