#include "classes.hpp"

namespace morvane::pyglue {

nb::object make_python_class(const nb::module_& m, const char* name, nb::handle bases,
                             const char* doc) {
  nb::dict namespace_;
  namespace_["__doc__"] = doc;
  namespace_["__module__"] = m.attr("__name__");
  nb::object cls = nb::module_::import_("builtins").attr("type")(name, bases, namespace_);
  m.attr(name) = cls;
  return cls;
}

nb::object make_record_class(const nb::module_& m, const char* name, nb::handle fields,
                             nb::handle namespace_) {
  nb::object cls = nb::module_::import_("dataclasses")
                       .attr("make_dataclass")(name, fields, nb::arg("namespace") = namespace_);
  cls.attr("__module__") = m.attr("__name__");
  cls.attr("__qualname__") = name;
  m.attr(name) = cls;
  return cls;
}

}  // namespace morvane::pyglue
