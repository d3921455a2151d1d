// POSIX side of the platform layer.
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "common/platform.h"

namespace kesto {

bool get_current_directory(std::string* dir) {
  std::vector<char> buf(256);
  for (;;) {
    if (::getcwd(buf.data(), buf.size()) != nullptr) {
      dir->assign(buf.data());
      return true;
    }
    if (errno != ERANGE || buf.size() >= (1u << 20)) return false;
    buf.resize(buf.size() * 2);
  }
}

bool make_directory(const char* path) { return ::mkdir(path, 0777) == 0; }

bool change_directory(const char* path) { return ::chdir(path) == 0; }

bool remove_file(const char* path) { return ::unlink(path) == 0; }

existing_file inspect_existing_file(const char* path, std::FILE* stream) {
  existing_file found;
  struct stat st;
  if (::stat(path, &st) != 0) return found;  // the usual case: a new name
  found.exists = true;
  found.is_directory = S_ISDIR(st.st_mode);
  found.read_only = ::access(path, W_OK) != 0;
  // The set-id bits are left out: a rewrite in place would clear them.
  found.permissions = static_cast<unsigned>(st.st_mode & 0777);
  struct stat open_st;
  found.is_open_stream = stream != nullptr && ::fstat(::fileno(stream), &open_st) == 0 &&
                         open_st.st_dev == st.st_dev && open_st.st_ino == st.st_ino;
  return found;
}

// The new file takes the permission bits of the regular file it replaces,
// as that file rewritten in place would have kept them.
bool replace_file(const char* from, const char* to, const existing_file& old) {
  if (old.exists && !old.is_directory) ::chmod(from, old.permissions);
  return ::rename(from, to) == 0;
}

bool is_directory(const char* path) {
  struct stat st;
  return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

int compare_ignoring_case(const char* a, const char* b) { return ::strcasecmp(a, b); }

std::FILE* create_new_file(const char* path) {
  // "x": fail when path exists (O_EXCL); "e": not inherited (O_CLOEXEC).
  return std::fopen(path, "wbxe");
}

bool is_reserved_file_name(const char*) { return false; }

unsigned long current_process_id() { return static_cast<unsigned long>(::getpid()); }

}  // namespace kesto
