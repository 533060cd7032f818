// Preparation: make sure the prepared-data folder exists, is complete and
// reaches today, downloading the reference package when it must.
#include <nanobind/stl/string.h>

#include <algorithm>
#include <string>

#include "common.hpp"
#include "folder_lock.hpp"
#include "imports.hpp"
#include "install.hpp"
#include "kernels/files.hpp"
#include "pyglue/builtins.hpp"
#include "pyglue/log.hpp"
#include "service.hpp"

using namespace nanobind::literals;

namespace morvane::service {

namespace {

namespace k = morvane::kernels;

bool truthy(nb::handle value) { return nb::cast<bool>(nb::bool_(value)); }

// Whether `_validate_metadata` accepts the store; other errors pass through.
bool passes_validation(nb::handle service, nb::handle store) {
  try {
    service.attr("_validate_metadata")(store);
  } catch (const nb::python_error& error) {
    if (!error.matches(imports().morvane_error)) throw;
    return false;
  }
  return true;
}

nb::object describe_package(nb::handle service) {
  return imports().pkg.attr("describe_benchmark_package")(service.attr("_http"));
}

nb::object joined(nb::handle names) { return pyglue::join_texts(", ", names); }

}  // namespace

void prepare_backtest_data(nb::handle self) {
  const DataPaths paths = data_paths();
  k::make_directories(paths.root);
  const FolderLock preparing(paths.prepare_lock(), k::LockMode::kExclusive);
  recover_interrupted_install(paths);

  const nb::object dir = default_data_dir();
  nb::object store = open_store(dir);
  bool download = !has_metadata(store);
  nb::object description = nb::none();
  if (!download) {
    nb::list missing;
    nb::list damaged;
    try {
      missing = missing_datasets(store);
      // Files are verified whenever the folder might be kept: a missing,
      // cut or flipped one makes it as incomplete as a missing dataset.
      if (nb::len(missing) == 0 || passes_validation(self, store)) {
        damaged = damaged_datasets(store);
      }
    } catch (const nb::python_error& error) {
      if (!error.matches(PyExc_Exception)) throw;
      // A truncated or damaged metadata file would fail every probe; such a
      // folder is as incomplete as a missing one and is replaced.
      pyglue::log_message("warning", "本地回测数据的元信息无法读取, 将重新下载: %s",
                          nb::str(error.what()));
      download = true;
    }
    if (!download && nb::len(damaged) > 0) {
      pyglue::log_message("warning", "本地回测数据的文件缺失或损坏, 将重新下载数据包: %s",
                          joined(damaged));
      download = true;
    } else if (!download && nb::len(missing) > 0) {
      download = true;
      if (passes_validation(self, store)) {
        description = describe_package(self);
        if (is_installed_package(description, paths)) {
          // The server still offers the installed package: downloading it
          // again cannot bring what it lacks.
          pyglue::log_message("warning",
                              "本地回测数据缺少 %s; 服务端的数据包与已安装的相同, "
                              "重新下载也无法补齐, 继续使用现有数据",
                              joined(missing));
          download = false;
        }
      }
    }
  }
  bool after_download = false;
  if (download) {
    if (description.is_none()) description = describe_package(self);
    install_package(self, description, paths);
    store = open_store(dir);
    after_download = true;
  }
  self.attr("_refresh_to_latest")(store, "after_download"_a = after_download);
}

namespace {

// Writes the rows from `write_start` to `write_end` into the store, their
// window built by _prepare (looked up when it runs).
void write_tail(nb::handle store, nb::handle base_index, nb::handle write_start,
                nb::handle write_end) {
  const nb::object& prepare = imports().prepare;
  if (!nb::hasattr(prepare, "build_incremental_write_window")) {
    raise_morvane(
        "无法增量更新回测数据: morvane.backtest._prepare 缺少 build_incremental_write_window");
  }
  nb::object payload;
  {
    // The stored close seeds the previous close of the window (mapped and
    // checked row by row, as every load), so the refreshed store equals a
    // rebuilt one.
    nb::list close_key;
    close_key.append("close_price");
    const nb::object stored = store.attr("load")("keys"_a = close_key, "mmap"_a = true);
    const nb::object stored_close = stored.is_none() ? nb::none() : stored["data"]["close_price"];
    payload = prepare.attr("build_incremental_write_window")(base_index, write_start, write_end,
                                                             "stored_close"_a = stored_close);
  }
  nb::object written;
  {
    const FolderLock data(data_paths().data_lock(), k::LockMode::kExclusive);
    written = store.attr("update_tail")(payload);
  }
  if (!truthy(written)) raise_morvane("回测数据增量更新失败:基准缺失或元信息不完整");
}

}  // namespace

void refresh_to_latest(nb::handle self, nb::handle store, nb::handle after_download) {
  const bool after = truthy(after_download);
  const nb::object metadata = store.attr("load_metadata")();
  const nb::object datasets = metadata["datasets"];
  const nb::object base_index = pyglue::list_of(index_of(datasets, nb::str("close_price")));
  const std::size_t rows = nb::len(base_index);
  if (rows == 0) raise_morvane(kIncompleteMessage);

  const auto tail_rows = nb::cast<std::size_t>(imports().prepare.attr("TAIL_RELOAD_ROWS"));
  const nb::object write_start = base_index[rows - std::min(rows, tail_rows)];
  const nb::object write_end = nb::str(today_text().c_str());
  const int ahead = PyObject_RichCompareBool(write_start.ptr(), write_end.ptr(), Py_GE);
  if (ahead < 0) throw nb::python_error();
  const char* action = after ? "已就绪" : "已是最新";
  if (ahead == 0) {
    write_tail(store, base_index, write_start, write_end);
    action = after ? "已就绪并更新" : "已更新";
  }
  self.attr("_log_dataset_summary")(store, "action"_a = action);
}

}  // namespace morvane::service
