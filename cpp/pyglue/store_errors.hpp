// Translation of the prepared-data file errors into Python exceptions:
// IoError -> morvane.exceptions.DataFileError (a MorvaneError and an OSError:
// errno, message with the remedy when the errno tells one, file name; for a
// missing file DataFileNotFoundError, also a FileNotFoundError),
// FormatError and StoreStateError -> morvane.exceptions.MorvaneError.
#pragma once

namespace morvane::pyglue {

// Installs the translator; call once from each module that touches files.
void register_store_errors();

}  // namespace morvane::pyglue
