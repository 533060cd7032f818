// The Python objects the binding helpers call most, imported once and shared
// by every module linking them: numpy, pandas and its types, the standard
// library's path and date types, and the package's logger. The first caller
// builds them, under the GIL; they are read-only after that. Modules call
// load_imports() from their initialisation so that no call pays for it.
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::pyglue {

namespace nb = nanobind;

struct Imports {
  nb::object np;                   // numpy
  nb::object nan;                  // numpy.nan
  nb::object pd;                   // pandas
  nb::object data_frame;           // pandas.DataFrame
  nb::object series;               // pandas.Series
  nb::object index;                // pandas.Index
  nb::object timestamp;            // pandas.Timestamp
  nb::object nat;                  // pandas.NaT
  nb::object datetime_index;       // pandas.DatetimeIndex
  nb::object arrow_dtype;          // pandas.ArrowDtype
  nb::object string_dtype;         // pandas.StringDtype
  nb::object invalid_index_error;  // pandas.errors.InvalidIndexError
  nb::object datetime64;           // numpy.datetime64
  nb::object isna;                 // pandas.isna
  nb::object notna;                // pandas.notna
  nb::object multi_index;          // pandas.MultiIndex
  nb::object to_datetime;          // pandas.to_datetime
  nb::object path;                 // pathlib.Path
  nb::object path_like;            // os.PathLike
  nb::object fspath;               // os.fspath
  nb::object date;                 // datetime.date
  nb::object range;                // builtins.range
  nb::object logger;               // morvane.logger.logger
  nb::object warn_user;            // morvane.logger.warn_user
};

[[nodiscard]] const Imports& imports();
inline void load_imports() { (void)imports(); }

}  // namespace morvane::pyglue
