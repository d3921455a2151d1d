// The header and directory of an AR archive as every reading routine walks
// them: extraction, the listing, the test and the rebuild.
#ifndef KESTO_AR_AR_DIRECTORY_H
#define KESTO_AR_AR_DIRECTORY_H

#include <cstdint>
#include <cstdio>

#include "ar/ar_format.h"
#include "common/records.h"
#include "common/status.h"

namespace kesto {

struct ar_record {
  char name[ar_format::name_size + 1];  // NUL-terminated, at most 8 bytes
  std::uint32_t data_offset;
  std::uint32_t size;
};

class ar_directory {
 public:
  explicit ar_directory(std::FILE* archive) : archive_(archive), records_(archive) {}

  // Reads the header: reader_status ok, wrong_format when the file does not
  // start with "AR", bad_archive when the header cannot be read.
  int open();
  std::uint16_t key() const { return key_; }
  // The count the header states; the records walked may be fewer (see
  // records).
  std::uint32_t count() const { return count_; }

  // The number of records visit() walks.
  std::uint32_t records() const {
    return next_ >= end_ ? 0 : (end_ - next_) / static_cast<std::uint32_t>(ar_format::record_size);
  }

  // Calls visit_record(record) for each record in directory order, after
  // open(), until it returns a status other than ok. Returns that status,
  // reader_status::bad_archive at a record that cannot be read, or ok.
  template <class Visit>
  int visit(Visit&& visit_record) {
    ar_record rec;
    while (!at_end()) {
      if (!read_next(&rec)) return reader_status::bad_archive;
      const int status = visit_record(static_cast<const ar_record&>(rec));
      if (status != reader_status::ok) return status;
    }
    return reader_status::ok;
  }

 private:
  // The records lie from the directory offset to offset + 16 * count, a
  // 32-bit sum that wraps: a directory that wraps past 2^32 is empty.
  bool at_end() const { return next_ >= end_; }
  bool read_next(ar_record* rec);

  std::FILE* archive_;
  record_reader<ar_format::record_size> records_;
  std::uint16_t key_ = 0;
  std::uint32_t count_ = 0;
  std::uint32_t next_ = 0;
  std::uint32_t end_ = 0;
};

// Writes the header the writers write, at out's start: the signature, key,
// the directory right after the header, and count records.
bool write_ar_header(std::FILE* out, std::uint16_t key, std::uint32_t count);

}  // namespace kesto

#endif
