#include "common/listing.h"

#include <string>

#include "common/edit.h"
#include "common/path.h"
#include "common/platform.h"
#include "common/stream_io.h"

namespace kesto {

namespace {

constexpr const char* msg_ar_head = "Archivio Solquin: %lu file, chiave in Hex %X\n";
constexpr const char* msg_dl_head = "Archivio Varneth: %u file\n";
constexpr const char* msg_totals = "Totale: %llu file, %llu byte";
constexpr const char* msg_totals_unpacked = ", %llu byte decompressi";

}  // namespace

bool data_outside(std::uint32_t offset, std::uint32_t size, std::uint64_t file_size) {
  if (offset > max_archive_size) return true;
  return size != 0 && std::uint64_t{offset} + size > file_size;
}

void log_listed_entry(std::FILE* log, const listed_entry& entry) {
  if (log == nullptr) return;
  char unpacked[16] = "";
  if (entry.unpacked_known) std::snprintf(unpacked, sizeof unpacked, "%lu",
                                          static_cast<unsigned long>(entry.unpacked));
  std::fprintf(log, "%10lu %10lu %-2s %10s %c%c%c %s\n", static_cast<unsigned long>(entry.offset),
               static_cast<unsigned long>(entry.size), entry.lz ? "LZ" : "", unpacked,
               entry.outside ? 'F' : ' ', entry.refused ? 'R' : ' ', entry.duplicate ? 'D' : ' ',
               printable_entry_name(entry.name).c_str());
}

void shared_names::count(const char* name) { ++entries_[name_key(name)]; }

bool shared_names::shared(const char* name) const {
  const auto found = entries_.find(name_key(name));
  return found != entries_.end() && found->second > 1;
}

void listing_totals::add(const listed_entry& entry) {
  ++entries_;
  stored_ += entry.size;
  if (entry.lz && entry.unpacked_known) unpacked_ += entry.unpacked;
}

void listing_totals::log(std::FILE* log, bool with_unpacked) const {
  if (log == nullptr) return;
  std::fprintf(log, msg_totals, static_cast<unsigned long long>(entries_),
               static_cast<unsigned long long>(stored_));
  if (with_unpacked) std::fprintf(log, msg_totals_unpacked, static_cast<unsigned long long>(unpacked_));
  std::fputc('\n', log);
}

namespace {

// name as a JSON string, quotes included.
std::string json_string(std::string_view name) {
  std::string text;
  if (!name_to_utf8(name, &text)) {
    text.clear();
    for (const char c : name) {
      const auto b = static_cast<unsigned char>(c);
      if (b < 0x80) {
        text.push_back(c);
      } else {
        text.push_back(static_cast<char>(0xC0 | b >> 6));
        text.push_back(static_cast<char>(0x80 | (b & 0x3F)));
      }
    }
  }
  // Control characters are escaped, the C1 controls (U+0080-U+009F, C2 80
  // to C2 9F in UTF-8) too, so that no name printed raw can drive a
  // terminal that shows the document.
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    unsigned code = static_cast<unsigned char>(c);
    bool control = code < 0x20 || code == 0x7F;
    if (code == 0xC2 && i + 1 < text.size()) {
      const auto next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9F) {
        code = next;
        control = true;
        ++i;
      }
    }
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (control) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", code);
      out += escaped;
    } else {
      out.push_back(c);
    }
  }
  return out + "\"";
}

std::string hex_bytes(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

const char* json_bool(bool value) { return value ? "true" : "false"; }

}  // namespace

void json_listing::begin(const char* format, std::uint32_t count, const std::uint16_t* key) {
  std::fprintf(out_, "{\n  \"format\": \"%s\",\n", format);
  if (key != nullptr) std::fprintf(out_, "  \"key\": %u,\n", static_cast<unsigned>(*key));
  std::fprintf(out_, "  \"count\": %lu,\n  \"entries\": [", static_cast<unsigned long>(count));
}

void json_listing::add(const listed_entry& entry) {
  std::fprintf(out_,
               "%s\n    {\"name\": %s, \"raw\": \"%s\", \"offset\": %lu, \"size\": %lu, \"lz\": %s",
               totals_.entries() == 0 ? "" : ",", json_string(entry.name).c_str(),
               hex_bytes(entry.name).c_str(), static_cast<unsigned long>(entry.offset),
               static_cast<unsigned long>(entry.size), json_bool(entry.lz));
  if (entry.lz && entry.unpacked_known) {
    std::fprintf(out_, ", \"unpacked\": %lu", static_cast<unsigned long>(entry.unpacked));
  }
  std::fprintf(out_, ", \"outside\": %s, \"refused\": %s, \"duplicate\": %s}",
               json_bool(entry.outside), json_bool(entry.refused), json_bool(entry.duplicate));
  totals_.add(entry);
}

void json_listing::end() {
  std::fprintf(
      out_, "%s],\n  \"total\": {\"entries\": %llu, \"bytes\": %llu, \"unpacked\": %llu}\n}\n",
      totals_.entries() == 0 ? "" : "\n  ", static_cast<unsigned long long>(totals_.entries()),
      static_cast<unsigned long long>(totals_.stored()),
      static_cast<unsigned long long>(totals_.unpacked()));
}

void log_ar_listing_head(std::FILE* log, std::uint32_t count, std::uint16_t key) {
  if (log != nullptr) {
    std::fprintf(log, msg_ar_head, static_cast<unsigned long>(count), static_cast<unsigned>(key));
  }
}

void log_dl_listing_head(std::FILE* log, std::uint16_t count) {
  if (log != nullptr) std::fprintf(log, msg_dl_head, static_cast<unsigned>(count));
}

void log_tested_entry(std::FILE* log, const char* name, entry_problem problem,
                      std::uint32_t* damaged) {
  if (problem != entry_problem::none) ++*damaged;
  switch (problem) {
    case entry_problem::none:
      return log_message(log, msg_entry_done, name);
    case entry_problem::refused_name:
      log_message(log, msg_cannot_create, name);
      break;
    case entry_problem::unreadable:
      log_message(log, msg_cannot_read_entry, name);
      break;
    case entry_problem::inconsistent:
      return log_message(log, msg_inconsistent, name);
  }
  if (log != nullptr) std::fputc('\n', log);
}

}  // namespace kesto
