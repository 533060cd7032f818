// Errors of the prepared-data files. The bindings turn IoError into
// DataFileError (a MorvaneError that is also an OSError, with errno and file
// name), FormatError and StoreStateError into MorvaneError.
#pragma once

#include <stdexcept>
#include <string>

namespace morvane::kernels {

// A system call on a file failed (missing file, disk full, permissions).
class IoError : public std::runtime_error {
 public:
  IoError(int error_number, std::string path, const std::string& what)
      : std::runtime_error(what), error_number_(error_number), path_(std::move(path)) {}
  [[nodiscard]] int error_number() const { return error_number_; }
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  int error_number_;
  std::string path_;
};

// A stored file is damaged or not one of ours; the message names the file.
class FormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The store is in a state that forbids the operation (another writer holds
// it, its metadata does not fit the store).
class StoreStateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace morvane::kernels
