#include "common/rebuild.h"

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

bool rebuilt_archive::advance(std::uint64_t n) {
  if (n > room()) return false;
  position_ += static_cast<std::uint32_t>(n);
  return true;
}

bool rebuilt_archive::write(const void* data, std::size_t n) {
  return n <= room() && write_all(out_, data, n) && advance(n);
}

copy_result rebuilt_archive::copy_stored(std::FILE* archive, std::uint32_t size) {
  if (size > room()) return copy_result::too_large;
  const copy_result r = copy_exact(archive, out_, size, no_filter{});
  if (r == copy_result::ok) position_ += size;
  return r;
}

void log_rebuilt_entry(std::FILE* log, const char* name, bool replaced) {
  log_message(log, replaced ? msg_replaced : msg_kept, name);
}

}  // namespace kesto
