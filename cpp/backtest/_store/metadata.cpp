#include "metadata.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "imports.hpp"
#include "kernels/files.hpp"
#include "kernels/store_errors.hpp"
#include "pyglue/args.hpp"
#include "pyglue/builtins.hpp"

using namespace nanobind::literals;

namespace morvane::store {

namespace {

// Bounds of a metadata tree. A store's metadata nests a few levels and holds
// one date list per distinct index; a pickle can share one list many times
// over (x = [x, x], sixty times, in a few kilobytes), so the tree is measured
// as if every shared value were copied out, and beyond these bounds it is not
// metadata but a trap for whatever walks it next (the manifest's JSON would).
constexpr std::size_t kMaxDepth = 64;
constexpr std::uint64_t kMaxNodes = 4'000'000;

[[noreturn]] void refuse_global(nb::handle module, nb::handle name) {
  const nb::object& error = imports().unpickling_error;
  const std::string message = "元信息文件引用了对象 " + nb::cast<std::string>(nb::str(module)) +
                              "." + nb::cast<std::string>(nb::str(name)) + ", 已拒绝加载";
  PyErr_SetString(error.ptr(), message.c_str());
  throw nb::python_error();
}

bool is_plain_scalar(PyObject* value) {
  return value == Py_None || PyBool_Check(value) || PyLong_CheckExact(value) ||
         PyFloat_CheckExact(value) || PyUnicode_CheckExact(value);
}

bool is_plain_container(PyObject* value) {
  return PyDict_CheckExact(value) || PyList_CheckExact(value) || PyTuple_CheckExact(value);
}

std::string repr_text(PyObject* value) { return nb::cast<std::string>(nb::repr(value)); }

// One container being walked: its position and the item under visit.
struct Frame {
  PyObject* container;
  Py_ssize_t position = 0;    // PyDict_Next position or item index
  PyObject* key = nullptr;    // dict: the key of the current item
  PyObject* value = nullptr;  // dict: its value, visited after the key
  bool at_key = false;        // dict: the current item is the key
  std::uint64_t nodes = 1;    // the container and what it holds, shared values counted each time
  std::size_t height = 1;     // containers on the longest path down, itself included
};

struct Walked {
  std::uint64_t nodes;
  std::size_t height;
};

// Walks a value tree once per distinct container, remembering each one's
// size and height, so a tree of shared references costs what its pickle
// holds, not what it expands to.
class TreeWalk {
 public:
  explicit TreeWalk(std::string root) : root_(std::move(root)) {}

  // The first problem: where a value of a foreign type sits, or why the tree
  // is malformed (too deep, too large, or holding itself).
  TreeProblem check(PyObject* value) {
    if (is_plain_scalar(value)) return {};
    if (!is_plain_container(value)) return foreign(value);
    push(value);
    while (!stack_.empty()) {
      PyObject* child = next_child(stack_.back());
      if (child == nullptr) {
        if (TreeProblem problem = pop(); problem.kind != TreeProblem::kNone) return problem;
        continue;
      }
      if (is_plain_scalar(child)) {
        if (TreeProblem problem = add(stack_.back(), {1, 0}); problem.kind != TreeProblem::kNone) {
          return problem;
        }
        continue;
      }
      if (!is_plain_container(child)) return foreign(child);
      if (on_path_.count(child) != 0) return malformed("含循环引用");
      const auto known = walked_.find(child);
      if (known != walked_.end()) {
        if (stack_.size() + known->second.height > kMaxDepth) return too_deep();
        if (TreeProblem problem = add(stack_.back(), known->second);
            problem.kind != TreeProblem::kNone) {
          return problem;
        }
        continue;
      }
      if (stack_.size() >= kMaxDepth) return too_deep();
      push(child);
    }
    return {};
  }

 private:
  void push(PyObject* container) {
    stack_.push_back(Frame{container});
    on_path_.insert(container);
  }

  // The next item of a container, or nullptr when it has no more.
  static PyObject* next_child(Frame& frame) {
    if (PyDict_CheckExact(frame.container)) {
      if (frame.at_key) {
        frame.at_key = false;
        return frame.value;
      }
      if (PyDict_Next(frame.container, &frame.position, &frame.key, &frame.value) == 0) {
        return nullptr;
      }
      frame.at_key = true;
      return frame.key;
    }
    if (frame.position >= PySequence_Fast_GET_SIZE(frame.container)) return nullptr;
    return PySequence_Fast_ITEMS(frame.container)[frame.position++];
  }

  TreeProblem add(Frame& frame, const Walked& child) {
    frame.nodes = std::min(frame.nodes + child.nodes, kMaxNodes + 1);
    frame.height = std::max(frame.height, child.height + 1);
    if (frame.nodes > kMaxNodes) {
      return malformed("展开后超过 " + std::to_string(kMaxNodes) + " 个值");
    }
    return {};
  }

  TreeProblem pop() {
    const Frame done = stack_.back();
    stack_.pop_back();
    on_path_.erase(done.container);
    const Walked walked{done.nodes, done.height};
    walked_.emplace(done.container, walked);
    if (stack_.empty()) return {};
    return add(stack_.back(), walked);
  }

  // Where the item under visit sits, e.g. `元信息["meta"][3]`.
  [[nodiscard]] std::string where() const {
    std::string text = root_;
    for (const Frame& frame : stack_) {
      if (PyDict_CheckExact(frame.container) && frame.at_key) {
        text += " 的键 ";
        text += repr_text(frame.key);
        continue;
      }
      text += '[';
      text += PyDict_CheckExact(frame.container) ? repr_text(frame.key)
                                                 : std::to_string(frame.position - 1);
      text += ']';
    }
    return text;
  }

  [[nodiscard]] TreeProblem foreign(PyObject* value) const {
    return {TreeProblem::kForeign,
            where() + " (类型 " + pyglue::python_type_name(nb::handle(value)) + ")"};
  }

  [[nodiscard]] TreeProblem malformed(const std::string& why) const {
    return {TreeProblem::kMalformed, why + ", 位于 " + where()};
  }

  [[nodiscard]] TreeProblem too_deep() const {
    return malformed("嵌套超过 " + std::to_string(kMaxDepth) + " 层");
  }

  std::string root_;
  std::vector<Frame> stack_;
  std::unordered_set<PyObject*> on_path_;
  std::unordered_map<PyObject*, Walked> walked_;
};

}  // namespace

nb::dict dict_copy(nb::handle mapping) { return pyglue::dict_of(mapping); }

nb::object make_restricted_unpickler() {
  // Made before the module's imports (which hold this class), so it imports
  // pickle itself.
  const nb::object pickle = nb::module_::import_("pickle");
  const nb::handle static_method(reinterpret_cast<PyObject*>(&PyStaticMethod_Type));
  const nb::handle type(reinterpret_cast<PyObject*>(&PyType_Type));
  nb::dict namespace_;
  namespace_["find_class"] = static_method(nb::cpp_function(&refuse_global, "module"_a, "name"_a));
  namespace_["__doc__"] =
      "只还原 dict、list、tuple、str、int、float、bool 与 None 的 pickle 读取器。";
  return type("_MetadataUnpickler", nb::make_tuple(pickle.attr("Unpickler")), namespace_);
}

nb::object read_metadata(const std::string& path) {
  std::string bytes;
  {
    nb::gil_scoped_release released;
    bytes = kernels::read_whole_file(path);
  }
  const nb::object& unpickler = imports().metadata_unpickler;
  const nb::object stream = imports().bytes_io(nb::bytes(bytes.data(), bytes.size()));
  nb::object metadata;
  try {
    metadata = unpickler(stream).attr("load")();
  } catch (const nb::python_error& error) {
    throw kernels::FormatError("元信息文件无法读取 (" + std::string(error.what()) + "): " + path);
  }
  const TreeProblem problem = check_tree(metadata, "元信息");
  if (problem.kind == TreeProblem::kForeign) {
    throw kernels::FormatError("元信息文件含不允许的值 " + problem.text + ": " + path);
  }
  if (problem.kind == TreeProblem::kMalformed) {
    throw kernels::FormatError("元信息文件格式错误 (" + problem.text + "): " + path);
  }
  if (!PyDict_CheckExact(metadata.ptr())) {
    throw kernels::FormatError("元信息文件的内容不是映射: " + path);
  }
  return metadata;
}

TreeProblem check_tree(nb::handle value, const std::string& where) {
  return TreeWalk(where).check(value.ptr());
}

void require_plain_values(nb::handle value, const std::string& where) {
  const TreeProblem problem = check_tree(value, where);
  if (problem.kind == TreeProblem::kForeign) {
    const std::string message =
        "元信息只能保存 dict、list、tuple、str、int、float、bool 与 None, " + problem.text +
        " 不能保存";
    throw nb::type_error(message.c_str());
  }
  if (problem.kind == TreeProblem::kMalformed) {
    throw nb::value_error(("元信息无法保存: " + problem.text).c_str());
  }
}

std::string pickle_metadata(nb::handle metadata) {
  require_plain_values(metadata, "metadata");
  // A negative protocol is pickle's highest.
  const nb::bytes data =
      nb::cast<nb::bytes>(imports().pickle.attr("dumps")(metadata, "protocol"_a = -1));
  return std::string(data.c_str(), data.size());
}

std::string manifest_json(nb::handle metadata) {
  nb::dict manifest;
  manifest["format"] = "morvane-prepared-data";
  manifest["format_version"] = 1;
  const nb::dict source = nb::borrow<nb::dict>(metadata);
  for (auto [key, value] : source) {
    if (!nb::str("datasets").equal(key) || !PyDict_Check(value.ptr())) {
      manifest[key] = value;
      continue;
    }
    nb::dict datasets;
    for (auto [name, description] : nb::borrow<nb::dict>(value)) {
      if (!PyDict_Check(description.ptr())) {
        datasets[name] = description;
        continue;
      }
      nb::dict entry;
      for (auto [field, item] : nb::borrow<nb::dict>(description)) {
        if (!nb::str("index").equal(field)) entry[field] = item;
      }
      const nb::object index = pyglue::get_item(description, "index");
      if (PyList_Check(index.ptr()) || PyTuple_Check(index.ptr())) {
        const std::size_t n = nb::len(index);
        entry["rows"] = n;
        entry["first_date"] = n > 0 ? nb::object(index[0]) : nb::none();
        entry["last_date"] = n > 0 ? nb::object(index[n - 1]) : nb::none();
      }
      datasets[name] = entry;
    }
    manifest[key] = datasets;
  }
  const nb::object text = imports().json_dumps(manifest, "ensure_ascii"_a = false, "indent"_a = 2,
                                               "default"_a = imports().repr);
  return nb::cast<std::string>(text);
}

}  // namespace morvane::store
