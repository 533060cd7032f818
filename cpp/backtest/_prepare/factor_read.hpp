// Raw factor tables of the data client (long or wide) -> date x stock
// matrices. Labels are factorised once and only the distinct values parsed;
// the pivot itself runs in the kernels with the GIL released.
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::prepare {

namespace nb = nanobind;

// Mapping name -> matrix (an empty table for names without data). `df` may
// be None or a DataFrame; a table without "ukey" or a date column is a KeyError.
[[nodiscard]] nb::dict factors_to_matrices(nb::handle df, nb::handle names);

// An empty table (no rows, no columns).
[[nodiscard]] nb::object empty_table();

// True when `table` is a DataFrame with at least one row.
[[nodiscard]] bool has_rows(nb::handle table);

}  // namespace morvane::prepare
