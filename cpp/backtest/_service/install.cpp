#include "install.hpp"

#include <nanobind/stl/string.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "folder_lock.hpp"
#include "imports.hpp"
#include "kernels/advisory_lock.hpp"
#include "kernels/files.hpp"
#include "pyglue/builtins.hpp"
#include "pyglue/log.hpp"
#include "service.hpp"

using namespace nanobind::literals;

namespace morvane::service {

namespace {

namespace fs = std::filesystem;
namespace k = morvane::kernels;

constexpr const char* kRecordName = "installed_package.json";

void remove_tree(const std::string& path) {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Removes the staging folder however the install ends; after the swap the
// folder is gone and there is nothing left to remove.
class StagingFolder {
 public:
  explicit StagingFolder(std::string path) : path_(std::move(path)) { k::make_directories(path_); }
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;
  ~StagingFolder() { remove_tree(path_); }
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  std::string path_;
};

nb::object path_object(const std::string& path) {
  return pyglue::imports().path(nb::str(path.c_str()));
}

nb::object package_fields(nb::handle description) {
  nb::dict fields;
  for (const char* name : {"url", "sha256", "size"}) fields[name] = description.attr(name);
  return fields;
}

bool is_leftover(const DataPaths& paths, const std::string& name) {
  const std::string visible = paths.staging_prefix();
  return starts_with(name, visible) || starts_with(name, "." + visible);
}

}  // namespace

void recover_interrupted_install(const DataPaths& paths) {
  for (const std::string& name : k::list_directory(paths.root)) {
    if (is_leftover(paths, name)) remove_tree(paths.root + "/" + name);
  }
  if (!k::path_exists(paths.backup())) return;
  const FolderLock data(paths.data_lock(), k::LockMode::kExclusive);
  if (k::path_exists(paths.store)) {
    remove_tree(paths.backup());
    return;
  }
  pyglue::log_message("warning", "上次准备回测数据时在替换目录途中中断, 已恢复原来的回测数据: %s",
                      nb::str(paths.store.c_str()));
  k::rename_file(paths.backup(), paths.store);
  k::sync_directory(paths.root);
}

void recover_if_idle(const DataPaths& paths) {
  bool leftovers = k::path_exists(paths.backup());
  for (const std::string& name : k::list_directory(paths.root)) {
    leftovers = leftovers || is_leftover(paths, name);
  }
  if (!leftovers) return;  // the usual case: nothing to take a lock for
  const k::AdvisoryLock preparing(paths.prepare_lock());
  if (!preparing.try_lock(k::LockMode::kExclusive)) return;  // the preparation will see to it
  recover_interrupted_install(paths);
}

void install_package(nb::handle service, nb::handle description, const DataPaths& paths) {
  const nb::object& pkg = imports().pkg;
  const StagingFolder staging(paths.root + "/" + paths.staging_prefix() + k::random_hex(16));
  const nb::object staging_dir = path_object(staging.path());
  pkg.attr("download_benchmark_package")(service.attr("_http"), staging_dir,
                                         "description"_a = description);
  pkg.attr("flatten_single_subdir")(staging_dir);
  const nb::object staged = open_store(staging_dir);
  service.attr("_validate_metadata")(staged);
  // Every dataset file of the package, not only those this version knows,
  // verified whole (size, header, every row's checksum) before the package
  // replaces anything; then a mapped load of them all checks what ties them
  // together (version, benchmarks).
  const nb::list damaged = damaged_datasets(staged);
  if (nb::len(damaged) > 0) {
    raise_morvane("回测基准数据包中的数据文件缺失或损坏, 原有数据保持不变: " +
                  nb::cast<std::string>(pyglue::join_texts("; ", damaged)));
  }
  imports().store_base.attr("load")(staged, "start_date"_a = nb::none(), "end_date"_a = nb::none(),
                                    "keys"_a = nb::none(), "mmap"_a = true, "verify"_a = false);

  // The record names the installed package; it goes before the swap and
  // comes back after it, so a crash in between can only make the next
  // preparation download again.
  k::remove_file(paths.record());
  {
    const FolderLock data(paths.data_lock(), k::LockMode::kExclusive);
    if (k::path_exists(paths.store)) {
      remove_tree(paths.backup());
      k::rename_file(paths.store, paths.backup());
    }
    k::rename_file(staging.path(), paths.store);
    k::sync_directory(paths.root);
  }
  remove_tree(paths.backup());
  const nb::object text = imports().json_dumps(package_fields(description));
  k::write_file_atomic(paths.root, kRecordName, nb::cast<std::string>(text));
}

bool is_installed_package(nb::handle description, const DataPaths& paths) {
  if (description.attr("sha256").is_none() || !k::path_exists(paths.record())) return false;
  nb::object recorded;
  try {
    recorded = imports().json_loads(nb::str(k::read_whole_file(paths.record()).c_str()));
  } catch (const nb::python_error&) {
    return false;  // an unreadable record proves nothing
  } catch (const std::exception&) {
    return false;
  }
  if (!PyDict_Check(recorded.ptr())) return false;
  const nb::dict fields = nb::borrow<nb::dict>(package_fields(description));
  for (const char* name : {"sha256", "size"}) {
    if (!nb::borrow<nb::dict>(recorded).contains(name) || !recorded[name].equal(fields[name])) {
      return false;
    }
  }
  return true;
}

}  // namespace morvane::service
