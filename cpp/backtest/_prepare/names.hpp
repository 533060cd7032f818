// The constants of the prepared data and the helpers for names, dtypes and
// dates of morvane.backtest._prepare.
#pragma once

#include <nanobind/nanobind.h>

#include <array>

namespace morvane::prepare {

namespace nb = nanobind;

inline constexpr const char* kFloatStorageDtype = "float64";
inline constexpr const char* kBoolStorageDtype = "bool";
inline constexpr int kTailReloadRows = 2;
inline constexpr int kPreparedDataVersion = 1;

inline constexpr std::array<const char*, 5> kComponentFactorNames = {
    "rq_index_components_new_000300.XSHG", "rq_index_components_new_000905.XSHG",
    "rq_index_components_new_000852.XSHG", "rq_index_components_new_399303.XSHE",
    "rq_index_components_new_932000.INDX"};

// Defines the constants, in their documented order.
void define_constants(nb::module_& m);

[[nodiscard]] nb::list parse_name_list(nb::handle raw_values);
[[nodiscard]] nb::list get_component_factor_names();
[[nodiscard]] nb::dict build_matrix_dtype(nb::handle component_names);
[[nodiscard]] nb::object series_to_yyyymmdd(nb::handle values);

}  // namespace morvane::prepare
