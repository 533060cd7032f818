#include "classes.hpp"

#include "builtins.hpp"

namespace morvane::pyglue {

namespace {

// The module's `__name__`, under which its classes are found.
nb::object module_name(const nb::module_& m) { return owned(PyModule_GetNameObject(m.ptr())); }

}  // namespace

nb::object make_python_class(const nb::module_& m, const char* name, nb::handle bases,
                             const char* doc) {
  nb::dict namespace_;
  namespace_["__doc__"] = doc;
  namespace_["__module__"] = module_name(m);
  nb::object cls = nb::borrow(reinterpret_cast<PyObject*>(&PyType_Type))(name, bases, namespace_);
  m.attr(name) = cls;
  return cls;
}

namespace {

nb::tuple field_values(nb::handle record, const nb::tuple& names) {
  nb::list values;
  for (nb::handle field : names) values.append(nb::getattr(record, field));
  return nb::tuple(values);
}

}  // namespace

nb::object make_record_class(const nb::module_& m, const char* name, nb::handle fields,
                             nb::handle namespace_, nb::handle bases) {
  const nb::module_ dataclasses = nb::module_::import_("dataclasses");
  nb::dict options;
  if (bases.is_valid()) options["bases"] = bases;
  options["namespace"] = namespace_;
  nb::object cls = dataclasses.attr("make_dataclass")(name, fields, **options);
  cls.attr("__module__") = module_name(m);
  cls.attr("__qualname__") = name;
  // The generated equality compared the tuples of fields up to Python 3.12
  // and compares field by field from 3.13 on, which loses the tuple's identity
  // shortcut: a record holding a table then cannot equal even a record of the
  // very same tables ("truth value of a Series is ambiguous"). The records
  // keep the tuple comparison on every interpreter.
  nb::list names;
  for (nb::handle field : dataclasses.attr("fields")(cls)) names.append(field.attr("name"));
  method(
      cls,
      [names = nb::tuple(names)](nb::handle self, nb::handle other) -> nb::object {
        if (!other.type().is(self.type())) return nb::borrow(Py_NotImplemented);
        return nb::bool_(field_values(self, names).equal(field_values(other, names)));
      },
      "__eq__", nb::arg("other"));
  m.attr(name) = cls;
  return cls;
}

}  // namespace morvane::pyglue
