#include "store_errors.hpp"

#include <nanobind/nanobind.h>

#include <cerrno>
#include <string>

#include "kernels/store_errors.hpp"

namespace morvane::pyglue {

namespace nb = nanobind;

namespace {

nb::object exception_type(const char* name) {
  return nb::module_::import_("morvane.exceptions").attr(name);
}

void set_morvane_error(const char* message) {
  PyErr_SetString(exception_type("MorvaneError").ptr(), message);
}

// What the user does about a failed system call, when the errno tells.
std::string remedy_of(int error_number) {
  switch (error_number) {
    case ENOSPC:
    case EDQUOT:
      return "; 磁盘空间不足, 请释放空间后重试";
    case EACCES:
    case EPERM:
    case EROFS:
      return "; 请检查该文件与所在目录的权限";
    default:
      return "";
  }
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
      // Both a MorvaneError (a store failure) and an OSError (errno and file
      // name kept), so that either kind of handler sees it.
      const std::string message = e.what() + remedy_of(e.error_number());
      const nb::object type =
          exception_type(e.error_number() == ENOENT ? "DataFileNotFoundError" : "DataFileError");
      const nb::object value =
          type(e.error_number(), nb::str(message.c_str()), nb::str(e.path().c_str()));
      PyErr_SetObject(type.ptr(), value.ptr());
    }
  });
}

}  // namespace morvane::pyglue
