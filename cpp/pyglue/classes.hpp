// Plain Python classes with native methods. The package's classes are built
// as ordinary `type(...)` objects so that another extension module (or a user)
// can subclass them like any Python class; their methods are nanobind
// functions bound into the class namespace.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

namespace morvane::pyglue {

namespace nb = nanobind;

// A new class `name` in module `m`, with the given bases and docstring.
[[nodiscard]] nb::object make_python_class(const nb::module_& m, const char* name, nb::handle bases,
                                           const char* doc);

// A dataclass `name` of module `m` (dataclasses.make_dataclass), found by
// pickling and repr through that module; `bases` (a tuple) when it extends
// another record.
[[nodiscard]] nb::object make_record_class(const nb::module_& m, const char* name,
                                           nb::handle fields, nb::handle namespace_,
                                           nb::handle bases = nb::handle());

// Binds `f` as the instance method `name` of `cls`.
template <class F, class... Extra>
void method(nb::handle cls, F&& f, const char* name, const Extra&... extra) {
  nb::cpp_function_def(std::forward<F>(f), nb::scope(cls), nb::name(name), nb::is_method(),
                       extra...);
}

// Binds `f` as the static method `name` of `cls`.
template <class F, class... Extra>
void static_method(nb::handle cls, F&& f, const char* name, const Extra&... extra) {
  const nb::object function = nb::cpp_function(std::forward<F>(f), nb::name(name), extra...);
  nb::setattr(cls, name, nb::steal(PyStaticMethod_New(function.ptr())));
}

}  // namespace morvane::pyglue
