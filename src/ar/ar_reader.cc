// AR archive reader: checks the signature, walks the directory records and
// copies each entry's data, unscrambled, into a file of the current directory.
#include "ar/ar_archive.h"
#include "ar/ar_directory.h"
#include "ar/keystream.h"
#include "common/chunk_copy.h"
#include "common/selection.h"
#include "common/status.h"
#include "common/stream_io.h"
#include "common/temp_file.h"

namespace kesto {

namespace {

int extract_entry(std::FILE* archive, std::FILE* log, const ar_record& rec, std::uint16_t key,
                  bool keep_existing = false) {
  if (!seek_to(archive, rec.data_offset)) return reader_status::bad_archive;
  entry_output out(archive);
  const int opened = out.open(rec.name, keep_existing);
  if (opened == entry_output::name_taken) {
    log_message(log, msg_file_exists, rec.name);
    return reader_status::ok;
  }
  if (opened != reader_status::ok) {
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
  ar_directory directory(archive);
  const int opened = directory.open();
  if (opened != reader_status::ok) return opened;
  return directory.visit(
      [&](const ar_record& rec) { return extract_entry(archive, log, rec, directory.key()); });
}

int select_ar_entries(std::FILE* archive, name_selection* selection,
                      selection_totals* totals) {
  return select_entries_in<ar_directory>(archive, selection, totals);
}

int extract_ar_entries(std::FILE* archive, std::FILE* log, name_selection* selection,
                       progress_line* progress) {
  return visit_chosen_entries<ar_directory>(
      archive, selection, progress, [&](const ar_directory& directory, const ar_record& rec) {
        
        return extract_entry(archive, log, rec, directory.key(), true);
      });
}

int print_ar_entries(std::FILE* archive, std::FILE* out, std::FILE* log,
                     name_selection* selection) {
  return visit_chosen_entries<ar_directory>(
      archive, selection, nullptr, [&](const ar_directory& directory, const ar_record& rec) {
        if (!seek_to(archive, rec.data_offset)) return reader_status::bad_archive;
        keystream ks(directory.key());
        const copy_result r = copy_available(
            archive, out, rec.size, [&ks](unsigned char* p, std::size_t n) { ks.unscramble(p, n); });
        if (r == copy_result::write_short) return reader_status::cannot_write;
        if (r != copy_result::ok) {
          return log_failure(log, msg_cannot_read_entry, rec.name, reader_status::cannot_read);
        }
        return reader_status::ok;
      });
}

}  // namespace kesto
