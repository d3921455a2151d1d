// DL archive reader: checks the signature, walks the directory records and
// extracts each entry from the running data position, as stored (copy mode)
// or through the LZ decoder (decompress mode).
#include "common/chunk_copy.h"
#include "common/selection.h"
#include "common/status.h"
#include "common/stream_io.h"
#include "common/temp_file.h"
#include "dl/dl_archive.h"
#include "dl/dl_directory.h"
#include "lzss/lzss_decoder.h"

namespace kesto {

namespace {

constexpr const char* msg_not_compressed = "%s non compresso con LZSS\n";

int copy_entry(std::FILE* archive, std::FILE* log, const dl_record& rec, entry_output& out,
               const char* line = msg_entry_done) {
  copy_result r = copy_exact(archive, out.stream(), rec.size, no_filter{});
  if (r == copy_result::read_short) {
    return log_failure(log, msg_cannot_read_entry, rec.name, reader_status::cannot_read);
  }
  if (r != copy_result::ok) return log_failure(log, msg_cannot_write, rec.name, reader_status::cannot_write);
  return keep_entry(out, log, rec.name, line);
}

// -x: an entry that decodes exactly is written decoded; one that begins
// with "LZ" but does not (a plain entry that happens to, or a damaged LZ
// entry: the format cannot tell them apart) is written as stored, with a
// line saying so; any other entry as stored.
int readable_entry(std::FILE* archive, std::FILE* log, const dl_record& rec, entry_output& out) {
  if (rec.size < 2) return copy_entry(archive, log, rec, out);
  const int result = lzss_decode_entry(archive, out.stream(), rec.size);
  if (result == lzss_result::ok) return keep_entry(out, log, rec.name, msg_entry_done);
  if (result == lzss_result::write_failed) {
    return log_failure(log, msg_cannot_write, rec.name, reader_status::cannot_write);
  }
  if (!seek_to(archive, rec.data_position)) return reader_status::bad_archive;
  if (result == lzss_result::not_lz) return copy_entry(archive, log, rec, out);
  // Start the file afresh: the decoder has written what it decoded.
  if (out.open(rec.name, true) != reader_status::ok) {
    return log_failure(log, msg_cannot_create, rec.name, reader_status::cannot_create);
  }
  return copy_entry(archive, log, rec, out, msg_kept_as_stored);
}

// -p: the same choice, made before any byte goes out by a decoding that
// only counts.
int print_entry(std::FILE* archive, std::FILE* out, std::FILE* log, const dl_record& rec) {
  bool decode = false;
  if (rec.size >= 2 && seek_to(archive, rec.data_position)) {
    const auto count_only = [](const unsigned char*, std::size_t) { return true; };
    decode = lzss_decode_entry_to(archive, count_only, rec.size) == lzss_result::ok;
  }
  if (!seek_to(archive, rec.data_position)) return reader_status::bad_archive;
  if (decode) {
    const auto to_out = [out](const unsigned char* p, std::size_t n) {
      return std::fwrite(p, 1, n, out) == n;
    };
    const int result = lzss_decode_entry_to(archive, to_out, rec.size);
    if (result == lzss_result::write_failed) return reader_status::cannot_write;
    if (result != lzss_result::ok) {
      return log_failure(log, msg_cannot_read_entry, rec.name, reader_status::cannot_read);
    }
    return reader_status::ok;
  }
  const copy_result r = copy_available(archive, out, rec.size, no_filter{});
  if (r == copy_result::write_short) return reader_status::cannot_write;
  if (r != copy_result::ok) {
    return log_failure(log, msg_cannot_read_entry, rec.name, reader_status::cannot_read);
  }
  return reader_status::ok;
}

// -x of one entry, unless its name is taken.
int extract_readable(std::FILE* archive, std::FILE* log, const dl_record& rec) {
  if (!seek_to(archive, rec.data_position)) return reader_status::bad_archive;
  entry_output out(archive);
  const int opened_entry = out.open(rec.name, true);
  if (opened_entry == entry_output::name_taken) {
    log_message(log, msg_file_exists, rec.name);
    return reader_status::ok;
  }
  if (opened_entry != reader_status::ok) {
    return log_failure(log, msg_cannot_create, rec.name, reader_status::cannot_create);
  }
  return readable_entry(archive, log, rec, out);
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

int select_dl_entries(std::FILE* archive, name_selection* selection,
                      selection_totals* totals) {
  return select_entries_in<dl_directory>(archive, selection, totals);
}

int extract_dl_entries(std::FILE* archive, std::FILE* log, name_selection* selection,
                       progress_line* progress) {
  return visit_chosen_entries<dl_directory>(
      archive, selection, progress, [&](const dl_directory&, const dl_record& rec) {
        return extract_readable(archive, log, rec);
      });
}

int print_dl_entries(std::FILE* archive, std::FILE* out, std::FILE* log,
                     name_selection* selection) {
  return visit_chosen_entries<dl_directory>(
      archive, selection, nullptr, [&](const dl_directory&, const dl_record& rec) {
        return print_entry(archive, out, log, rec);
      });
}

}  // namespace kesto
