// morvane.backtest._core: helpers shared by the strategy core and the factor
// group backtest core.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include "doc.hpp"
#include "kernels/moments.hpp"
#include "pyglue/args.hpp"
#include "pyglue/market.hpp"

namespace nb = nanobind;
using namespace nb::literals;
namespace glue = morvane::pyglue;

namespace {

nb::dict build_market_arrays(nb::handle index, nb::handle columns, nb::handle can_buy_stock,
                             nb::handle cant_sell_stock, nb::handle split_factor,
                             nb::handle dividend_factor, nb::handle close_price,
                             nb::handle prev_close, nb::handle buy_price, nb::handle sell_price) {
  const glue::MarketTables tables{can_buy_stock, cant_sell_stock, split_factor, dividend_factor,
                                  close_price,   prev_close,      buy_price,    sell_price};
  return glue::build_market_arrays(index, columns, tables).arrays;
}

nb::object with_datetime_index(nb::handle table) {
  const nb::object pd = nb::module_::import_("pandas");
  if (!nb::isinstance(table, pd.attr("DataFrame")) && !nb::isinstance(table, pd.attr("Series"))) {
    glue::raise_type_error("table", "pandas.DataFrame | pandas.Series", table);
  }
  const nb::object labels = table.attr("index");
  nb::object dates;
  try {
    dates = pd.attr("to_datetime")(labels.attr("astype")("str"), "format"_a = "%Y%m%d");
  } catch (const nb::python_error&) {
    glue::raise_value_error("参数 table 的行标签不是有效的 YYYYMMDD 日期");
  }
  nb::object out = table.attr("copy")("deep"_a = false);
  out.attr("index") = dates;
  if (!nb::cast<bool>(dates.attr("is_monotonic_increasing"))) {
    out = out.attr("sort_index")("kind"_a = "stable");
  }
  return out;
}

double safe_sharpe(nb::handle series, nb::handle periods) {
  const double periods_per_year = glue::to_float(periods, "periods");
  const nb::object np = nb::module_::import_("numpy");
  nb::object values;
  try {
    values = nb::hasattr(series, "to_numpy")
                 ? series.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = np.attr("nan"))
                 : np.attr("asarray")(series, "dtype"_a = "float64");
    values = np.attr("ascontiguousarray")(values.attr("ravel")());
  } catch (const nb::python_error&) {
    glue::raise_value_error("参数 series 含无法转换为数值的数据");
  }
  using Values = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
  const Values view = nb::cast<Values>(values);
  return morvane::kernels::sharpe_ratio({view.data(), view.shape(0)}, periods_per_year);
}

}  // namespace

NB_MODULE(_core, m) {
  m.doc() = morvane::doc::kCoreModule;
  m.def("_build_market_arrays", &build_market_arrays, "index"_a, "columns"_a, "can_buy_stock"_a,
        "cant_sell_stock"_a, "split_factor"_a, "dividend_factor"_a, "close_price"_a, "prev_close"_a,
        "buy_price"_a, "sell_price"_a,
        nb::sig("def _build_market_arrays(index: object, columns: object, "
                "can_buy_stock: pandas.DataFrame, cant_sell_stock: pandas.DataFrame, "
                "split_factor: pandas.DataFrame, dividend_factor: pandas.DataFrame, "
                "close_price: pandas.DataFrame, prev_close: pandas.DataFrame, "
                "buy_price: pandas.DataFrame, sell_price: pandas.DataFrame) "
                "-> dict[str, numpy.ndarray]"),
        morvane::doc::kBuildMarketArrays);
  m.def("_with_datetime_index", &with_datetime_index, "table"_a,
        nb::sig("def _with_datetime_index(table: pandas.DataFrame | pandas.Series) "
                "-> pandas.DataFrame | pandas.Series"),
        morvane::doc::kWithDatetimeIndex);
  m.def("safe_sharpe", &safe_sharpe, "series"_a, "periods"_a = 252,
        nb::sig("def safe_sharpe(series: object, periods: float = 252) -> float"),
        morvane::doc::kSafeSharpe);
}
