#include "metadata.hpp"

#include <nanobind/stl/string.h>

#include "kernels/files.hpp"
#include "kernels/store_errors.hpp"
#include "pyglue/args.hpp"

using namespace nanobind::literals;

namespace morvane::store {

namespace {

constexpr int kMaxDepth = 64;

[[noreturn]] void refuse_global(nb::handle module, nb::handle name) {
  const nb::object error = nb::module_::import_("pickle").attr("UnpicklingError");
  const std::string message = "元信息文件引用了对象 " + nb::cast<std::string>(nb::str(module)) +
                              "." + nb::cast<std::string>(nb::str(name)) + ", 已拒绝加载";
  PyErr_SetString(error.ptr(), message.c_str());
  throw nb::python_error();
}

bool is_plain_scalar(PyObject* value) {
  return value == Py_None || PyBool_Check(value) || PyLong_CheckExact(value) ||
         PyFloat_CheckExact(value) || PyUnicode_CheckExact(value);
}

// Empty when every value under `value` is plain, else where the first other
// one sits and its type.
std::string first_foreign_value(nb::handle value, const std::string& where, int depth) {
  PyObject* const object = value.ptr();
  if (is_plain_scalar(object)) return {};
  if (depth > kMaxDepth) return where + " (嵌套超过 " + std::to_string(kMaxDepth) + " 层)";
  if (PyDict_CheckExact(object)) {
    for (auto [key, item] : nb::borrow<nb::dict>(value)) {
      const std::string key_text = nb::cast<std::string>(nb::repr(key));
      std::string found = first_foreign_value(key, where + " 的键 " + key_text, depth + 1);
      if (found.empty()) found = first_foreign_value(item, where + "[" + key_text + "]", depth + 1);
      if (!found.empty()) return found;
    }
    return {};
  }
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(object);
    PyObject** const items = PySequence_Fast_ITEMS(object);
    for (Py_ssize_t i = 0; i < n; ++i) {
      std::string found = first_foreign_value(nb::handle(items[i]),
                                              where + "[" + std::to_string(i) + "]", depth + 1);
      if (!found.empty()) return found;
    }
    return {};
  }
  return where + " (类型 " + pyglue::python_type_name(value) + ")";
}

}  // namespace

nb::dict dict_copy(nb::handle mapping) {
  return nb::cast<nb::dict>(nb::module_::import_("builtins").attr("dict")(mapping));
}

nb::object make_restricted_unpickler() {
  const nb::object pickle = nb::module_::import_("pickle");
  const nb::object builtins = nb::module_::import_("builtins");
  nb::dict namespace_;
  namespace_["find_class"] =
      builtins.attr("staticmethod")(nb::cpp_function(&refuse_global, "module"_a, "name"_a));
  namespace_["__doc__"] =
      "只还原 dict、list、tuple、str、int、float、bool 与 None 的 pickle 读取器。";
  return builtins.attr("type")("_MetadataUnpickler", nb::make_tuple(pickle.attr("Unpickler")),
                               namespace_);
}

nb::object read_metadata(const std::string& path) {
  std::string bytes;
  {
    nb::gil_scoped_release released;
    bytes = kernels::read_whole_file(path);
  }
  const nb::object unpickler =
      nb::module_::import_("morvane.backtest._store").attr("_MetadataUnpickler");
  const nb::object stream =
      nb::module_::import_("io").attr("BytesIO")(nb::bytes(bytes.data(), bytes.size()));
  nb::object metadata;
  try {
    metadata = unpickler(stream).attr("load")();
  } catch (const nb::python_error& error) {
    throw kernels::FormatError("元信息文件无法读取 (" + std::string(error.what()) + "): " + path);
  }
  const std::string foreign = first_foreign_value(metadata, "元信息", 0);
  if (!foreign.empty()) {
    throw kernels::FormatError("元信息文件含不允许的值 " + foreign + ": " + path);
  }
  if (!PyDict_CheckExact(metadata.ptr())) {
    throw kernels::FormatError("元信息文件的内容不是映射: " + path);
  }
  return metadata;
}

void require_plain_values(nb::handle value, const std::string& where) {
  const std::string foreign = first_foreign_value(value, where, 0);
  if (!foreign.empty()) {
    const std::string message =
        "元信息只能保存 dict、list、tuple、str、int、float、bool 与 None, " + foreign + " 不能保存";
    throw nb::type_error(message.c_str());
  }
}

std::string pickle_metadata(nb::handle metadata) {
  require_plain_values(metadata, "metadata");
  const nb::object pickle = nb::module_::import_("pickle");
  const nb::bytes data = nb::cast<nb::bytes>(
      pickle.attr("dumps")(metadata, "protocol"_a = pickle.attr("HIGHEST_PROTOCOL")));
  return std::string(data.c_str(), data.size());
}

std::string manifest_json(nb::handle metadata) {
  nb::dict manifest;
  manifest["format"] = "morvane-prepared-data";
  manifest["format_version"] = 1;
  const nb::dict source = nb::borrow<nb::dict>(metadata);
  for (auto [key, value] : source) {
    if (!nb::str("datasets").equal(key) || !PyDict_Check(value.ptr())) {
      manifest[key] = value;
      continue;
    }
    nb::dict datasets;
    for (auto [name, description] : nb::borrow<nb::dict>(value)) {
      if (!PyDict_Check(description.ptr())) {
        datasets[name] = description;
        continue;
      }
      nb::dict entry;
      for (auto [field, item] : nb::borrow<nb::dict>(description)) {
        if (!nb::str("index").equal(field)) entry[field] = item;
      }
      const nb::object index = description.attr("get")("index");
      if (PyList_Check(index.ptr()) || PyTuple_Check(index.ptr())) {
        const std::size_t n = nb::len(index);
        entry["rows"] = n;
        entry["first_date"] = n > 0 ? nb::object(index[0]) : nb::none();
        entry["last_date"] = n > 0 ? nb::object(index[n - 1]) : nb::none();
      }
      datasets[name] = entry;
    }
    manifest[key] = datasets;
  }
  const nb::object text = nb::module_::import_("json").attr("dumps")(
      manifest, "ensure_ascii"_a = false, "indent"_a = 2,
      "default"_a = nb::module_::import_("builtins").attr("repr"));
  return nb::cast<std::string>(text);
}

}  // namespace morvane::store
