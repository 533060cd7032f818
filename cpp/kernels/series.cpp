#include "series.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>

namespace morvane::kernels {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Largest |x|, NaN as soon as one value is NaN (numpy's max propagates it).
double max_abs_propagating(std::span<const double> values) {
  double out = 0.0;
  for (const double v : values) {
    if (std::isnan(v)) return kNaN;
    out = std::max(out, std::fabs(v));
  }
  return out;
}

double dot(std::span<const double> a, std::span<const double> b) {
  double sum = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) sum += a[i] * b[i];
  return sum;
}

double plain_mean(std::span<const double> values) {
  double sum = 0.0;
  for (const double v : values) sum += v;
  return sum / static_cast<double>(values.size());
}

}  // namespace

void cumsum_skipna(std::span<const double> in, std::span<double> out) {
  assert(in.size() == out.size());
  double running = 0.0;
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (std::isnan(in[i])) {
      out[i] = kNaN;
      continue;
    }
    running += in[i];
    out[i] = running;
  }
}

void cummax_skipna(std::span<const double> in, std::span<double> out) {
  assert(in.size() == out.size());
  double running = -std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (std::isnan(in[i])) {
      out[i] = kNaN;
      continue;
    }
    running = std::max(running, in[i]);
    out[i] = running;
  }
}

double nanmin(std::span<const double> values) {
  double out = kNaN;
  for (const double v : values) {
    if (!std::isnan(v) && !(out <= v)) out = v;
  }
  return out;
}

double nansum(std::span<const double> values) {
  double sum = 0.0;
  for (const double v : values) {
    if (!std::isnan(v)) sum += v;
  }
  return sum;
}

double nanmean(std::span<const double> values) {
  double sum = 0.0;
  std::size_t count = 0;
  for (const double v : values) {
    if (std::isnan(v)) continue;
    sum += v;
    ++count;
  }
  return count == 0 ? kNaN : sum / static_cast<double>(count);
}

std::vector<double> finite_values(std::span<const double> values) {
  std::vector<double> out;
  out.reserve(values.size());
  for (const double v : values) {
    if (std::isfinite(v)) out.push_back(v);
  }
  return out;
}

double positive_share(std::span<const double> values) {
  if (values.empty()) return kNaN;
  const auto positive = std::count_if(values.begin(), values.end(), [](double v) { return v > 0; });
  return static_cast<double>(positive) / static_cast<double>(values.size());
}

double pearson_correlation(std::span<const double> a, std::span<const double> b) {
  assert(a.size() == b.size());
  std::vector<double> x;
  std::vector<double> y;
  x.reserve(a.size());
  y.reserve(b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::isnan(a[i]) || std::isnan(b[i])) continue;
    x.push_back(a[i]);
    y.push_back(b[i]);
  }
  if (x.size() < 2) return kNaN;
  const double x_mean = plain_mean(x);
  const double y_mean = plain_mean(y);
  for (double& v : x) v -= x_mean;
  for (double& v : y) v -= y_mean;
  const double x_scale = max_abs_propagating(x);
  const double y_scale = max_abs_propagating(y);
  if (x_scale == 0.0 || y_scale == 0.0) return kNaN;
  for (double& v : x) v /= x_scale;
  for (double& v : y) v /= y_scale;
  const double fact = static_cast<double>(x.size() - 1);
  const double x_dev = std::sqrt(dot(x, x) / fact);
  if (x_dev == 0.0) return kNaN;
  const double y_dev = std::sqrt(dot(y, y) / fact);
  if (y_dev == 0.0) return kNaN;
  const double r = dot(x, y) / fact / x_dev / y_dev;
  return std::isnan(r) ? r : std::clamp(r, -1.0, 1.0);
}

}  // namespace morvane::kernels
