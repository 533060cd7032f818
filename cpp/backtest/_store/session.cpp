#include "session.hpp"

#include <nanobind/stl/string.h>

#include <cerrno>
#include <optional>
#include <unordered_set>

#include "datasets.hpp"
#include "imports.hpp"
#include "kernels/journal.hpp"
#include "kernels/store_errors.hpp"
#include "metadata.hpp"
#include "pyglue/args.hpp"
#include "pyglue/builtins.hpp"

namespace morvane::store {

namespace {

kernels::FileLock acquire(const StorePaths& paths) {
  if (!kernels::path_exists(paths.dir)) {
    throw kernels::IoError(ENOENT, paths.dir, "预备数据目录不存在: " + paths.dir);
  }
  std::optional<kernels::FileLock> lock = kernels::FileLock::try_acquire(paths.lock());
  if (!lock) {
    throw kernels::StoreStateError("预备数据目录正被另一个写入者占用, 请等它结束后再试: " +
                                   paths.dir);
  }
  return std::move(*lock);
}

// With the lock held: replays a journal if one is there.
void replay_journal_if_any(const StorePaths& paths) {
  if (!kernels::path_exists(paths.journal())) return;
  {
    const nb::gil_scoped_release released;
    const std::string bytes = kernels::read_whole_file(paths.journal());
    const std::optional<kernels::Journal> journal = kernels::decode_journal(bytes);
    if (!journal) throw kernels::FormatError("写前日志已损坏, 无法恢复: " + paths.journal());
    kernels::replay_journal(paths.dir, *journal, kJournalName, kMetadataName, kManifestName);
  }
  remove_unreferenced_files(paths, read_metadata(paths.metadata()));
}

}  // namespace

std::string fspath(nb::handle path, const char* name) {
  if (!PyUnicode_Check(path.ptr()) && !nb::isinstance(path, pyglue::imports().path_like)) {
    pyglue::raise_type_error(name, "str | pathlib.Path", path);
  }
  const nb::object text = pyglue::imports().fspath(path);
  if (!PyUnicode_Check(text.ptr())) pyglue::raise_type_error(name, "str | pathlib.Path", path);
  return nb::cast<std::string>(text);
}

StorePaths paths_of(nb::handle self) { return {fspath(self.attr("store_dir"), "store_dir")}; }

WriterSession::WriterSession(const StorePaths& paths) : lock_(acquire(paths)) {
  replay_journal_if_any(paths);
}

void recover_for_read(const StorePaths& paths) {
  if (!kernels::path_exists(paths.journal())) return;
  const WriterSession session(paths);
}

void commit_metadata(const StorePaths& paths, nb::handle metadata) {
  const std::string pickled = pickle_metadata(metadata);
  const std::string manifest = manifest_json(metadata);
  const nb::gil_scoped_release released;
  const kernels::NamedBytes files[] = {{kMetadataName, pickled}, {kManifestName, manifest}};
  kernels::write_files_atomic(paths.dir, files);
}

void remove_unreferenced_files(const StorePaths& paths, nb::handle metadata) {
  std::unordered_set<std::string> referenced;
  const nb::object datasets = pyglue::get_item(metadata, "datasets");
  if (!PyDict_Check(datasets.ptr())) return;  // nothing known to keep: remove nothing
  for (auto [key, description] : nb::borrow<nb::dict>(datasets)) {
    if (!PyDict_Check(description.ptr())) return;
    const nb::object file = pyglue::get_item(description, "file");
    if (!PyUnicode_Check(file.ptr())) return;
    referenced.insert(nb::cast<std::string>(file));
  }
  const nb::gil_scoped_release released;
  bool removed = false;
  for (const std::string& name : kernels::list_directory(paths.dir)) {
    if (kernels::is_temporary_name(name) ||
        (is_data_file_name(name) && referenced.count(name) == 0)) {
      kernels::remove_file(paths.dir + "/" + name);
      removed = true;
    }
  }
  if (removed) kernels::sync_directory(paths.dir);
}

}  // namespace morvane::store
