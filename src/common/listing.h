// What the listing (-l) and the test (-t) print for an entry, shared by both
// formats so that their lines look alike and scripts can read them.
#ifndef KESTO_COMMON_LISTING_H
#define KESTO_COMMON_LISTING_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>

namespace kesto {

// True when extraction could not read the entry whose size bytes start at
// offset in an archive of file_size bytes (stream_size; UINT64_MAX when
// unknown): a position no seek reaches, or
// data past the end of the file.
bool data_outside(std::uint32_t offset, std::uint32_t size, std::uint64_t file_size);

struct listed_entry {
  const char* name = "";
  std::uint32_t offset = 0;
  std::uint32_t size = 0;
  bool lz = false;               // DL data that start with an LZ header
  bool unpacked_known = false;   // that header could be read whole
  std::uint32_t unpacked = 0;
  bool outside = false;          // see data_outside
  bool refused = false;          // extraction refuses the name
  bool duplicate = false;        // another entry has the same name (name_key)
};

// The names that more than one entry of an archive has, by the rule that
// makes two names one file (name_key): counted in a first walk of the
// directory, asked in the second.
class shared_names {
 public:
  void count(const char* name);
  bool shared(const char* name) const;

 private:
  std::unordered_map<std::string, std::uint32_t> entries_;
};

// One listing line: offset, size, "LZ" and the unpacked size, the marks F
// (data outside the file), R (name refused) and D (name shared with another
// entry), then the name, in fixed columns so that the name always starts at
// column 41.
void log_listed_entry(std::FILE* log, const listed_entry& entry);

// The totals of a listing, counted entry by entry.
class listing_totals {
 public:
  void add(const listed_entry& entry);
  std::uint64_t entries() const { return entries_; }
  std::uint64_t stored() const { return stored_; }
  std::uint64_t unpacked() const { return unpacked_; }
  // The last line of the listing; with_unpacked adds the unpacked bytes of
  // the LZ entries (DL archives).
  void log(std::FILE* log, bool with_unpacked) const;

 private:
  std::uint64_t entries_ = 0;
  std::uint64_t stored_ = 0;
  std::uint64_t unpacked_ = 0;
};

// The listing as one JSON document (RFC 8259, UTF-8), written entry by
// entry as the directory is walked: format, key (AR), the header's count,
// the entries and the totals. Names are text in UTF-8, converted from the
// archives' code page where it is known (name_to_utf8), else byte for byte
// with 0x80-0xFF as the characters of the same numbers; "raw" holds their
// bytes in hexadecimal, so that none is ever lost.
class json_listing {
 public:
  explicit json_listing(std::FILE* out) : out_(out) {}
  // key is null for a DL archive.
  void begin(const char* format, std::uint32_t count, const std::uint16_t* key);
  void add(const listed_entry& entry);
  void end();

 private:
  std::FILE* out_;
  listing_totals totals_;
};

// First lines of a listing.
void log_ar_listing_head(std::FILE* log, std::uint32_t count, std::uint16_t key);
void log_dl_listing_head(std::FILE* log, std::uint16_t count);

// What the test found for one entry, as extraction would have met it.
enum class entry_problem { none, refused_name, unreadable, inconsistent };

// The test's line for an entry: its name when sound, else the line that
// names the problem. Counts the entries with a problem in *damaged.
void log_tested_entry(std::FILE* log, const char* name, entry_problem problem,
                      std::uint32_t* damaged);

}  // namespace kesto

#endif
