// DL archive reader: checks the signature, walks the directory records and
// extracts each entry from the running data position, as stored (copy mode)
// or through the LZ decoder (decompress mode).
#include <cstring>

#include "common/byte_order.h"
#include "common/chunk_copy.h"
#include "common/records.h"
#include "common/status.h"
#include "common/stream_io.h"
#include "common/temp_file.h"
#include "dl/dl_archive.h"
#include "dl/dl_format.h"
#include "lzss/lzss_decoder.h"

namespace kesto {

namespace {

constexpr const char* msg_not_compressed = "%s non compresso con LZSS\n";
constexpr const char* msg_inconsistent = "%s - dati incoerenti nell'estrazione\n";

struct dl_record {
  char name[dl_format::name_size + 1];  // NUL-terminated, at most 12 bytes
  std::uint32_t size;
};

using directory_reader = record_reader<dl_format::record_size>;

bool read_record(directory_reader& directory, std::uint32_t position, dl_record* rec) {
  unsigned char raw[dl_format::record_size];
  if (!directory.read(position, raw)) return false;
  std::memcpy(rec->name, raw, dl_format::name_size);
  rec->name[dl_format::name_size] = '\0';
  rec->size = load_u32le(raw + dl_format::size_field);
  return true;
}

int copy_entry(std::FILE* archive, std::FILE* log, const dl_record& rec, entry_output& out) {
  copy_result r = copy_exact(archive, out.stream(), rec.size, no_filter{});
  if (r == copy_result::read_short) {
    return log_failure(log, msg_cannot_read_entry, rec.name, reader_status::cannot_read);
  }
  if (r != copy_result::ok) return log_failure(log, msg_cannot_write, rec.name, reader_status::cannot_write);
  return keep_entry(out, log, rec.name, msg_entry_done);
}

int decode_entry(std::FILE* archive, std::FILE* log, const dl_record& rec, entry_output& out) {
  // An entry of 0 or 1 bytes cannot hold the "LZ" signature: the decoder
  // would take it from the bytes that follow the entry.
  const int result = rec.size < 2 ? lzss_result::not_lz
                                  : lzss_decode_entry(archive, out.stream(), rec.size);
  switch (result) {
    case lzss_result::ok:
      return keep_entry(out, log, rec.name, msg_entry_done);
    case lzss_result::size_mismatch:
      return keep_entry(out, log, rec.name, msg_inconsistent);
    case lzss_result::not_lz:
      // A plain entry is skipped; a file that had its name stays as it was.
      out.discard();
      log_message(log, msg_not_compressed, rec.name);
      return reader_status::ok;
    case lzss_result::read_failed:
      return log_failure(log, msg_cannot_read_entry, rec.name, reader_status::cannot_read);
    default:
      return log_failure(log, msg_cannot_write, rec.name, reader_status::cannot_write);
  }
}

}  // namespace

int extract_dl_archive(std::FILE* archive, std::FILE* log, bool decompress) {
  unsigned char head[dl_format::header_size];
  if (!seek_to(archive, 0) || !read_exact(archive, head, 8)) return reader_status::bad_archive;
  if (std::memcmp(head, dl_format::signature, dl_format::checked_signature_size) != 0) {
    return reader_status::wrong_format;
  }
  // Count and directory offset; the last two header bytes are not read.
  if (!read_exact(archive, head + 8, 6)) return reader_status::bad_archive;
  const std::uint16_t count = load_u16le(head + dl_format::count_field);
  const std::uint32_t directory = load_u32le(head + dl_format::directory_offset_field);

  std::uint32_t data_position = dl_format::first_entry_offset;
  directory_reader records(archive);
  for (std::uint32_t i = 0; i < count; ++i) {
    dl_record rec;
    if (!read_record(records, directory + i * static_cast<std::uint32_t>(dl_format::record_size),
                     &rec) ||
        !seek_to(archive, data_position)) {
      return reader_status::bad_archive;
    }
    // Wraps like the 32-bit sum it is; the next entry starts there whatever
    // this one's decoder reads.
    data_position += rec.size;
    entry_output out(archive);
    if (out.open(rec.name) != reader_status::ok) {
      return log_failure(log, msg_cannot_create, rec.name, reader_status::cannot_create);
    }
    int status = decompress ? decode_entry(archive, log, rec, out)
                            : copy_entry(archive, log, rec, out);
    if (status != reader_status::ok) return status;
  }
  return reader_status::ok;
}

}  // namespace kesto
