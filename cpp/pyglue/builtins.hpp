// Python's built-in operations on containers, made from the modules' C++
// through the C API instead of looked-up methods: dict(mapping),
// list(iterable), set(iterable), slice(start, stop), `/`, `>=`, `<=`, text `+`,
// join, split, replace and strip,
// `key in container` and mapping.get(key, default). A failure raises the Python error the call set
// (nb::python_error).
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace morvane::pyglue {

namespace nb = nanobind;

// A new reference returned by the C API, or the error it raised.
[[nodiscard]] inline nb::object owned(PyObject* result) {
  if (result == nullptr) throw nb::python_error();
  return nb::steal(result);
}

[[nodiscard]] inline nb::dict dict_of(nb::handle mapping) {
  return nb::borrow<nb::dict>(
      owned(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), mapping.ptr())));
}

[[nodiscard]] inline nb::list list_of(nb::handle iterable) {
  return nb::borrow<nb::list>(owned(PySequence_List(iterable.ptr())));
}

[[nodiscard]] inline nb::set set_of(nb::handle iterable) {
  return nb::borrow<nb::set>(owned(PySet_New(iterable.ptr())));
}

[[nodiscard]] inline nb::object slice_of(nb::handle start, nb::handle stop) {
  return owned(PySlice_New(start.ptr(), stop.ptr(), nullptr));
}

// `left / right`, as Python's operator (a pathlib path and a name).
[[nodiscard]] inline nb::object divide(nb::handle left, nb::handle right) {
  return owned(PyNumber_TrueDivide(left.ptr(), right.ptr()));
}

// `left >= right` and `left <= right` as Python evaluates them: on a pandas
// Index, one flag per label (nanobind's comparisons give one bool).
[[nodiscard]] inline nb::object at_least(nb::handle left, nb::handle right) {
  return owned(PyObject_RichCompare(left.ptr(), right.ptr(), Py_GE));
}

[[nodiscard]] inline nb::object at_most(nb::handle left, nb::handle right) {
  return owned(PyObject_RichCompare(left.ptr(), right.ptr(), Py_LE));
}

// `separator.join(texts)`.
[[nodiscard]] inline nb::str join_texts(const char* separator, nb::handle texts) {
  return nb::borrow<nb::str>(owned(PyUnicode_Join(nb::str(separator).ptr(), texts.ptr())));
}

// `text.split(separator)`, every piece.
[[nodiscard]] inline nb::list split_text(nb::handle text, const char* separator) {
  return nb::borrow<nb::list>(owned(PyUnicode_Split(text.ptr(), nb::str(separator).ptr(), -1)));
}

// `text.replace(old, new)`, every occurrence.
[[nodiscard]] inline nb::str replace_text(nb::handle text, const char* old, const char* new_text) {
  return nb::borrow<nb::str>(
      owned(PyUnicode_Replace(text.ptr(), nb::str(old).ptr(), nb::str(new_text).ptr(), -1)));
}

// `text.strip()`.
[[nodiscard]] inline nb::str strip_text(nb::handle text) {
  return nb::borrow<nb::str>(text.attr("strip")());
}

// `left + right` for two texts.
[[nodiscard]] inline nb::str concat(nb::handle left, nb::handle right) {
  return nb::borrow<nb::str>(owned(PyUnicode_Concat(left.ptr(), right.ptr())));
}

// `key in container`, as Python evaluates it (the container's __contains__).
[[nodiscard]] inline bool contains(nb::handle container, nb::handle key) {
  const int found = PySequence_Contains(container.ptr(), key.ptr());
  if (found < 0) throw nb::python_error();
  return found == 1;
}

[[nodiscard]] inline bool contains(nb::handle container, const char* key) {
  return contains(container, nb::str(key));
}

// mapping.get(key, fallback): a plain dict is read directly, any other
// mapping (a subclass may override get) through its own get.
[[nodiscard]] inline nb::object get_item(nb::handle mapping, nb::handle key,
                                         nb::handle fallback = nb::none()) {
  if (PyDict_CheckExact(mapping.ptr())) {
    PyObject* const value = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
    if (value != nullptr) return nb::borrow(value);
    if (PyErr_Occurred() != nullptr) throw nb::python_error();
    return nb::borrow(fallback);
  }
  return mapping.attr("get")(key, fallback);
}

[[nodiscard]] inline nb::object get_item(nb::handle mapping, const char* key,
                                         nb::handle fallback = nb::none()) {
  return get_item(mapping, nb::str(key), fallback);
}

[[nodiscard]] inline nb::object get_item(nb::handle mapping, const std::string& key,
                                         nb::handle fallback = nb::none()) {
  return get_item(mapping, nb::str(key.c_str(), key.size()), fallback);
}

}  // namespace morvane::pyglue
