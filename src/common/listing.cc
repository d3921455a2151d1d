#include "common/listing.h"

#include <string>

#include "common/edit.h"
#include "common/path.h"
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
               printable_name(entry.name).c_str());
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
