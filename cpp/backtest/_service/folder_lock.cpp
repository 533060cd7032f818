#include "folder_lock.hpp"

#include <nanobind/nanobind.h>

#include "pyglue/log.hpp"

namespace morvane::service {

namespace nb = nanobind;

FolderLock::FolderLock(const std::string& path, kernels::LockMode mode) : lock_(path) {
  if (lock_.try_lock(mode)) return;
  pyglue::log_message("info", "回测数据正被另一个准备或加载过程使用, 等待锁 %s ...",
                      nb::str(path.c_str()));
  while (true) {
    bool locked = false;
    {
      const nb::gil_scoped_release released;
      locked = lock_.wait_lock(mode);
    }
    if (locked) return;
    if (PyErr_CheckSignals() != 0) throw nb::python_error();
  }
}

}  // namespace morvane::service
