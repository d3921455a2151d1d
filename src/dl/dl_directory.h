// The header and directory of a DL archive as every reading routine walks
// them: extraction, the listing, the test and the rebuild.
#ifndef KESTO_DL_DL_DIRECTORY_H
#define KESTO_DL_DL_DIRECTORY_H

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "common/stream_io.h"

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

// Writes at out's start the header of archive with count and
// directory_offset in place of its own: the bytes the reader ignores (the
// eighth and the last two) keep their values. False when archive's header
// cannot be read or out not written.
bool write_dl_header_like(std::FILE* archive, std::FILE* out, std::uint16_t count,
                          std::uint32_t directory_offset);

// Ends a DL archive whose entries' data out holds up to directory_offset:
// the directory of records (each with a name of up to 12 bytes and a
// size) there, then archive's header with the new count and offset
// (write_dl_header_like). False when it would reach 2^31 bytes or a write
// fails.
template <class Record>
bool finish_dl_archive(std::FILE* archive, std::FILE* out, std::uint32_t directory_offset,
                       const std::vector<Record>& records) {
  const std::uint64_t end =
      directory_offset + std::uint64_t{records.size()} * dl_format::record_size;
  if (end > max_archive_size || records.size() > dl_format::max_entries) return false;
  return write_records<dl_format::record_size>(
             out, static_cast<std::uint32_t>(records.size()),
             [&records](std::uint32_t i, unsigned char* record) {
               std::memcpy(record, records[i].name, dl_format::name_size);
               store_u32le(record + dl_format::size_field, records[i].size);
             }) &&
         write_dl_header_like(archive, out, static_cast<std::uint16_t>(records.size()),
                              directory_offset);
}

}  // namespace kesto

#endif
