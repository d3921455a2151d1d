// The header and directory of a DL archive as every reading routine walks
// them: extraction, the listing, the test and the rebuild.
#ifndef KESTO_DL_DL_DIRECTORY_H
#define KESTO_DL_DL_DIRECTORY_H

#include <cstdint>
#include <cstdio>

#include "common/records.h"
#include "common/status.h"
#include "dl/dl_format.h"
#include "lzss/lzss_decoder.h"

namespace kesto {

struct dl_record {
  char name[dl_format::name_size + 1];  // NUL-terminated, at most 12 bytes
  std::uint32_t size;
  // Where the entry's data start: 16 plus the sizes of the records before
  // it, a 32-bit sum that wraps (a size that carries it past 2^32 makes the
  // next entry start near the beginning of the file).
  std::uint32_t data_position;
};

class dl_directory {
 public:
  explicit dl_directory(std::FILE* archive) : archive_(archive), records_(archive) {}

  // Reads the header: reader_status ok, wrong_format without the 7-byte
  // signature, bad_archive when the header cannot be read. The last two
  // header bytes are not read.
  int open();
  std::uint16_t count() const { return count_; }


  // Calls visit_record(record) for each record in directory order, after
  // open(), until it returns a status other than ok. Returns that status,
  // reader_status::bad_archive at a record that cannot be read, or ok.
  template <class Visit>
  int visit(Visit&& visit_record) {
    dl_record rec;
    while (!at_end()) {
      if (!read_next(&rec)) return reader_status::bad_archive;
      const int status = visit_record(static_cast<const dl_record&>(rec));
      if (status != reader_status::ok) return status;
    }
    return reader_status::ok;
  }

 private:
  bool at_end() const { return index_ >= count_; }
  bool read_next(dl_record* rec);

  std::FILE* archive_;
  record_reader<dl_format::record_size> records_;
  std::uint16_t count_ = 0;
  std::uint32_t directory_ = 0;
  std::uint32_t index_ = 0;
  std::uint32_t data_position_ = dl_format::first_entry_offset;
};

// What the first bytes of an entry say, as -ed judges them: an LZ entry
// has 2 bytes or more and starts with "LZ"; the sizes of its header are
// known when the entry holds all 10 bytes of it and they can be read.
struct lz_look {
  bool is_lz = false;
  bool header_known = false;
  lz_header header{};
};
lz_look look_at_entry(std::FILE* archive, const dl_record& rec);

// An LZ entry, as the rebuild and the edits judge entries: one whose data
// decode exactly (decoder result ok). An entry that merely begins with
// "LZ" is plain, and takes a new file's bytes as they are.
bool decodes_exactly(std::FILE* archive, const dl_record& rec);

}  // namespace kesto

#endif
