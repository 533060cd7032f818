#include "imports.hpp"

#include "pyglue/loaded_once.hpp"

namespace morvane::store {

namespace {

nb::object import_attr(const char* module, const char* name) {
  return nb::module_::import_(module).attr(name);
}

Imports import_all(nb::handle module) {
  const nb::object& np = pyglue::imports().np;
  const nb::module_ pickle = nb::module_::import_("pickle");
  return {.sys_modules = import_attr("sys", "modules"),
          .repr = import_attr("builtins", "repr"),
          .realpath = import_attr("os.path", "realpath"),
          .metadata_unpickler = module.attr("_MetadataUnpickler"),
          .pickle = pickle,
          .unpickling_error = pickle.attr("UnpicklingError"),
          .bytes_io = import_attr("io", "BytesIO"),
          .json_dumps = import_attr("json", "dumps"),
          .mapping = import_attr("collections.abc", "Mapping"),
          .bool_dtype = np.attr("dtype")("bool"),
          .take = np.attr("take")};
}

}  // namespace

void load_imports(nb::handle module) {
  pyglue::LoadedOnce<Imports>::load([&] { return import_all(module); });
}

}  // namespace morvane::store
