#include "store_errors.hpp"

#include <nanobind/nanobind.h>

#include "kernels/store_errors.hpp"

namespace morvane::pyglue {

namespace nb = nanobind;

namespace {

void set_morvane_error(const char* message) {
  const nb::object error_type = nb::module_::import_("morvane.exceptions").attr("MorvaneError");
  PyErr_SetString(error_type.ptr(), message);
}

}  // namespace

void register_store_errors() {
  nb::register_exception_translator([](const std::exception_ptr& error, void*) {
    try {
      std::rethrow_exception(error);
    } catch (const kernels::FormatError& e) {
      set_morvane_error(e.what());
    } catch (const kernels::StoreStateError& e) {
      set_morvane_error(e.what());
    } catch (const kernels::IoError& e) {
      const nb::object arguments =
          nb::make_tuple(e.error_number(), nb::str(e.what()), nb::str(e.path().c_str()));
      PyErr_SetObject(PyExc_OSError, arguments.ptr());
    }
  });
}

}  // namespace morvane::pyglue
