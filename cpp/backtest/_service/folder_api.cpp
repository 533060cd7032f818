// The folder locks and the recovery of an interrupted swap, offered to the
// command line and the sweeps: they open store folders of their own
// (--store) as well as the package's, and coordinate with the service and
// with each other through the same lock files.
#include <nanobind/stl/string.h>

#include <cerrno>
#include <optional>
#include <string>

#include "common.hpp"
#include "folder_lock.hpp"
#include "install.hpp"
#include "kernels/files.hpp"
#include "kernels/store_errors.hpp"
#include "pyglue/args.hpp"
#include "service.hpp"

using namespace nanobind::literals;

namespace morvane::service {

namespace {

namespace k = morvane::kernels;

constexpr const char* kFolderLockDoc = R"(预备数据目录的锁, 与服务共用同一组锁文件。

kind 为 "prepare" 时独占准备锁 (整个准备过程持有), 并先恢复被中断的替换留下的备份、删去残留的
暂存目录; "read" 时共享数据锁 (加载时持有, 目录所在位置不可写时不加锁); "write" 时独占数据锁
(替换目录或改写末尾行时持有)。等待时释放 GIL, Ctrl-C 可中断。用作上下文管理器。

Args:
    store_dir (str | os.PathLike): 预备数据目录, 例如 "/data/prepared"。
    kind (str): "prepare"、"read" 或 "write"。

Raises:
    ValueError: kind 不是这三者之一。
    DataFileError: 锁文件无法创建。
)";

constexpr const char* kRecoverDoc = R"(打开预备数据目录之前的恢复。

上一次替换目录在两次改名之间被中断时, 把备份放回原处 (目录缺失时) 或删去 (替换已完成时),
并删去残留的暂存目录。另一个准备过程正持有准备锁时什么也不做, 由它处理。

Args:
    store_dir (str | os.PathLike): 预备数据目录。

Returns:
    None: 无返回值。
)";

class StoreFolderLock {
 public:
  StoreFolderLock(nb::handle store_dir, const std::string& kind) {
    const DataPaths paths = data_paths_of(store_dir);
    if (kind == "prepare") {
      k::make_directories(paths.root);
      lock_.emplace(paths.prepare_lock(), k::LockMode::kExclusive);
      recover_interrupted_install(paths);
    } else if (kind == "write") {
      k::make_directories(paths.root);
      lock_.emplace(paths.data_lock(), k::LockMode::kExclusive);
    } else if (kind == "read") {
      if (!k::path_exists(paths.root)) return;  // no folder, no writer to exclude
      try {
        lock_.emplace(paths.data_lock(), k::LockMode::kShared);
      } catch (const k::IoError& error) {
        // A folder where no lock file can be made is one nobody can swap
        // without the same rights; it is read without the lock.
        const int code = error.error_number();
        if (code != EACCES && code != EPERM && code != EROFS) throw;
      }
    } else {
      pyglue::raise_value_error("kind 应为 \"prepare\"、\"read\" 或 \"write\", 收到 \"" + kind +
                                "\"");
    }
  }

  void release() { lock_.reset(); }

 private:
  std::optional<FolderLock> lock_;
};

void recover_store_folder(nb::handle store_dir) {
  const DataPaths paths = data_paths_of(store_dir);
  if (k::path_exists(paths.root)) recover_if_idle(paths);
}

}  // namespace

void define_folder_api(nb::module_& m) {
  nb::class_<StoreFolderLock>(m, "_StoreFolderLock", kFolderLockDoc)
      .def(nb::init<nb::handle, const std::string&>(), "store_dir"_a, "kind"_a,
           nb::sig("def __init__(self, store_dir: str | os.PathLike[str], kind: str) -> None"))
      .def("release", &StoreFolderLock::release, "释放锁 (可重复调用)。")
      .def("__enter__", [](nb::handle lock) { return nb::borrow(lock); })
      .def("__exit__", [](StoreFolderLock& lock, nb::args) { lock.release(); });
  m.def("_recover_store_folder", &recover_store_folder, "store_dir"_a,
        nb::sig("def _recover_store_folder(store_dir: str | os.PathLike[str]) -> None"),
        kRecoverDoc);
}

}  // namespace morvane::service
