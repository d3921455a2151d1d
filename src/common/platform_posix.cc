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

// The new file takes the permission bits of the regular file it replaces,
// as that file rewritten in place would have kept them (the set-id bits,
// which a rewrite clears, are not carried over).
bool replace_file(const char* from, const char* to) {
  struct stat st;
  if (::stat(to, &st) == 0 && S_ISREG(st.st_mode)) ::chmod(from, st.st_mode & 0777);
  return ::rename(from, to) == 0;
}

bool is_directory(const char* path) {
  struct stat st;
  return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool may_replace(const char* path) {
  struct stat st;
  return ::stat(path, &st) != 0 || ::access(path, W_OK) == 0;
}

bool is_same_file(std::FILE* stream, const char* path) {
  struct stat open_st;
  struct stat path_st;
  // Most entry names do not exist yet: test the path first.
  if (::stat(path, &path_st) != 0) return false;
  if (::fstat(::fileno(stream), &open_st) != 0) return false;
  return open_st.st_dev == path_st.st_dev && open_st.st_ino == path_st.st_ino;
}

int compare_ignoring_case(const char* a, const char* b) { return ::strcasecmp(a, b); }

std::FILE* create_new_file(const char* path) {
  // "x": fail when path exists (O_EXCL); "e": not inherited (O_CLOEXEC).
  return std::fopen(path, "wbxe");
}

bool is_reserved_file_name(const char*) { return false; }

unsigned long current_process_id() { return static_cast<unsigned long>(::getpid()); }

}  // namespace kesto
