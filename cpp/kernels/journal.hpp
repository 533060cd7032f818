// The write-ahead journal of in-place writes. A writer records every range it
// will overwrite in committed files, with the new metadata and manifest, and
// makes the journal durable before touching those files; a journal found
// later is replayed whole (the writes are idempotent), so a killed writer
// leaves the old state (no journal yet) or the new one (journal replayed).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvane::kernels {

struct JournalEntry {
  std::string file;  // plain name inside the store directory
  std::uint64_t offset = 0;
  std::string bytes;
};

struct Journal {
  std::vector<JournalEntry> entries;
  std::string metadata;  // the metadata file to commit
  std::string manifest;  // the manifest derived from it
};

[[nodiscard]] std::string encode_journal(const Journal& journal);

// Nothing when the bytes are not a complete journal of ours.
[[nodiscard]] std::optional<Journal> decode_journal(std::string_view bytes);

// True for a name that stays inside its directory: not empty, not "." or
// "..", no path separator and no NUL.
[[nodiscard]] bool is_plain_file_name(std::string_view name);

// Replays `journal` in `dir`: the overwrites (each file synced), then the
// metadata and manifest (atomically), then removes the journal file.
void replay_journal(const std::string& dir, const Journal& journal, const std::string& journal_name,
                    const std::string& metadata_name, const std::string& manifest_name);

}  // namespace morvane::kernels
