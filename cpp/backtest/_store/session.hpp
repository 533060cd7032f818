// The store directory as writers and readers share it: its file names, the
// writer lock with journal recovery, the metadata commit and the removal of
// files no committed state refers to.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "kernels/files.hpp"

namespace morvane::store {

namespace nb = nanobind;

inline constexpr const char* kMetadataName = "metadata.pkl";
inline constexpr const char* kManifestName = "manifest.json";
inline constexpr const char* kJournalName = "journal.wal";
inline constexpr const char* kLockName = "writer.lock";

struct StorePaths {
  std::string dir;
  [[nodiscard]] std::string metadata() const { return dir + "/" + kMetadataName; }
  [[nodiscard]] std::string journal() const { return dir + "/" + kJournalName; }
  [[nodiscard]] std::string lock() const { return dir + "/" + kLockName; }
};

// The directory of a store object (its `store_dir` attribute).
[[nodiscard]] StorePaths paths_of(nb::handle self);
[[nodiscard]] std::string fspath(nb::handle path, const char* name);

// Holds the writer lock of a store for its lifetime. Taking it replays a
// journal left by a killed writer. MorvaneError when another writer holds it.
class WriterSession {
 public:
  explicit WriterSession(const StorePaths& paths);

 private:
  kernels::FileLock lock_;
};

// Before reading: a journal left by a killed writer is replayed (under the
// writer lock); while a writer is at work the read is refused with
// MorvaneError, since the files may be half way to the next state.
void recover_for_read(const StorePaths& paths);

// Commits `metadata`: the metadata file, then the manifest, each atomically.
void commit_metadata(const StorePaths& paths, nb::handle metadata);

// Removes data files that `metadata` does not name and temporary files left
// by killed writers. Call with the writer lock held, after a commit.
void remove_unreferenced_files(const StorePaths& paths, nb::handle metadata);

}  // namespace morvane::store
