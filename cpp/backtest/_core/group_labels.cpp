#include "group_labels.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

using namespace nanobind::literals;

namespace morvane::core {

namespace {

namespace glue = morvane::pyglue;

// Heights (axes fractions) of the group labels at the lines' ends: the
// lines' last values, pushed apart to at least `gap`, kept inside [0, 1].
std::vector<double> spread_labels(std::vector<double> wanted, double gap) {
  std::vector<std::size_t> order(wanted.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return wanted[a] < wanted[b]; });
  std::vector<double> placed(wanted.size());
  double floor = gap / 2.0;
  for (const std::size_t k : order) {
    placed[k] = std::max(wanted[k], floor);
    floor = placed[k] + gap;
  }
  double ceiling = 1.0 - gap / 2.0;
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    placed[*it] = std::min(placed[*it], ceiling);
    ceiling = placed[*it] - gap;
  }
  return placed;
}

// The groups that get a label: all when they fit the panel's height, else
// the first, the last, the best and evenly spaced ones between.
std::vector<std::size_t> labelled_groups(std::size_t n, std::size_t room, std::size_t best) {
  std::vector<std::size_t> chosen;
  if (n <= room) {
    chosen.resize(n);
    std::iota(chosen.begin(), chosen.end(), 0);
    return chosen;
  }
  const std::size_t step = (n + room - 1) / std::max<std::size_t>(room - 1, 1);
  for (std::size_t g = 0; g < n; g += step) chosen.push_back(g);
  chosen.push_back(n - 1);
  if (best < n) chosen.push_back(best);
  std::sort(chosen.begin(), chosen.end());
  chosen.erase(std::unique(chosen.begin(), chosen.end()), chosen.end());
  return chosen;
}

}  // namespace

void label_line_ends(const glue::draw::Axes& ax, const std::vector<double>& last, double x_end,
                     const std::vector<glue::draw::Colour>& colours, std::size_t best) {
  const nb::object& axes = ax.object();
  const nb::object limits = axes.attr("get_ylim")();
  const double low = nb::cast<double>(limits[0]);
  const double high = nb::cast<double>(limits[1]);
  const double gap = kLabelFontSize * 1.3 / ax.size_points().second;
  const std::size_t n = colours.size();
  const std::size_t room = std::max<std::size_t>(2, static_cast<std::size_t>(0.95 / gap));
  const std::vector<std::size_t> groups = labelled_groups(n, room, best);
  std::vector<double> wanted;
  for (const std::size_t g : groups) {
    const double value = last[g];
    wanted.push_back(std::isfinite(value) ? (value - low) / (high - low) : 0.5);
  }
  const std::vector<double> placed = spread_labels(wanted, gap);
  for (std::size_t k = 0; k < groups.size(); ++k) {
    const std::size_t g = groups[k];
    axes.attr("annotate")(nb::str("G{}").format(g + 1), "xy"_a = nb::make_tuple(x_end, placed[k]),
                          "xycoords"_a = axes.attr("get_xaxis_transform")(),
                          "xytext"_a = nb::make_tuple(5, 0), "textcoords"_a = "offset points",
                          "va"_a = "center", "ha"_a = "left", "fontsize"_a = kLabelFontSize,
                          "color"_a = colours[g].object(),
                          "fontweight"_a = g == best ? "bold" : "normal");
  }
}

}  // namespace morvane::core
