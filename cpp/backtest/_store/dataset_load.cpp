#include <nanobind/stl/string.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "datasets.hpp"
#include "imports.hpp"
#include "kernels/files.hpp"
#include "kernels/journal.hpp"
#include "kernels/store_errors.hpp"
#include "pyglue/arrays.hpp"
#include "pyglue/builtins.hpp"
#include "pyglue/frames.hpp"

using namespace nanobind::literals;

namespace morvane::store {

namespace {

[[noreturn]] void bad_description(const std::string& key, const std::string& what,
                                  const std::string& metadata_path) {
  throw kernels::FormatError("元信息中数据集 " + key + " 的描述" + what + ": " + metadata_path);
}

std::uint64_t parse_hex(const std::string& text, bool& ok) {
  ok = text.size() == 16;
  std::uint64_t value = 0;
  for (const char c : text) {
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) ok = false;
    value = value * 16 + static_cast<std::uint64_t>(std::max(digit, 0));
  }
  return value;
}

template <class T>
nb::object mapped_array(std::shared_ptr<const kernels::Mapping> mapping, std::uint64_t offset,
                        std::size_t rows, std::size_t cols, std::int64_t row_stride) {
  const T* const data = reinterpret_cast<const T*>(mapping->data() + offset);
  const nb::capsule owner = pyglue::owner_of(
      std::make_unique<std::shared_ptr<const kernels::Mapping>>(std::move(mapping)));
  return pyglue::numpy_rows(data, rows, cols, row_stride, owner);
}

template <class T>
nb::object owned_array(std::unique_ptr<kernels::PageBuffer> buffer, std::size_t rows,
                       std::size_t cols, std::int64_t row_stride) {
  T* const data = reinterpret_cast<T*>(buffer->data());
  return pyglue::numpy_rows(data, rows, cols, row_stride, pyglue::owner_of(std::move(buffer)));
}

}  // namespace

DatasetRef read_description(nb::handle description, const std::string& key,
                            const std::string& metadata_path) {
  if (!PyDict_Check(description.ptr())) bad_description(key, "不是映射", metadata_path);
  const nb::dict entry = nb::borrow<nb::dict>(description);
  DatasetRef ref;
  ref.key = key;
  const nb::object file = pyglue::get_item(entry, "file");
  if (!PyUnicode_Check(file.ptr())) bad_description(key, "缺少文件名", metadata_path);
  ref.file = nb::cast<std::string>(file);
  if (!kernels::is_plain_file_name(ref.file) || ref.file[0] == '.') {
    bad_description(
        key, "的文件名 " + nb::cast<std::string>(nb::repr(file)) + " 不是存储目录内的普通文件名",
        metadata_path);
  }
  const nb::object dtype = pyglue::get_item(entry, "dtype");
  if (!nb::str("float64").equal(dtype) && !nb::str("bool").equal(dtype)) {
    bad_description(key, "的存储类型无效", metadata_path);
  }
  ref.dtype = nb::str("bool").equal(dtype) ? kernels::Dtype::kBool : kernels::Dtype::kFloat64;
  const nb::object shape = pyglue::get_item(entry, "shape");
  if (!(PyList_Check(shape.ptr()) || PyTuple_Check(shape.ptr())) || nb::len(shape) != 2 ||
      !PyLong_CheckExact(nb::object(shape[0]).ptr()) ||
      !PyLong_CheckExact(nb::object(shape[1]).ptr())) {
    bad_description(key, "的形状无效", metadata_path);
  }
  const long long rows = nb::cast<long long>(shape[0]);
  const long long cols = nb::cast<long long>(shape[1]);
  if (rows < 0 || cols < 0) bad_description(key, "的形状无效", metadata_path);
  ref.rows = static_cast<std::uint64_t>(rows);
  ref.cols = static_cast<std::uint64_t>(cols);
  const nb::object checksum = pyglue::get_item(entry, "checksum");
  bool ok = PyUnicode_Check(checksum.ptr());
  if (ok) ref.checksum = parse_hex(nb::cast<std::string>(checksum), ok);
  if (!ok || ref.checksum == 0) bad_description(key, "的校验和无效", metadata_path);
  return ref;
}

kernels::OpenedMatrix open_dataset(const std::string& dir, const DatasetRef& ref) {
  const std::string path = dir + "/" + ref.file;
  if (!kernels::path_exists(path)) {
    throw kernels::IoError(ENOENT, path, "数据集 " + ref.key + " 的数据文件缺失: " + path);
  }
  kernels::OpenedMatrix opened = kernels::open_matrix(path, path, ref.checksum);
  if (opened.header.dtype != ref.dtype || opened.header.rows != ref.rows ||
      opened.header.cols != ref.cols) {
    throw kernels::FormatError("数据文件的类型或形状与元信息记录的不一致: " + path);
  }
  return opened;
}

void verify_dataset(const std::string& dir, const DatasetRef& ref) {
  const kernels::OpenedMatrix opened = open_dataset(dir, ref);
  const std::shared_ptr<const kernels::Mapping> mapping = kernels::Mapping::map(opened.file);
  kernels::verify_mapped_rows(opened, *mapping, 0, opened.header.rows, opened.file.path());
}

nb::object TableLoader::labels(const std::string& raw, std::size_t width, bool dates) {
  std::string cache_key(dates ? "d" : "c");
  cache_key += std::to_string(width);
  cache_key += ':';
  cache_key += raw;
  auto found = label_cache_.find(cache_key);
  if (found != label_cache_.end()) return found->second;
  const std::size_t n = width == 0 ? 0 : raw.size() / width;
  nb::list texts;
  for (std::size_t i = 0; i < n; ++i) {
    const char* const slot = raw.data() + i * width;
    texts.append(nb::str(slot, strnlen(slot, width)));
  }
  nb::object index = pyglue::imports().index(texts);
  return label_cache_.emplace(cache_key, index).first->second;
}

TableLoader::Loaded TableLoader::load(const DatasetRef& ref) {
  std::optional<kernels::OpenedMatrix> opened;
  std::shared_ptr<const kernels::Mapping> mapping;
  std::unique_ptr<kernels::PageBuffer> buffer;
  std::uint64_t lo = 0;
  std::uint64_t hi = 0;
  {
    const nb::gil_scoped_release released;
    opened.emplace(open_dataset(dir_, ref));
    const std::vector<std::int32_t> dates = opened->dates();
    lo = start_ ? static_cast<std::uint64_t>(std::lower_bound(dates.begin(), dates.end(), *start_) -
                                             dates.begin())
                : 0;
    hi = end_ ? static_cast<std::uint64_t>(std::upper_bound(dates.begin(), dates.end(), *end_) -
                                           dates.begin())
              : dates.size();
    hi = std::max(lo, hi);
    const std::uint64_t row_bytes = opened->layout.row_bytes;
    if (mmap_) {
      mapping = kernels::Mapping::map(opened->file);
      if (verify_) {
        kernels::verify_mapped_rows(*opened, *mapping, lo, hi - lo, opened->file.path());
      }
    } else {
      buffer = std::make_unique<kernels::PageBuffer>((hi - lo) * row_bytes);
      const std::span<std::byte> data(buffer->data(), (hi - lo) * row_bytes);
      opened->file.read_exact(opened->layout.data + lo * row_bytes, data);
      if (verify_) kernels::verify_rows(*opened, lo, hi - lo, data, opened->file.path());
    }
  }
  const kernels::MatrixHeader& header = opened->header;
  const std::size_t rows = hi - lo;
  const std::size_t cols = header.cols;
  const auto stride = static_cast<std::int64_t>(header.col_capacity);
  Loaded out;
  const bool is_bool = header.dtype == kernels::Dtype::kBool;
  if (mmap_) {
    const std::uint64_t offset = opened->layout.data + lo * opened->layout.row_bytes;
    out.values = is_bool ? mapped_array<bool>(mapping, offset, rows, cols, stride)
                         : mapped_array<double>(mapping, offset, rows, cols, stride);
  } else {
    out.values = is_bool ? owned_array<bool>(std::move(buffer), rows, cols, stride)
                         : owned_array<double>(std::move(buffer), rows, cols, stride);
  }
  out.index = labels(opened->row_labels, kernels::kDateBytes, true)[pyglue::py_slice(lo, hi)];
  out.columns = labels(opened->col_labels, header.label_width, false);
  return out;
}

nb::object TableLoader::frame(const DatasetRef& ref) {
  const Loaded loaded = load(ref);
  return pyglue::imports().data_frame(loaded.values, "index"_a = loaded.index,
                                      "columns"_a = loaded.columns, "copy"_a = false);
}

nb::object TableLoader::series(const DatasetRef& ref) {
  const Loaded loaded = load(ref);
  if (nb::len(loaded.columns) != 1) {
    throw kernels::FormatError("基准序列的数据文件应只有一列: " + dir_ + "/" + ref.file);
  }
  const nb::object label = loaded.columns[0];
  const nb::object name = nb::len(label) == 0 ? nb::none() : label;
  const nb::object column =
      loaded.values[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), 0)];
  return pyglue::imports().series(column, "index"_a = loaded.index, "name"_a = name,
                                  "copy"_a = false);
}

}  // namespace morvane::store
