// How a damaged store is repaired, named in the errors a load raises: the
// package's own folder is prepared again by the service (which downloads a
// package whose files are whole), any other folder is rebuilt by the
// command line from the source it was built from.
#pragma once

#include <string>

#include "kernels/store_errors.hpp"

namespace morvane::store {

// The repair sentence for the store in `dir`. Needs the GIL.
[[nodiscard]] std::string repair_hint(const std::string& dir);

// Runs `body`; a file error it raises (damaged, missing, unreadable) leaves
// with `hint` appended to its message, the error's kind and file kept.
template <class Body>
decltype(auto) with_repair_hint(const std::string& hint, Body&& body) {
  try {
    return body();
  } catch (const kernels::FormatError& error) {
    throw kernels::FormatError(std::string(error.what()) + "; " + hint);
  } catch (const kernels::IoError& error) {
    throw kernels::IoError(error.error_number(), error.path(),
                           std::string(error.what()) + "; " + hint);
  }
}

}  // namespace morvane::store
