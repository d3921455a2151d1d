#include "ar/ar_directory.h"

#include <cstring>

#include "common/byte_order.h"
#include "common/status.h"
#include "common/stream_io.h"

namespace kesto {

int ar_directory::open() {
  unsigned char head[ar_format::header_size];
  if (!seek_to(archive_, 0) || !read_exact(archive_, head, 2)) return reader_status::bad_archive;
  if (std::memcmp(head, ar_format::signature, 2) != 0) return reader_status::wrong_format;
  if (!read_exact(archive_, head + 2, ar_format::header_size - 2)) {
    return reader_status::bad_archive;
  }
  key_ = load_u16le(head + ar_format::key_offset);
  next_ = load_u32le(head + ar_format::directory_offset_field);
  count_ = load_u32le(head + ar_format::count_field);
  end_ = next_ + count_ * static_cast<std::uint32_t>(ar_format::record_size);
  return reader_status::ok;
}

bool ar_directory::read_next(ar_record* rec) {
  unsigned char raw[ar_format::record_size];
  if (!records_.read(next_, raw)) return false;
  next_ += ar_format::record_size;
  std::memcpy(rec->name, raw, ar_format::name_size);
  rec->name[ar_format::name_size] = '\0';
  rec->data_offset = load_u32le(raw + ar_format::data_offset_field);
  rec->size = load_u32le(raw + ar_format::size_field);
  return true;
}

bool write_ar_header(std::FILE* out, std::uint16_t key, std::uint32_t count) {
  unsigned char head[ar_format::header_size];
  std::memcpy(head, ar_format::signature, 2);
  store_u16le(head + ar_format::key_offset, key);
  store_u32le(head + ar_format::directory_offset_field, ar_format::written_directory_offset);
  store_u32le(head + ar_format::count_field, count);
  return seek_to(out, 0) && write_all(out, head, sizeof head);
}

}  // namespace kesto
