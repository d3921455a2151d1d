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

// Compares file with what -ed writes for the LZ entry: its decoded bytes,
// when the decoder's result is ok.
comparison compare_decoded(std::FILE* file, std::FILE* archive, const dl_record& rec,
                           const lz_look& look) {
  if (!look.header_known || stream_size(file) != look.header.unpacked) return comparison::different;
  if (std::fseek(file, 0, SEEK_SET) != 0 || !seek_to(archive, rec.data_position)) {
    return comparison::file_unreadable;
  }
  bool unreadable = false;
  const auto same_as_file = [&](const unsigned char* data, std::size_t n) {
    return file_continues_with(file, data, n, &unreadable);
  };
  const int r = lzss_decode_entry_to(archive, same_as_file, rec.size);
  if (unreadable) return comparison::file_unreadable;
  return r == lzss_result::ok ? comparison::same : comparison::different;
}

// The file's bytes as the new entry: an LZ entry is compressed again, unless
// the file is a whole LZ entry itself (as -e wrote it); a plain entry takes
// them as they are.
int replace_entry(std::FILE* file, rebuilt_archive& out, bool was_lz, std::uint32_t* size,
                  std::FILE* log, const std::string& path) {
  unsigned char head[2] = {};
  const bool file_is_lz = std::fseek(file, 0, SEEK_SET) == 0 &&
                          std::fread(head, 1, 2, file) == 2 && head[0] == 'L' && head[1] == 'Z';
  if (!was_lz || file_is_lz) return out.take_file(file, size, no_filter{}, log, path);
  if (std::fseek(file, 0, SEEK_SET) != 0) return log_unreadable_file(log, path);
  const int r = lzss_encode_entry(file, out.stream(), out.room(), size);
  if (r == lzss_encode_result::read_failed) return log_unreadable_file(log, path);
  return r == lzss_encode_result::ok && out.advance(*size) ? rebuild_status::ok : archive_failed;
}

// Whether file equals what -e writes for the entry or, for an LZ entry,
// what -ed writes for it.
comparison compare_file(std::FILE* file, std::FILE* archive, const dl_record& rec) {
  comparison compared = seek_to(archive, rec.data_position)
                            ? compare_with_entry(file, archive, rec.size, no_filter{})
                            : comparison::different;
  if (compared == comparison::same || compared == comparison::file_unreadable) return compared;
  const lz_look look = look_at_entry(archive, rec);
  return look.is_lz ? compare_decoded(file, archive, rec, look) : compared;
}

// First pass: which files of dir equal what -e or -ed writes for an entry
// of their name. Nothing is written; a file that cannot be read fails here.
int find_unchanged(std::FILE* archive, const char* dir, std::FILE* log, unchanged_files* unchanged) {
  dl_directory directory(archive);
  const int opened = directory.open();
  if (opened != reader_status::ok) return opened;
  return directory.visit([&](const dl_record& rec) {
    return unchanged->judge(dir, rec.name, log,
                            [&](std::FILE* file) { return compare_file(file, archive, rec); });
  });
}

// Writes one entry: its stored bytes, unless dir holds a changed file
// under its name. *size gets the entry's new size.
int rebuild_entry(std::FILE* archive, rebuilt_archive& out, const char* dir, std::FILE* log,
                  const unchanged_files& unchanged, dl_record* rec, bool* replaced) {
  file_handle file;
  std::string path;
  const lookup found = find_replacement(dir, rec->name, log, &file, &path);
  if (found == lookup::failed) return rebuild_status::cannot_read_file;
  *replaced = found == lookup::opened && !unchanged.contains(rec->name);
  if (!*replaced) return out.keep_stored(archive, rec->data_position, rec->size, rec->name, log);
  const bool was_lz = look_at_entry(archive, *rec).is_lz;
  return replace_entry(file.get(), out, was_lz, &rec->size, log, path);
}

// The header with the new directory offset; the bytes the reader ignores
// (the eighth and the last two) keep the values they had.
bool write_header(std::FILE* archive, std::FILE* out, std::uint32_t directory_offset) {
  unsigned char head[dl_format::header_size] = {};
  if (!seek_to(archive, 0)) return false;
  const std::size_t got = std::fread(head, 1, sizeof head, archive);
  if (got < dl_format::directory_offset_field) return false;
  store_u32le(head + dl_format::directory_offset_field, directory_offset);
  return seek_to(out, 0) && write_all(out, head, sizeof head);
}

}  // namespace

int rebuild_dl_archive(std::FILE* archive, std::FILE* out, const char* dir, std::FILE* log) {
  unchanged_files unchanged;
  const int judged = find_unchanged(archive, dir, log, &unchanged);
  if (judged != rebuild_status::ok) return judged;
  dl_directory directory(archive);
  if (directory.open() != reader_status::ok) return rebuild_status::bad_archive;
  // At most 65535 records: their names and new sizes wait for the end.
  std::vector<dl_record> records;
  records.reserve(directory.count());
  rebuilt_archive fresh(out, dl_format::first_entry_offset);
  if (!seek_to(out, fresh.position())) return archive_failed;
  const int status = directory.visit([&](const dl_record& old) {
    dl_record rec = old;
    bool replaced = false;
    const int written = rebuild_entry(archive, fresh, dir, log, unchanged, &rec, &replaced);
    if (written != rebuild_status::ok) return written;
    log_rebuilt_entry(log, rec.name, replaced);
    records.push_back(rec);
    return rebuild_status::ok;
  });
  if (status != rebuild_status::ok) return status;
  const std::uint32_t directory_offset = fresh.position();
  if (std::uint64_t{records.size()} * dl_format::record_size > fresh.room()) return archive_failed;
  const bool written =
      write_records<dl_format::record_size>(
          out, static_cast<std::uint32_t>(records.size()),
          [&records](std::uint32_t i, unsigned char* record) {
            std::memcpy(record, records[i].name, dl_format::name_size);
            store_u32le(record + dl_format::size_field, records[i].size);
          }) &&
      write_header(archive, out, directory_offset);
  return written ? rebuild_status::ok : archive_failed;
}

}  // namespace kesto
