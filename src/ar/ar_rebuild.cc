// AR archive rebuild: the archive's own entries, names, order and key, each
// entry keeping its stored bytes or taking the bytes of its file in a
// directory, written in the writer's layout: the directory at 12, the data
// back to back after it.
#include <cstring>

#include "ar/ar_archive.h"
#include "ar/ar_directory.h"
#include "ar/keystream.h"
#include "common/byte_order.h"
#include "common/rebuild.h"
#include "common/status.h"

namespace kesto {

namespace {

constexpr int archive_failed = rebuild_status::archive_failed;

// The new directory's records, filled in as the entries are written and
// written to their place a block at a time, so that neither memory nor
// seeks grow with every entry.
class directory_patch {
 public:
  explicit directory_patch(rebuilt_archive& out) : out_(out) {}

  bool add(const ar_record& rec, std::uint32_t offset, std::uint32_t size) {
    unsigned char* record = block_ + filled_ * ar_format::record_size;
    std::memcpy(record, rec.name, ar_format::name_size);  // the stored bytes, as they were
    store_u32le(record + ar_format::data_offset_field, offset);
    store_u32le(record + ar_format::size_field, size);
    return ++filled_ < records_per_block || flush();
  }

  // Writes the records of the block to their place and returns to the end
  // of the data.
  bool flush() {
    if (filled_ == 0) return true;
    const std::uint32_t at = ar_format::written_directory_offset +
                             first_ * static_cast<std::uint32_t>(ar_format::record_size);
    const bool written = seek_to(out_.stream(), at) &&
                         write_all(out_.stream(), block_, filled_ * ar_format::record_size) &&
                         seek_to(out_.stream(), out_.position());
    first_ += static_cast<std::uint32_t>(filled_);
    filled_ = 0;
    return written;
  }

 private:
  static constexpr std::size_t records_per_block = 2048;
  rebuilt_archive& out_;
  unsigned char block_[records_per_block * ar_format::record_size];
  std::size_t filled_ = 0;
  std::uint32_t first_ = 0;  // index of the block's first record
};

// How a file compares with what -e writes for the entry.
comparison compare_file(std::FILE* file, std::uint64_t file_size, std::FILE* archive,
                        const ar_record& rec, std::uint16_t key) {
  keystream ks(key);
  if (!seek_ahead_to(archive, rec.data_offset)) return comparison::different;
  return compare_with_entry(file, file_size, archive, rec.size,
                            [&ks](unsigned char* p, std::size_t n) { ks.unscramble(p, n); });
}

// First pass: which files of dir equal what -e writes for an entry that
// reaches them. Nothing is written; a file that cannot be read fails here.
int find_unchanged(std::FILE* archive, const directory_handle& dir, std::FILE* log,
                   file_judge* judge, progress_line* progress) {
  ar_directory directory(archive);
  const int opened = directory.open();
  if (opened != reader_status::ok) return opened;
  return directory.visit([&](const ar_record& rec) {
    const int status =
        judge->judge(dir, rec.name, log, [&](std::FILE* file, std::uint64_t file_size) {
          return compare_file(file, file_size, archive, rec, directory.key());
        });
    if (progress != nullptr) progress->advance(rec.size);
    return status;
  });
}

// Writes one entry: its stored bytes, unless dir holds a changed file for
// it (then the file's bytes, scrambled). *size gets the entry's new size.
int rebuild_entry(std::FILE* archive, rebuilt_archive& out, const directory_handle& dir,
                  std::FILE* log, const ar_record& rec, std::uint16_t key, file_judge& judge,
                  std::uint32_t* size, bool* replaced, std::string* shared_with) {
  file_handle file;
  std::string path;
  const int decided = judge.decide(
      dir, rec.name, log,
      [&](std::FILE* f, std::uint64_t file_size) {
        return compare_file(f, file_size, archive, rec, key);
      },
      &file, &path, replaced, shared_with);
  if (decided != rebuild_status::ok) return decided;
  if (!*replaced) {
    // Scrambled with the same key, the stored bytes stay as they are.
    *size = rec.size;
    return out.keep_stored(archive, rec.data_offset, rec.size, rec.name, log);
  }
  keystream ks(key);
  return out.take_file(
      file.get(), size, [&ks](unsigned char* p, std::size_t n) { ks.scramble(p, n); }, log, path);
}

}  // namespace

int rebuild_ar_archive(std::FILE* archive, std::FILE* out, const directory_handle& dir,
                       std::FILE* log, progress_line* progress) {
  file_judge judge(archive);
  int status = find_unchanged(archive, dir, log, &judge, progress);
  if (status != rebuild_status::ok) return status;
  ar_directory directory(archive);
  if (directory.open() != reader_status::ok) return rebuild_status::bad_archive;
  const std::uint16_t key = directory.key();
  status = keep_archive_if_unchanged<ar_directory>(
      archive, dir, log, judge, progress, [](const ar_record& rec) { return rec.data_offset; },
      [&](std::FILE* file, std::uint64_t file_size, const ar_record& rec) {
        return compare_file(file, file_size, archive, rec, key);
      });
  if (status != rebuild_status::ok) return status;
  const std::uint32_t count = directory.records();
  const std::uint64_t data_start =
      ar_format::header_size + std::uint64_t{count} * ar_format::record_size;
  if (data_start > max_archive_size) return archive_failed;
  rebuilt_archive fresh(out, static_cast<std::uint32_t>(data_start));
  if (!write_ar_header(out, directory.key(), count) || !seek_to(out, fresh.position())) {
    return archive_failed;
  }
  directory_patch patch(fresh);
  status = directory.visit([&](const ar_record& rec) {
    const std::uint32_t offset = fresh.position();
    std::uint32_t size = 0;
    bool replaced = false;
    std::string shared_with;
    const int written = rebuild_entry(archive, fresh, dir, log, rec, directory.key(), judge, &size,
                                      &replaced, &shared_with);
    if (written != rebuild_status::ok) return written;
    if (!patch.add(rec, offset, size)) return archive_failed;
    log_rebuilt_entry(log, rec.name, replaced, shared_with);
    if (progress != nullptr) progress->advance(rec.size);
    return rebuild_status::ok;
  });
  if (status == rebuild_status::ok && !patch.flush()) status = archive_failed;
  if (status == rebuild_status::ok) judge.log_unused_files(dir, log);
  return status;
}

}  // namespace kesto
