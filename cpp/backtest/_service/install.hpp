// Installing a reference data package without risking the data in place:
// the package is downloaded and unpacked into a fresh staging folder beside
// the prepared-data folder, checked there (metadata, then a mapped load of
// every dataset), and only then swapped in by two renames. A failed, cut,
// interrupted or malicious download leaves the old folder untouched.
#pragma once

#include <nanobind/nanobind.h>

#include "common.hpp"

namespace morvane::service {

namespace nb = nanobind;

// Clears what a killed preparation left: staging folders and partial
// downloads are removed; a backup left between the two renames of a swap
// is put back (when the folder is missing) or removed (when the swap
// completed). Call with prepare.lock held.
void recover_interrupted_install(const DataPaths& paths);

// The same for an entry that only reads the folder: when a backup or a
// staging folder is there and no preparation holds prepare.lock, takes it
// and recovers; while a preparation runs, leaves everything to it.
void recover_if_idle(const DataPaths& paths);

// Downloads the package `description` names into staging, validates it with
// the service's `_validate_metadata`, loads every dataset, swaps it in under
// data.lock and records the package's checksum and size. Call with
// prepare.lock held.
void install_package(nb::handle service, nb::handle description, const DataPaths& paths);

// True when the package `description` names has the checksum and size of
// the installed one, so downloading it again would bring nothing new.
[[nodiscard]] bool is_installed_package(nb::handle description, const DataPaths& paths);

}  // namespace morvane::service
