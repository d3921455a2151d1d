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

lz_look look_at_entry(std::FILE* archive, const dl_record& rec) {
  lz_look look;
  unsigned char head[lz_header_size];
  if (rec.size < 2 || !seek_to(archive, rec.data_position)) return look;
  const std::size_t got = std::fread(head, 1, sizeof head, archive);
  look.is_lz = got >= 2 && head[0] == 'L' && head[1] == 'Z';
  look.header_known = look.is_lz && got == sizeof head && rec.size >= lz_header_size &&
                      parse_lz_header(head, &look.header);
  return look;
}

bool decodes_exactly(std::FILE* archive, const dl_record& rec) {
  const auto count_only = [](const unsigned char*, std::size_t) { return true; };
  return look_at_entry(archive, rec).is_lz && seek_to(archive, rec.data_position) &&
         lzss_decode_entry_to(archive, count_only, rec.size) == lzss_result::ok;
}

bool write_dl_header_like(std::FILE* archive, std::FILE* out, std::uint16_t count,
                          std::uint32_t directory_offset) {
  unsigned char head[dl_format::header_size] = {};
  if (!seek_to(archive, 0)) return false;
  const std::size_t got = std::fread(head, 1, sizeof head, archive);
  if (got < dl_format::directory_offset_field) return false;
  store_u16le(head + dl_format::count_field, count);
  store_u32le(head + dl_format::directory_offset_field, directory_offset);
  return seek_to(out, 0) && write_all(out, head, sizeof head);
}

}  // namespace kesto
