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

}  // namespace morvane::pyglue
