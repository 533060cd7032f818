#include "params.hpp"

#include <nanobind/stl/string.h>

#include <cmath>
#include <cstdio>
#include <string_view>

namespace morvane::pyglue {

namespace {

// The docstrings' line width (Chinese characters count two).
constexpr std::size_t kDocWidth = 100;

// A rate or an amount as people write it (1e8, not 100000000.0); other numbers as Python
// prints them.
std::string readable_number(double value) {
  if (value != 0.0 && std::isfinite(value)) {
    const int exponent = static_cast<int>(std::floor(std::log10(std::fabs(value))));
    const double mantissa = value / std::pow(10.0, exponent);
    const double whole = std::round(mantissa);
    if ((exponent >= 4 || exponent <= -4) && std::fabs(mantissa - whole) < 1e-9) {
      return std::to_string(static_cast<long long>(whole)) + "e" + std::to_string(exponent);
    }
  }
  return nb::cast<std::string>(nb::repr(nb::float_(value)));
}

// How the Args section shows the default: texts in double quotes, numbers
// as people write them, the rest as Python prints it.
std::string doc_default(const Default& value) {
  switch (value.kind) {
    case Default::Kind::text:
      return std::string("\"") + value.text + "\"";
    case Default::Kind::real:
      return readable_number(value.real);
    default:
      return nb::cast<std::string>(nb::repr(default_object(value)));
  }
}

void replace_all(std::string& text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
}

// The annotation as the Args section writes it: without the typing prefix
// and the path type's parameter.
std::string doc_type(std::string type) {
  replace_all(type, "typing.", "");
  replace_all(type, "os.PathLike[str]", "os.PathLike");
  return type == "DateLike" ? "str | int" : type;
}

// Terminal columns of UTF-8 text: Chinese characters take two.
std::size_t display_width(std::string_view text) {
  std::size_t width = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if ((byte & 0xC0) == 0x80) continue;  // continuation byte
    width += byte >= 0xE0 ? 2 : 1;        // three- and four-byte characters are wide
  }
  return width;
}

// `entry` as lines of at most `width` columns, broken at spaces, the first
// indented by four and the others by eight, as the package's docstrings are.
std::string wrapped(const std::string& entry, std::size_t width) {
  std::string out = "    ";
  std::size_t column = 4;
  std::size_t start = 0;
  while (start < entry.size()) {
    std::size_t end = entry.find(' ', start);
    if (end == std::string::npos) end = entry.size();
    const std::string_view word(entry.data() + start, end - start);
    const std::size_t word_width = display_width(word);
    if (column > 8 && column + 1 + word_width > width) {
      out += "\n        ";
      column = 8;
    } else if (start > 0) {
      out += ' ';
      ++column;
    }
    out += word;
    column += word_width;
    start = end + 1;
  }
  return out + "\n";
}

// A read-only view of `mapping` (types.MappingProxyType).
nb::object read_only(const nb::dict& mapping) {
  PyObject* const view = PyDictProxy_New(mapping.ptr());
  if (view == nullptr) throw nb::python_error();
  return nb::steal(view);
}

}  // namespace

nb::object default_object(const Default& value) {
  switch (value.kind) {
    case Default::Kind::required:
      return {};
    case Default::Kind::none:
      return nb::none();
    case Default::Kind::boolean:
      return nb::bool_(value.integer != 0);
    case Default::Kind::integer:
      return nb::int_(value.integer);
    case Default::Kind::real:
      return nb::float_(value.real);
    case Default::Kind::text:
      return nb::str(value.text);
    case Default::Kind::int_tuple:
      return nb::make_tuple(value.integer);
  }
  return {};
}

std::string param_line(const Param& param) {
  std::string line = param.doc;
  if (param.range != nullptr) line += std::string(", ") + param.range->text;
  if (param.value.kind != Default::Kind::required) line += ", 默认 " + doc_default(param.value);
  return line + "。";
}

std::string signature_text(const char* name, const Param* params, std::size_t count,
                           std::size_t positional, const char* returns, bool method) {
  std::string text = std::string("def ") + name + "(" + (method ? "self" : "");
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0 || method) text += ", ";
    if (i == positional) text += "*, ";
    text += std::string(params[i].name) + ": " + params[i].type;
    const nb::object value = default_object(params[i].value);
    if (value.is_valid()) text += " = " + nb::cast<std::string>(nb::repr(value));
  }
  return text + ") -> " + returns;
}

std::string doc_text(const FunctionDoc& doc, const Param* params, std::size_t count) {
  std::string text = std::string(doc.summary) + "\n\nArgs:\n";
  for (std::size_t i = 0; i < count; ++i) {
    text += wrapped(std::string(params[i].name) + " (" + doc_type(params[i].type) +
                        "): " + param_line(params[i]) + params[i].more,
                    kDocWidth);
  }
  return text + "\n" + doc.rest + doc.shared;
}

void export_params(nb::module_& m, const char* table_name, const Param* params, std::size_t count,
                   std::size_t positional) {
  nb::list rows;
  for (std::size_t i = 0; i < count; ++i) {
    const Param& p = params[i];
    const nb::object value = default_object(p.value);
    nb::dict row;
    row["name"] = p.name;
    row["type"] = p.type;
    row["required"] = !value.is_valid();
    row["default"] = value.is_valid() ? value : nb::none();
    row["keyword_only"] = i >= positional;
    row["range"] = p.range != nullptr ? nb::object(nb::str(p.range->text)) : nb::none();
    row["doc"] = param_line(p);
    row["more"] = p.more;
    rows.append(read_only(row));
  }
  // A read-only view cannot grow: each table makes a new view of the tables so far.
  nb::dict tables;
  if (nb::hasattr(m, "_PARAMETERS") &&
      PyDict_Merge(tables.ptr(), m.attr("_PARAMETERS").ptr(), 1) != 0)
    throw nb::python_error();
  tables[table_name] = nb::tuple(rows);
  m.attr("_PARAMETERS") = read_only(tables);
}

}  // namespace morvane::pyglue
