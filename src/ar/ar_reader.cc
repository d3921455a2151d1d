// AR archive reader: checks the signature, walks the directory records and
// copies each entry's data, unscrambled, into a file of the current directory.
#include <cstring>

#include "ar/ar_archive.h"
#include "ar/ar_format.h"
#include "ar/keystream.h"
#include "common/byte_order.h"
#include "common/chunk_copy.h"
#include "common/records.h"
#include "common/status.h"
#include "common/stream_io.h"
#include "common/temp_file.h"

namespace kesto {

namespace {

struct ar_record {
  char name[ar_format::name_size + 1];  // NUL-terminated, at most 8 bytes
  std::uint32_t data_offset;
  std::uint32_t size;
};

using directory_reader = record_reader<ar_format::record_size>;

bool read_record(directory_reader& directory, std::uint32_t position, ar_record* rec) {
  unsigned char raw[ar_format::record_size];
  if (!directory.read(position, raw)) return false;
  std::memcpy(rec->name, raw, ar_format::name_size);
  rec->name[ar_format::name_size] = '\0';
  rec->data_offset = load_u32le(raw + ar_format::data_offset_field);
  rec->size = load_u32le(raw + ar_format::size_field);
  return true;
}

int extract_entry(std::FILE* archive, std::FILE* log, const ar_record& rec, std::uint16_t key) {
  if (!seek_to(archive, rec.data_offset)) return reader_status::bad_archive;
  entry_output out(archive);
  if (out.open(rec.name) != reader_status::ok) {
    return log_failure(log, msg_cannot_create, rec.name, reader_status::cannot_create);
  }
  keystream ks(key);
  copy_result r = copy_exact(archive, out.stream(), rec.size,
                             [&ks](unsigned char* p, std::size_t n) { ks.unscramble(p, n); });
  if (r == copy_result::read_short) {
    return log_failure(log, msg_cannot_read_entry, rec.name, reader_status::cannot_read);
  }
  if (r != copy_result::ok) return log_failure(log, msg_cannot_write, rec.name, reader_status::cannot_write);
  return keep_entry(out, log, rec.name, msg_entry_done);
}

}  // namespace

int extract_ar_archive(std::FILE* archive, std::FILE* log) {
  unsigned char head[ar_format::header_size];
  if (!seek_to(archive, 0) || !read_exact(archive, head, 2)) return reader_status::bad_archive;
  if (std::memcmp(head, ar_format::signature, 2) != 0) return reader_status::wrong_format;
  if (!read_exact(archive, head + 2, ar_format::header_size - 2)) {
    return reader_status::bad_archive;
  }
  const std::uint16_t key = load_u16le(head + ar_format::key_offset);
  const std::uint32_t first = load_u32le(head + ar_format::directory_offset_field);
  const std::uint32_t count = load_u32le(head + ar_format::count_field);
  // The end of the directory wraps like the 32-bit sum it is; a directory
  // that wraps past 2^32 is empty.
  const std::uint32_t end = first + count * static_cast<std::uint32_t>(ar_format::record_size);
  directory_reader directory(archive);
  for (std::uint32_t p = first; p < end; p += ar_format::record_size) {
    ar_record rec;
    if (!read_record(directory, p, &rec)) return reader_status::bad_archive;
    int status = extract_entry(archive, log, rec, key);
    if (status != reader_status::ok) return status;
  }
  return reader_status::ok;
}

}  // namespace kesto
