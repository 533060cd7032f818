// Running sums, running maxima and reductions of a float series with the
// missing-value rules of the table library the package returns its results
// in: a NaN input is skipped (its output is NaN and the running value carries
// on past it), while a NaN that arithmetic produces (inf - inf) is a value and
// propagates. Plain loops over spans; no allocation unless a vector is returned.
#pragma once

#include <span>
#include <vector>

namespace morvane::kernels {

// out[i] = sum of the non-NaN in[0..i], NaN where in[i] is NaN.
void cumsum_skipna(std::span<const double> in, std::span<double> out);

// out[i] = max of the non-NaN in[0..i], NaN where in[i] is NaN.
void cummax_skipna(std::span<const double> in, std::span<double> out);

// Minimum of the non-NaN values; NaN when there are none.
[[nodiscard]] double nanmin(std::span<const double> values);

// Sum of the non-NaN values; 0.0 when there are none.
[[nodiscard]] double nansum(std::span<const double> values);

// Mean of the non-NaN values; NaN when there are none.
[[nodiscard]] double nanmean(std::span<const double> values);

// The finite values, in order (NaN and both infinities removed).
[[nodiscard]] std::vector<double> finite_values(std::span<const double> values);

// Share of `values` that are > 0; NaN for an empty span.
[[nodiscard]] double positive_share(std::span<const double> values);

// Pearson correlation over the pairs where neither value is NaN, computed the
// way the table library does (centred, scaled by the largest magnitude, clipped
// to [-1, 1]); NaN for fewer than two pairs or a constant side. Infinities are
// values and make the result NaN.
[[nodiscard]] double pearson_correlation(std::span<const double> a, std::span<const double> b);

}  // namespace morvane::kernels
