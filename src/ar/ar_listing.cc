// The listing and the test of AR archives: the directory walked as
// extraction walks it, without writing a file.
#include "ar/ar_archive.h"
#include "ar/ar_directory.h"
#include "common/chunk_copy.h"
#include "common/listing.h"
#include "common/path.h"
#include "common/status.h"
#include "common/stream_io.h"

namespace kesto {

namespace {

listed_entry listed(const ar_record& rec, std::uint64_t file_size) {
  listed_entry entry;
  entry.name = rec.name;
  entry.offset = rec.data_offset;
  entry.size = rec.size;
  entry.outside = data_outside(rec.data_offset, rec.size, file_size);
  entry.refused = !is_safe_entry_name(rec.name);
  return entry;
}

}  // namespace

int list_ar_archive(std::FILE* archive, std::FILE* log) {
  ar_directory directory(archive);
  const int opened = directory.open();
  if (opened != reader_status::ok) return opened;
  // A first walk counts the names, up to a record that cannot be read,
  // which the second walk lists up to and reports.
  shared_names names;
  directory.visit([&](const ar_record& rec) {
    names.count(rec.name);
    return reader_status::ok;
  });
  ar_directory again(archive);
  if (again.open() != reader_status::ok) return reader_status::bad_archive;
  const std::uint64_t file_size = stream_size(archive);
  log_ar_listing_head(log, directory.count(), directory.key());
  listing_totals totals;
  const int status = again.visit([&](const ar_record& rec) {
    listed_entry entry = listed(rec, file_size);
    entry.duplicate = names.shared(rec.name);
    log_listed_entry(log, entry);
    totals.add(entry);
    return reader_status::ok;
  });
  if (status == reader_status::ok) totals.log(log, false);
  return status;
}

// The directory is walked twice: once to find a record that cannot be
// read, which leaves out the whole document, then to print it.
int list_ar_archive_json(std::FILE* archive, std::FILE* out) {
  ar_directory check(archive);
  shared_names names;
  int status = check.open();
  if (status == reader_status::ok) {
    status = check.visit([&names](const ar_record& rec) {
      names.count(rec.name);
      return reader_status::ok;
    });
  }
  if (status != reader_status::ok) return status;
  ar_directory directory(archive);
  status = directory.open();
  if (status != reader_status::ok) return status;
  const std::uint64_t file_size = stream_size(archive);
  json_listing json(out);
  const std::uint16_t key = directory.key();
  json.begin("AR", directory.count(), &key);
  status = directory.visit([&](const ar_record& rec) {
    listed_entry entry = listed(rec, file_size);
    entry.duplicate = names.shared(rec.name);
    json.add(entry);
    return reader_status::ok;
  });
  if (status == reader_status::ok) json.end();
  return status;
}

// Reading is enough: unscrambling cannot fail, so the data are not
// unscrambled.
int test_ar_archive(std::FILE* archive, std::FILE* log, std::uint32_t* damaged) {
  *damaged = 0;
  ar_directory directory(archive);
  const int opened = directory.open();
  if (opened != reader_status::ok) return opened;
  return directory.visit([&](const ar_record& rec) {
    entry_problem problem = entry_problem::none;
    if (!is_safe_entry_name(rec.name)) {
      problem = entry_problem::refused_name;
    } else if (!seek_to(archive, rec.data_offset) ||
               read_in_chunks(archive, rec.size, [](unsigned char*, std::size_t) {
                 return true;
               }) != copy_result::ok) {
      problem = entry_problem::unreadable;
    }
    log_tested_entry(log, rec.name, problem, damaged);
    return reader_status::ok;
  });
}

}  // namespace kesto
