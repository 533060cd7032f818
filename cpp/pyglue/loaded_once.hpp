// A struct of imported Python objects, built once and read-only afterwards.
// It is never freed: its objects would otherwise be released when the library
// unloads, after the interpreter has gone. Each instantiation has its own
// slot, so each module's struct (and pyglue's own) is kept apart.
//
// The slot is guarded by the GIL, not by a static initialiser's lock:
// importing may release the GIL, and another thread waiting on such a lock
// while holding the GIL would deadlock. Two threads may then both build the
// value; the first to finish is kept and the other is dropped.
#pragma once

namespace morvane::pyglue {

template <class T>
class LoadedOnce {
 public:
  // The value, built with `make` unless it is built already. Call with the GIL.
  template <class Make>
  static const T& get_or_load(Make&& make) {
    if (slot() == nullptr) {
      const T* built = new T(make());
      if (slot() == nullptr) {
        slot() = built;
      } else {
        delete built;
      }
    }
    return *slot();
  }

  // Builds the value from the module's initialisation, so that no call pays for it.
  template <class Make>
  static void load(Make&& make) {
    (void)get_or_load(make);
  }

  [[nodiscard]] static const T& get() { return *slot(); }

 private:
  static const T*& slot() {
    static const T* loaded = nullptr;
    return loaded;
  }
};

}  // namespace morvane::pyglue
