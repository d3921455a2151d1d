// DL archive rebuild: the archive's own entries, names and order, each entry
// keeping its stored bytes or taking the bytes of its file in a directory
// (an LZ entry compressed again), written in the writer's layout: the data
// back to back after the header, the directory at the end.
#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "common/rebuild.h"
#include "common/records.h"
#include "common/status.h"
#include "dl/dl_archive.h"
#include "dl/dl_directory.h"
#include "lzss/lzss_decoder.h"
#include "lzss/lzss_encoder.h"

namespace kesto {

namespace {

constexpr int archive_failed = rebuild_status::archive_failed;

// Compares file with what -ed writes for the entry whenever it keeps its
// file: every byte the stream decodes to, when the decoder's result is ok
// or size_mismatch, whatever the header's sizes say.
comparison compare_decoded(std::FILE* file, std::uint64_t file_size, std::FILE* archive,
                           const dl_record& rec) {
  if (std::fseek(file, 0, SEEK_SET) != 0) return comparison::file_unreadable;
  if (!seek_to(archive, rec.data_position)) return comparison::different;
  bool unreadable = false;
  std::uint64_t compared = 0;
  const auto same_as_file = [&](const unsigned char* data, std::size_t n) {
    if (n > file_size - compared) return false;
    compared += n;
    return file_continues_with(file, data, n, &unreadable);
  };
  const int r = lzss_decode_entry_to(archive, same_as_file, rec.size);
  if (unreadable) return comparison::file_unreadable;
  const bool kept = r == lzss_result::ok || r == lzss_result::size_mismatch;
  return kept && compared == file_size ? comparison::same : comparison::different;
}

// Whether file equals what -e writes for the entry or, for an entry that
// begins with "LZ", what -ed writes for it.
comparison compare_file(std::FILE* file, std::uint64_t file_size, std::FILE* archive,
                        const dl_record& rec) {
  const comparison compared =
      seek_ahead_to(archive, rec.data_position)
          ? compare_with_entry(file, file_size, archive, rec.size, no_filter{})
          : comparison::different;
  if (compared == comparison::same || compared == comparison::file_unreadable) return compared;
  return look_at_entry(archive, rec).is_lz ? compare_decoded(file, file_size, archive, rec)
                                           : compared;
}

// The file's bytes as the new entry. An LZ entry is compressed again,
// unless the file is a whole LZ entry itself (as -e wrote it): a file that
// merely begins with "LZ" (an edited text) is compressed like any other. A
// plain entry takes the bytes as they are. ready, when given, is the file
// made ready on another thread, used when it is still the file now open.
int replace_entry(std::FILE* file, const file_identity& id, rebuilt_archive& out, bool was_lz,
                  prepared_dl_entry* ready, std::uint32_t* size, std::FILE* log,
                  const std::string& path) {
  file_identity ready_id;
  if (ready != nullptr && ready->status == writer_status::ok &&
      identify_file(ready->input.get(), &ready_id) && ready_id.unchanged_since(id)) {
    if (ready->entry.plain) return out.take_file(ready->input.get(), size, no_filter{}, log, path);
    const int r =
        append_prepared_dl_entry(out.stream(), ready->input.get(), ready->entry, out.room(), size);
    if (r == writer_status::first_input) return log_unreadable_file(log, path);
    return r == writer_status::ok && out.advance(*size) ? rebuild_status::ok : archive_failed;
  }
  if (!was_lz || is_whole_lz_entry(file)) return out.take_file(file, size, no_filter{}, log, path);
  if (std::ferror(file) || std::fseek(file, 0, SEEK_SET) != 0)
    return log_unreadable_file(log, path);
  const int r = lzss_encode_entry(file, out.stream(), out.room(), size);
  if (r == lzss_encode_result::read_failed) return log_unreadable_file(log, path);
  return r == lzss_encode_result::ok && out.advance(*size) ? rebuild_status::ok : archive_failed;
}

// First pass: which files of dir equal what -e or -ed writes for an entry
// that reaches them, and which file each entry reached (*found, in the
// entries' order). Nothing is written; a file that cannot be read fails
// here.
int find_unchanged(std::FILE* archive, const directory_handle& dir, std::FILE* log,
                   file_judge* judge, std::vector<file_judge::found_file>* found,
                   progress_line* progress) {
  dl_directory directory(archive);
  const int opened = directory.open();
  if (opened != reader_status::ok) return opened;
  found->reserve(directory.count());
  return directory.visit([&](const dl_record& rec) {
    found->emplace_back();
    const int status = judge->judge(
        dir, rec.name, log,
        [&](std::FILE* file, std::uint64_t file_size) {
          return compare_file(file, file_size, archive, rec);
        },
        &found->back());
    if (progress != nullptr) progress->advance(rec.size);
    return status;
  });
}

// Writes one entry: its stored bytes, unless dir holds a changed file for
// it. rec->size gets the entry's new size. ready: the file made ready for
// an entry known to decode exactly, or nullptr.
int rebuild_entry(std::FILE* archive, rebuilt_archive& out, const directory_handle& dir,
                  std::FILE* log, file_judge& judge, dl_record* rec, prepared_dl_entry* ready,
                  bool* replaced, std::string* shared_with) {
  file_handle file;
  std::string path;
  file_identity id;
  const int decided = judge.decide(
      dir, rec->name, log,
      [&](std::FILE* f, std::uint64_t file_size) {
        return compare_file(f, file_size, archive, *rec);
      },
      &file, &path, replaced, shared_with, &id);
  if (decided != rebuild_status::ok) return decided;
  if (!*replaced) return out.keep_stored(archive, rec->data_position, rec->size, rec->name, log);
  const bool was_lz = ready != nullptr || decodes_exactly(archive, *rec);
  return replace_entry(file.get(), id, out, was_lz, ready, &rec->size, log, path);
}

}  // namespace

int rebuild_dl_archive(std::FILE* archive, std::FILE* out, const directory_handle& dir,
                       std::FILE* log, progress_line* progress, std::string_view scratch_dir) {
  file_judge judge(archive);
  std::vector<file_judge::found_file> found;
  const int judged = find_unchanged(archive, dir, log, &judge, &found, progress);
  if (judged != rebuild_status::ok) return judged;
  const int kept = keep_archive_if_unchanged<dl_directory>(
      archive, dir, log, judge, progress, [](const dl_record& rec) { return rec.data_position; },
      [&](std::FILE* file, std::uint64_t file_size, const dl_record& rec) {
        return compare_file(file, file_size, archive, rec);
      });
  if (kept != rebuild_status::ok) return kept;
  dl_directory directory(archive);
  if (directory.open() != reader_status::ok) return rebuild_status::bad_archive;
  // At most 65535 records: their names and new sizes wait for the end.
  std::vector<dl_record> records;
  records.reserve(directory.count());
  if (directory.visit([&](const dl_record& rec) {
        records.push_back(rec);
        return rebuild_status::ok;
      }) != rebuild_status::ok ||
      records.size() != found.size()) {
    return rebuild_status::bad_archive;
  }
  // The LZ entries whose files the first pass found changed are compressed
  // side by side, ahead of their turn; each entry is still decided and
  // written in order, so the log and the archive are those of one thread.
  std::vector<std::uint32_t> compressed;
  for (std::uint32_t j = 0; j < records.size(); ++j) {
    if (found[j].opened && !judge.unchanged(found[j].id) && decodes_exactly(archive, records[j])) {
      compressed.push_back(j);
    }
  }
  rebuilt_archive fresh(out, dl_format::first_entry_offset);
  if (!seek_to(out, fresh.position())) return archive_failed;
  const int status = write_with_ready_entries(
      static_cast<std::uint32_t>(records.size()), compressed, scratch_dir,
      [&](std::uint32_t k) {
        file_handle file;
        dir.open_file(found[compressed[k]].stored.c_str(), &file);
        return file;
      },
      [&](std::uint32_t k) { return found[compressed[k]].id.size; },
      [&](std::uint32_t j, prepared_dl_entry* ready) {
        dl_record& rec = records[j];
        const std::uint32_t old_size = rec.size;
        bool replaced = false;
        std::string shared_with;
        const int written =
            rebuild_entry(archive, fresh, dir, log, judge, &rec, ready, &replaced, &shared_with);
        if (written != rebuild_status::ok) return written;
        log_rebuilt_entry(log, rec.name, replaced, shared_with);
        if (progress != nullptr) progress->advance(old_size);
        return rebuild_status::ok;
      });
  if (status != rebuild_status::ok) return status;
  if (!finish_dl_archive(archive, out, fresh.position(), records)) return archive_failed;
  judge.log_unused_files(dir, log);
  return rebuild_status::ok;
}

}  // namespace kesto
