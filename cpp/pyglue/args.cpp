#include "args.hpp"

#include <Python.h>
#include <nanobind/stl/string.h>

#include <cmath>
#include <utility>

#include "imports.hpp"

namespace morvane::pyglue {

namespace {

bool is_text_like(PyObject* object) {
  return PyUnicode_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object);
}

// A number in the sense of the argument rules: anything int() or float()
// accepts by value (bool, int, float, numpy scalars), but not text.
bool is_number(PyObject* object) {
  return !is_text_like(object) && object != Py_None && PyNumber_Check(object) &&
         !PySequence_Check(object);
}

}  // namespace

std::string python_type_name(nb::handle value) {
  PyTypeObject* type = Py_TYPE(value.ptr());
  const nb::handle type_handle(reinterpret_cast<PyObject*>(type));
  const std::string qualname = nb::cast<std::string>(type_handle.attr("__qualname__"));
  const std::string module = nb::cast<std::string>(type_handle.attr("__module__"));
  if (module == "builtins") return qualname;
  // pandas reports its classes under private modules; show the public name.
  const std::string root = module.substr(0, module.find('.'));
  if (root == "pandas" || root == "numpy") return root + "." + qualname;
  return module + "." + qualname;
}

void raise_type_error(const char* name, const char* expected, nb::handle value) {
  const std::string message = std::string("参数 ") + name + " 类型错误: 期望 " + expected +
                              ", 收到 " + python_type_name(value);
  throw nb::type_error(message.c_str());
}

void raise_value_error(const std::string& message) { throw nb::value_error(message.c_str()); }

std::int64_t to_int(nb::handle value, const char* name) {
  if (PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr())) {
    const long long converted = PyLong_AsLongLong(value.ptr());
    if (converted == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      raise_value_error(std::string("参数 ") + name + " 超出整数范围");
    }
    return converted;
  }
  if (!is_number(value.ptr())) raise_type_error(name, "int", value);
  nb::object as_int = nb::steal(PyNumber_Long(value.ptr()));
  if (!as_int.is_valid()) {
    // int() refuses NaN and infinities with ValueError/OverflowError.
    PyErr_Clear();
    raise_value_error(std::string("参数 ") + name +
                      " 无法转换为整数: " + nb::cast<std::string>(nb::repr(value)));
  }
  return to_int(as_int, name);
}

double to_float(nb::handle value, const char* name) {
  if (PyFloat_Check(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
  if (!is_number(value.ptr())) raise_type_error(name, "float", value);
  const double converted = PyFloat_AsDouble(value.ptr());
  if (converted == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    raise_value_error(std::string("参数 ") + name +
                      " 无法转换为浮点数: " + nb::cast<std::string>(nb::repr(value)));
  }
  return converted;
}

std::optional<std::string> utf8_of(nb::handle text) {
  Py_ssize_t size = 0;
  const char* const data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (data == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(data, static_cast<std::size_t>(size));
}

namespace {

// The UTF-8 of a text; one without (see utf8_of) is a ValueError naming `name`.
std::string utf8_text(nb::handle value, const char* name) {
  std::optional<std::string> text = utf8_of(value);
  if (!text) {
    raise_value_error(
        std::string("参数 ") + name +
        " 不是有效的文本 (含无法编码为 UTF-8 的字符): " + nb::cast<std::string>(nb::repr(value)));
  }
  return std::move(*text);
}

}  // namespace

std::string to_text(nb::handle value, const char* name) {
  if (!PyUnicode_Check(value.ptr())) raise_type_error(name, "str", value);
  return utf8_text(value, name);
}

std::optional<std::string> to_optional_text(nb::handle value, const char* name) {
  if (value.is_none()) return std::nullopt;
  if (!PyUnicode_Check(value.ptr())) raise_type_error(name, "str | None", value);
  return utf8_text(value, name);
}

nb::handle require_dataframe(nb::handle value, const char* name) {
  if (!nb::isinstance(value, imports().data_frame))
    raise_type_error(name, "pandas.DataFrame", value);
  return value;
}

nb::handle require_dict(nb::handle value, const char* name, bool allow_none) {
  if (allow_none && value.is_none()) return value;
  if (!PyDict_Check(value.ptr()))
    raise_type_error(name, allow_none ? "dict | None" : "dict", value);
  return value;
}

}  // namespace morvane::pyglue
