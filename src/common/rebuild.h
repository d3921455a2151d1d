// Pieces shared by the rebuilds of both formats (kesto -u): finding the file
// of the directory that an entry may take, comparing it with what
// extraction writes for the entry, and writing the new archive within its
// size limit.
#ifndef KESTO_COMMON_REBUILD_H
#define KESTO_COMMON_REBUILD_H

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_set>

#include "common/chunk_copy.h"
#include "common/file_handle.h"
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

// The names whose file in the directory equals what extraction writes for
// at least one entry of that name. Entries that share a name are all judged
// against the one file: when it is unchanged, none of them changes. Only
// names with a file in the directory are kept, so the set grows with the
// directory, not with the archive.
class unchanged_files {
 public:
  bool contains(const char* name) const { return names_.count(name) != 0; }
  void add(const char* name) { names_.insert(name); }

 private:
  std::unordered_set<std::string> names_;
};

// How a file compares with what extraction writes for an entry.
enum class comparison { same, different, archive_short, file_unreadable };

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
    unsigned char mine[copy_chunk_size];
    filter(buf, n);
    unreadable = std::fread(mine, 1, n, file) != n;
    return !unreadable && std::memcmp(buf, mine, n) == 0;
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
  bool write(const void* data, std::size_t n);
  // Copies size stored bytes from the archive's position unchanged.
  copy_result copy_stored(std::FILE* archive, std::uint32_t size);
  // Copies file from its start to its end through filter; *size gets the
  // number of bytes.
  template <class Filter>
  copy_result copy_file(std::FILE* file, std::uint32_t* size, Filter&& filter) {
    *size = 0;
    if (std::fseek(file, 0, SEEK_SET) != 0) return copy_result::read_error;
    const copy_result r = copy_to_end(file, out_, room(), size, filter);
    if (r == copy_result::ok) position_ += *size;
    return r;
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
