#include "dl/dl_directory.h"

#include <cstring>

#include "common/byte_order.h"
#include "common/status.h"
#include "common/stream_io.h"

namespace kesto {

int dl_directory::open() {
  unsigned char head[dl_format::header_size];
  if (!seek_to(archive_, 0) || !read_exact(archive_, head, 8)) return reader_status::bad_archive;
  if (std::memcmp(head, dl_format::signature, dl_format::checked_signature_size) != 0) {
    return reader_status::wrong_format;
  }
  if (!read_exact(archive_, head + 8, 6)) return reader_status::bad_archive;
  count_ = load_u16le(head + dl_format::count_field);
  directory_ = load_u32le(head + dl_format::directory_offset_field);
  return reader_status::ok;
}

bool dl_directory::read_next(dl_record* rec) {
  unsigned char raw[dl_format::record_size];
  const std::uint32_t position =
      directory_ + index_ * static_cast<std::uint32_t>(dl_format::record_size);
  if (!records_.read(position, raw)) return false;
  ++index_;
  std::memcpy(rec->name, raw, dl_format::name_size);
  rec->name[dl_format::name_size] = '\0';
  rec->size = load_u32le(raw + dl_format::size_field);
  rec->data_position = data_position_;
  data_position_ += rec->size;
  return true;
}

}  // namespace kesto
