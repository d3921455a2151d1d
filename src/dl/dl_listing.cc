// The listing and the test of DL archives: the directory walked as
// extraction walks it, without writing a file.
#include "common/chunk_copy.h"
#include "common/listing.h"
#include "common/path.h"
#include "common/status.h"
#include "common/stream_io.h"
#include "dl/dl_archive.h"
#include "dl/dl_directory.h"
#include "lzss/lzss_decoder.h"

namespace kesto {

namespace {

// What -e and -ed would meet reading the entry: an LZ entry goes through
// the decoder (which reads every stored byte when it gets to its end), any
// other entry is read to its end.
entry_problem test_entry(std::FILE* archive, const dl_record& rec) {
  if (!is_safe_entry_name(rec.name)) return entry_problem::refused_name;
  if (!seek_to(archive, rec.data_position)) return entry_problem::unreadable;
  int decoded = lzss_result::not_lz;
  if (rec.size >= 2) {
    const auto count_only = [](const unsigned char*, std::size_t) { return true; };
    decoded = lzss_decode_entry_to(archive, count_only, rec.size);
  }
  switch (decoded) {
    case lzss_result::ok:
      return entry_problem::none;
    case lzss_result::size_mismatch:
      return entry_problem::inconsistent;
    case lzss_result::not_lz:
      break;
    default:
      return entry_problem::unreadable;
  }
  const auto ignore = [](unsigned char*, std::size_t) { return true; };
  if (!seek_to(archive, rec.data_position) ||
      read_in_chunks(archive, rec.size, ignore) != copy_result::ok) {
    return entry_problem::unreadable;
  }
  return entry_problem::none;
}

listed_entry listed(std::FILE* archive, const dl_record& rec, std::uint64_t file_size) {
  listed_entry entry;
  entry.name = rec.name;
  entry.offset = rec.data_position;
  entry.size = rec.size;
  entry.outside = data_outside(rec.data_position, rec.size, file_size);
  entry.refused = !is_safe_entry_name(rec.name);
  const lz_look look = look_at_entry(archive, rec);
  entry.lz = look.is_lz;
  entry.unpacked_known = look.header_known;
  entry.unpacked = look.header.unpacked;
  return entry;
}

}  // namespace

int list_dl_archive(std::FILE* archive, std::FILE* log) {
  dl_directory directory(archive);
  const int opened = directory.open();
  if (opened != reader_status::ok) return opened;
  // A first walk counts the names, up to a record that cannot be read,
  // which the second walk lists up to and reports.
  shared_names names;
  directory.visit([&](const dl_record& rec) {
    names.count(rec.name);
    return reader_status::ok;
  });
  dl_directory again(archive);
  if (again.open() != reader_status::ok) return reader_status::bad_archive;
  const std::uint64_t file_size = stream_size(archive);
  log_dl_listing_head(log, directory.count());
  listing_totals totals;
  const int status = again.visit([&](const dl_record& rec) {
    listed_entry entry = listed(archive, rec, file_size);
    entry.duplicate = names.shared(rec.name);
    log_listed_entry(log, entry);
    totals.add(entry);
    return reader_status::ok;
  });
  if (status == reader_status::ok) totals.log(log, true);
  return status;
}

// Walked twice, as list_ar_archive_json walks an AR directory.
int list_dl_archive_json(std::FILE* archive, std::FILE* out) {
  dl_directory check(archive);
  shared_names names;
  int status = check.open();
  if (status == reader_status::ok) {
    status = check.visit([&names](const dl_record& rec) {
      names.count(rec.name);
      return reader_status::ok;
    });
  }
  if (status != reader_status::ok) return status;
  dl_directory directory(archive);
  status = directory.open();
  if (status != reader_status::ok) return status;
  const std::uint64_t file_size = stream_size(archive);
  json_listing json(out);
  json.begin("DL", directory.count(), nullptr);
  status = directory.visit([&](const dl_record& rec) {
    listed_entry entry = listed(archive, rec, file_size);
    entry.duplicate = names.shared(rec.name);
    json.add(entry);
    return reader_status::ok;
  });
  if (status == reader_status::ok) json.end();
  return status;
}

int test_dl_archive(std::FILE* archive, std::FILE* log, std::uint32_t* damaged) {
  *damaged = 0;
  dl_directory directory(archive);
  const int opened = directory.open();
  if (opened != reader_status::ok) return opened;
  return directory.visit([&](const dl_record& rec) {
    log_tested_entry(log, rec.name, test_entry(archive, rec), damaged);
    return reader_status::ok;
  });
}

}  // namespace kesto
