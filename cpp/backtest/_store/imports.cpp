#include "imports.hpp"

namespace morvane::store {

namespace {

// Never freed: the objects would otherwise be released after the interpreter
// has gone, when the library unloads.
const Imports*& instance() {
  static const Imports* loaded = nullptr;
  return loaded;
}

nb::object import_attr(const char* module, const char* name) {
  return nb::module_::import_(module).attr(name);
}

}  // namespace

void load_imports(nb::handle module) {
  if (instance() != nullptr) return;
  const nb::module_ os = nb::module_::import_("os");
  const nb::module_ pd = nb::module_::import_("pandas");
  const nb::module_ np = nb::module_::import_("numpy");
  const nb::module_ pickle = nb::module_::import_("pickle");
  instance() = new Imports{
      .sys_modules = import_attr("sys", "modules"),
      .path_like = os.attr("PathLike"),
      .fspath = os.attr("fspath"),
      .realpath = os.attr("path").attr("realpath"),
      .path_type = import_attr("pathlib", "Path"),
      .pickle = pickle,
      .unpickling_error = pickle.attr("UnpicklingError"),
      .bytes_io = import_attr("io", "BytesIO"),
      .json_dumps = import_attr("json", "dumps"),
      .repr = import_attr("builtins", "repr"),
      .mapping = import_attr("collections.abc", "Mapping"),
      .bool_dtype = np.attr("dtype")("bool"),
      .take = np.attr("take"),
      .index = pd.attr("Index"),
      .data_frame = pd.attr("DataFrame"),
      .series = pd.attr("Series"),
      .timestamp = pd.attr("Timestamp"),
      .metadata_unpickler = module.attr("_MetadataUnpickler"),
  };
}

const Imports& imports() { return *instance(); }

}  // namespace morvane::store
