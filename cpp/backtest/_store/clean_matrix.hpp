// Normalisation of user and source tables to the dates x stocks convention.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace morvane::store {

namespace nb = nanobind;

// Stock code text of a column label: integers zero-padded to six digits,
// exchange suffixes dropped, other texts kept. A text without UTF-8 (a lone
// surrogate) is a ValueError naming the table `name`.
[[nodiscard]] std::string stock_code_label(nb::handle label, const char* name);

// The stock code of a text label: blanks trimmed, an exchange suffix after
// six characters dropped, shorter digit runs zero-padded to six.
[[nodiscard]] std::string stock_code_text(std::string text);

// The cleaned table; with `copy` false, a table cleaning would not change
// comes back as a read-only view of the same cells. Messages name the table
// as `name` (the caller's argument).
[[nodiscard]] nb::object clean_matrix(nb::handle table, bool copy, const std::string& name);

}  // namespace morvane::store
