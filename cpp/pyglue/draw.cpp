#include "draw.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <type_traits>

#include "chart_guards.hpp"
#include "chart_style.hpp"
#include "chart_tables.hpp"

using namespace nanobind::literals;

namespace morvane::pyglue::draw {

namespace {

nb::tuple tuple_of(const std::vector<double>& values) {
  nb::list items;
  for (const double value : values) items.append(value);
  return nb::tuple(items);
}

// A style field as matplotlib takes it; a null object when it is unset.
template <class T>
nb::object keyword_value(const T& field) {
  if constexpr (std::is_same_v<T, const char*>) {
    return field != nullptr ? nb::str(field) : nb::object();
  } else if constexpr (std::is_same_v<T, std::vector<double>>) {
    return field.empty() ? nb::object() : nb::object(tuple_of(field));
  } else if constexpr (std::is_same_v<T, nb::object>) {
    return field;
  } else if constexpr (std::is_same_v<T, std::optional<Colour>>) {
    return field ? nb::borrow(field->object()) : nb::object();
  } else {
    return field ? nb::cast(*field) : nb::object();
  }
}

// The keywords of one call: only the fields that are set.
class Keywords {
 public:
  // Adds each (keyword, field) pair whose field is set.
  template <class T, class... Rest>
  Keywords& add(const char* key, const T& field, const Rest&... rest) {
    if (const nb::object value = keyword_value(field); value.is_valid()) dict_[key] = value;
    if constexpr (sizeof...(rest) > 0) add(rest...);
    return *this;
  }
  Keywords& add_margins(const Margins& m) {
    return add("left", m.left, "right", m.right, "top", m.top, "bottom", m.bottom);
  }
  [[nodiscard]] const nb::dict& dict() const { return dict_; }

 private:
  nb::dict dict_;
};

Keywords line_keywords(const Line& s) {
  return Keywords().add("color", s.color, "linewidth", s.linewidth, "linestyle", s.linestyle,
                        "marker", s.marker, "alpha", s.alpha, "zorder", s.zorder, "label", s.label);
}

Keywords area_keywords(const Area& s) {
  return Keywords().add("color", s.color, "alpha", s.alpha, "linewidth", s.linewidth, "step",
                        s.step, "zorder", s.zorder, "label", s.label);
}

Keywords title_keywords(const Title& s) {
  return Keywords().add("fontsize", s.fontsize, "fontweight", s.fontweight, "loc", s.loc, "color",
                        s.color, "pad", s.pad, "y", s.y);
}

Keywords legend_keywords(const Legend& s) {
  const nb::object anchor =
      s.anchor ? nb::object(nb::make_tuple(s.anchor->first, s.anchor->second)) : nb::object();
  return Keywords().add("loc", s.loc, "bbox_to_anchor", anchor, "ncol", s.ncol, "frameon",
                        s.frameon, "framealpha", s.framealpha, "fontsize", s.fontsize,
                        "borderaxespad", s.borderaxespad);
}

}  // namespace

Colour::Colour(const char* name) : value_(nb::str(name)) {}
Colour::Colour(const std::string& name) : value_(nb::str(name.data(), name.size())) {}
Colour Colour::rgb(double red, double green, double blue) {
  return Colour(nb::make_tuple(red, green, blue));
}

void Table::font_size(double size) const {
  table_.attr("auto_set_font_size")(false);
  table_.attr("set_fontsize")(size);
}

void Table::scale(double x, double y) const { table_.attr("scale")(x, y); }

void Table::style_cells(const std::vector<const char*>& column_colours) const {
  style_table_cells(table_, column_colours);
}

double Table::height() const { return table_height(table_); }

void Table::set_heights(const std::function<double(double)>& new_height) const {
  for (const auto [position, cell] : table_cells(table_)) {
    cell.attr("set_height")(new_height(nb::cast<double>(cell.attr("get_height")())));
  }
}

nb::object Axes::line(nb::handle x, nb::handle y, const Line& style) const {
  return ax_.attr("plot")(x, y, **line_keywords(style).dict())[0];
}

void Axes::hline(double y, const Line& style) const {
  ax_.attr("axhline")(y, **line_keywords(style).dict());
}

nb::object Axes::area(nb::handle x, nb::handle y, const Area& style) const {
  return area(x, y, nb::int_(0), style);
}

nb::object Axes::area(nb::handle x, nb::handle y1, nb::handle y2, const Area& style) const {
  return ax_.attr("fill_between")(x, y1, y2, **area_keywords(style).dict());
}

nb::object Axes::bars(nb::handle x, nb::handle heights, const Bars& style) const {
  const Keywords k = Keywords().add("width", style.width, "color", style.color, "alpha",
                                    style.alpha, "label", style.label);
  return ax_.attr("bar")(x, heights, **k.dict());
}

void Axes::text(double x, double y, const std::string& text, const Text& style) const {
  const nb::object transform = style.in_axes ? nb::object(ax_.attr("transAxes")) : nb::object();
  const Keywords k = Keywords().add(
      "ha", style.ha, "va", style.va, "fontsize", style.fontsize, "fontweight", style.fontweight,
      "color", style.color, "rotation", style.rotation, "bbox", style.bbox, "transform", transform);
  ax_.attr("text")(x, y, text, **k.dict());
}

void Axes::note(const char* text) const {
  this->text(0.5, 0.5, text, {.ha = "center", .va = "center", .in_axes = true});
}

Table Axes::table(const std::vector<std::vector<std::string>>& rows,
                  const TableLayout& layout) const {
  nb::list cells;
  for (const std::vector<std::string>& row : rows) {
    nb::list texts;
    for (const std::string& text : row) texts.append(text);
    cells.append(texts);
  }
  nb::list labels;
  for (const std::string& label : layout.col_labels) labels.append(label);
  const Keywords k =
      Keywords().add("cellText", nb::object(cells), "colLabels",
                     layout.col_labels.empty() ? nb::object() : nb::object(labels), "loc",
                     layout.loc, "cellLoc", layout.cell_loc, "colLoc", layout.col_loc, "colWidths",
                     layout.col_widths, "bbox", layout.bbox);
  return Table(ax_.attr("table")(**k.dict()));
}

void Axes::title(const std::string& text, const Title& style) const {
  ax_.attr("set_title")(text, **title_keywords(style).dict());
}

void Axes::xlabel(const std::string& text) const { ax_.attr("set_xlabel")(text); }

void Axes::ylabel(const std::string& text, std::optional<double> fontsize) const {
  ax_.attr("set_ylabel")(text, **Keywords().add("fontsize", fontsize).dict());
}

void Axes::grid(const GridLines& style) const {
  const Keywords k =
      Keywords().add("color", style.color, "linewidth", style.linewidth, "alpha", style.alpha);
  ax_.attr("grid")(true, **k.dict());
}

void Axes::no_grid() const { ax_.attr("grid")(false); }

void Axes::hide_spines(std::initializer_list<const char*> sides) const {
  const nb::object spines = ax_.attr("spines");
  for (const char* side : sides) spines[side].attr("set_visible")(false);
}

void Axes::axis_off() const { ax_.attr("axis")("off"); }

std::pair<double, double> Axes::xlim() const {
  const nb::object limits = ax_.attr("get_xlim")();
  return {nb::cast<double>(limits[0]), nb::cast<double>(limits[1])};
}

void Axes::xlim(double left, double right) const { ax_.attr("set_xlim")(left, right); }

void Axes::ylim(double bottom, double top) const { ax_.attr("set_ylim")(bottom, top); }

void Axes::x_locator(nb::handle locator) const {
  ax_.attr("xaxis").attr("set_major_locator")(locator);
}

void Axes::y_formatter(nb::handle formatter) const {
  ax_.attr("yaxis").attr("set_major_formatter")(formatter);
}

void Axes::y_percent() const { y_formatter(chart_imports().percent_formatter(1.0)); }

void Axes::date_ticks() const {
  const ChartImports& charts = chart_imports();
  const double inches = size_points().first / 72.0;
  const long most = std::max(7L, static_cast<long>(inches / kInchesPerDateLabel));
  // The locator takes the coarsest unit giving `fewest` ticks (years before
  // months), then steps months by at most 6: `most` must reach 2 * fewest + 1
  // for every range to find an interval (else it warns). matplotlib's own
  // fewest is 5, which wide panels keep.
  const long fewest = std::clamp((most - 1) / 2, 3L, 5L);
  const nb::object locator = charts.date_locator("minticks"_a = fewest, "maxticks"_a = most);
  x_locator(locator);
  ax_.attr("xaxis").attr("set_major_formatter")(charts.date_formatter(locator));
}

void Axes::xticks(nb::handle positions) const { ax_.attr("set_xticks")(positions); }

void Axes::xticklabels(nb::handle labels, const TickLabels& style) const {
  const Keywords k = Keywords().add("rotation", style.rotation, "ha", style.ha);
  ax_.attr("set_xticklabels")(labels, **k.dict());
}

void Axes::legend(const Legend& style) const {
  ax_.attr("legend")(**legend_keywords(style).dict());
}

void Axes::legend(nb::handle handles, nb::handle labels, const Legend& style) const {
  ax_.attr("legend")(handles, labels, **legend_keywords(style).dict());
}

void Axes::legend_of(const Axes& first, const Axes& second, const Legend& style) const {
  nb::object handles = nb::list();
  nb::object labels = nb::list();
  for (const Axes* axes : {&first, &second}) {
    const nb::object pair = axes->ax_.attr("get_legend_handles_labels")();
    handles = handles + pair[0];
    labels = labels + pair[1];
  }
  legend(handles, labels, style);
}

Axes Axes::twin_x() const { return Axes(ax_.attr("twinx")()); }

Axes Axes::twin_x_behind() const {
  Axes twin = twin_x();
  twin.ax_.attr("set_zorder")(ax_.attr("get_zorder")() - nb::int_(1));
  ax_.attr("patch").attr("set_visible")(false);
  return twin;
}

std::pair<double, double> Axes::size_points() const {
  // The box's bounds are (x0, y0, width, height) in figure fractions; the
  // figure's size is (width, height) in inches.
  const nb::object bounds = ax_.attr("get_position")().attr("bounds");
  const nb::object inches = ax_.attr("get_figure")().attr("get_size_inches")();
  return {nb::cast<double>(bounds[2]) * nb::cast<double>(inches[0]) * 72.0,
          nb::cast<double>(bounds[3]) * nb::cast<double>(inches[1]) * 72.0};
}

Axes PanelGrid::panel(long row, long first_col, long end_col, const Axes* share_x) const {
  const nb::object cells =
      grid_[nb::make_tuple(row, nb::slice(nb::int_(first_col), nb::int_(end_col), nb::none()))];
  const nb::object shared = share_x != nullptr ? share_x->object() : nb::object();
  return Axes(figure_.attr("add_subplot")(cells, **Keywords().add("sharex", shared).dict()));
}

Figure::Figure(const FigurePage& page) {
  const Keywords k =
      Keywords().add("figsize", nb::object(nb::make_tuple(page.size.first, page.size.second)),
                     "constrained_layout", page.constrained_layout);
  figure_ = chart_imports().plt.attr("figure")(**k.dict());
}

void Figure::margins(const Margins& margins) const {
  figure_.attr("subplots_adjust")(**Keywords().add_margins(margins).dict());
}

PanelGrid Figure::grid(const GridLayout& layout) const {
  const Keywords k = Keywords()
                         .add("height_ratios", layout.height_ratios, "width_ratios",
                              layout.width_ratios, "hspace", layout.hspace, "wspace", layout.wspace)
                         .add_margins(layout.margins);
  return {figure_, figure_.attr("add_gridspec")(layout.rows, layout.cols, **k.dict())};
}

void Figure::suptitle(const std::string& text, const Title& style) const {
  figure_.attr("suptitle")(text, **title_keywords(style).dict());
}

void Figure::save(const std::string& path, double dpi) const { save_chart(figure_, path, dpi); }

}  // namespace morvane::pyglue::draw
