// The yearly metrics table drawn at the bottom of both strategy charts.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace morvane::ravelle {

namespace nb = nanobind;

// _draw_yearly_metrics_table(ax, yearly_metrics, *, compact=False,
// fontsize=None, partial_years=None). `fontsize` asks for a larger font than
// the layout's: it is reduced to what the columns' widths hold, never below
// the layout's size, and the rows grow with it; `partial_years` maps a year to the trading
// days it covers: such a year is marked "*" and a note under the table says
// how many days it covers. The title sits right above the table.
void draw_yearly_metrics_table(nb::handle ax, nb::handle yearly_metrics, bool compact,
                               std::optional<double> fontsize, nb::handle partial_years);

// {year: trading days} of the first and the last calendar year of `dates`
// (YYYYMMDD numbers, ascending) when the dates do not reach that year's edges: a
// first date after 7 January or a last date before 24 December (the exchange
// opens in the first days of January and closes in the last days of December).
// Years in between are whole.
[[nodiscard]] nb::dict partial_years(const std::vector<std::int32_t>& dates);

}  // namespace morvane::ravelle
