// Plain POSIX file operations with RAII ownership: descriptors, read-only
// mappings and the writer lock. Every failure throws IoError naming the path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace morvane::kernels {

class File {
 public:
  static File open_read(const std::string& path);
  static File open_write(const std::string& path);  // existing file, read-write
  static File create(const std::string& path);      // new file, fails if it exists

  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] std::uint64_t size() const;
  // False for a folder, device or FIFO opened under a data file's name.
  [[nodiscard]] bool is_regular() const;
  void read_exact(std::uint64_t offset, std::span<std::byte> out) const;
  void write_all(std::uint64_t offset, std::span<const std::byte> data) const;
  // Extends the file with a hole; never shrinks it (a table mapped by an
  // earlier load must keep every page it maps).
  void grow_to(std::uint64_t size) const;
  void sync() const;

 private:
  File(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  friend class Mapping;
  int fd_ = -1;
  std::string path_;
};

// A whole file mapped read-only. Shared by every array built on it; the
// mapping ends when the last one is gone.
class Mapping {
 public:
  static std::shared_ptr<const Mapping> map(const File& file);
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping();
  [[nodiscard]] const std::byte* data() const { return data_; }
  [[nodiscard]] std::size_t size() const { return size_; }
  // Maps the pages of [offset, offset + length) in one call, ahead of a pass
  // that reads them all: cheaper than a page fault per 4 KiB. Only advice;
  // a kernel without it leaves the faults to the reads.
  void populate(std::uint64_t offset, std::uint64_t length) const;

 private:
  Mapping(const std::byte* data, std::size_t size) : data_(data), size_(size) {}
  const std::byte* data_;
  std::size_t size_;
};

// Zeroed private memory for a loaded table, asked for in huge pages: filling
// gigabytes of fresh 4 KiB pages costs more page faults than the read itself.
class PageBuffer {
 public:
  explicit PageBuffer(std::size_t size);
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;
  ~PageBuffer();
  [[nodiscard]] std::byte* data() const { return data_; }
  [[nodiscard]] std::size_t size() const { return size_; }

 private:
  std::byte* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t mapped_ = 0;
};

// An exclusive advisory lock (flock) on a lock file, held while the object
// lives. The kernel drops it when the process dies, so it never goes stale.
class FileLock {
 public:
  static std::optional<FileLock> try_acquire(const std::string& path);
  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&&) = delete;
  FileLock(const FileLock&) = delete;
  ~FileLock();

 private:
  explicit FileLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// fsyncs every file, several at once: the waits for the disk overlap, so a
// commit that touches many files waits about as long as for one.
void sync_files(std::span<const File* const> files);

[[nodiscard]] bool path_exists(const std::string& path);
[[nodiscard]] std::string read_whole_file(const std::string& path);
[[nodiscard]] std::vector<std::string> list_directory(const std::string& dir);
void make_directories(const std::string& dir);
void sync_directory(const std::string& dir);
void rename_file(const std::string& from, const std::string& to);
// Removes a file; a file that is already gone is not an error.
void remove_file(const std::string& path);

// Writes `bytes` as dir/name: temporary file, fsync, rename over the old
// file, fsync of the directory. A crash leaves the old or the new file.
void write_file_atomic(const std::string& dir, const std::string& name, std::string_view bytes);

// Writes several files as write_file_atomic does, syncing them together and
// renaming them in the given order (the commit point first), then syncing
// the directory once.
struct NamedBytes {
  std::string name;
  std::string_view bytes;
};
void write_files_atomic(const std::string& dir, std::span<const NamedBytes> files);

// A fresh temporary name in `dir` for the final name `name`.
[[nodiscard]] std::string temporary_name(const std::string& name);
[[nodiscard]] bool is_temporary_name(const std::string& name);

// Random hex text for unique file names.
[[nodiscard]] std::string random_hex(std::size_t digits);

}  // namespace morvane::kernels
