#include "draw.hpp"

#include <nanobind/stl/string.h>

#include "chart_guards.hpp"
#include "chart_layout.hpp"
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

// The keywords of one call: only the fields that are set.
class Keywords {
 public:
  template <class T>
  Keywords& add(const char* key, const std::optional<T>& value) {
    if (value) dict_[key] = nb::cast(*value);
    return *this;
  }
  Keywords& add(const char* key, const std::optional<Colour>& value) {
    if (value) dict_[key] = value->object();
    return *this;
  }
  Keywords& add(const char* key, const char* value) {
    if (value != nullptr) dict_[key] = value;
    return *this;
  }
  Keywords& add(const char* key, const std::vector<double>& values) {
    if (!values.empty()) dict_[key] = tuple_of(values);
    return *this;
  }
  Keywords& add(const char* key, const nb::object& value) {
    if (value.is_valid()) dict_[key] = value;
    return *this;
  }
  Keywords& add_margins(const Margins& margins) {
    return add("left", margins.left)
        .add("right", margins.right)
        .add("top", margins.top)
        .add("bottom", margins.bottom);
  }
  [[nodiscard]] const nb::dict& dict() const { return dict_; }

 private:
  nb::dict dict_;
};

Keywords line_keywords(const Line& s) {
  Keywords k;
  k.add("color", s.color)
      .add("linewidth", s.linewidth)
      .add("linestyle", s.linestyle)
      .add("marker", s.marker)
      .add("alpha", s.alpha)
      .add("zorder", s.zorder)
      .add("label", s.label);
  return k;
}

Keywords area_keywords(const Area& s) {
  Keywords k;
  k.add("color", s.color)
      .add("alpha", s.alpha)
      .add("linewidth", s.linewidth)
      .add("step", s.step)
      .add("zorder", s.zorder)
      .add("label", s.label);
  return k;
}

Keywords title_keywords(const Title& s) {
  Keywords k;
  k.add("fontsize", s.fontsize)
      .add("fontweight", s.fontweight)
      .add("loc", s.loc)
      .add("color", s.color)
      .add("pad", s.pad)
      .add("y", s.y);
  return k;
}

Keywords legend_keywords(const Legend& s) {
  Keywords k;
  k.add("loc", s.loc);
  if (s.anchor)
    k.add("bbox_to_anchor", nb::object(nb::make_tuple(s.anchor->first, s.anchor->second)));
  k.add("ncol", s.ncol)
      .add("frameon", s.frameon)
      .add("framealpha", s.framealpha)
      .add("fontsize", s.fontsize)
      .add("borderaxespad", s.borderaxespad);
  return k;
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

long Table::row_count() const {
  long rows = 0;
  for (const auto [position, cell] : table_cells(table_)) {
    rows += nb::cast<long>(position[1]) == 0 ? 1 : 0;
  }
  return rows;
}

double Table::cell_height(long row, long col) const {
  return nb::cast<double>(table_[nb::make_tuple(row, col)].attr("get_height")());
}

void Table::set_cell_height(long row, long col, double height) const {
  table_[nb::make_tuple(row, col)].attr("set_height")(height);
}

void Table::set_cell_font_size(long row, long col, double size) const {
  table_[nb::make_tuple(row, col)].attr("get_text")().attr("set_fontsize")(size);
}

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
  Keywords k;
  k.add("width", style.width).add("color", style.color).add("alpha", style.alpha);
  k.add("label", style.label);
  return ax_.attr("bar")(x, heights, **k.dict());
}

void Axes::text(double x, double y, const std::string& text, const Text& style) const {
  Keywords k;
  k.add("ha", style.ha)
      .add("va", style.va)
      .add("fontsize", style.fontsize)
      .add("fontweight", style.fontweight)
      .add("color", style.color)
      .add("rotation", style.rotation)
      .add("bbox", style.bbox);
  if (style.in_axes) k.add("transform", nb::object(ax_.attr("transAxes")));
  ax_.attr("text")(x, y, text, **k.dict());
}

void Axes::note(const char* text) const { no_data_note(ax_, text); }

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
  Keywords k;
  k.add("cellText", nb::object(cells));
  if (!layout.col_labels.empty()) k.add("colLabels", nb::object(labels));
  k.add("loc", layout.loc)
      .add("cellLoc", layout.cell_loc)
      .add("colLoc", layout.col_loc)
      .add("colWidths", layout.col_widths);
  if (layout.bbox) k.add("bbox", *layout.bbox);
  return Table(ax_.attr("table")(**k.dict()));
}

void Axes::title(const std::string& text, const Title& style) const {
  ax_.attr("set_title")(text, **title_keywords(style).dict());
}

void Axes::xlabel(const std::string& text) const { ax_.attr("set_xlabel")(text); }

void Axes::ylabel(const std::string& text, std::optional<double> fontsize) const {
  Keywords k;
  k.add("fontsize", fontsize);
  ax_.attr("set_ylabel")(text, **k.dict());
}

void Axes::grid(const GridLines& style) const {
  Keywords k;
  k.add("color", style.color).add("linewidth", style.linewidth).add("alpha", style.alpha);
  ax_.attr("grid")(true, **k.dict());
}

void Axes::no_grid() const { ax_.attr("grid")(false); }

void Axes::hide_spines(std::initializer_list<const char*> sides) const {
  pyglue::hide_spines(ax_, sides);
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

void Axes::date_ticks() const { pyglue::date_ticks(ax_); }

void Axes::xticks(nb::handle positions) const { ax_.attr("set_xticks")(positions); }

void Axes::xticklabels(nb::handle labels, const TickLabels& style) const {
  Keywords k;
  k.add("rotation", style.rotation).add("ha", style.ha);
  ax_.attr("set_xticklabels")(labels, **k.dict());
}

void Axes::legend(const Legend& style) const {
  ax_.attr("legend")(**legend_keywords(style).dict());
}

void Axes::legend(nb::handle handles, nb::handle labels, const Legend& style) const {
  ax_.attr("legend")(handles, labels, **legend_keywords(style).dict());
}

void Axes::legend_of(const Axes& first, const Axes& second, const Legend& style) const {
  const nb::object own = first.ax_.attr("get_legend_handles_labels")();
  const nb::object other = second.ax_.attr("get_legend_handles_labels")();
  legend(own[0] + other[0], own[1] + other[1], style);
}

Axes Axes::twin_x() const { return Axes(ax_.attr("twinx")()); }

Axes Axes::twin_x_behind() const {
  Axes twin = twin_x();
  twin.ax_.attr("set_zorder")(ax_.attr("get_zorder")() - nb::int_(1));
  ax_.attr("patch").attr("set_visible")(false);
  return twin;
}

std::pair<double, double> Axes::size_points() const { return axes_size_points(ax_); }

Axes PanelGrid::panel(long row, long first_col, long end_col, const Axes* share_x) const {
  const nb::object cells =
      spec_[nb::make_tuple(row, nb::slice(nb::int_(first_col), nb::int_(end_col), nb::none()))];
  Keywords k;
  if (share_x != nullptr) k.add("sharex", share_x->object());
  return Axes(figure_.attr("add_subplot")(cells, **k.dict()));
}

Figure::Figure(const FigureSpec& spec) {
  Keywords k;
  k.add("figsize", nb::object(nb::make_tuple(spec.size.first, spec.size.second)))
      .add("constrained_layout", spec.constrained_layout);
  figure_ = chart_imports().plt.attr("figure")(**k.dict());
}

void Figure::margins(const Margins& margins) const {
  Keywords k;
  k.add_margins(margins);
  figure_.attr("subplots_adjust")(**k.dict());
}

PanelGrid Figure::grid(const GridLayout& layout) const {
  Keywords k;
  k.add("height_ratios", layout.height_ratios)
      .add("width_ratios", layout.width_ratios)
      .add("hspace", layout.hspace)
      .add("wspace", layout.wspace)
      .add_margins(layout.margins);
  return {figure_, figure_.attr("add_gridspec")(layout.rows, layout.cols, **k.dict())};
}

void Figure::suptitle(const std::string& text, const Title& style) const {
  figure_.attr("suptitle")(text, **title_keywords(style).dict());
}

void Figure::save(const std::string& path, double dpi) const { save_chart(figure_, path, dpi); }

}  // namespace morvane::pyglue::draw
