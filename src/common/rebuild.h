// Pieces shared by the rebuilds of both formats (kesto -u): finding the file
// of the directory that an entry may take, comparing it with what
// extraction writes for the entry, and writing the new archive within its
// size limit.
#ifndef KESTO_COMMON_REBUILD_H
#define KESTO_COMMON_REBUILD_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_set>

#include "common/chunk_copy.h"
#include "common/file_handle.h"
#include "common/status.h"
#include "common/stream_io.h"

namespace kesto {

// What looking up an entry's file in the directory found.
enum class lookup { none, opened, failed };

// Opens the file of dir that entry name is extracted as (on Windows, the
// name as Windows stores it) and stores its path in *path. A name
// extraction refuses is never looked up, so nothing outside dir is read:
// none, as for a name with no file. A name that is not a regular file, or
// cannot be opened, fails, after log_unreadable_file.
lookup find_replacement(const char* dir, const char* name, std::FILE* log, file_handle* file,
                        std::string* path);

// Logs "Impossibile leggere il file %s" with path; returns
// rebuild_status::cannot_read_file.
int log_unreadable_file(std::FILE* log, const std::string& path);

// How a file compares with what extraction writes for an entry.
enum class comparison { same, different, archive_short, file_unreadable };

// The names whose file in the directory equals what extraction writes for
// at least one entry of that name. Entries that share a name are all judged
// against the one file: when it is unchanged, none of them changes. Only
// names with a file in the directory are kept, so the set grows with the
// directory, not with the archive.
class unchanged_files {
 public:
  bool contains(const char* name) const { return names_.count(name) != 0; }

  // Judges the entry name in the first pass, which writes nothing: looks up
  // its file in dir and, when there is one, adds the name when
  // compare(file) finds it the same. rebuild_status::ok, or
  // cannot_read_file (logged) when the file cannot be read.
  template <class Compare>
  int judge(const char* dir, const char* name, std::FILE* log, Compare&& compare) {
    if (contains(name)) return rebuild_status::ok;
    file_handle file;
    std::string path;
    const lookup found = find_replacement(dir, name, log, &file, &path);
    if (found == lookup::failed) return rebuild_status::cannot_read_file;
    if (found == lookup::none) return rebuild_status::ok;
    const comparison compared = compare(file.get());
    if (compared == comparison::file_unreadable) return log_unreadable_file(log, path);
    if (compared == comparison::same) names_.insert(name);
    return rebuild_status::ok;
  }

 private:
  std::unordered_set<std::string> names_;
};

// True when the next n bytes of file are those at data. *unreadable tells
// a file that could not be read (or ended) from one that differs.
bool file_continues_with(std::FILE* file, const unsigned char* data, std::size_t n,
                         bool* unreadable);

// Compares file, from its start, with the size bytes at the archive's
// position, each archive chunk passed through filter first (unscrambling).
// A file of another size is different without a read.
template <class Filter>
comparison compare_with_entry(std::FILE* file, std::FILE* archive, std::uint32_t size,
                              Filter&& filter) {
  if (stream_size(file) != size) return comparison::different;
  if (std::fseek(file, 0, SEEK_SET) != 0) return comparison::file_unreadable;
  bool unreadable = false;
  const copy_result r = read_in_chunks(archive, size, [&](unsigned char* buf, std::size_t n) {
    filter(buf, n);
    return file_continues_with(file, buf, n, &unreadable);
  });
  if (r == copy_result::read_short) return comparison::archive_short;
  if (unreadable) return comparison::file_unreadable;
  return r == copy_result::ok ? comparison::same : comparison::different;
}

// The new archive, written from its current position, which must stay
// below 2^31 bytes: every write checks the room left.
class rebuilt_archive {
 public:
  rebuilt_archive(std::FILE* out, std::uint32_t position) : out_(out), position_(position) {}

  std::FILE* stream() const { return out_; }
  std::uint32_t position() const { return position_; }
  std::uint64_t room() const { return max_archive_size - position_; }
  // Counts bytes written by others (the encoder); false past the limit.
  bool advance(std::uint64_t n);
  // Keeps an entry's stored bytes: copies the size bytes at offset in the
  // archive unchanged. rebuild_status ok; cannot_read, after logging the
  // fragment with name, when they run out; archive_failed.
  int keep_stored(std::FILE* archive, std::uint32_t offset, std::uint32_t size, const char* name,
                  std::FILE* log);
  // The entry takes file's bytes, from its start to its end, through
  // filter; *size gets their number. rebuild_status ok; cannot_read_file,
  // after logging path, when the file cannot be read; archive_failed.
  template <class Filter>
  int take_file(std::FILE* file, std::uint32_t* size, Filter&& filter, std::FILE* log,
                const std::string& path) {
    *size = 0;
    const copy_result r = std::fseek(file, 0, SEEK_SET) != 0
                              ? copy_result::read_error
                              : copy_to_end(file, out_, room(), size, filter);
    if (r == copy_result::read_error) return log_unreadable_file(log, path);
    if (r != copy_result::ok) return rebuild_status::archive_failed;
    position_ += *size;
    return rebuild_status::ok;
  }

 private:
  std::FILE* out_;
  std::uint32_t position_;
};

// One line of the rebuild's log: the entry's name and whether it took its
// file's bytes ("sostituito") or kept its stored bytes ("mantenuto").
void log_rebuilt_entry(std::FILE* log, const char* name, bool replaced);

}  // namespace kesto

#endif
