#include "common/rebuild.h"

#include <cstring>

#include "common/path.h"
#include "common/platform.h"
#include "common/status.h"

namespace kesto {

namespace {

constexpr const char* msg_replaced = "%s sostituito\n";
constexpr const char* msg_kept = "%s mantenuto\n";
constexpr const char* msg_cannot_read_file = "Impossibile leggere il file %s";

}  // namespace

lookup find_replacement(const char* dir, const char* name, std::FILE* log, file_handle* file,
                        std::string* path) {
  if (!is_safe_entry_name(name)) return lookup::none;
  path->assign(dir);
  if (!path->empty() && path->back() != '/' && path->back() != '\\') path->push_back('/');
  path->append(file_name_as_stored(name));
  switch (open_regular_file(path->c_str(), file)) {
    case regular_file::opened:
      return lookup::opened;
    case regular_file::missing:
      return lookup::none;
    default:
      log_unreadable_file(log, *path);
      return lookup::failed;
  }
}

int log_unreadable_file(std::FILE* log, const std::string& path) {
  log_message(log, msg_cannot_read_file, path.c_str());
  return rebuild_status::cannot_read_file;
}

bool file_continues_with(std::FILE* file, const unsigned char* data, std::size_t n,
                         bool* unreadable) {
  unsigned char mine[copy_chunk_size];
  for (std::size_t done = 0; done < n;) {
    const std::size_t part = n - done < sizeof mine ? n - done : sizeof mine;
    *unreadable = std::fread(mine, 1, part, file) != part;
    if (*unreadable || std::memcmp(data + done, mine, part) != 0) return false;
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
      seek_to(archive, offset) ? copy_exact(archive, out_, size, no_filter{}) : copy_result::read_short;
  if (r == copy_result::read_short) {
    return log_failure(log, msg_cannot_read_entry, name, rebuild_status::cannot_read);
  }
  if (r != copy_result::ok) return rebuild_status::archive_failed;
  position_ += size;
  return rebuild_status::ok;
}

void log_rebuilt_entry(std::FILE* log, const char* name, bool replaced) {
  log_message(log, replaced ? msg_replaced : msg_kept, name);
}

}  // namespace kesto
