// Reads the fixed-size records of an archive directory through a block
// buffer: one seek and one read per block of records instead of per record,
// so that extracting many small entries does not alternate seeks between the
// directory and the data for every entry.
#ifndef KESTO_COMMON_RECORD_READER_H
#define KESTO_COMMON_RECORD_READER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/stream_io.h"

namespace kesto {

template <std::size_t RecordSize>
class record_reader {
 public:
  explicit record_reader(std::FILE* archive) : archive_(archive) {}

  // Copies the record at position to out. Succeeds exactly when a seek to
  // position (seek_to) and a read of the record's bytes alone would: a
  // record not wholly in the block is read afresh from its own position.
  bool read(std::uint32_t position, unsigned char* out) {
    if (position > max_archive_size) return false;  // beyond any seek
    if (!holds(position)) {
      if (!seek_to(archive_, position)) return false;
      start_ = position;
      have_ = std::fread(block_, 1, sizeof block_, archive_);
      if (!holds(position)) return false;
    }
    std::memcpy(out, block_ + (position - start_), RecordSize);
    return true;
  }

 private:
  bool holds(std::uint32_t position) const {
    return position >= start_ && std::uint64_t{position} - start_ + RecordSize <= have_;
  }

  std::FILE* archive_;
  std::uint32_t start_ = 0;
  std::size_t have_ = 0;  // bytes of block_ read from start_
  unsigned char block_[8192];
};

}  // namespace kesto

#endif
