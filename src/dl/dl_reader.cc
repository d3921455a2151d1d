// DL archive reader: checks the signature, walks the directory records and
// extracts each entry from the running data position, as stored (copy mode)
// or through the LZ decoder (decompress mode).
#include "common/chunk_copy.h"
#include "common/status.h"
#include "common/stream_io.h"
#include "common/temp_file.h"
#include "dl/dl_archive.h"
#include "dl/dl_directory.h"
#include "lzss/lzss_decoder.h"

namespace kesto {

namespace {

constexpr const char* msg_not_compressed = "%s non compresso con LZSS\n";

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
  dl_directory directory(archive);
  const int opened = directory.open();
  if (opened != reader_status::ok) return opened;
  return directory.visit([&](const dl_record& rec) {
    if (!seek_to(archive, rec.data_position)) return reader_status::bad_archive;
    entry_output out(archive);
    if (out.open(rec.name) != reader_status::ok) {
      return log_failure(log, msg_cannot_create, rec.name, reader_status::cannot_create);
    }
    return decompress ? decode_entry(archive, log, rec, out) : copy_entry(archive, log, rec, out);
  });
}

}  // namespace kesto
