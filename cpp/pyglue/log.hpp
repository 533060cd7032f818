// Messages through the package logger "morvane", which is silent unless the
// user attaches a handler. Arguments are passed %-style, unformatted, so a
// disabled level costs one call. Needs the GIL.
//
// A warning the user needs (a result that is computed but may not be what
// was meant) goes through warn_user: the log, and a MorvaneWarning pointing
// at the user's own line, which notebooks show even without a log handler.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

#include "imports.hpp"

namespace morvane::pyglue {

namespace nb = nanobind;

template <class... Args>
void log_message(const char* level, const char* format, Args&&... args) {
  imports().logger.attr(level)(format, std::forward<Args>(args)...);
}

template <class... Args>
void warn_user(const char* format, Args&&... args) {
  imports().warn_user(format, std::forward<Args>(args)...);
}

}  // namespace morvane::pyglue
