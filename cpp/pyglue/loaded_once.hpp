// A module's struct of imported Python objects, built once when the module
// initialises and read-only afterwards. It is never freed: its objects would
// otherwise be released when the library unloads, after the interpreter has
// gone. Each module instantiates it with its own struct, so each has its own.
#pragma once

namespace morvane::pyglue {

template <class T>
class LoadedOnce {
 public:
  // Builds the value with `make` unless it is built already. Call it from the
  // module's initialisation, before any thread can call into the module.
  template <class Make>
  static void load(Make&& make) {
    if (slot() == nullptr) slot() = new T(make());
  }

  [[nodiscard]] static const T& get() { return *slot(); }

 private:
  static const T*& slot() {
    static const T* loaded = nullptr;
    return loaded;
  }
};

}  // namespace morvane::pyglue
