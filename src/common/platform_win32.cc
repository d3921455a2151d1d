// Windows side of the platform layer, on the Microsoft C runtime and the
// Win32 API. Paths are narrow strings in the process's ANSI code page, the
// same bytes the command line delivers.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define _CRT_RAND_S
#include <windows.h>

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "common/chunk_copy.h"
#include "common/path.h"
#include "common/platform.h"

// The MinGW-w64 start-up code reads this flag and, when it is set, expands
// wildcards in every command-line word into the matching file names before
// main() runs, as the platform's own tools do. A word that matches nothing
// stays as it was.
extern "C" {
int _dowildcard = -1;
}

namespace kesto {

bool get_current_directory(std::string* dir) {
  std::vector<char> buf(MAX_PATH);
  for (;;) {
    if (::_getcwd(buf.data(), static_cast<int>(buf.size())) != nullptr) {
      dir->assign(buf.data());
      return true;
    }
    if (errno != ERANGE || buf.size() >= (1u << 20)) return false;
    buf.resize(buf.size() * 2);
  }
}

bool make_directory(const char* path) { return ::_mkdir(path) == 0; }

bool change_directory(const char* path) { return ::_chdir(path) == 0; }

bool remove_file(const char* path) { return ::_unlink(path) == 0; }

bool is_directory(const char* path) {
  const DWORD attributes = ::GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

int compare_ignoring_case(const char* a, const char* b) { return ::_strcmpi(a, b); }

// Such a name would open a device (NUL, CON, ...) or be stored under a
// shorter name (a trailing dot or blank is dropped).
bool is_reserved_file_name(const char* name) { return is_windows_device_name(name); }

bool fill_random(void* buf, std::size_t n) {
  auto* p = static_cast<unsigned char*>(buf);
  for (std::size_t i = 0; i < n; i += sizeof(unsigned int)) {
    unsigned int value = 0;
    if (::rand_s(&value) != 0) return false;
    for (std::size_t k = 0; k < sizeof value && i + k < n; ++k) {
      p[i + k] = static_cast<unsigned char>(value >> (8 * k));
    }
  }
  return true;
}

namespace {

bool file_identity(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) {
  return handle != INVALID_HANDLE_VALUE && ::GetFileInformationByHandle(handle, info) != 0;
}

bool same_identity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// Two names of one file (a second link, a different spelling or letter
// case) share the volume serial number and the file index.
bool is_same_file(std::FILE* stream, const char* path) {
  BY_HANDLE_FILE_INFORMATION open_info;
  const auto open_handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
  if (!file_identity(open_handle, &open_info)) return false;
  // Share every access so that the probe works while the file is open, and
  // ask for no access rights at all: only the file's attributes are read.
  // Backup semantics let the call open directories too.
  HANDLE path_handle =
      ::CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  BY_HANDLE_FILE_INFORMATION path_info;
  const bool known = file_identity(path_handle, &path_info);
  if (path_handle != INVALID_HANDLE_VALUE) ::CloseHandle(path_handle);
  return known && same_identity(open_info, path_info);
}

}  // namespace

existing_file inspect_existing_file(const char* path, std::FILE* stream) {
  existing_file found;
  const DWORD attributes = ::GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return found;  // the usual case: a new name
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    found.kind = file_kind::directory;
  } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    found.kind = file_kind::symbolic_link;
  } else {
    found.kind = file_kind::regular;
    found.read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    found.is_open_stream = stream != nullptr && is_same_file(stream, path);
  }
  return found;
}

// Windows replaces a link's target through the link itself.
bool resolve_symbolic_links(std::string*) { return true; }

std::FILE* open_special_file(const char* path) { return std::fopen(path, "r+b"); }

bool temporary_file::open(std::string_view dir_prefix, bool) {
  discard();
  int fd = -1;
  if (!try_temporary_names(dir_prefix, &path_, [&fd](const std::string& candidate) {
        fd = ::_open(candidate.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                     _S_IREAD | _S_IWRITE);
        if (fd >= 0) return name_attempt::made;
        return errno == EEXIST ? name_attempt::taken : name_attempt::failed;
      })) {
    path_.clear();
    return false;
  }
  std::FILE* f = ::_fdopen(fd, "wb");
  if (f == nullptr) {
    ::_close(fd);
    discard();
    return false;
  }
  // New archives and entry files take their data in whole chunks.
  use_chunks_unbuffered(f);
  stream_ = file_handle(f);
  return true;
}

// rename() of the C runtime refuses an existing target on Windows. The new
// file keeps its own attributes; a read-only target is refused earlier.
bool temporary_file::commit(const char* target, const existing_file&) {
  const bool named = ::MoveFileExA(path_.c_str(), target, MOVEFILE_REPLACE_EXISTING) != 0;
  if (named) path_.clear();
  discard();
  return named;
}

void temporary_file::discard() {
  stream_.close();
  if (!path_.empty()) {
    ::_unlink(path_.c_str());
    path_.clear();
  }
}

void install_interrupt_cleanup() {}

}  // namespace kesto
