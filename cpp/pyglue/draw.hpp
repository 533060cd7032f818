// A typed face on the few matplotlib calls the charts of both backtests make.
//
// Drawing a chart is a long run of matplotlib calls, each with its own list of
// keywords; written out at every call they bury what a panel draws under how
// it is spelt. Here a panel's artists are described by small style structs
// (Line, Area, Bars, Text, Title, Legend, ...) filled with designated
// initialisers, and drawn by the methods of Figure and Axes, which hold the
// matplotlib objects.
//
// An optional field left unset is not passed at all: matplotlib's defaults
// differ per artist (a line's zorder is not a text's), and every chart must
// keep the exact keywords, and so the exact pixels, it always had. Strings
// use nullptr for "unset".
//
// A call a single chart makes once stays a plain call on `object()` at its
// site. Everything here needs the GIL; drawing happens under PlotLock, after
// begin_chart().
#pragma once

#include <nanobind/nanobind.h>

#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace morvane::pyglue::draw {

namespace nb = nanobind;

// A matplotlib colour: a name or "#rrggbb" text, or an RGB triple of 0..1
// (the factor chart's colour map picks).
class Colour {
 public:
  Colour(const char* name);         // NOLINT(google-explicit-constructor): colours read as texts
  Colour(const std::string& name);  // NOLINT(google-explicit-constructor)
  [[nodiscard]] static Colour rgb(double red, double green, double blue);
  [[nodiscard]] nb::handle object() const { return value_; }

 private:
  explicit Colour(nb::object value) : value_(std::move(value)) {}
  nb::object value_;
};

// Axes.set_xticklabels' text keywords.
struct TickLabels {
  std::optional<double> rotation{};
  const char* ha = nullptr;
};

// Axes.plot (one line; its Line2D is returned) and Axes.axhline.
struct Line {
  std::optional<Colour> color{};
  std::optional<double> linewidth{};
  const char* linestyle = nullptr;
  const char* marker = nullptr;
  std::optional<double> alpha{};
  std::optional<double> zorder{};
  std::optional<std::string> label{};
};

// Axes.fill_between: the area between a curve and zero, or between two
// curves; `step` "mid" draws it in steps centred on the x values.
struct Area {
  std::optional<Colour> color{};
  std::optional<double> alpha{};
  std::optional<double> linewidth{};
  const char* step = nullptr;
  std::optional<double> zorder{};
  std::optional<std::string> label{};
};

// Axes.text; `in_axes` places it in axes fractions (transform=ax.transAxes)
// instead of data coordinates. `bbox` is matplotlib's dict of box keywords.
struct Text {
  const char* ha = nullptr;
  const char* va = nullptr;
  std::optional<double> fontsize{};
  const char* fontweight = nullptr;
  std::optional<Colour> color{};
  std::optional<double> rotation{};
  nb::object bbox{};
  bool in_axes = false;
};

// Axes.grid(True, ...).
struct GridLines {
  std::optional<Colour> color{};
  std::optional<double> linewidth{};
  std::optional<double> alpha{};
};

// Axes.legend. `anchor` is bbox_to_anchor.
struct Legend {
  const char* loc = nullptr;
  std::optional<std::pair<double, double>> anchor{};
  std::optional<int> ncol{};
  std::optional<bool> frameon{};
  std::optional<double> framealpha{};
  std::optional<double> fontsize{};
  std::optional<double> borderaxespad{};
};

// Axes.set_title and Figure.suptitle.
struct Title {
  std::optional<double> fontsize{};
  const char* fontweight = nullptr;
  const char* loc = nullptr;
  std::optional<Colour> color{};
  std::optional<double> pad{};
  std::optional<double> y{};
};

// Axes.bar.
struct Bars {
  std::optional<double> width{};
  std::optional<Colour> color{};
  std::optional<double> alpha{};
  std::optional<std::string> label{};
};

// Axes.table. Empty vectors and unset fields are not passed.
struct TableLayout {
  std::vector<std::string> col_labels{};
  std::vector<double> col_widths{};
  const char* loc = nullptr;
  const char* cell_loc = nullptr;
  const char* col_loc = nullptr;
  std::vector<double> bbox{};  // x, y, width, height in axes fractions
};

// A matplotlib table drawn on an axes.
class Table {
 public:
  explicit Table(nb::object table) : table_(std::move(table)) {}
  // A fixed font size for every cell (auto_set_font_size(False), set_fontsize).
  void font_size(double size) const;
  // Table.scale: cell widths and heights times the factors.
  void scale(double x, double y) const;
  // The charts' cell look (style_table_cells in chart_tables.hpp).
  void style_cells(const std::vector<const char*>& column_colours = {}) const;
  // Summed row heights in axes fractions (table_height in chart_tables.hpp).
  [[nodiscard]] double height() const;
  // Every cell's height replaced by new_height(its height).
  void set_heights(const std::function<double(double)>& new_height) const;
  [[nodiscard]] const nb::object& object() const { return table_; }

 private:
  nb::object table_;
};

inline constexpr double kInchesPerDateLabel = 0.95;

class Axes {
 public:
  Axes() = default;  // no axes yet, to be assigned
  explicit Axes(nb::object ax) : ax_(std::move(ax)) {}
  [[nodiscard]] const nb::object& object() const { return ax_; }

  // Axes.plot of one line; returns its Line2D.
  nb::object line(nb::handle x, nb::handle y, const Line& style) const;
  // Axes.axhline at height y.
  void hline(double y, const Line& style) const;
  // Axes.fill_between(x, y, 0): the area between a curve and zero.
  nb::object area(nb::handle x, nb::handle y, const Area& style) const;
  // Axes.fill_between(x, y1, y2).
  nb::object area(nb::handle x, nb::handle y1, nb::handle y2, const Area& style) const;
  // Axes.bar; returns its BarContainer.
  nb::object bars(nb::handle x, nb::handle heights, const Bars& style) const;
  void text(double x, double y, const std::string& text, const Text& style) const;
  // The note a panel shows in its middle when it has nothing to draw.
  void note(const char* text) const;
  // Axes.table with these rows of texts.
  [[nodiscard]] Table table(const std::vector<std::vector<std::string>>& rows,
                            const TableLayout& layout) const;

  void title(const std::string& text, const Title& style) const;
  void xlabel(const std::string& text) const;
  void ylabel(const std::string& text, std::optional<double> fontsize = {}) const;

  // Grid lines on (with the style) or off.
  void grid(const GridLines& style) const;
  void no_grid() const;
  // Hides the named spines ("top", "right", ...).
  void hide_spines(std::initializer_list<const char*> sides) const;
  // Axes.axis("off"): no frame, ticks or grid.
  void axis_off() const;

  [[nodiscard]] std::pair<double, double> xlim() const;
  void xlim(double left, double right) const;
  void ylim(double bottom, double top) const;
  // Major tick locator of the x axis; the y axis' formatter.
  void x_locator(nb::handle locator) const;
  void y_formatter(nb::handle formatter) const;
  // y tick labels as percentages of 1 (PercentFormatter(1.0)).
  void y_percent() const;
  // Date ticks spaced for the axes' width: matplotlib's automatic locator
  // and formatter, with one label per kInchesPerDateLabel at most (left to
  // itself the locator fits up to ten labels whatever the width, and
  // "2021-01" labels then run together on a narrow panel). Axes sharing x
  // share the ticks, so call it for the narrowest of them.
  void date_ticks() const;
  void xticks(nb::handle positions) const;
  void xticklabels(nb::handle labels, const TickLabels& style = {}) const;

  // A legend of the artists' labels, or of these handles and labels.
  void legend(const Legend& style) const;
  void legend(nb::handle handles, nb::handle labels, const Legend& style) const;
  // One legend of `first`'s labelled artists followed by `second`'s (an axes
  // and its twin), drawn on this axes.
  void legend_of(const Axes& first, const Axes& second, const Legend& style) const;

  // Axes.twinx: a second y axis over the same x.
  [[nodiscard]] Axes twin_x() const;
  // A twin drawn behind this axes (one zorder level below, this axes'
  // background made transparent), for areas under this axes' lines.
  [[nodiscard]] Axes twin_x_behind() const;

  // Width and height in points, from the axes' position in the figure.
  [[nodiscard]] std::pair<double, double> size_points() const;

 private:
  nb::object ax_;
};

// pyplot.figure's size in inches and layout switch.
struct FigurePage {
  std::pair<double, double> size{};
  std::optional<bool> constrained_layout{};
};

// The page margins, in figure fractions (Figure.subplots_adjust, or the
// same keywords of add_gridspec).
struct Margins {
  std::optional<double> left{};
  std::optional<double> right{};
  std::optional<double> top{};
  std::optional<double> bottom{};
};

// Figure.add_gridspec: rows and columns with their ratios and gaps. Empty
// ratios are not passed.
struct GridLayout {
  long rows = 1;
  long cols = 1;
  std::vector<double> height_ratios{};
  std::vector<double> width_ratios{};
  std::optional<double> hspace{};
  std::optional<double> wspace{};
  Margins margins{};
};

// A figure's grid (matplotlib's GridSpec), whose cells become panels.
class PanelGrid {
 public:
  PanelGrid(nb::object figure, nb::object grid)
      : figure_(std::move(figure)), grid_(std::move(grid)) {}
  // The panel over columns [first_col, end_col) of a row; it shares the x
  // axis of `share_x` when given.
  [[nodiscard]] Axes panel(long row, long first_col, long end_col,
                           const Axes* share_x = nullptr) const;
  // The panel in one cell.
  [[nodiscard]] Axes panel(long row, long col, const Axes* share_x = nullptr) const {
    return panel(row, col, col + 1, share_x);
  }
  [[nodiscard]] const nb::object& object() const { return grid_; }

 private:
  nb::object figure_;
  nb::object grid_;
};

class Figure {
 public:
  // pyplot.figure with this size (and layout switch, when given).
  explicit Figure(const FigurePage& page);
  [[nodiscard]] const nb::object& object() const { return figure_; }

  // Figure.subplots_adjust: set before the panels, so that their final sizes
  // are known while they are drawn.
  void margins(const Margins& margins) const;
  [[nodiscard]] PanelGrid grid(const GridLayout& layout) const;
  void suptitle(const std::string& text, const Title& style) const;
  // save_chart (chart_guards.hpp): the PNG at `dpi` on the figure's colour.
  void save(const std::string& path, double dpi) const;

 private:
  nb::object figure_;
};

}  // namespace morvane::pyglue::draw
