// Argument checks shared by every binding: one message shape (argument,
// expected type, received type) and one conversion rule per declared type.
//
//   integer  any number (int, float, numpy scalar), converted with int();
//            text, None and other objects are a TypeError
//   float    any number, converted with float()
//   text     str only; None is a TypeError unless the caller allows it, a
//            text without UTF-8 (a lone surrogate) a ValueError
//
// All functions need the GIL.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>
#include <string>

namespace morvane::pyglue {

namespace nb = nanobind;

// Raises TypeError "参数 <name> 类型错误: 期望 <expected>, 收到 <type of value>".
[[noreturn]] void raise_type_error(const char* name, const char* expected, nb::handle value);

// Raises ValueError with the given text.
[[noreturn]] void raise_value_error(const std::string& message);

// Short type name of a Python object, qualified outside builtins
// ("int", "pandas.DataFrame").
[[nodiscard]] std::string python_type_name(nb::handle value);

[[nodiscard]] std::int64_t to_int(nb::handle value, const char* name);
[[nodiscard]] double to_float(nb::handle value, const char* name);
// The UTF-8 of a str; none for one holding a lone surrogate (what a
// mis-decoded byte leaves in a file name, an argument or a header).
[[nodiscard]] std::optional<std::string> utf8_of(nb::handle text);
[[nodiscard]] std::string to_text(nb::handle value, const char* name);
[[nodiscard]] std::optional<std::string> to_optional_text(nb::handle value, const char* name);

// `value` itself when it is a pandas DataFrame, else a TypeError naming `name`.
nb::handle require_dataframe(nb::handle value, const char* name);

// `value` itself when it is a dict (None allowed when `allow_none`).
nb::handle require_dict(nb::handle value, const char* name, bool allow_none);

}  // namespace morvane::pyglue
