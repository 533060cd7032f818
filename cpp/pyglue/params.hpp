// The parameters of a bound function, declared once in a table: name, type
// text, default, range and a one-line doc. From the table come nanobind's
// argument list, the signature text the stubs are generated from, the Args
// section of the docstring and a read-only mapping on the module, from which
// the sweeps and the command line take their defaults (and against which a
// test holds the package's Python wrappers). A range carries the bounds its
// one check compares against, beside the text the documentation states.
//
// A table is an `inline constexpr ParamTable` at namespace scope (it is a
// template argument of `def` and `method`), written beside its module's
// documentation.
#pragma once

#include <nanobind/nanobind.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "classes.hpp"

namespace morvane::pyglue {

namespace nb = nanobind;

// A parameter's default value; `required` when the caller must give one.
struct Default {
  enum class Kind { required, none, boolean, integer, real, text, int_tuple };
  Kind kind = Kind::required;
  std::int64_t integer = 0;  // boolean, integer, and the one element of int_tuple
  double real = 0.0;
  const char* text = nullptr;
};

[[nodiscard]] constexpr Default required() { return {}; }
[[nodiscard]] constexpr Default none_default() { return {Default::Kind::none}; }
[[nodiscard]] constexpr Default flag_default(bool value) {
  return {Default::Kind::boolean, value ? 1 : 0};
}
[[nodiscard]] constexpr Default int_default(std::int64_t value) {
  return {Default::Kind::integer, value};
}
[[nodiscard]] constexpr Default real_default(double value) {
  return {Default::Kind::real, 0, value};
}
[[nodiscard]] constexpr Default text_default(const char* value) {
  return {Default::Kind::text, 0, 0.0, value};
}
// A tuple of one integer, such as the holding periods (1,).
[[nodiscard]] constexpr Default int_tuple_default(std::int64_t value) {
  return {Default::Kind::int_tuple, value};
}

// The values a parameter accepts: as its documentation states them
// ("取值 [2, 100]") and, for the integer ranges, the bounds the function that
// reads the parameter compares against (see portfolio_params.hpp).
struct Range {
  const char* text;
  std::int64_t low = 0;
  std::int64_t high = 0;
};

struct Param {
  const char* name;
  const char* type;  // the annotation, as the stubs show it
  Default value = required();
  const Range* range = nullptr;
  const char* doc = "";   // what it is, without range and default: "分组数"
  const char* more = "";  // optional: further explanation after the one line
  // Whether None reaches the function (whose own checks then name the
  // argument); otherwise nanobind refuses it with the function's signature.
  bool accepts_none = true;
};

// `param` with another description: a shared parameter whose meaning is
// narrower in one function ("每组资金" for the capital of a group).
[[nodiscard]] constexpr Param described(Param param, const char* doc, const char* more = "") {
  param.doc = doc;
  param.more = more;
  return param;
}

// A function's parameters in signature order; those from `positional` on are
// keyword-only.
template <std::size_t N>
struct ParamTable {
  const char* name;  // the function's name as bound (methods: "Class.method")
  std::array<Param, N> params;
  std::size_t positional = N;
  const char* returns = "None";  // the return annotation
};

// Parameter lists one after the other: a run of parameters several entry
// points share in the same order is written once.
template <std::size_t... N>
[[nodiscard]] constexpr std::array<Param, (N + ...)> joined_params(
    const std::array<Param, N>&... parts) {
  std::array<Param, (N + ...)> out{};
  std::size_t at = 0;
  ((std::copy(parts.begin(), parts.end(), out.begin() + static_cast<std::ptrdiff_t>(at)),
    at += parts.size()),
   ...);
  return out;
}

// `table` with `param` inserted before its parameter `at`, keeping where the
// keyword-only ones start (`at` must come after it).
template <std::size_t N>
[[nodiscard]] constexpr ParamTable<N + 1> with_param_inserted(const ParamTable<N>& table,
                                                              std::size_t at, Param param) {
  ParamTable<N + 1> out{table.name, {}, table.positional, table.returns};
  for (std::size_t i = 0, j = 0; i <= N; ++i) out.params[i] = i == at ? param : table.params[j++];
  return out;
}

// The docstring around the generated Args section: `summary` before it,
// `rest` (Returns, Raises) after it, then `shared`: a passage, such as a
// Raises section, that sibling functions state alike.
struct FunctionDoc {
  const char* summary;
  const char* rest;
  const char* shared = "";
};

// The default as a Python object (a null object when required).
[[nodiscard]] nb::object default_object(const Default& value);

// The one-line doc of a parameter: "分组数, 取值 [2, 100], 默认 20。" (without `more`).
[[nodiscard]] std::string param_line(const Param& param);

// "def name(self, a: int = 1, *, b: str = 'x') -> T" for a table.
[[nodiscard]] std::string signature_text(const char* name, const Param* params, std::size_t count,
                                         std::size_t positional, const char* returns, bool method);

// The docstring: summary, the Args section built from the table, then the rest.
[[nodiscard]] std::string doc_text(const FunctionDoc& doc, const Param* params, std::size_t count);

// Records a table under its name in the module's read-only mapping
// `_PARAMETERS`: name -> tuple of read-only mappings with the keys "name",
// "type", "required", "default", "keyword_only", "range" (text or None),
// "doc" (the one line) and "more".
void export_params(nb::module_& m, const char* table_name, const Param* params, std::size_t count,
                   std::size_t positional);

namespace detail {

template <std::uint32_t Flags, bool Locked>
[[nodiscard]] nb::arg_v_t<Flags, Locked> with_default(const nb::arg_t<Flags, Locked>& base,
                                                      nb::object value) {
  return {base, std::move(value)};
}

// The argument of parameter I of the table; a null default leaves it without one.
template <const auto& Table, bool AcceptNone, std::size_t I>
[[nodiscard]] auto make_arg() {
  const Param& param = Table.params[I];
  if constexpr (AcceptNone && Table.params[I].accepts_none) {
    return with_default(nb::arg(param.name).none(), default_object(param.value));
  } else {
    return with_default(nb::arg(param.name), default_object(param.value));
  }
}

// Calls `bind(args...)` with the table's arguments, nb::kw_only() before the
// first keyword-only one.
template <const auto& Table, bool AcceptNone, class Bind, std::size_t... P, std::size_t... K>
void with_args(Bind&& bind, std::index_sequence<P...>, std::index_sequence<K...>) {
  if constexpr (sizeof...(K) == 0) {
    bind(make_arg<Table, AcceptNone, P>()...);
  } else {
    bind(make_arg<Table, AcceptNone, P>()..., nb::kw_only(),
         make_arg<Table, AcceptNone, Table.positional + K>()...);
  }
}

template <const auto& Table, bool AcceptNone, class Bind>
void with_table_args(Bind&& bind) {
  constexpr std::size_t n = Table.params.size();
  static_assert(Table.positional <= n);
  with_args<Table, AcceptNone>(std::forward<Bind>(bind),
                               std::make_index_sequence<Table.positional>{},
                               std::make_index_sequence<n - Table.positional>{});
}

// Calls `bind(args..., nb::sig(...))` with the table's arguments and the
// signature of `name` (with self for a `method`), then exports the table.
template <const auto& Table, bool AcceptNone, class Bind>
void bind_table(nb::module_& m, const char* name, bool method, Bind&& bind) {
  const auto& p = Table.params;
  const std::string sig =
      signature_text(name, p.data(), p.size(), Table.positional, Table.returns, method);
  with_table_args<Table, AcceptNone>(
      [&](const auto&... args) { bind(args..., nb::sig(sig.c_str())); });
  export_params(m, Table.name, p.data(), p.size(), Table.positional);
}

template <const auto& Table>
[[nodiscard]] std::string table_doc(const FunctionDoc& doc) {
  return doc_text(doc, Table.params.data(), Table.params.size());
}

}  // namespace detail

// Binds `f` as the module function `Table.name`, its arguments, signature and
// Args section from the table, and exports the table. `AcceptNone` false
// refuses None for every argument, whatever the table says.
template <const auto& Table, bool AcceptNone = true, class F>
void def(nb::module_& m, F&& f, const FunctionDoc& doc) {
  const std::string text = detail::table_doc<Table>(doc);
  detail::bind_table<Table, AcceptNone>(m, Table.name, false, [&](const auto&... extra) {
    m.def(Table.name, std::forward<F>(f), extra..., text.c_str());
  });
}

// Binds `f` as the instance method `name` of `cls` (its table is exported on
// `m` as `Table.name`, "Class.method"), with `docstring` as its documentation.
template <const auto& Table, class F>
void method(nb::module_& m, nb::handle cls, const char* name, F&& f, const char* docstring) {
  detail::bind_table<Table, true>(m, name, true, [&](const auto&... extra) {
    pyglue::method(cls, std::forward<F>(f), name, extra..., docstring);
  });
}

// The same, with the Args section of the documentation made from the table.
template <const auto& Table, class F>
void method(nb::module_& m, nb::handle cls, const char* name, F&& f, const FunctionDoc& doc) {
  method<Table>(m, cls, name, std::forward<F>(f), detail::table_doc<Table>(doc).c_str());
}

// Binds `f` as the static method `name` of `cls` (its table exported on `m`
// as `Table.name`), with `docstring` as its documentation.
template <const auto& Table, class F>
void static_method(nb::module_& m, nb::handle cls, const char* name, F&& f, const char* docstring) {
  detail::bind_table<Table, true>(m, name, false, [&](const auto&... extra) {
    pyglue::static_method(cls, std::forward<F>(f), name, extra..., docstring);
  });
}

// The same, with the Args section of the documentation made from the table.
template <const auto& Table, class F>
void static_method(nb::module_& m, nb::handle cls, const char* name, F&& f,
                   const FunctionDoc& doc) {
  static_method<Table>(m, cls, name, std::forward<F>(f), detail::table_doc<Table>(doc).c_str());
}

}  // namespace morvane::pyglue
