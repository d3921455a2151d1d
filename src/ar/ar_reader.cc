// AR archive reader: checks the signature, walks the directory records and
// copies each entry's data, unscrambled, into a file of the current directory.
#include "ar/ar_archive.h"
#include "ar/ar_directory.h"
#include "ar/keystream.h"
#include "common/chunk_copy.h"
#include "common/status.h"
#include "common/stream_io.h"
#include "common/temp_file.h"

namespace kesto {

namespace {

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
  ar_directory directory(archive);
  const int opened = directory.open();
  if (opened != reader_status::ok) return opened;
  return directory.visit(
      [&](const ar_record& rec) { return extract_entry(archive, log, rec, directory.key()); });
}

}  // namespace kesto
