#include "journal.hpp"

#include <cstring>
#include <map>
#include <vector>

#include "checksum.hpp"
#include "files.hpp"
#include "store_errors.hpp"

namespace morvane::kernels {

namespace {

constexpr char kMagic[8] = {'M', 'V', 'N', 'J', 'R', 'N', 'L', '1'};

void put_u64(std::string& out, std::uint64_t value) {
  char raw[8];
  std::memcpy(raw, &value, 8);
  out.append(raw, 8);
}

void put_text(std::string& out, std::string_view text) {
  put_u64(out, text.size());
  out.append(text);
}

class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  bool u64(std::uint64_t& value) {
    if (bytes_.size() - pos_ < 8) return false;
    std::memcpy(&value, bytes_.data() + pos_, 8);
    pos_ += 8;
    return true;
  }
  bool text(std::string& value) {
    std::uint64_t size = 0;
    if (!u64(size) || bytes_.size() - pos_ < size) return false;
    value.assign(bytes_.substr(pos_, size));
    pos_ += size;
    return true;
  }
  [[nodiscard]] bool done() const { return pos_ == bytes_.size(); }

 private:
  std::string_view bytes_;
  std::size_t pos_ = 0;
};

}  // namespace

bool is_plain_file_name(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.size() <= 255 &&
         name.find('/') == std::string_view::npos && name.find('\\') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

std::string encode_journal(const Journal& journal) {
  std::string body;
  put_u64(body, journal.entries.size());
  for (const JournalEntry& entry : journal.entries) {
    put_text(body, entry.file);
    put_u64(body, entry.offset);
    put_text(body, entry.bytes);
  }
  put_text(body, journal.metadata);
  put_text(body, journal.manifest);
  std::string out(kMagic, sizeof kMagic);
  put_u64(out, body.size());
  out += body;
  put_u64(out, checksum64(std::as_bytes(std::span(body.data(), body.size()))));
  return out;
}

std::optional<Journal> decode_journal(std::string_view bytes) {
  if (bytes.size() < 24 || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
    return std::nullopt;
  }
  std::uint64_t body_size = 0;
  std::memcpy(&body_size, bytes.data() + 8, 8);
  if (body_size != bytes.size() - 24) return std::nullopt;
  const std::string_view body = bytes.substr(16, body_size);
  std::uint64_t stored = 0;
  std::memcpy(&stored, bytes.data() + 16 + body_size, 8);
  if (checksum64(std::as_bytes(std::span(body.data(), body.size()))) != stored) {
    return std::nullopt;
  }
  Reader reader(body);
  Journal journal;
  std::uint64_t count = 0;
  if (!reader.u64(count) || count > body.size()) return std::nullopt;
  journal.entries.resize(count);
  for (JournalEntry& entry : journal.entries) {
    if (!reader.text(entry.file) || !reader.u64(entry.offset) || !reader.text(entry.bytes) ||
        !is_plain_file_name(entry.file)) {
      return std::nullopt;
    }
  }
  if (!reader.text(journal.metadata) || !reader.text(journal.manifest) || !reader.done()) {
    return std::nullopt;
  }
  return journal;
}

void replay_journal(const std::string& dir, const Journal& journal, const std::string& journal_name,
                    const std::string& metadata_name, const std::string& manifest_name) {
  std::map<std::string, File> files;
  for (const JournalEntry& entry : journal.entries) {
    auto found = files.find(entry.file);
    if (found == files.end()) {
      found = files.emplace(entry.file, File::open_write(dir + "/" + entry.file)).first;
    }
    found->second.write_all(entry.offset,
                            std::as_bytes(std::span(entry.bytes.data(), entry.bytes.size())));
  }
  std::vector<const File*> to_sync;
  for (const auto& [name, file] : files) to_sync.push_back(&file);
  sync_files(to_sync);
  const NamedBytes committed[] = {{metadata_name, journal.metadata},
                                  {manifest_name, journal.manifest}};
  write_files_atomic(dir, committed);
  // No directory sync for the removal: should it be lost, the journal is
  // replayed once more to the same state, and the next commit's directory
  // sync makes the removal durable.
  remove_file(dir + "/" + journal_name);
}

}  // namespace morvane::kernels
