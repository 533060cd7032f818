// Translation of the prepared-data file errors into Python exceptions:
// IoError -> OSError (errno, message, file name), FormatError and
// StoreStateError -> morvane.exceptions.MorvaneError.
#pragma once

namespace morvane::pyglue {

// Installs the translator; call once from each module that touches files.
void register_store_errors();

}  // namespace morvane::pyglue
