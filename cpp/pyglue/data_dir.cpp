#include "data_dir.hpp"

#include "imports.hpp"

namespace morvane::pyglue {

nb::object package_data_dir() {
  return imports().path.attr("home")().attr("joinpath")(".morvane", "backtest_data",
                                                        "enviroment_data");
}

}  // namespace morvane::pyglue
