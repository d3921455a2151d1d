// The fixed-size records of an archive directory, read and written a block
// at a time: one system call per block of records instead of per record.
// Reading so, extracting many small entries does not alternate seeks between
// the directory and the data for every entry.
#ifndef KESTO_COMMON_RECORDS_H
#define KESTO_COMMON_RECORDS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/chunk_copy.h"
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

// Writes count records at the stream's position, in blocks of up to one copy
// chunk. fill(i, record) fills record i, which starts zeroed; records are
// filled in order. False when a write fails.
template <std::size_t RecordSize, class Fill>
bool write_records(std::FILE* out, std::uint32_t count, Fill&& fill) {
  unsigned char block[copy_chunk_size / RecordSize * RecordSize];
  std::size_t filled = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    unsigned char* record = block + filled;
    std::memset(record, 0, RecordSize);
    fill(i, record);
    filled += RecordSize;
    if (filled == sizeof block || i + 1 == count) {
      if (!write_all(out, block, filled)) return false;
      filled = 0;
    }
  }
  return true;
}

}  // namespace kesto

#endif
