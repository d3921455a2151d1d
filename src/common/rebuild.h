// Pieces shared by the rebuilds of both formats (kesto -u): finding the file
// of the directory that an entry may take, comparing it with what
// extraction writes for the entry, and writing the new archive within its
// size limit.
#ifndef KESTO_COMMON_REBUILD_H
#define KESTO_COMMON_REBUILD_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "common/chunk_copy.h"
#include "common/edit.h"
#include "common/file_handle.h"
#include "common/platform.h"
#include "common/progress.h"
#include "common/status.h"
#include "common/stream_io.h"

namespace kesto {

// What looking up an entry's file in the directory found.
enum class lookup { none, opened, failed };

// Finds the file for an entry: opens the file of dir that entry name is
// extracted as (on Windows, the name as Windows stores it), reached from
// the open directory, and stores its path for messages in *path. A name
// extraction refuses is never looked up, so nothing outside dir is read:
// none, as for a name with no file. A name that is not a regular file, or
// cannot be opened, fails, after log_unreadable_file.
lookup find_replacement(const directory_handle& dir, const char* name, std::FILE* log,
                        file_handle* file, std::string* path);

// Logs "Impossibile leggere il file %s" with path; returns
// rebuild_status::cannot_read_file.
int log_unreadable_file(std::FILE* log, const std::string& path);

// How a file compares with what extraction writes for an entry.
enum class comparison { same, different, archive_short, file_unreadable };

// The files of the directory as the rebuild judges them. A file leaves an
// entry's stored bytes as they are when it equals what an extraction writes
// for that entry. Files are told apart by their identity, not by the names
// that reach them: entries whose names open one file (a second link; on
// Windows another letter case, a trailing dot, a short name) are all judged
// against it, and when it equals what extraction writes for any of them,
// none of them changes. The archive being read is never an entry's file.
// Only files the directory holds for some entry are kept, so the memory
// grows with the directory, not with the archive.
//
// compare(file, file_size) tells how the file, just opened, compares with
// the entry being judged.
class file_judge {
 public:
  // archive: the archive being rebuilt.
  explicit file_judge(std::FILE* archive);

  // First pass, which writes nothing: looks up the entry's file in dir and
  // notes whether it equals what extraction writes for the entry.
  // rebuild_status::ok, or cannot_read_file (logged) when the file cannot
  // be read.
  // *found, when given, gets the file's name in dir and its identity.
  struct found_file {
    bool opened = false;
    std::string stored;
    file_identity id;
  };
  template <class Compare>
  int judge(const directory_handle& dir, const char* name, std::FILE* log, Compare&& compare,
            found_file* found_as = nullptr) {
    file_handle file;
    std::string path;
    file_identity id;
    std::string stored;
    const lookup found = open_entry_file(dir, name, log, &file, &path, &id, &stored);
    if (found == lookup::failed) return rebuild_status::cannot_read_file;
    if (found == lookup::none) return rebuild_status::ok;
    if (found_as != nullptr) *found_as = {true, stored, id};
    judged& seen = note(id, name);
    if (seen.unchanged) return rebuild_status::ok;
    const comparison compared = compare(file.get(), id.size);
    if (compared == comparison::file_unreadable) return log_unreadable_file(log, path);
    seen.unchanged = compared == comparison::same;
    return rebuild_status::ok;
  }

  // After the first pass: true when every file an entry reached equals
  // what extraction writes for it, so that no entry takes a file.
  bool all_unchanged() const {
    for (const auto& file : files_) {
      if (!file.second.unchanged) return false;
    }
    return true;
  }
  // After the first pass: whether the file equals what extraction writes
  // for an entry that reached it.
  bool unchanged(const file_identity& id) const {
    const auto at = files_.find({id.device, id.inode});
    return at != files_.end() && at->second.unchanged;
  }

  // Second pass: whether the entry takes its file's bytes (*take, with the
  // file open in *file) or keeps its stored ones. A file judged unchanged
  // is looked at again when it was written after the first pass. When the
  // file is one that an entry of another name reached first, *shared_with
  // names that entry (else it is empty); *identity, when given, gets the
  // file's identity. rebuild_status ok or cannot_read_file (logged).
  template <class Compare>
  int decide(const directory_handle& dir, const char* name, std::FILE* log, Compare&& compare,
             file_handle* file, std::string* path, bool* take, std::string* shared_with,
             file_identity* identity = nullptr) {
    *take = false;
    shared_with->clear();
    file_identity id;
    std::string stored;
    // A file judged unchanged that is still as it was then is not opened
    // again: the entry keeps its bytes.
    const lookup chosen = choose_entry_file(dir, name, log, &stored);
    if (chosen == lookup::failed) return rebuild_status::cannot_read_file;
    if (chosen == lookup::none) return rebuild_status::ok;
    if (still_unchanged(dir, stored, &id)) {
      listed_->take(stored);
      if (identity != nullptr) *identity = id;
      return rebuild_status::ok;
    }
    const lookup found = open_chosen_file(dir, stored, log, file, path, &id);
    if (identity != nullptr) *identity = id;
    if (found == lookup::failed) return rebuild_status::cannot_read_file;
    if (found == lookup::none) return rebuild_status::ok;
    judged& seen = note(id, name);
    if (!id.unchanged_since(seen.state)) {
      const comparison compared = compare(file->get(), id.size);
      if (compared == comparison::file_unreadable) return log_unreadable_file(log, *path);
      seen.state = id;
      seen.unchanged = compared == comparison::same;
    }
    *take = !seen.unchanged;
    if (*take && seen.first_name != name) *shared_with = seen.first_name;
    return rebuild_status::ok;
  }

  // Names each regular file of dir that no entry took ("non presente
  // nell'archivio, non aggiunto"), except the archive and temporary files.
  void log_unused_files(const directory_handle& dir, std::FILE* log);

 private:
  struct judged {
    file_identity state;     // as the file was when it was judged
    bool unchanged = false;  // it equals what extraction writes for an entry
    std::string first_name;  // the first entry that reached it
  };
  struct identity_hash {
    std::size_t operator()(const std::pair<std::uint64_t, std::uint64_t>& key) const {
      return std::hash<std::uint64_t>()(key.first * 0x9E3779B97F4A7C15u ^ key.second);
    }
  };

  // Opens the entry's file and tells which file it is: the file of its
  // exact name, else the one whose name differs only in ASCII letter case
  // (two such fail, named). The archive itself counts as no file.
  // Finds the name of dir the entry's file has (opened: in *stored).
  lookup choose_entry_file(const directory_handle& dir, const char* name, std::FILE* log,
                           std::string* stored);
  // Whether the file stored names in dir is one judged unchanged, with the
  // identity and time stamps it had then (*id: its identity now).
  bool still_unchanged(const directory_handle& dir, const std::string& stored,
                       file_identity* id) const;
  // Opens the file stored names in dir, chosen for an entry, and tells
  // which file it is.
  lookup open_chosen_file(const directory_handle& dir, const std::string& stored, std::FILE* log,
                          file_handle* file, std::string* path, file_identity* id);
  // *stored gets the name the file has in dir.
  lookup open_entry_file(const directory_handle& dir, const char* name, std::FILE* log,
                         file_handle* file, std::string* path, file_identity* id,
                         std::string* stored);
  // The record of the file id, made (not yet judged) on its first visit.
  judged& note(const file_identity& id, const char* name);

  file_identity archive_;
  bool archive_known_ = false;
  std::optional<directory_files> listed_;  // dir's files, listed on first use
  std::unordered_map<std::pair<std::uint64_t, std::uint64_t>, judged, identity_hash> files_;
};

// True when the next n bytes of file are those at data. *unreadable is set
// when the file could not be read; a file that ends first merely differs.
bool file_continues_with(std::FILE* file, const unsigned char* data, std::size_t n,
                         bool* unreadable);

// Compares file (of file_size bytes), positioned at its start (as just
// opened), with the size bytes at the archive's position, each archive
// chunk passed through filter first (unscrambling). A file of another size
// is different without a read.
template <class Filter>
comparison compare_with_entry(std::FILE* file, std::uint64_t file_size, std::FILE* archive,
                              std::uint32_t size, Filter&& filter) {
  if (file_size != size) return comparison::different;
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
    // A file that cannot fit fails before a byte of it is copied.
    const std::uint64_t file_size = stream_size(file);
    if (file_size != UINT64_MAX && file_size > room()) return rebuild_status::archive_failed;
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
// file's bytes ("sostituito") or kept its stored bytes ("mantenuto"). An
// entry that took a file another entry's name also reaches names that
// entry (shared_with, when not empty).
void log_rebuilt_entry(std::FILE* log, const char* name, bool replaced,
                       const std::string& shared_with = {});

// A rebuild that changes nothing leaves the archive as it is: same bytes,
// same file, same time stamps. When the first pass found every file equal
// to what extraction writes, each entry is decided again (a file saved
// since is looked at anew, compare(file, file_size, record) as in the
// passes) and its data must lie within the archive, as a rebuild that
// copies them would read them; then each entry's line is logged
// ("mantenuto"), then the files no entry takes, and rebuild_status::unchanged
// returned. ok when an entry
// does change (or its data lie outside the archive, which the rebuild then
// reports as it writes), for the caller to write the new archive; a status
// of the lookup (cannot_read_file, logged) as the second pass would give.
// where(record) is the record's data position in the archive; progress
// (when given) advances by each entry decided.
template <class Directory, class Where, class Compare>
int keep_archive_if_unchanged(std::FILE* archive, const directory_handle& dir, std::FILE* log,
                              file_judge& judge, progress_line* progress, Where&& where,
                              Compare&& compare) {
  if (!judge.all_unchanged()) return rebuild_status::ok;
  constexpr int changes = -1;  // stops the walk
  const std::uint64_t archive_size = stream_size(archive);
  const std::uint64_t end = archive_size < max_archive_size ? archive_size : max_archive_size;
  Directory directory(archive);
  if (directory.open() != reader_status::ok) return rebuild_status::ok;
  const int checked = directory.visit([&](const auto& rec) {
    file_handle file;
    std::string path;
    std::string shared_with;
    bool take = false;
    const int decided = judge.decide(
        dir, rec.name, log, [&](std::FILE* f, std::uint64_t n) { return compare(f, n, rec); },
        &file, &path, &take, &shared_with);
    if (decided != rebuild_status::ok) return decided;
    if (progress != nullptr) progress->advance(rec.size);
    return take || std::uint64_t{where(rec)} + rec.size > end ? changes : rebuild_status::ok;
  });
  if (checked == changes) return rebuild_status::ok;
  if (checked != rebuild_status::ok) return checked;
  Directory again(archive);
  if (again.open() != reader_status::ok) return rebuild_status::ok;
  again.visit([&](const auto& rec) {
    log_rebuilt_entry(log, rec.name, false);
    return rebuild_status::ok;
  });
  judge.log_unused_files(dir, log);
  return rebuild_status::unchanged;
}

}  // namespace kesto

#endif
