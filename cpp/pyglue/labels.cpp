#include "labels.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <unordered_map>

#include "frames.hpp"
#include "imports.hpp"

namespace morvane::pyglue {

namespace {

// A contiguous read-only byte range of a buffer-protocol object (a pyarrow
// Buffer). The object stays referenced by the caller, so the range outlives
// the released Py_buffer: arrow buffers never move.
std::optional<std::string_view> buffer_bytes(nb::handle buffer) {
  Py_buffer view;
  if (PyObject_GetBuffer(buffer.ptr(), &view, PyBUF_SIMPLE) != 0) {
    PyErr_Clear();
    return std::nullopt;
  }
  const std::string_view bytes(static_cast<const char*>(view.buf),
                               static_cast<std::size_t>(view.len));
  PyBuffer_Release(&view);
  return bytes;
}

template <class Offset>
bool append_arrow_texts(std::string_view offsets_bytes, std::string_view data, std::size_t offset,
                        std::size_t length, std::vector<std::string_view>& out) {
  if (offsets_bytes.size() < (offset + length + 1) * sizeof(Offset)) return false;
  const auto* const offsets = reinterpret_cast<const Offset*>(offsets_bytes.data()) + offset;
  for (std::size_t i = 0; i < length; ++i) {
    const auto begin = static_cast<std::size_t>(offsets[i]);
    const auto end = static_cast<std::size_t>(offsets[i + 1]);
    if (end < begin || end > data.size()) return false;
    out.emplace_back(data.data() + begin, end - begin);
  }
  return true;
}

// An arrow-backed text index, read from the chunks' offset and data buffers.
std::optional<TextLabels> arrow_text_labels(nb::handle values) {
  if (!nb::hasattr(values, "__arrow_array__")) return std::nullopt;
  const nb::object arrow = values.attr("__arrow_array__")();
  // A chunked array is read chunk by chunk; asking for its list of chunks
  // would wrap every chunk up front.
  const bool chunked = nb::hasattr(arrow, "num_chunks");
  const std::size_t n_chunks = chunked ? nb::cast<std::size_t>(arrow.attr("num_chunks")) : 1;
  TextLabels out;
  nb::list owners;
  out.texts.reserve(nb::len(values));
  for (std::size_t k = 0; k < n_chunks; ++k) {
    const nb::object chunk = chunked ? nb::object(arrow.attr("chunk")(k)) : arrow;
    const std::string type = nb::cast<std::string>(nb::str(nb::object(chunk.attr("type"))));
    const bool large = type == "large_string" || type == "large_utf8";
    if (!large && type != "string" && type != "utf8") return std::nullopt;
    if (nb::cast<std::int64_t>(chunk.attr("null_count")) != 0) return std::nullopt;
    const std::size_t length = nb::len(chunk);
    if (length == 0) continue;
    const nb::list buffers = nb::cast<nb::list>(chunk.attr("buffers")());
    if (nb::len(buffers) < 3 || buffers[1].is_none()) return std::nullopt;
    const std::optional<std::string_view> offsets = buffer_bytes(buffers[1]);
    const std::optional<std::string_view> data =
        buffers[2].is_none() ? std::optional<std::string_view>(std::string_view())
                             : buffer_bytes(buffers[2]);
    if (!offsets || !data) return std::nullopt;
    const auto offset = nb::cast<std::size_t>(chunk.attr("offset"));
    const bool read =
        large ? append_arrow_texts<std::int64_t>(*offsets, *data, offset, length, out.texts)
              : append_arrow_texts<std::int32_t>(*offsets, *data, offset, length, out.texts);
    if (!read) return std::nullopt;
    owners.append(buffers);
  }
  if (out.texts.size() != nb::len(values)) return std::nullopt;
  owners.append(arrow);
  out.owner = std::move(owners);
  return out;
}

// Any other index: its labels as a list, kept only when each one is a str.
std::optional<TextLabels> listed_text_labels(nb::handle index) {
  const nb::list listed = python_values(index);
  const Py_ssize_t n = PyList_GET_SIZE(listed.ptr());
  TextLabels out;
  out.texts.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* const label = PyList_GET_ITEM(listed.ptr(), i);
    if (!PyUnicode_CheckExact(label)) return std::nullopt;
    Py_ssize_t size = 0;
    const char* const utf8 = PyUnicode_AsUTF8AndSize(label, &size);
    if (utf8 == nullptr) {  // a lone surrogate has no UTF-8 form
      PyErr_Clear();
      return std::nullopt;
    }
    out.texts.emplace_back(utf8, static_cast<std::size_t>(size));
  }
  out.owner = listed;
  return out;
}

}  // namespace

bool TextLabels::ascending() const { return std::is_sorted(texts.begin(), texts.end()); }

bool TextLabels::strictly_ascending() const {
  return std::adjacent_find(texts.begin(), texts.end(), [](std::string_view a, std::string_view b) {
           return a >= b;
         }) == texts.end();
}

bool TextLabels::same_as(const TextLabels& other) const { return texts == other.texts; }

std::optional<TextLabels> text_labels(nb::handle index) {
  const nb::object dtype = index.attr("dtype");
  if (nb::isinstance(dtype, imports().arrow_dtype)) {
    return arrow_text_labels(index.attr("array"));  // texts when its arrow type is a string type
  }
  if (nb::isinstance(dtype, imports().string_dtype)) {
    // Python-storage string arrays offer __arrow_array__ too, but calling it
    // imports pyarrow, which a bare install does not have: only arrow storage
    // ("pyarrow", and pandas 2's "pyarrow_numpy") is read from its buffers.
    const std::string storage = nb::cast<std::string>(nb::str(dtype.attr("storage")));
    if (storage.starts_with("pyarrow")) {
      if (std::optional<TextLabels> arrow = arrow_text_labels(index.attr("array"))) return arrow;
    }
    return listed_text_labels(index);
  }
  // Numbers, dates and the like are never texts; only object indexes may be.
  if (nb::cast<std::string>(dtype.attr("kind")) != "O") return std::nullopt;
  return listed_text_labels(index);
}

std::optional<std::vector<std::int64_t>> text_positions(const TextLabels& source,
                                                        const TextLabels& target) {
  std::vector<std::int64_t> positions(target.size());
  if (source.same_as(target)) {
    std::iota(positions.begin(), positions.end(), std::int64_t{0});
    return positions;
  }
  if (source.strictly_ascending()) {
    // Sorted labels (dates, and stock codes as the store keeps them) are
    // unique and found by binary search, with no table to build.
    const auto begin = source.texts.begin();
    const auto end = source.texts.end();
    auto from = begin;
    for (std::size_t i = 0; i < target.size(); ++i) {
      const std::string_view label = target.texts[i];
      // Targets mostly ascend too: search on from the previous hit.
      if (from == end || label < *from) from = begin;
      const auto found = std::lower_bound(from, end, label);
      positions[i] = found != end && *found == label ? found - begin : -1;
      from = found;
    }
    return positions;
  }
  std::unordered_map<std::string_view, std::int64_t> where;
  where.reserve(source.size());
  for (std::size_t i = 0; i < source.size(); ++i) {
    if (!where.emplace(source.texts[i], static_cast<std::int64_t>(i)).second) return std::nullopt;
  }
  for (std::size_t i = 0; i < target.size(); ++i) {
    const auto found = where.find(target.texts[i]);
    positions[i] = found == where.end() ? -1 : found->second;
  }
  return positions;
}

}  // namespace morvane::pyglue
