#include "matrix_file.hpp"

#include <algorithm>
#include <cstring>

#include "checksum.hpp"
#include "store_errors.hpp"

namespace morvane::kernels {

namespace {

constexpr char kMagic[8] = {'M', 'V', 'N', 'M', 'A', 'T', 'R', 'X'};
constexpr std::uint64_t kChecksumOffset = 96;
constexpr std::uint64_t kAlign = 4096;
constexpr std::uint64_t kMaxCells = std::uint64_t{1} << 40;

std::uint64_t round_up(std::uint64_t value, std::uint64_t step) {
  return (value + step - 1) / step * step;
}

template <class T>
void put(std::string& out, std::size_t offset, T value) {
  std::memcpy(out.data() + offset, &value, sizeof value);
}

template <class T>
T get(std::string_view in, std::size_t offset) {
  T value;
  std::memcpy(&value, in.data() + offset, sizeof value);
  return value;
}

std::span<const std::byte> bytes_of(std::string_view text) {
  return std::as_bytes(std::span(text.data(), text.size()));
}

std::span<std::byte> writable(std::string& text) {
  return std::as_writable_bytes(std::span(text.data(), text.size()));
}

std::string sums_bytes(std::span<const std::uint64_t> sums) {
  std::string out(sums.size() * sizeof(std::uint64_t), '\0');
  if (!sums.empty()) std::memcpy(out.data(), sums.data(), out.size());
  return out;
}

[[noreturn]] void damaged(const std::string& name, const std::string& what) {
  throw FormatError("数据文件已损坏 (" + what + "): " + name);
}

std::int32_t parse_date(const char* text) {
  std::int32_t value = 0;
  for (std::size_t k = 0; k < kDateBytes; ++k) {
    if (text[k] < '0' || text[k] > '9') return -1;
    value = value * 10 + (text[k] - '0');
  }
  return value;
}

}  // namespace

std::size_t item_size(Dtype dtype) { return dtype == Dtype::kBool ? 1 : 8; }

MatrixLayout layout_of(const MatrixHeader& header) {
  MatrixLayout layout;
  layout.row_labels = kHeaderBytes;
  layout.col_labels = layout.row_labels + header.row_capacity * kDateBytes;
  layout.row_sums = layout.col_labels + header.col_capacity * header.label_width;
  layout.data = round_up(layout.row_sums + header.row_capacity * 8, kAlign);
  layout.row_bytes = header.col_capacity * item_size(header.dtype);
  layout.file_size = layout.data + header.row_capacity * layout.row_bytes;
  return layout;
}

MatrixHeader sized_header(Dtype dtype, bool fill_true, std::uint64_t rows, std::uint64_t cols,
                          std::size_t longest_label) {
  MatrixHeader header;
  header.dtype = dtype;
  header.fill_true = fill_true;
  header.label_width =
      static_cast<std::uint32_t>(round_up(std::max<std::size_t>(longest_label, 1), 8) + 8);
  header.rows = rows;
  header.cols = cols;
  header.row_capacity = rows + std::max<std::uint64_t>(256, rows / 4);
  header.col_capacity = cols + std::max<std::uint64_t>(16, cols / 16);
  return header;
}

std::string encode_dates(std::span<const std::int32_t> dates) {
  std::string out(dates.size() * kDateBytes, '0');
  for (std::size_t i = 0; i < dates.size(); ++i) {
    std::int32_t value = dates[i];
    for (std::size_t k = kDateBytes; k-- > 0; value /= 10) {
      out[i * kDateBytes + k] = static_cast<char>('0' + value % 10);
    }
  }
  return out;
}

std::string encode_labels(std::span<const std::string> labels, std::size_t width) {
  std::string out(labels.size() * width, '\0');
  for (std::size_t i = 0; i < labels.size(); ++i) {
    std::memcpy(out.data() + i * width, labels[i].data(), std::min(width, labels[i].size()));
  }
  return out;
}

std::string encode_header(const MatrixHeader& header) {
  std::string out(kHeaderBytes, '\0');
  std::memcpy(out.data(), kMagic, sizeof kMagic);
  put<std::uint32_t>(out, 8, kMatrixFormatVersion);
  put<std::uint32_t>(out, 12, static_cast<std::uint32_t>(header.dtype));
  put<std::uint32_t>(out, 16, header.fill_true ? 1u : 0u);
  put<std::uint32_t>(out, 20, header.label_width);
  put<std::uint64_t>(out, 24, header.rows);
  put<std::uint64_t>(out, 32, header.cols);
  put<std::uint64_t>(out, 40, header.row_capacity);
  put<std::uint64_t>(out, 48, header.col_capacity);
  put<std::uint64_t>(out, kChecksumOffset, header.checksum);
  return out;
}

std::uint64_t combined_checksum(const MatrixHeader& header, std::string_view row_labels,
                                std::string_view col_labels,
                                std::span<const std::uint64_t> row_sums) {
  const std::string fields = encode_header(header).substr(0, kChecksumOffset);
  std::uint64_t sum = checksum64(bytes_of(fields));
  sum = checksum64(bytes_of(row_labels), sum);
  sum = checksum64(bytes_of(col_labels), sum);
  return checksum64(std::as_bytes(row_sums), sum);
}

std::vector<std::int32_t> OpenedMatrix::dates() const {
  std::vector<std::int32_t> out(header.rows);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = parse_date(&row_labels[i * kDateBytes]);
  return out;
}

std::vector<std::string> OpenedMatrix::columns() const {
  std::vector<std::string> out(header.cols);
  const std::size_t width = header.label_width;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const char* const slot = col_labels.data() + i * width;
    out[i].assign(slot, strnlen(slot, width));
  }
  return out;
}

namespace {

// The header of an opened matrix file of `size` bytes, checked: magic,
// version, dtype, fill and a shape that fits the file; else FormatError.
MatrixHeader read_header(const File& file, const std::string& name, std::uint64_t size) {
  if (size < kHeaderBytes) damaged(name, "文件过短, 缺少文件头");
  std::string raw(kHeaderBytes, '\0');
  file.read_exact(0, writable(raw));
  if (std::memcmp(raw.data(), kMagic, sizeof kMagic) != 0) damaged(name, "文件标识不符");
  if (get<std::uint32_t>(raw, 8) != kMatrixFormatVersion) {
    damaged(name, "不支持的格式版本 " + std::to_string(get<std::uint32_t>(raw, 8)));
  }
  MatrixHeader header{};
  const std::uint32_t dtype = get<std::uint32_t>(raw, 12);
  const std::uint32_t fill = get<std::uint32_t>(raw, 16);
  if (dtype != 1 && dtype != 2) damaged(name, "未知的数据类型");
  if (fill > 1) damaged(name, "缺失值标记无效");
  header.dtype = static_cast<Dtype>(dtype);
  header.fill_true = fill == 1;
  header.label_width = get<std::uint32_t>(raw, 20);
  header.rows = get<std::uint64_t>(raw, 24);
  header.cols = get<std::uint64_t>(raw, 32);
  header.row_capacity = get<std::uint64_t>(raw, 40);
  header.col_capacity = get<std::uint64_t>(raw, 48);
  header.checksum = get<std::uint64_t>(raw, kChecksumOffset);
  if (header.label_width == 0 || header.label_width > 4096 || header.label_width % 8 != 0 ||
      header.rows > header.row_capacity || header.cols > header.col_capacity ||
      header.row_capacity > kMaxCells || header.col_capacity > kMaxCells ||
      header.row_capacity * std::max<std::uint64_t>(header.col_capacity, 1) > kMaxCells) {
    damaged(name, "文件头的形状无效");
  }
  return header;
}

// The labels and row checksums of an opened file, checked against the
// header's checksum (and the metadata's, `expected`, unless 0) and for
// ascending dates.
void read_labels(OpenedMatrix& out, const std::string& name, std::uint64_t expected) {
  const MatrixHeader& header = out.header;
  out.row_labels.assign(header.rows * kDateBytes, '\0');
  out.col_labels.assign(header.cols * header.label_width, '\0');
  out.row_sums.assign(header.rows, 0);
  out.file.read_exact(out.layout.row_labels, writable(out.row_labels));
  out.file.read_exact(out.layout.col_labels, writable(out.col_labels));
  out.file.read_exact(out.layout.row_sums, std::as_writable_bytes(std::span(out.row_sums)));
  if (combined_checksum(header, out.row_labels, out.col_labels, out.row_sums) != header.checksum) {
    damaged(name, "文件头或标签的校验和不符");
  }
  if (expected != 0 && expected != header.checksum) {
    damaged(name, "校验和与元信息记录的不一致");
  }
  std::int32_t previous = -1;
  for (std::uint64_t i = 0; i < header.rows; ++i) {
    const std::int32_t date = parse_date(&out.row_labels[i * kDateBytes]);
    if (date <= previous) damaged(name, "行标签不是升序日期");
    previous = date;
  }
}

}  // namespace

OpenedMatrix open_matrix(const std::string& path, const std::string& name, std::uint64_t expected) {
  OpenedMatrix out{File::open_read(path), {}, {}, {}, {}, {}};
  if (!out.file.is_regular()) damaged(name, "不是普通文件");
  const std::uint64_t size = out.file.size();
  out.header = read_header(out.file, name, size);
  out.layout = layout_of(out.header);
  if (size < out.layout.file_size) {
    damaged(name, "文件大小 " + std::to_string(size) + " 字节, 小于文件头记录的 " +
                      std::to_string(out.layout.file_size) + " 字节");
  }
  read_labels(out, name, expected);
  return out;
}

MatrixHeader write_matrix_file(const std::string& path, MatrixHeader header,
                               std::span<const std::int32_t> dates,
                               std::span<const std::string> columns, const RowComposer& compose,
                               bool sync) {
  const MatrixLayout layout = layout_of(header);
  const File file = File::create(path);
  file.grow_to(layout.file_size);
  std::vector<std::uint64_t> sums(header.rows);
  // Rows are composed and written in blocks of a few MiB.
  const std::uint64_t block_rows = std::max<std::uint64_t>(
      1, (std::uint64_t{4} << 20) / std::max<std::uint64_t>(layout.row_bytes, 1));
  std::vector<std::byte> block;
  for (std::uint64_t first = 0; first < header.rows; first += block_rows) {
    const std::uint64_t count = std::min(block_rows, header.rows - first);
    block.resize(count * layout.row_bytes);
    compose(first, count, block);
    for (std::uint64_t r = 0; r < count; ++r) {
      sums[first + r] =
          checksum64(std::span(block).subspan(r * layout.row_bytes, layout.row_bytes));
    }
    file.write_all(layout.data + first * layout.row_bytes, block);
  }
  const std::string row_labels = encode_dates(dates);
  const std::string col_labels = encode_labels(columns, header.label_width);
  header.checksum = combined_checksum(header, row_labels, col_labels, sums);
  file.write_all(layout.row_labels, bytes_of(row_labels));
  file.write_all(layout.col_labels, bytes_of(col_labels));
  file.write_all(layout.row_sums, std::as_bytes(std::span(sums)));
  file.write_all(0, bytes_of(encode_header(header)));
  if (sync) file.sync();
  return header;
}

InPlacePlan plan_in_place(const OpenedMatrix& old, std::span<const std::int32_t> dates,
                          std::span<const std::string> columns, std::span<const std::uint64_t> rows,
                          const RowComposer& compose) {
  InPlacePlan plan;
  MatrixHeader& header = plan.header;
  header = old.header;
  header.rows = dates.size();
  header.cols = columns.size();
  const MatrixLayout& layout = old.layout;
  const std::uint64_t old_rows = old.header.rows;

  std::vector<std::uint64_t> sums(header.rows, 0);
  std::copy_n(old.row_sums.begin(), std::min<std::uint64_t>(old_rows, header.rows), sums.begin());
  const std::string row_labels = encode_dates(dates);
  const std::string col_labels = encode_labels(columns, header.label_width);

  // Consecutive rows become one patch each for data, labels and checksums.
  std::size_t k = 0;
  while (k < rows.size()) {
    std::size_t end = k + 1;
    while (end < rows.size() && rows[end] == rows[end - 1] + 1) ++end;
    const std::uint64_t first = rows[k];
    const std::uint64_t count = end - k;
    std::string data(count * layout.row_bytes, '\0');
    compose(first, count, writable(data));
    for (std::uint64_t r = 0; r < count; ++r) {
      sums[first + r] = checksum64(bytes_of(data).subspan(r * layout.row_bytes, layout.row_bytes));
    }
    // Rows at or past the committed row count are read by no committed
    // state; rows before it are, and change only through the journal.
    const std::uint64_t split = std::clamp(old_rows, first, first + count);
    const auto add = [&](std::uint64_t from, std::uint64_t to, bool fresh) {
      if (from >= to) return;
      auto& target = fresh ? plan.fresh : plan.replaced;
      target.push_back(
          {layout.data + from * layout.row_bytes,
           data.substr((from - first) * layout.row_bytes, (to - from) * layout.row_bytes)});
      target.push_back({layout.row_labels + from * kDateBytes,
                        row_labels.substr(from * kDateBytes, (to - from) * kDateBytes)});
      target.push_back(
          {layout.row_sums + from * 8, sums_bytes(std::span(sums).subspan(from, to - from))});
    };
    add(first, split, false);
    add(split, first + count, true);
    k = end;
  }
  if (header.cols > old.header.cols) {
    const std::uint64_t from = old.header.cols * header.label_width;
    plan.fresh.push_back({layout.col_labels + from, col_labels.substr(from)});
  }
  header.checksum = combined_checksum(header, row_labels, col_labels, sums);
  plan.replaced.push_back({0, encode_header(header)});
  return plan;
}

void verify_rows(const OpenedMatrix& matrix, std::uint64_t first, std::uint64_t count,
                 std::span<const std::byte> data, const std::string& name) {
  const std::uint64_t row_bytes = matrix.layout.row_bytes;
  for (std::uint64_t r = 0; r < count; ++r) {
    if (checksum64(data.subspan(r * row_bytes, row_bytes)) != matrix.row_sums[first + r]) {
      damaged(name, "第 " + std::to_string(first + r + 1) + " 行数据的校验和不符");
    }
  }
}

void verify_mapped_rows(const OpenedMatrix& matrix, const Mapping& mapping, std::uint64_t first,
                        std::uint64_t count, const std::string& name) {
  const std::uint64_t offset = matrix.layout.data + first * matrix.layout.row_bytes;
  const std::uint64_t length = count * matrix.layout.row_bytes;
  if (offset + length > mapping.size()) damaged(name, "文件比文件头记录的短");
  mapping.populate(offset, length);
  verify_rows(matrix, first, count, std::span(mapping.data() + offset, length), name);
}

}  // namespace morvane::kernels
