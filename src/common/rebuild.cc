#include "common/rebuild.h"

#include <cstring>

#include "common/path.h"
#include "common/platform.h"
#include "common/status.h"

namespace kesto {

namespace {

constexpr const char* msg_kept = "%s mantenuto\n";
// An entry that took a file which another entry's name reaches too.
constexpr const char* msg_replaced_shared = "%s sostituito (stesso file di ";
constexpr const char* msg_shared_end = "%s)\n";
constexpr const char* msg_cannot_read_file = "Impossibile leggere il file %s";

}  // namespace

namespace {

// find_replacement for the file name stored, as the system stores it.
lookup open_replacement(const directory_handle& dir, const std::string& stored, std::FILE* log,
                        file_handle* file, std::string* path, file_identity* id = nullptr) {
  // The path is text for messages only: the file is reached from dir.
  path->assign(dir.path());
  if (!path->empty() && path->back() != '/' && path->back() != '\\') path->push_back('/');
  path->append(stored);
  switch (dir.open_file(stored.c_str(), file, id)) {
    case regular_file::opened:
      return lookup::opened;
    case regular_file::missing:
      return lookup::none;
    default:
      log_unreadable_file(log, *path);
      return lookup::failed;
  }
}

}  // namespace

lookup find_replacement(const directory_handle& dir, const char* name, std::FILE* log,
                        file_handle* file, std::string* path) {
  std::string stored;
  if (!entry_file_name(name, &stored)) return lookup::none;
  return open_replacement(dir, stored, log, file, path);
}

int log_unreadable_file(std::FILE* log, const std::string& path) {
  // A path, not a stored name: printed as it is spelt.
  if (log == nullptr) return rebuild_status::cannot_read_file;
  progress_line::before_line(log);
  std::fprintf(log, msg_cannot_read_file, printable_name(path).c_str());
  return rebuild_status::cannot_read_file;
}

file_judge::file_judge(std::FILE* archive) : archive_known_(identify_file(archive, &archive_)) {}

lookup file_judge::choose_entry_file(const directory_handle& dir, const char* name,
                                     std::FILE* log, std::string* stored) {
  if (!listed_) listed_.emplace(dir);
  if (!is_safe_entry_name(name)) return lookup::none;
  return listed_->choose(name, stored, log) ? lookup::opened : lookup::failed;
}

bool file_judge::still_unchanged(const directory_handle& dir, const std::string& stored,
                                 file_identity* id) const {
  if (dir.identify(stored.c_str(), id) != regular_file::opened) return false;
  if (archive_known_ && id->is(archive_)) return false;
  const auto at = files_.find({id->device, id->inode});
  return at != files_.end() && at->second.unchanged && id->unchanged_since(at->second.state);
}

lookup file_judge::open_entry_file(const directory_handle& dir, const char* name, std::FILE* log,
                                   file_handle* file, std::string* path, file_identity* id,
                                   std::string* stored) {
  const lookup chosen = choose_entry_file(dir, name, log, stored);
  if (chosen != lookup::opened) return chosen;
  return open_chosen_file(dir, *stored, log, file, path, id);
}

lookup file_judge::open_chosen_file(const directory_handle& dir, const std::string& stored,
                                    std::FILE* log, file_handle* file, std::string* path,
                                    file_identity* id) {
  const lookup found = open_replacement(dir, stored, log, file, path, id);
  if (found != lookup::opened) return found;
  listed_->take(stored);
  // Taking the archive for an entry's file would store the old archive
  // whole as the entry: the entry keeps its bytes instead.
  if (archive_known_ && id->is(archive_)) {
    file->close();
    return lookup::none;
  }
  return lookup::opened;
}

void file_judge::log_unused_files(const directory_handle& dir, std::FILE* log) {
  if (!listed_) listed_.emplace(dir);
  listed_->log_untaken(log, [&](const std::string& name) {
    if (name.rfind(temporary_name_prefix, 0) == 0) return true;
    file_handle file;
    file_identity id;
    return archive_known_ && dir.open_file(name.c_str(), &file) == regular_file::opened &&
           identify_file(file.get(), &id) && id.is(archive_);
  });
}

file_judge::judged& file_judge::note(const file_identity& id, const char* name) {
  const auto [at, made] = files_.try_emplace({id.device, id.inode});
  if (made) {
    at->second.state = id;
    at->second.first_name = name;
  }
  return at->second;
}

bool file_continues_with(std::FILE* file, const unsigned char* data, std::size_t n,
                         bool* unreadable) {
  unsigned char mine[copy_chunk_size];
  for (std::size_t done = 0; done < n;) {
    const std::size_t part = n - done < sizeof mine ? n - done : sizeof mine;
    if (std::fread(mine, 1, part, file) != part) {
      *unreadable = std::ferror(file) != 0;
      return false;
    }
    if (std::memcmp(data + done, mine, part) != 0) return false;
    done += part;
  }
  return true;
}

bool rebuilt_archive::advance(std::uint64_t n) {
  if (n > room()) return false;
  position_ += static_cast<std::uint32_t>(n);
  return true;
}

int rebuilt_archive::keep_stored(std::FILE* archive, std::uint32_t offset, std::uint32_t size,
                                 const char* name, std::FILE* log) {
  if (size > room()) return rebuild_status::archive_failed;
  const copy_result r =
      seek_ahead_to(archive, offset) ? copy_exact(archive, out_, size, no_filter{}) : copy_result::read_short;
  if (r == copy_result::read_short) {
    return log_failure(log, msg_cannot_read_entry, name, rebuild_status::cannot_read);
  }
  if (r != copy_result::ok) return rebuild_status::archive_failed;
  position_ += size;
  return rebuild_status::ok;
}

void log_rebuilt_entry(std::FILE* log, const char* name, bool replaced,
                       const std::string& shared_with) {
  if (shared_with.empty()) {
    log_message(log, replaced ? msg_replaced : msg_kept, name);
    return;
  }
  log_message(log, msg_replaced_shared, name);
  log_message(log, msg_shared_end, shared_with.c_str());
}

}  // namespace kesto
